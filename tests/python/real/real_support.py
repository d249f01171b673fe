"""Helpers of the end-to-end tests: mounts and their daemons, homes, servers, data."""

from __future__ import annotations

import contextlib
import glob
import itertools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn

import pytest
from support import command_lines

POSTGRES_PASSWORD = "quarvo-secret"
REDIS_PASSWORD = "p@ss/w:rd?#%1"
_serial = itertools.count()


def missing(what: str) -> NoReturn:
    """A test cannot run here: a failure in CI, a skip elsewhere."""
    if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
        pytest.fail(f"{what} (the real-backend tests must run in CI)", pytrace=False)
    pytest.skip(what)


def mount_table() -> dict[str, tuple[str, str]]:
    """Mountpoint -> (file system type, source) of the mount on top there (no test path needs escapes)."""
    with open("/proc/self/mountinfo") as f:
        return {fields[4]: tuple(fields[fields.index("-", 6) + 1 :][:2]) for fields in map(str.split, f)}


def mount_at(path: Path) -> tuple[str, str] | None:
    """What the kernel says is mounted at `path`: ("fuse.juicefs", "JuiceFS:NAME") for a volume."""
    return mount_table().get(str(path))


def kill_daemons(mountpoint: Path) -> None:
    """Kills the daemons of a mount (its supervisor restarts a killed worker) until none is left;
    the kernel keeps listing it. Its FUSE connection is aborted too, where root can: a request
    a killed daemon left unanswered would hang every later access."""
    wait_until(lambda: kill_all(daemons_of(str(mountpoint))) or not daemons_of(str(mountpoint)), "the daemons to die")
    connections = Path("/sys/fs/fuse/connections")
    with contextlib.suppress(OSError, StopIteration):
        with open("/proc/self/mountinfo") as f:
            device = next(fields[2] for fields in map(str.split, f) if fields[4] == str(mountpoint))
        if not any(connections.iterdir()):
            subprocess.run(["mount", "-t", "fusectl", "none", str(connections)], capture_output=True)
        (connections / device.split(":")[1] / "abort").write_text("1")


def daemons_of(text: str) -> list[int]:
    """Live mount daemons whose command line mentions `text`. The client rewrites its
    command line once it runs, its arguments then parted by spaces instead of NULs."""
    lines = command_lines().items()
    mount = re.compile(rb"[\0 ]mount[\0 ]")
    return [pid for pid, line in lines if text.encode() in line and mount.search(line) and pid != os.getpid()]


def kill_all(pids: list[int]) -> None:
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


def free_port() -> int:
    """A port nothing listens on (until something is started on it)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_until(predicate, what: str, timeout: float = 60.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)


@contextlib.contextmanager
def serving(cmd: list[str], log: Path, stop: int = signal.SIGTERM, **kwargs) -> Iterator[int]:
    """The port of a server started on it (`{port}` in `cmd`), once it listens; stopped by `stop` after."""
    port = free_port()
    with open(log, "wb") as out:
        proc = subprocess.Popen([a.replace("{port}", str(port)) for a in cmd], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, **kwargs)  # fmt: skip
    try:
        wait_until(lambda: proc.poll() is not None or listening(port), f"{cmd[0]} to listen")
        assert proc.poll() is None, f"{cmd[0]} did not listen:\n{log.read_text(errors='replace')[-2000:]}"
        yield port
    finally:
        proc.send_signal(stop)
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def listening(port: int) -> bool:
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.5):
        return True
    return False


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
        url = json.loads(found.group(1)) if found else ""
        # The raw password of the Redis that asks for one is not a URL the backend reads alone.
        env = dict(os.environ, META_PASSWORD=REDIS_PASSWORD) if REDIS_PASSWORD in url else None
        out = subprocess.run([juicefs, "status", url.replace(f":{REDIS_PASSWORD}@", "@")], capture_output=True,
                             text=True, timeout=60, env=env).stdout  # fmt: skip
        with contextlib.suppress(ValueError, KeyError):
            uuid = json.loads(out)["Setting"]["UUID"]
            for base in ("/var/jfsCache", os.path.expanduser("~/.juicefs/cache")):
                shutil.rmtree(os.path.join(base, uuid), ignore_errors=True)


@dataclass
class Machine:
    """One Quarvo home with the real client: a machine of its own."""

    home: Path
    env: dict[str, str]
    root: Path

    def cli(self, *args: str, check: bool = True, input: str | None = None) -> subprocess.CompletedProcess[str]:
        result = subprocess.run([sys.executable, "-m", "quarvo", *args], env=self.env, capture_output=True, text=True,
                                timeout=300, cwd=self.root, input=input)  # fmt: skip
        assert not check or result.returncode == 0, f"quarvo {' '.join(args)}:\n{result.stderr}"
        return result

    def state(self, name: str) -> str | None:
        return json.loads(self.cli("status", name, "--json").stdout)["volumes"][0]["state"]

    def inspect(self, name: str) -> dict:
        return json.loads(self.cli("inspect", name, "--json").stdout)[0]

    def files(self) -> set[str]:
        """Everything in the home but its empty layout."""
        return {str(p.relative_to(self.home)) for p in self.home.rglob("*")} - {"volumes", "logs", "bin", "dev", "lock"}

    def another(self, name: str) -> Machine:
        """Another home beside this one, which shares volumes as another machine would."""
        return Machine(self.root / name, dict(self.env, QUARVO_HOME=str(self.root / name)), self.root)


def redis_url(port: int, password: str = REDIS_PASSWORD) -> str:
    """A database of its own on the Redis at `port`, with the password given raw, as a user pastes it."""
    return f"redis://:{password}@127.0.0.1:{port}/{next(_serial) % 16}"


def s3_bucket(port: int) -> str:
    """A new bucket (the backend's own creation sends a location constraint this server refuses)."""
    bucket = f"http://127.0.0.1:{port}/quarvo-{next(_serial)}"
    urllib.request.urlopen(urllib.request.Request(bucket, method="PUT"), timeout=30).close()
    return bucket


def postgres_url(port: int, password: str) -> tuple[str, str]:
    """A new database owned by a new role with that password: its URL, and the URL as shown."""
    role = f"tricky_{next(_serial)}"
    for command in ([postgres_bin("psql"), "-d", "postgres", "-c", f"CREATE ROLE {role} LOGIN PASSWORD '{password}'"],
                    [postgres_bin("createdb"), "-O", role, role]):  # fmt: skip
        subprocess.run([*command, "-h", "127.0.0.1", "-p", str(port), "-U", "quarvo"], check=True, timeout=60,
                       capture_output=True, env=dict(os.environ, PGPASSWORD=POSTGRES_PASSWORD))  # fmt: skip
    where = f"@127.0.0.1:{port}/{role}?sslmode=disable"
    return f"postgres://{role}:{urllib.parse.quote(password, safe='')}{where}", f"postgres://{role}:****{where}"


def postgres_bin(name: str) -> str | None:
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), key=lambda p: int(p.split("/")[4]))
    return shutil.which(name) or (found[-1] if found else None)


def write_random(path: Path, size: int) -> bytes:
    path.write_bytes(data := os.urandom(size))
    return data
