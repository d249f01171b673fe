"""Development volumes end to end through the API and the `quarvo` command."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from real_support import Machine, checksum, daemons_of, fs_type, kill_all, wait_until, write_random

import quarvo
from quarvo import _mounts

pytestmark = pytest.mark.real_backend


def test_name_the_backend_refuses(machine: Machine) -> None:
    result = machine.cli("init", "My_Vol", "--dev", check=False)
    assert result.returncode == 1
    error, hint = result.stderr.splitlines()[-2:]
    assert error == "quarvo: error: Quarvo storage backend command failed (exit status: 1)"
    assert hint.startswith("hint: ") and "3 to 63 characters" in hint and '"My_Vol"' in hint
    with pytest.raises(quarvo.QuarvoError, match=r"^Quarvo storage backend command failed \(exit status: 1\)$"):
        quarvo.Quarvo.from_env().ensure_volume("My_Vol", dev=True)
    assert quarvo.Quarvo.from_env().status().volumes == []


@pytest.mark.parametrize("driver", ["api", "cli"])
def test_dev_volume_round_trip(machine: Machine, fuse: None, driver: str) -> None:
    q, run = quarvo.Quarvo.from_env(), machine.cli
    api = driver == "api"
    init = (lambda n: q.init(n, dev=True)) if api else (lambda n: run("init", n, "--dev"))
    flush = q.flush if api else (lambda n: run("flush", n))
    unmount = q.unmount if api else (lambda n: run("unmount", n))
    mount = ((lambda n, p: q.mount(n, p, check_storage=True).mountpoint) if api
             else (lambda n, p: json.loads(run("mount", n, p, "--check-storage", "--json").stdout)["mountpoint"]))
    state = ((lambda n: _mounts.mount_state(q.status(n).volumes[0].mountpoint, _mounts.read_mount_table())) if api
             else machine.state)
    init("scratch")
    mountpoint = Path(mount("scratch", "mnt/scratch"))
    assert mountpoint == machine.root / "mnt" / "scratch"  # relative to the working directory
    assert fs_type(mountpoint) == "fuse.juicefs"

    digest = write_random(mountpoint / "blob", 64 << 20)
    flush("scratch")
    assert [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")] == []  # no probe or marker left
    assert state("scratch") == "mounted"
    unmount("scratch")
    assert (fs_type(mountpoint), state("scratch"), (mountpoint / "blob").exists()) == (None, None, False)
    assert mount("scratch", str(mountpoint)) == str(mountpoint)
    assert checksum(mountpoint / "blob") == digest
    unmount("scratch")


def test_foreground_mount_ended_from_outside(machine: Machine, fuse: None, juicefs: str) -> None:
    machine.cli("init", "served", "--dev")
    mountpoint = machine.root / "served"
    child = subprocess.Popen([sys.executable, "-m", "quarvo", "mount", "served", str(mountpoint), "--foreground"],
                             env=machine.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        wait_until(lambda: fs_type(mountpoint) == "fuse.juicefs" or child.poll() is not None, "the mount")
        assert child.poll() is None, child.communicate()[1]
        (mountpoint / "note").write_text("served in the foreground")
        # The child holds the registry lock for the mount's life: end it with the backend's own command.
        subprocess.run([juicefs, "umount", str(mountpoint)], check=True, capture_output=True, timeout=60)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    assert "until it was unmounted" in out and fs_type(mountpoint) is None
    assert quarvo.Quarvo.from_env().status("served").volumes[0].mountpoint is None
    machine.cli("mount", "served", str(mountpoint))
    assert (mountpoint / "note").read_text() == "served in the foreground"
    machine.cli("unmount", "served")


def test_unmount_of_a_busy_mount_needs_force(machine: Machine, fuse: None) -> None:
    machine.cli("init", "busy", "--dev")
    mountpoint = machine.root / "busy"
    machine.cli("mount", "busy", str(mountpoint))
    holder = subprocess.Popen(["sleep", "300"], cwd=mountpoint)
    try:
        refused = machine.cli("unmount", "busy", check=False)
        assert refused.returncode == 1
        hint = f"hint: files under {mountpoint} may be open; close them, or pass --force"
        assert refused.stderr.splitlines()[-1] == hint
        assert machine.state("busy") == "mounted"
        machine.cli("unmount", "busy", "--force")
        assert (fs_type(mountpoint), machine.state("busy")) == (None, None)
    finally:
        holder.kill()
        holder.wait()
    wait_until(lambda: not daemons_of(str(mountpoint)), "the mount daemon to end")


def test_check_storage_refuses_a_broken_store(machine: Machine, fuse: None) -> None:
    machine.cli("init", "checked", "--dev")
    # Without the check this mount would succeed and its first write stall in upload retries.
    objects = machine.home / "dev" / "checked" / "objects"
    objects.rename(objects.with_name("objects.moved"))
    objects.write_text("not a directory")
    result = machine.cli("mount", "checked", "checked", "--check-storage", check=False)
    assert result.returncode == 1 and result.stderr.splitlines()[-1].startswith("hint: `quarvo mount checked ")
    assert (fs_type(machine.root / "checked"), machine.state("checked")) == (None, None)


def test_status_reports_a_mount_whose_daemon_was_killed_as_stale(machine: Machine, fuse: None) -> None:
    machine.cli("init", "doomed", "--dev")
    mountpoint = machine.root / "doomed"
    machine.cli("mount", "doomed", str(mountpoint))
    (mountpoint / "kept").write_text("flushed before the crash")
    machine.cli("flush", "doomed")
    assert daemons_of(str(mountpoint))
    # The daemon's supervisor restarts a killed worker, so repeat until neither is left.
    wait_until(lambda: kill_all(daemons_of(str(mountpoint))) or not daemons_of(str(mountpoint)), "the daemon to die")
    assert fs_type(mountpoint) == "fuse.juicefs"  # the kernel still lists it
    assert machine.state("doomed") == "stale"
    assert machine.cli("status").stdout.splitlines()[1].split()[:4] == ["doomed", "dev", "stale", str(mountpoint)]

    # The recovery the hint gives.
    refused = machine.cli("unmount", "doomed", check=False)
    assert refused.returncode == 1 and "has lost its daemon" in refused.stderr
    subprocess.run(["umount", "-l", str(mountpoint)], check=True, capture_output=True)
    machine.cli("mount", "doomed", str(mountpoint))
    assert (mountpoint / "kept").read_text() == "flushed before the crash"
    machine.cli("unmount", "doomed")
    assert machine.state("doomed") is None
