"""What is mounted, as the kernel says it, against what the records say, with the
real client: a dead daemon, another volume at the path, a second path, a reboot."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest
from real_support import Machine, checksum, daemons_of, kill_daemons, mount_at, write_random
from support import children_of_this_process

import quarvo

pytestmark = pytest.mark.real_backend


def test_a_dead_daemon_and_another_volume_at_the_path(machine: Machine, fuse: None) -> None:
    for name in ("vol-a", "vol-b"):
        machine.cli("init", name, "--dev")
    shared, second = machine.root / "P", machine.root / "second"
    machine.cli("mount", "vol-a", str(shared))
    digest = write_random(shared / "kept", 1 << 20)
    machine.cli("flush", "vol-a")
    # A second path while the first serves: refused, no second daemon.
    refused = machine.cli("mount", "vol-a", str(second), check=False)
    assert refused.returncode == 1 and f'volume "vol-a" is mounted at {shared}' in refused.stderr
    assert daemons_of(str(second)) == []

    kill_daemons(shared)
    assert mount_at(shared) == ("fuse.juicefs", "JuiceFS:vol-a")  # the kernel still lists it
    assert machine.cli("status").stdout.splitlines()[1].split()[:4] == ["vol-a", "dev", "stale", str(shared)]
    assert quarvo.Quarvo.from_env().volume_states("vol-a")[0].state == "stale"
    flush = machine.cli("flush", "vol-a", check=False)
    assert flush.returncode == 1 and "Transport endpoint is not connected" in flush.stderr
    remounted = machine.cli("mount", "vol-a", str(shared))
    assert "had lost its daemon; unmounted it and mounted it again" in remounted.stderr
    assert checksum(shared / "kept") == digest
    for forced in (["--force"], []):
        kill_daemons(shared)
        assert "had lost its daemon; unmounted it" in machine.cli("unmount", "vol-a", *forced).stderr
        assert mount_at(shared) is None and machine.state("vol-a") is None
        machine.cli("mount", "vol-a", str(shared))

    # vol-a's daemon dies and its mount is detached; vol-b takes the path, and vol-a leaves it alone.
    kill_daemons(shared)
    subprocess.run(["umount", "-l", str(shared)], check=True)
    machine.cli("mount", "vol-b", str(shared))
    result = machine.cli("unmount", "vol-a")
    assert f"JuiceFS:vol-b is mounted at {shared}, not this volume: left alone" in result.stderr
    assert mount_at(shared) == ("fuse.juicefs", "JuiceFS:vol-b") and machine.state("vol-b") == "mounted"
    assert machine.state("vol-a") is None
    machine.cli("unmount", "vol-b")
    assert mount_at(shared) is None and not daemons_of(str(shared))


def test_mount_all_after_a_reboot(machine: Machine, fuse: None) -> None:
    q = quarvo.Quarvo.from_env()
    (machine.root / "boot-b").mkdir()
    (machine.root / "link").symlink_to(machine.root / "boot-b")
    digests = {}
    for name, path in (("boot-a", "boot-a"), ("boot-b", "link")):  # a symbolic link mounts at its target
        q.init(name, dev=True)
        mountpoint = q.mount(name, path).mountpoint
        assert mountpoint == q.status(name).volumes[0].mountpoint == str(machine.root / name)
        digests[name] = write_random(Path(mountpoint) / "data", 1 << 20)
        q.flush(name)
    assert machine.state("boot-b") == "mounted"
    q.init("never-mounted", dev=True)
    # The reboot: every daemon gone, every mount gone, the records unchanged.
    for name in digests:
        kill_daemons(machine.root / name)
        subprocess.run(["umount", "-l", str(machine.root / name)], check=True)

    assert "run `quarvo mount --all` to mount them again" in machine.cli("status").stderr
    result = machine.cli("mount", "--all")
    assert sorted(result.stdout.splitlines()) == [f"mounted {n} at {machine.root / n}" for n in sorted(digests)]
    for name, digest in digests.items():
        assert checksum(machine.root / name / "data") == digest
    assert q.mount_all() == {}  # nothing left to do
    for name in digests:
        q.unmount(name)
    assert children_of_this_process("Z") == []
