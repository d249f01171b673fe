"""Development volumes end to end through the API and the `quarvo` command."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from real_support import (
    Machine,
    checksum,
    clean_up,
    daemons_of,
    fs_type,
    missing,
    source_at,
    wait_until,
    write_random,
)

import quarvo

pytestmark = pytest.mark.real_backend


def test_a_name_the_backend_refuses_fails_with_its_reason(machine: Machine) -> None:
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
    mount = (
        (lambda n, p: q.mount(n, p, check_storage=True).mountpoint)
        if api
        else (lambda n, p: json.loads(run("mount", n, p, "--check-storage", "--json").stdout)["mountpoint"])
    )
    state = (lambda n: q.volume_states(n)[0].state) if api else machine.state

    def recorded(n):
        return q.status(n).volumes[0].mountpoint

    init("scratch")
    mountpoint = Path(mount("scratch", "mnt/scratch"))
    assert mountpoint == machine.root / "mnt" / "scratch"  # relative to the working directory
    assert (fs_type(mountpoint), source_at(mountpoint)) == ("fuse.juicefs", "JuiceFS:scratch")

    digest = write_random(mountpoint / "blob", 64 << 20)
    flush("scratch")
    assert [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")] == []  # no probe or marker left
    assert (recorded("scratch"), state("scratch")) == (str(mountpoint), "mounted")
    unmount("scratch")
    assert (fs_type(mountpoint), recorded("scratch"), (mountpoint / "blob").exists()) == (None, None, False)
    assert not daemons_of(str(mountpoint))  # unmount waited for the daemon
    assert mount("scratch", str(mountpoint)) == str(mountpoint)
    assert checksum(mountpoint / "blob") == digest
    unmount("scratch")


@pytest.mark.parametrize("ended_by", ["backend umount", "SIGTERM"])
def test_foreground_mount_serves_without_the_lock(machine: Machine, fuse: None, juicefs: str, ended_by: str) -> None:
    machine.cli("init", "served", "--dev")
    mountpoint = machine.root / "served"
    child = subprocess.Popen(
        [sys.executable, "-m", "quarvo", "mount", "served", str(mountpoint), "--foreground"],
        env=machine.env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # Another process sees it mounted, and takes the registry lock meanwhile.
        wait_until(lambda: machine.state("served") == "mounted" or child.poll() is not None, "the mount")
        assert child.poll() is None, child.communicate()[1]
        (mountpoint / "note").write_text("served in the foreground")
        machine.cli("flush", "served")
        machine.cli("init", "meanwhile", "--dev")
        if ended_by == "SIGTERM":
            child.send_signal(signal.SIGTERM)
        else:
            subprocess.run([juicefs, "umount", str(mountpoint)], check=True, capture_output=True, timeout=60)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    assert ("until stopped" if ended_by == "SIGTERM" else "until it was unmounted") in out
    assert (fs_type(mountpoint), machine.state("served")) == (None, None)
    assert not daemons_of(str(mountpoint))
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
    log = machine.home / "logs" / "checked.log"
    reason, where = result.stderr.splitlines()[-2:]
    assert result.returncode == 1 and reason.startswith("reason: Failed to put: ") and "not a directory" in reason
    assert where == f"log: {log}"
    assert (fs_type(machine.root / "checked"), machine.state("checked")) == (None, None)
    assert not daemons_of(str(machine.root / "checked"))


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
        for target in [
            home / "dev" / "private" / "metadata.db",
            objects[0],
            home / "logs" / "private.log",
            home / "volumes" / "private.toml",
        ]:
            read = subprocess.run(["runuser", "-u", user, "--", "cat", str(target)], capture_output=True, timeout=60)
            assert (read.returncode, b"Permission denied" in read.stderr) == (1, True), target
    finally:
        subprocess.run(["userdel", user], capture_output=True, timeout=60)
        clean_up(base, juicefs)
        shutil.rmtree(base, ignore_errors=True)
