"""What is mounted, as the kernel says it, against what the records say, with
the real client: dead daemons, another volume at the path, a second path, a
symbolic link, a store that is down, a reboot, many flushes at once."""

from __future__ import annotations

import os
import signal
import subprocess
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from real_support import Machine, checksum, daemons_of, kill_daemons, source_at, write_random
from support import children_of_this_process

import quarvo

pytestmark = pytest.mark.real_backend


def test_only_the_volumes_own_mount_is_acted_on(machine: Machine, fuse: None) -> None:
    for name in ("vol-a", "vol-b"):
        machine.cli("init", name, "--dev")
    shared, second = machine.root / "P", machine.root / "second"
    machine.cli("mount", "vol-a", str(shared))
    # A second path while the first serves: refused, no second daemon.
    refused = machine.cli("mount", "vol-a", str(second), check=False)
    assert refused.returncode == 1 and f'volume "vol-a" is mounted at {shared}' in refused.stderr
    assert len(daemons_of(str(second))) == 0

    # vol-a's daemon dies and its mount is detached; vol-b takes the path.
    kill_daemons(shared)
    subprocess.run(["umount", "-l", str(shared)], check=True)
    machine.cli("mount", "vol-b", str(shared))
    result = machine.cli("unmount", "vol-a")
    assert f"JuiceFS:vol-b is mounted at {shared}, not this volume: left alone" in result.stderr
    assert source_at(shared) == "JuiceFS:vol-b"
    assert machine.state("vol-a") is None and machine.state("vol-b") == "mounted"
    machine.cli("unmount", "vol-b")
    assert source_at(shared) is None and not daemons_of(str(shared))


def test_a_symbolic_link_mounts_at_its_target(machine: Machine, fuse: None) -> None:
    machine.cli("init", "linked", "--dev")
    (machine.root / "real").mkdir()
    (machine.root / "link").symlink_to(machine.root / "real")
    q = quarvo.Quarvo.from_env()
    assert q.mount("linked", "link").mountpoint == str(machine.root / "real")
    assert q.status("linked").volumes[0].mountpoint == str(machine.root / "real")
    assert machine.state("linked") == "mounted"
    machine.cli("unmount", "linked")
    assert source_at(machine.root / "real") is None


def test_a_dead_daemon_is_recovered_by_mount_and_cleared_by_unmount(machine: Machine, fuse: None) -> None:
    machine.cli("init", "doomed", "--dev")
    mountpoint = machine.root / "doomed"
    machine.cli("mount", "doomed", str(mountpoint))
    digest = write_random(mountpoint / "kept", 1 << 20)
    machine.cli("flush", "doomed")

    kill_daemons(mountpoint)
    assert source_at(mountpoint) == "JuiceFS:doomed"  # the kernel still lists it
    assert machine.cli("status").stdout.splitlines()[1].split()[:4] == ["doomed", "dev", "stale", str(mountpoint)]
    assert quarvo.Quarvo.from_env().volume_states("doomed")[0].state == "stale"
    flush = machine.cli("flush", "doomed", check=False)
    assert flush.returncode == 1 and "Transport endpoint is not connected" in flush.stderr
    mounted = machine.cli("mount", "doomed", str(mountpoint))
    assert "had lost its daemon; unmounted it and mounted it again" in mounted.stderr
    assert checksum(mountpoint / "kept") == digest

    for forced in (["--force"], []):
        kill_daemons(mountpoint)
        result = machine.cli("unmount", "doomed", *forced)
        assert "had lost its daemon; unmounted it" in result.stderr
        assert source_at(mountpoint) is None and machine.state("doomed") is None
        if forced:
            machine.cli("mount", "doomed", str(mountpoint))


def test_a_probe_on_a_store_that_is_down_is_given_up_and_torn_down(machine: Machine, fuse: None) -> None:
    q = quarvo.Quarvo.from_env()
    q.init("downs", dev=True)
    objects = machine.home / "dev" / "downs" / "objects"
    objects.rename(objects.with_name("objects.moved"))
    objects.write_text("not a directory")  # every upload now fails, and is retried for minutes
    mountpoint = machine.root / "downs"
    # The probe's write waits on those retries; Ctrl-C ends it.
    threading.Timer(5, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        q.mount("downs", str(mountpoint))
    assert source_at(mountpoint) is None and not daemons_of(str(mountpoint))
    assert q.status("downs").volumes[0].mountpoint is None

    objects.unlink()
    objects.with_name("objects.moved").rename(objects)
    q.mount("downs", str(mountpoint))
    assert [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")] == []  # no probe file left
    q.unmount("downs")
    assert children_of_this_process("Z") == []


def test_parallel_flushes_of_one_volume(machine: Machine, fuse: None) -> None:
    machine.cli("init", "busy-flush", "--dev")
    mountpoint = machine.root / "bf"
    machine.cli("mount", "busy-flush", str(mountpoint))
    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(lambda _: machine.cli("flush", "busy-flush", check=False), range(32)))
    assert [r.returncode for r in results] == [0] * 32, next(r.stderr for r in results if r.returncode)
    assert [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")] == []
    machine.cli("unmount", "busy-flush")


def test_mount_all_after_a_reboot(machine: Machine, fuse: None) -> None:
    q = quarvo.Quarvo.from_env()
    digests = {}
    for name in ("boot-a", "boot-b"):
        q.init(name, dev=True)
        mountpoint = Path(q.mount(name, name).mountpoint)
        digests[name] = write_random(mountpoint / "data", 1 << 20)
        q.flush(name)
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
