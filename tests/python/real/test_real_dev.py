"""Development volumes end to end through the API and the `quarvo` command: what is
mounted, as the kernel says it, against what the records say."""

from __future__ import annotations

import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from real_support import Machine, clean_up, daemons_of, kill_daemons, mount_at, wait_until, write_random
from support import children_of_this_process

import quarvo

pytestmark = pytest.mark.real_backend


def serve_in_the_foreground(machine: Machine, mountpoint: Path, blob: bytes) -> None:
    """The volume's data there again in a foreground mount that another process
    sees and takes the registry lock beside, until SIGTERM ends it."""
    child = subprocess.Popen([sys.executable, "-m", "quarvo", "mount", "scratch", str(mountpoint), "--foreground"],
                             env=machine.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)  # fmt: skip
    try:
        # Another process sees it mounted, and takes the registry lock meanwhile.
        wait_until(lambda: machine.state("scratch") == "mounted" or child.poll() is not None, "the mount")
        assert child.poll() is None, child.communicate()[1]
        assert (mountpoint / "blob").read_bytes() == blob
        machine.cli("init", "meanwhile", "--dev")
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert (child.returncode, "until stopped" in out) == (0, True), err
    assert (mount_at(mountpoint), machine.state("scratch"), daemons_of(str(mountpoint))) == (None, None, [])


