"""Every test gets a fresh home and the fake storage backend program."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quarvo

BUILT_FAKE = Path(__file__).resolve().parents[2] / "build" / "cpp" / "fake_backend"


@pytest.fixture(scope="session")
def fake_backend() -> Path:
    """QUARVO_FAKE_BACKEND, else the program `make build` made."""
    binary = Path(os.environ.get("QUARVO_FAKE_BACKEND") or BUILT_FAKE)
    if not os.access(binary, os.X_OK):
        pytest.exit(f"no fake backend at {binary}: run `make build` or set QUARVO_FAKE_BACKEND")
    return binary


@pytest.fixture
def home(tmp_path: Path) -> Path:
    return tmp_path / "home"


@pytest.fixture(autouse=True)
def quarvo_env(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, home: Path, fake_backend: Path) -> None:
    for name in [n for n in os.environ if n.startswith("FAKE_BACKEND_")] + ["QUARVO_JUICEFS_BIN"]:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("QUARVO_HOME", str(home))
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", str(fake_backend))
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def no_backend(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", str(tmp_path / "empty-path"))


@pytest.fixture
def q() -> quarvo.Quarvo:
    return quarvo.Quarvo.from_env()


@pytest.fixture
def backend_log(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> Path:
    """The fake backend's call log: one line per call, arguments split by 0x1F."""
    log = tmp_path / "backend.log"
    monkeypatch.setenv("FAKE_BACKEND_LOG", str(log))
    return log


@pytest.fixture
def run():
    """The `quarvo` command as its own process, as a user runs it."""
    return lambda *args, **env: subprocess.run([sys.executable, "-m", "quarvo", *args], env={**os.environ, **env},
                                               capture_output=True, text=True, timeout=120)
