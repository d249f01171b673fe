"""Every test gets a fresh home and the fake storage backend program, which mounts a
tmpfs for each volume it serves; as root the session runs in a mount namespace of its
own (entered here, before any thread starts), so no mount reaches the machine's table."""

from __future__ import annotations

import ctypes
import os
import pwd
import shutil
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

import quarvo


def _enter_private_mount_namespace() -> str | None:
    """None when mounts made from here on stay private; else why not."""
    if os.geteuid() != 0:
        return "mounting needs root"
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, ms_rec, ms_private = 0x00020000, 0x4000, 0x40000
    if libc.unshare(clone_newns) != 0 or libc.mount(None, b"/", None, ms_rec | ms_private, None) != 0:
        return f"no private mount namespace: {os.strerror(ctypes.get_errno())}"
    return None


NO_PRIVATE_MOUNTS = _enter_private_mount_namespace()


@pytest.fixture(scope="session")
def fake_backend() -> Path:
    """QUARVO_FAKE_BACKEND, else the program `make build` made."""
    built = Path(__file__).resolve().parents[2] / "build" / "cpp" / "fake_backend"
    binary = Path(os.environ.get("QUARVO_FAKE_BACKEND") or built)
    if not os.access(binary, os.X_OK):
        pytest.exit(f"no fake backend at {binary}: run `make build` or set QUARVO_FAKE_BACKEND")
    return binary


@pytest.fixture
def home(tmp_path: Path) -> Path:
    return tmp_path / "home"


@pytest.fixture(autouse=True)
def quarvo_env(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, home: Path, fake_backend: Path) -> Iterator[None]:
    for name in [n for n in os.environ if n.startswith("FAKE_BACKEND_")] + ["QUARVO_JUICEFS_BIN"]:
        monkeypatch.delenv(name, raising=False)
    (tmp_path / "engines").mkdir()
    for name, value in [("HOME", tmp_path), ("QUARVO_HOME", home), ("QUARVO_STORAGE_BACKEND_BIN", fake_backend),
                        ("FAKE_BACKEND_STATE", tmp_path / "engines")]:  # fmt: skip
        monkeypatch.setenv(name, str(value))
    monkeypatch.chdir(tmp_path)
    yield
    # Whatever a test left mounted goes (deepest first), and with it the fake's daemon.
    with open("/proc/self/mountinfo") as f:
        points = sorted((p for p in (line.split()[4] for line in f) if p.startswith(f"{tmp_path}/")), reverse=True)
    for mountpoint in points:
        ctypes.CDLL(None).umount2(mountpoint.encode(), 2)  # MNT_DETACH


@pytest.fixture
def mounts() -> None:
    """Requested by every test whose fake backend mounts."""
    if NO_PRIVATE_MOUNTS:
        pytest.skip(NO_PRIVATE_MOUNTS)


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
    monkeypatch.setenv("FAKE_BACKEND_LOG", str(tmp_path / "backend.log"))
    return tmp_path / "backend.log"


@pytest.fixture
def run():
    """The `quarvo` command as its own process, as a user runs it."""
    return lambda *args, **env: subprocess.run(
        [sys.executable, "-m", "quarvo", *args], env={**os.environ, **env}, capture_output=True, text=True, timeout=120
    )


@pytest.fixture(scope="session")
def other_user() -> Iterator[pwd.struct_passwd]:
    """A user made for the session, another than the one running the tests (root); `runuser -u NAME` plays it."""
    if os.geteuid() != 0 or not shutil.which("useradd") or not shutil.which("runuser"):
        why = "needs root with useradd and runuser to play another user"
        pytest.fail(why) if os.environ.get("CI", "").lower() in ("1", "true", "yes") else pytest.skip(why)
    name = f"quarvo-other-{os.getpid()}"
    subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name], check=True, timeout=60)
    try:
        yield pwd.getpwnam(name)
    finally:
        subprocess.run(["userdel", name], capture_output=True, timeout=60)