# Each step once, through the API or the command: a log rotated, many flushes at
# once, an unmount that waits for its daemon, the data there again in a foreground
# mount that another process sees and SIGTERM ends, and a removal, refused while
# mounted and forced, with the data, logs and cache.
def test_dev_volume_life(machine: Machine) -> None:
    q = quarvo.Quarvo.from_env()
    machine.cli("init", "scratch", "--dev")
    log = machine.home / "logs" / "scratch.log"
    log.write_bytes(b"old\n" * ((8 << 20) // 4 + 1))  # just over 8 MiB
    mountpoint = Path(q.mount("scratch", "mnt/scratch", check_storage=True).mountpoint)
    assert mountpoint == machine.root / "mnt" / "scratch"  # relative to the working directory
    assert mount_at(mountpoint) == ("fuse.juicefs", "JuiceFS:scratch")
    assert (machine.home / "logs" / "scratch.log.1").stat().st_size == (8 << 20) + 4
    assert 0 < log.stat().st_size < 1 << 20 and b"old\n" not in log.read_bytes()[:4]  # the daemon's new log
    blob = write_random(mountpoint / "blob", 64 << 20)
    q.flush("scratch")
    with ThreadPoolExecutor(8) as pool:
        flushes = list(pool.map(lambda _: machine.cli("flush", "scratch", check=False), range(32)))
    assert [r.returncode for r in flushes] == [0] * 32, next(r.stderr for r in flushes if r.returncode)
    assert not [n for n in os.listdir(mountpoint) if n.startswith(".quarvo")]  # no probe or marker left
    # The mount command colours its "OK" whatever its output is; `logs` into a pipe drops the codes.
    wait_until(lambda: b"\x1b[92mOK\x1b[0m, scratch is ready" in log.read_bytes(), "the mount command's OK")
    assert "OK, scratch is ready" in machine.cli("logs", "scratch").stdout.replace("\x1b", "ESC")
    assert (q.volume_states("scratch")[0].state, machine.state("scratch")) == ("mounted", "mounted")
    q.unmount("scratch")
    assert (mount_at(mountpoint), machine.state("scratch"), daemons_of(str(mountpoint))) == (None, None, [])

    serve_in_the_foreground(machine, mountpoint, blob)

    mounted = machine.cli("mount", "scratch", str(mountpoint), "--json").stdout
    assert json.loads(mounted)["mountpoint"] == str(mountpoint)
    details = machine.inspect("scratch")
    uuid, cache = details["backend"]["uuid"], details["cache_dirs"]
    assert details["state"] == "mounted" and cache and all(uuid in c and os.path.isdir(c) for c in cache)
    refused = machine.cli("rm", "scratch", check=False)
    assert refused.returncode == 1 and refused.stderr.splitlines()[-2:] == [
        f'quarvo: error: volume "scratch" is mounted at {mountpoint}',
        "hint: `quarvo rm scratch --force` unmounts it first",
    ]
    assert machine.cli("rm", "scratch", "--force").stdout == "removed development volume scratch and its data\n"
    assert mount_at(mountpoint) is None and not [f for f in machine.files() if "scratch" in f]
    assert not any(os.path.exists(c) for c in cache)
    wait_until(lambda: not daemons_of(str(mountpoint)), "the mount daemon to end")


# A store every upload to fails: the check fails the mount at once, and
# without it the probe's write waits on retries, which Ctrl-C ends.
def test_a_broken_store_fails_the_mount_and_leaves_nothing(machine: Machine) -> None:
    q = quarvo.Quarvo.from_env()
    q.init("downs", dev=True)
    objects = machine.home / "dev" / "downs" / "objects"
    objects.rename(objects.with_name("objects.moved"))
    objects.write_text("not a directory")  # every upload now fails, and is retried for minutes
    mountpoint = machine.root / "downs"
    result = machine.cli("mount", "downs", str(mountpoint), "--check-storage", check=False)
    reason, where = result.stderr.splitlines()[-2:]
    assert result.returncode == 1 and reason.startswith("reason: Failed to put: ") and "not a directory" in reason
    assert where == f"log: {machine.home / 'logs' / 'downs.log'}"
    assert (mount_at(mountpoint), machine.state("downs"), daemons_of(str(mountpoint))) == (None, None, [])

    threading.Timer(5, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        q.mount("downs", str(mountpoint))
    assert (mount_at(mountpoint), daemons_of(str(mountpoint))) == (None, [])
    assert q.status("downs").volumes[0].mountpoint is None
    wait_until(lambda: not children_of_this_process("Z"), "the reaper to take the ended mount command")


# Root's mount of a development volume has allow_other, which the backend always sets:
# its root directory is what keeps another user out of it, and out of what is under it,
# and the backend's socket that hands out the mount's FUSE descriptor is root's alone,
# whatever the caller's umask.
def test_another_user_reads_nothing_of_a_dev_volume(machine: Machine, juicefs: str, other_user) -> None:
    # A home in a directory anyone may enter, so that only the modes Quarvo gives protect it.
    base = Path(tempfile.mkdtemp(prefix="quarvo-private-"))
    base.chmod(0o755)
    home, mountpoint = base / "home", base / "private"
    mine = Machine(home, dict(machine.env, QUARVO_HOME=str(home)), machine.root)

    def as_other(*command: str) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run(["runuser", "-u", other_user.pw_name, "--", *command], capture_output=True, timeout=60)

    try:
        mine.cli("init", "private", "--dev")
        # A caller whose umask would leave what the backend makes open to everyone.
        command = [sys.executable, "-m", "quarvo", "mount", "private", str(mountpoint)]
        subprocess.run(command, env=mine.env, capture_output=True, check=True, timeout=300, umask=0)
        write_random(mountpoint / "secret.bin", 1 << 20)
        (mountpoint / "open").mkdir(mode=0o777)
        (mountpoint / "open").chmod(0o777)
        (mountpoint / "open" / "note").write_text("mine")
        assert mount_at(mountpoint) == ("fuse.juicefs", "JuiceFS:private") and "allow_other" in _options(mountpoint)
        access = mine.inspect("private")["access"]
        assert (access["allow_other"], access["mode"], access["who"].split(" (")[0]) == (True, "0700", "its owner only")
        supervisor = json.loads((mountpoint / ".config").read_text())["PPid"]
        connect = f"import socket; socket.socket(socket.AF_UNIX).connect('/tmp/fuse_fd_comm.{supervisor}')"
        assert as_other("/usr/bin/python3", "-c", "import os; os.listdir(os.sys.argv[1])", str(base)).returncode == 0
        tries = [["ls", str(mountpoint)], ["cat", str(mountpoint / "secret.bin")], ["touch", str(mountpoint / "p")],
                 ["cat", str(mountpoint / "open" / "note")], ["touch", str(mountpoint / "open" / "planted")],
                 ["/usr/bin/python3", "-c", connect]]  # fmt: skip
        for command in tries:
            refused = as_other(*command)
            assert refused.returncode != 0 and b"Permission denied" in refused.stderr, command
        mine.cli("unmount", "private")
        private = [home / p for p in ("dev/private/metadata.db", "logs/private.log", "volumes/private.toml")]
        objects = [p for p in (home / "dev" / "private" / "objects").rglob("*") if p.is_file()]
        for target in [*private, objects[0]]:
            read = as_other("cat", str(target))
            assert (read.returncode, b"Permission denied" in read.stderr) == (1, True), target
        mine.cli("mount", "private", str(mountpoint))  # the mode is the volume's: still the owner's alone
        assert stat.S_IMODE(mountpoint.stat().st_mode) == 0o700 and (mountpoint / "open" / "note").exists()
    finally:
        clean_up(base, juicefs)
        shutil.rmtree(base, ignore_errors=True)


def _options(mountpoint: Path) -> str:
    with open("/proc/self/mountinfo") as f:
        return next(line.split()[-1] for line in f if line.split()[4] == str(mountpoint))


def test_a_dead_daemon_and_another_volume_at_the_path(machine: Machine) -> None:
    for name in ("vol-a", "vol-b"):
        machine.cli("init", name, "--dev")
    shared, second = machine.root / "P", machine.root / "second"
    machine.cli("mount", "vol-a", str(shared))
    kept = write_random(shared / "kept", 1 << 20)
    machine.cli("flush", "vol-a")
    # A second path while the first serves: refused, no second daemon.
    refused = machine.cli("mount", "vol-a", str(second), check=False)
    assert refused.returncode == 1 and f'volume "vol-a" is mounted at {shared}' in refused.stderr
    assert daemons_of(str(second)) == []

    kill_daemons(shared)
    assert mount_at(shared) == ("fuse.juicefs", "JuiceFS:vol-a")  # the kernel still lists it
    assert machine.cli("status").stdout.splitlines()[1].split()[:4] == ["vol-a", "dev", "stale", str(shared)]
    flush = machine.cli("flush", "vol-a", check=False)
    assert flush.returncode == 1 and "Transport endpoint is not connected" in flush.stderr
    remounted = machine.cli("mount", "vol-a", str(shared))
    assert "had lost its daemon; unmounted it and mounted it again" in remounted.stderr
    assert (shared / "kept").read_bytes() == kept
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


# The records after a reboot: mount --all serves them again (one whose mountpoint is
# now a file fails alone), and prune removes the development volumes nothing serves
# (a dead mount detached) but not the others.
def test_mount_all_and_prune_after_a_reboot(machine: Machine) -> None:
    q = quarvo.Quarvo.from_env()
    (machine.root / "boot-b").mkdir()
    (machine.root / "link").symlink_to(machine.root / "boot-b")
    written = {}
    for name, path in (("boot-a", "boot-a"), ("boot-b", "link"), ("boot-c", "boot-c")):  # a link mounts at its target
        q.init(name, dev=True)
        mountpoint = q.mount(name, path).mountpoint
        assert mountpoint == q.status(name).volumes[0].mountpoint == str(machine.root / name)
        written[name] = write_random(Path(mountpoint) / "data", 1 << 20)
        q.flush(name)
    assert machine.state("boot-b") == "mounted"
    q.init("never-mounted", dev=True)
    machine.cli(
        "init", "team", "--metadata", f"sqlite3://{machine.root}/team.db", "--store", f"file://{machine.root}/o"
    )
    # The reboot: every daemon gone, every mount gone, the records unchanged.
    for name in written:
        kill_daemons(machine.root / name)
        subprocess.run(["umount", "-l", str(machine.root / name)], check=True)
    (machine.root / "boot-c").rmdir()
    (machine.root / "boot-c").write_text("a file now")

    assert "run `quarvo mount --all` to mount them again" in machine.cli("status").stderr
    result = machine.cli("mount", "--all", "--json", check=False)
    assert result.returncode == 1 and "note: it was recorded at" in result.stderr
    mounted = [{"name": n, "mountpoint": str(machine.root / n)} for n in ("boot-a", "boot-b")]
    error = f"mountpoint {machine.root / 'boot-c'} exists and is not a directory"
    failed = {"name": "boot-c", "kind": "MountpointNotDirectory", "error": error, "reason": None}
    assert json.loads(result.stdout) == {"volumes": [*mounted, failed]}
    for name in ("boot-a", "boot-b"):
        assert (machine.root / name / "data").read_bytes() == written[name]
    assert [(n, type(o)) for n, o in q.mount_all().items()] == [("boot-c", quarvo.QuarvoError)]  # the rest is mounted

    # Mounted at once, each told as it comes: a line each, the failure on its own.
    for name in ("boot-a", "boot-b"):
        kill_daemons(machine.root / name)
        subprocess.run(["umount", "-l", str(machine.root / name)], check=True)
    result = machine.cli("mount", "--all", check=False)
    assert sorted(result.stdout.splitlines()) == [f"mounted {n} at {machine.root / n}" for n in ("boot-a", "boot-b")]
    assert result.stderr.count("quarvo: error: boot-c: ") == 1 and machine.state("boot-b") == "mounted"
    told = []
    assert list(q.mount_all(on_result=lambda *outcome: told.append(outcome))) == ["boot-c"]
    assert [(n, type(o)) for n, o in told] == [("boot-c", quarvo.QuarvoError)]
    with pytest.raises(ZeroDivisionError):  # the callback's own error stops the call
        q.mount_all(on_result=lambda *_: 1 / 0)

    kill_daemons(machine.root / "boot-a")
    assert machine.state("boot-a") == "stale"
    pruned = sorted(machine.cli("prune", "--yes").stdout.splitlines())
    assert pruned == [f"removed development volume {n} and its data" for n in ("boot-a", "boot-c", "never-mounted")]
    assert mount_at(machine.root / "boot-a") is None  # the dead mount was detached
    assert [v.name for v in q.status().volumes] == ["boot-b", "team"] and (machine.root / "team.db").exists()
    assert os.listdir(machine.home / "dev") == ["boot-b"]
    q.unmount("boot-b")
    assert children_of_this_process("Z") == []
