"""Settings that stay with a volume, its cache under the home, the daemons that
serve it, and the unit that mounts it again after a reboot, with the real client."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import pytest
from real_support import Machine, daemons_of, missing, mount_at, wait_until, write_random

import quarvo

pytestmark = pytest.mark.real_backend


def test_settings_reach_every_mount_and_the_cache_stays_in_the_home(machine: Machine) -> None:
    refused = machine.cli("init", "conf", "--dev", "--set", "attr-cache=abc", check=False)
    assert refused.returncode == 1 and 'setting attr-cache = "abc"' in refused.stderr and machine.files() == set()
    machine.cli("init", "conf", "--dev", "--set", "read-only=true")
    at = machine.root / "conf"
    machine.cli("mount", "conf", str(at))
    with pytest.raises(OSError) as written:
        (at / "new").write_text("x")
    assert written.value.errno == errno.EROFS
    assert "nothing to flush" in machine.cli("flush", "conf").stderr
    details = machine.inspect("conf")
    uuid = details["backend"]["uuid"]
    assert (details["settings"], details["daemon"]["read_only"]) == ({"read-only": True}, True)
    assert details["cache_dir"] == str(machine.home / "cache" / uuid) and os.path.isdir(details["cache_dir"])
    assert not os.path.exists(f"/var/jfsCache/{uuid}")

    # A change reaches a mounted volume at its next mount; a sub-directory for
    # one mount shows only that directory, made as private as the root.
    assert "reaches it at its next mount" in machine.cli("config", "conf", "--unset", "read-only").stderr
    machine.cli("unmount", "conf")
    machine.cli("mount", "conf", str(at), "--set", "subdir=projects/web")
    kept = write_random(at / "page.html", 1 << 16)
    assert sorted(p for p in os.listdir(at) if not p.startswith(".")) == ["page.html"]
    machine.cli("unmount", "conf")
    other_cache = machine.root / "other-cache"
    machine.cli("config", "conf", f"cache-dir={other_cache}")
    machine.cli("mount", "conf", str(at))
    assert (at / "projects" / "web" / "page.html").read_bytes() == kept
    assert (at / "projects" / "web").stat().st_mode & 0o777 == 0o700
    write_random(at / "more.bin", 1 << 20)
    machine.cli("flush", "conf")
    # What inspect shows: the cache in use and what it takes, the metrics the mount serves.
    seen = machine.inspect("conf")
    assert seen["cache_dir"] == str(other_cache / uuid) and seen["cache_bytes"] >= 1 << 20
    with urllib.request.urlopen(f"http://{seen['daemon']['metrics']}/metrics", timeout=30) as served:
        assert b"juicefs_" in served.read()
    assert seen["autostart"]["installed"] is False
    machine.cli("unmount", "conf")
    caches = [machine.home / "cache" / uuid, other_cache / uuid]
    assert all(c.is_dir() for c in caches)
    machine.cli("config", "conf", "--unset", "cache-dir")  # the record still knows where it was
    machine.cli("rm", "conf")  # every cache the volume has used goes with it
    assert not any(c.exists() for c in caches)


def test_the_supervisor_serves_again_when_its_daemon_is_killed(machine: Machine) -> None:
    machine.cli("init", "kept", "--dev")
    at = machine.root / "kept"
    machine.cli("mount", "kept", str(at))
    data = write_random(at / "data", 1 << 20)
    before = machine.inspect("kept")["daemon"]
    os.kill(before["pid"], signal.SIGKILL)

    def answers() -> bool:
        read = subprocess.run(["cat", str(at / "data")], capture_output=True, timeout=60)
        return read.returncode == 0 and read.stdout == data

    wait_until(answers, "the mount to answer again")
    after = machine.inspect("kept")["daemon"]
    assert after["supervisor_pid"] == before["supervisor_pid"] and after["pid"] not in (None, before["pid"])
    assert machine.state("kept") == "mounted"
    machine.cli("flush", "kept")
    machine.cli("unmount", "kept")
    assert (mount_at(at), daemons_of(str(at))) == (None, [])


@contextlib.contextmanager
def private_dir(path: str) -> Iterator[None]:
    """An empty tmpfs over `path` while the block runs (the session's mount namespace is its own)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(b"tmpfs", path.encode(), b"tmpfs", 0, b"mode=0755") != 0:
        missing(f"cannot mount a tmpfs over {path}: {os.strerror(ctypes.get_errno())}")
    try:
        yield
    finally:
        libc.umount2(path.encode(), 2)


# Root's system unit for a home whose path a unit file and a shell must quote,
# checked by systemd itself; its line, run from an empty environment after a
# "reboot" (records naming mountpoints where nothing is mounted any more),
# mounts each volume again with its settings; disabling leaves the mounts.
def test_autostart_unit_and_its_line_after_a_reboot(machine: Machine, juicefs: str) -> None:
    analyze = shutil.which("systemd-analyze") or missing("no systemd-analyze (Debian package systemd)")
    if os.geteuid() != 0:
        missing("root's system unit needs root")
    odd = machine.another("boot home %z $HOME 'q' \\")  # %z: no specifier systemd knows
    odd.cli("doctor", "--install")  # the unit's environment names the home, nothing else
    odd.cli("init", "boot-ro", "--dev", "--set", "read-only=true")
    odd.cli("init", "boot-rw", "--dev")
    places = {name: machine.root / name for name in ("boot-ro", "boot-rw")}
    for name, at in places.items():
        odd.cli("mount", name, str(at))
    data = write_random(places["boot-rw"] / "data", 1 << 20)
    odd.cli("flush", "boot-rw")
    for at in places.values():
        subprocess.run([juicefs, "umount", str(at)], check=True, capture_output=True, timeout=60)
    assert [odd.state(name) for name in places] == ["not mounted"] * 2

    with private_dir("/etc/systemd/system"):
        enabled = json.loads(odd.cli("autostart", "enable", "--json").stdout)
        assert (enabled["system"], enabled["enabled"], enabled["installed"]) == (True, True, True)
        assert enabled["name"] != json.loads(machine.cli("autostart", "status", "--json").stdout)["name"]
        unit = Path(enabled["unit"])
        assert (unit.parent / "multi-user.target.wants" / unit.name).resolve() == unit
        # The daemons outlive the command, and stopping the unit ends none of them.
        assert {"Type=oneshot", "RemainAfterExit=yes", "KillMode=process"} <= set(unit.read_text().splitlines())
        verified = subprocess.run([analyze, "verify", str(unit)], capture_output=True, text=True, timeout=120)
        assert verified.returncode == 0 and str(unit) not in verified.stderr, verified.stderr
        assert json.loads(odd.cli("autostart", "status", "--json").stdout)["enabled"] == "enabled"
        shown = {key: enabled[key] for key in ("unit", "name", "system", "installed")}
        assert odd.inspect("boot-rw")["autostart"] == shown

        subprocess.run(["sh", "-c", enabled["line"]], env={"PATH": "/usr/bin:/bin"}, cwd="/", check=True, timeout=300)
        assert [odd.state(name) for name in places] == ["mounted"] * 2
        assert (places["boot-rw"] / "data").read_bytes() == data
        with pytest.raises(OSError) as written:
            (places["boot-ro"] / "new").write_text("x")
        assert written.value.errno == errno.EROFS

        odd.cli("autostart", "disable")
        assert not unit.exists() and not (unit.parent / "multi-user.target.wants" / unit.name).is_symlink()
        assert [odd.state(name) for name in places] == ["mounted"] * 2


def test_a_users_own_unit(juicefs: str) -> None:
    analyze = shutil.which("systemd-analyze") or missing("no systemd-analyze (Debian package systemd)")
    runuser = shutil.which("runuser")
    if os.geteuid() != 0 or not shutil.which("useradd") or not runuser:
        missing("needs root with useradd and runuser to play another user")
    base = Path(tempfile.mkdtemp(prefix="quarvo-autostart-"))
    base.chmod(0o755)
    user = f"quarvo-unit-{os.getpid()}"
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", user], check=True, timeout=60)
    try:
        for d in ("home", "run"):
            (base / d).mkdir(mode=0o700)
            shutil.chown(base / d, user)
        # This Python may live where the user cannot go (a home of root's): the
        # system's runs the package from where it is installed.
        python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
        env = {"PATH": "/usr/bin:/bin", "HOME": str(base / "home"), "QUARVO_HOME": str(base / "home" / ".quarvo"),
               "XDG_RUNTIME_DIR": str(base / "run"), "PYTHONPATH": str(Path(quarvo.__file__).parents[1])}  # fmt: skip

        def as_user(*args: str) -> subprocess.CompletedProcess[str]:
            # runuser sets HOME to the user's own: the environment is given after it.
            command = [runuser, "-u", user, "--", "env", *(f"{k}={v}" for k, v in env.items()), *args]
            return subprocess.run(command, env=env, capture_output=True, text=True, timeout=120, cwd=base)

        enabled = as_user(python, "-m", "quarvo", "autostart", "enable", "--at-boot", "--json")
        assert enabled.stdout, enabled.stderr
        facts = json.loads(enabled.stdout)
        unit = base / "home" / ".config" / "systemd" / "user" / facts["name"]
        assert (facts["system"], facts["unit"], facts["enabled"], enabled.returncode) == (False, str(unit), True, 0)
        assert (unit.parent / "default.target.wants" / unit.name).is_symlink() and "WantedBy=default.target" in (
            unit.read_text()
        )
        verified = as_user(analyze, "--user", "verify", str(unit))
        assert verified.returncode == 0 and str(unit) not in verified.stderr, verified.stderr
        assert as_user(python, "-m", "quarvo", "autostart", "disable").returncode == 0
        assert not unit.exists()

        # FUSE lets other users into a user's mount only with user_allow_other.
        env["QUARVO_STORAGE_BACKEND_BIN"] = juicefs
        allowed = any(line.split("#")[0].strip() == "user_allow_other" for line in open("/etc/fuse.conf"))
        made = as_user(python, "-m", "quarvo", "init", "open-vol", "--dev", "--set", "allow-other=true")
        assert made.returncode == int(not allowed), made.stderr
        assert allowed or "allow-other needs the line user_allow_other in /etc/fuse.conf" in made.stderr
    finally:
        subprocess.run(["userdel", user], capture_output=True, timeout=60)
        shutil.rmtree(base, ignore_errors=True)


# After a reboot the engine of a shared volume may not be reachable yet (its
# network is not up): --retry tries it again until it is, within its bound.
def test_mount_all_retries_a_shared_volume_until_its_engine_answers(machine: Machine, juicefs: str) -> None:
    engine = machine.root / "engine"
    engine.mkdir()
    machine.cli("init", "late", "--metadata", f"sqlite3://{engine}/meta.db", "--store", f"file://{machine.root}/obj")
    at = machine.root / "late"
    machine.cli("mount", "late", str(at))
    subprocess.run([juicefs, "umount", str(at)], check=True, capture_output=True, timeout=60)
    away = engine.rename(machine.root / "engine.away")
    assert machine.cli("mount", "--all", check=False).returncode == 1
    threading.Timer(3, away.rename, (engine,)).start()
    retried = machine.cli("mount", "--all", "--retry", "60")
    assert "late: not mounted yet; trying again" in retried.stderr and f"mounted late at {at}" in retried.stdout
    assert machine.state("late") == "mounted"
