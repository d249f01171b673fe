"""Helpers of the end-to-end tests: mounts, daemons, servers, data."""

from __future__ import annotations

import contextlib
import errno
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

POSTGRES_PASSWORD = "quarvo-secret"
REDIS_PASSWORD = "p@ss/w:rd?#%1"


def missing(what: str) -> None:
    """A test cannot run here: a failure in CI, a skip elsewhere."""
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        pytest.fail(f"{what} (the real-backend tests must run in CI)", pytrace=False)
    pytest.skip(what)


def mount_table() -> dict[str, tuple[str, str]]:
    """Mountpoint -> (file system type, source) of the mount on top there."""
    table = {}
    with open("/proc/self/mountinfo", encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.split()
            dash = fields.index("-", 6)

            def unescape(field):
                return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)

            table[unescape(fields[4])] = (unescape(fields[dash + 1]), unescape(fields[dash + 2]))
    return table


def fs_type(path: Path) -> str | None:
    return mount_table().get(str(path), (None, None))[0]


def source_at(path: Path) -> str | None:
    """What the kernel says is mounted at `path`: "JuiceFS:NAME" for a volume."""
    return mount_table().get(str(path), (None, None))[1]


def _statfs_errno(mountpoint: Path) -> int | None:
    """The errno statfs of the mount gives (0: it answered), asked in a child
    process that is given up after 5 s: None when nothing answered."""
    probe = (
        "import os, sys\n"
        "try:\n    os.statvfs(sys.argv[1])\n"
        "except OSError as e:\n    print(e.errno)\n"
        "else:\n    print(0)"
    )
    try:
        done = subprocess.run([sys.executable, "-c", probe, str(mountpoint)], capture_output=True, text=True, timeout=5)
    except subprocess.TimeoutExpired:
        return None
    return int(done.stdout.strip() or 0)


def _abort_fuse_connection(mountpoint: Path) -> None:
    """Aborts the FUSE connection behind a mount, as an administrator would:
    a daemon killed in the middle of a request can leave requests that nobody
    will ever answer, and then every access hangs."""
    with open("/proc/self/mountinfo", encoding="utf-8", errors="surrogateescape") as f:
        device = next((line.split()[2] for line in f if line.split()[4] == str(mountpoint)), None)
    if device is None:
        return
    connections = Path("/sys/fs/fuse/connections")
    if not any(connections.iterdir()):
        subprocess.run(["mount", "-t", "fusectl", "none", str(connections)], capture_output=True)
    abort = connections / device.split(":")[1] / "abort"
    if abort.exists():
        abort.write_text("1")


def kill_daemons(mountpoint: Path) -> None:
    """Kills the daemon of a mount; its supervisor restarts a killed worker, so
    until neither is left and the mount answers ENOTCONN. The kernel keeps
    listing the mount, now dead."""

    def dead() -> bool:
        kill_all(daemons_of(str(mountpoint)))
        answer = _statfs_errno(mountpoint)
        if answer is None:
            _abort_fuse_connection(mountpoint)
            return False
        return answer == errno.ENOTCONN and not daemons_of(str(mountpoint))

    wait_until(dead, "the daemon to die")


def daemons_of(text: str) -> list[int]:
    """Live mount daemons whose command line mentions `text`."""
    pids = []
    for entry in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            line = Path(entry).read_bytes().replace(b"\0", b" ")
        except OSError:
            continue
        if text.encode() in line and b" mount " in line and int(entry.split("/")[2]) != os.getpid():
            pids.append(int(entry.split("/")[2]))
    return pids


def kill_all(pids: list[int]) -> None:
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


def wait_until(predicate, what: str, timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


def clean_up(root: Path, juicefs: str) -> None:
    """Unmounts everything under `root`, deepest first, ends its daemons, and
    removes the block caches of its volumes, which outlive them."""
    for mountpoint in sorted((m for m in mount_table() if m.startswith(f"{root}/")), reverse=True):
        if subprocess.run([juicefs, "umount", "--force", mountpoint], capture_output=True, timeout=60).returncode:
            subprocess.run(["umount", "-l", mountpoint], capture_output=True, timeout=60)
    kill_all(daemons_of(str(root)))
    for record in root.glob("*/volumes/*.toml"):
        # Records are ours: one `key = "..."` line per field, JSON-compatible escapes.
        found = re.search(r'^metadata_url = (".*")$', record.read_text(), re.M)
        if not found:
            continue
        url = json.loads(found.group(1))
        # The raw password of the Redis that asks for one is not a URL the backend reads alone.
        env = dict(os.environ, META_PASSWORD=REDIS_PASSWORD) if REDIS_PASSWORD in url else None
        url = url.replace(":" + REDIS_PASSWORD + "@", "@")
        out = subprocess.run([juicefs, "status", url], capture_output=True, text=True, timeout=60, env=env).stdout
        try:
            uuid = json.loads(out)["Setting"]["UUID"]
        except (ValueError, KeyError):
            continue
        for base in ("/var/jfsCache", os.path.expanduser("~/.juicefs/cache")):
            shutil.rmtree(os.path.join(base, uuid), ignore_errors=True)


@dataclass
class Machine:
    """One Quarvo home with the real client: a machine of its own."""

    home: Path
    env: dict[str, str]
    root: Path

    def cli(self, *args: str, check: bool = True) -> subprocess.CompletedProcess[str]:
        result = subprocess.run(
            [sys.executable, "-m", "quarvo", *args],
            env=self.env,
            capture_output=True,
            text=True,
            timeout=300,
            cwd=self.root,
        )
        assert not check or result.returncode == 0, f"quarvo {' '.join(args)}:\n{result.stderr}"
        return result

    def state(self, name: str) -> str | None:
        return json.loads(self.cli("status", name, "--json").stdout)["volumes"][0]["state"]


@dataclass
class Server:
    port: int
    proc: subprocess.Popen


def start_server(cmd: list[str], log: Path, **kwargs) -> Server:
    """Starts a server on a free port (`{port}` in `cmd`) and waits until it listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(log, "wb") as out:
        proc = subprocess.Popen(
            [a.replace("{port}", str(port)) for a in cmd],
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=subprocess.STDOUT,
            **kwargs,
        )
    deadline = time.monotonic() + 60
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return Server(port, proc)
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                stop_server(proc)
                raise RuntimeError(f"{cmd[0]} did not listen:\n{log.read_text(errors='replace')[-2000:]}")
            time.sleep(0.1)


def stop_server(proc: subprocess.Popen, sig: int = signal.SIGTERM) -> None:
    proc.send_signal(sig)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def postgres_bin(name: str) -> str | None:
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), key=lambda p: int(p.split("/")[4]))
    return shutil.which(name) or (found[-1] if found else None)


def write_random(path: Path, size: int) -> str:
    path.write_bytes(os.urandom(size))
    return checksum(path)


def checksum(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()
