"""Development volumes end to end through the API and the `quarvo` command."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from real_support import Machine, checksum, clean_up, daemons_of, fs_type, kill_all, missing, wait_until, write_random

import quarvo

pytestmark = pytest.mark.real_backend


def test_name_the_backend_refuses(machine: Machine) -> None:
    result = machine.cli("init", "My_Vol", "--dev", check=False)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [
        "quarvo: error: invalid volume name \"My_Vol\"; use only letters, numbers, '.', '_' and '-'",
        "hint: the storage backend takes volume names of 3 to 63 characters: lowercase letters, digits and '-', "
        "beginning and ending with a letter or digit"]
    assert not (machine.home / "dev" / "My_Vol").exists()
    # The API keeps its own rule and lets the backend refuse, with its reason.
    with pytest.raises(quarvo.QuarvoError) as failure:
        quarvo.Quarvo.from_env().ensure_volume("My_Vol", dev=True)
    assert failure.value.args == ("Quarvo storage backend command failed (exit status: 1)",)
    assert failure.value.__notes__ == [failure.value.reason] and "My_Vol" in failure.value.reason
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
    state = (lambda n: q.volume_states(n)[0].state) if api else machine.state
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
    reason = result.stderr.splitlines()[-1]
    assert result.returncode == 1 and reason.startswith("reason: Failed to put: ") and "not a directory" in reason
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
    assert quarvo.Quarvo.from_env().volume_states("doomed")[0].state == "stale"

    # The recovery the hint gives.
    refused = machine.cli("unmount", "doomed", check=False)
    assert refused.returncode == 1 and "has lost its daemon" in refused.stderr
    subprocess.run(["umount", "-l", str(mountpoint)], check=True, capture_output=True)
    status = machine.cli("status")
    assert status.stdout.splitlines()[1].split()[2:4] == ["not", "mounted"]
    assert "run `quarvo mount --all` to mount them again" in status.stderr
    machine.cli("mount", "doomed", str(mountpoint))
    assert (mountpoint / "kept").read_text() == "flushed before the crash"
    machine.cli("unmount", "doomed")
    assert machine.state("doomed") is None


def test_another_user_reads_nothing_of_a_dev_volume(machine: Machine, fuse: None, juicefs: str) -> None:
    if os.geteuid() != 0 or not shutil.which("useradd") or not shutil.which("runuser"):
        missing("needs root with useradd and runuser to play another user")
    # A home in a directory anyone may enter, so that only the modes Quarvo gives protect it.
    base = Path(tempfile.mkdtemp(prefix="quarvo-private-"))
    base.chmod(0o755)
    home = base / "home"
    mine = Machine(home, dict(machine.env, QUARVO_HOME=str(home)), machine.root)
    user = f"quarvo-other-{os.getpid()}"
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", user], check=True, timeout=60)
    try:
        mine.cli("init", "private", "--dev")
        mine.cli("mount", "private", str(machine.root / "private"))
        write_random(machine.root / "private" / "secret.bin", 1 << 20)
        mine.cli("unmount", "private")
        objects = [p for p in (home / "dev" / "private" / "objects").rglob("*") if p.is_file()]
        assert objects
        for target in [home / "dev" / "private" / "metadata.db", objects[0], home / "logs" / "private.log",
                       home / "volumes" / "private.toml"]:
            read = subprocess.run(["runuser", "-u", user, "--", "cat", str(target)], capture_output=True, timeout=60)
            assert (read.returncode, b"Permission denied" in read.stderr) == (1, True), target
    finally:
        subprocess.run(["userdel", user], capture_output=True, timeout=60)
        clean_up(base, juicefs)
        shutil.rmtree(base, ignore_errors=True)
