"""Every test runs against a fresh home with the fake storage backend program
(tests/fake-backend), so nothing touches the user's home or needs juicefs."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import quarvo

REPO = Path(__file__).resolve().parents[2]
FAKE_SOURCE = REPO / "tests" / "fake-backend" / "fake_backend.cpp"


@pytest.fixture(scope="session")
def fake_backend(pytestconfig: pytest.Config, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """QUARVO_FAKE_BACKEND, else the program built from source into the pytest cache."""
    if os.environ.get("QUARVO_FAKE_BACKEND"):
        return Path(os.environ["QUARVO_FAKE_BACKEND"])
    cache = pytestconfig.cache.mkdir("fake-backend") if pytestconfig.cache else tmp_path_factory.mktemp("fake")
    binary = cache / "fake_backend"
    if not binary.exists() or binary.stat().st_mtime < FAKE_SOURCE.stat().st_mtime:
        compiler = shutil.which("c++") or shutil.which("g++")
        if compiler is None:
            pytest.exit("no C++ compiler to build the fake backend; set QUARVO_FAKE_BACKEND", returncode=2)
        tmp = cache / f"fake_backend.{os.getpid()}"
        subprocess.run([compiler, "-std=c++20", "-O2", str(FAKE_SOURCE), "-o", str(tmp)], check=True)
        tmp.replace(binary)
    return binary


@pytest.fixture
def home(tmp_path: Path) -> Path:
    return tmp_path / "home"


@pytest.fixture(autouse=True)
def quarvo_env(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, home: Path, fake_backend: Path) -> None:
    """A fresh QUARVO_HOME and the fake backend for every test."""
    for name in list(os.environ):
        if name.startswith("FAKE_BACKEND_"):
            monkeypatch.delenv(name)
    monkeypatch.delenv("QUARVO_JUICEFS_BIN", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("QUARVO_HOME", str(home))
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", str(fake_backend))
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def no_backend(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    """No backend program anywhere: not in the environment, not on PATH."""
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    empty = tmp_path / "empty-path"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))


@pytest.fixture
def q() -> quarvo.Quarvo:
    return quarvo.Quarvo.from_env()


@pytest.fixture
def backend_log(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> Path:
    """The fake backend's call log: one line per call, arguments split by 0x1F."""
    log = tmp_path / "backend.log"
    monkeypatch.setenv("FAKE_BACKEND_LOG", str(log))
    return log
