"""Backend programs that fail, die, flood their pipes or leave a grandchild.

Each fault reaches Python as the one documented error (or success), leaves
the registry as it was, and leaves no descriptor open and no child process
behind in the calling process.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path

import pytest

import quarvo
from support import needs_fuse


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def child_processes() -> list[int]:
    """Every process whose parent is this one, zombies included."""
    me, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            # The fields after the command name, which may itself hold ") ".
            fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            found.append(int(entry))
    return found


FLOOD = 8 << 20
FAULTS = {
    "exit": ({"FAKE_BACKEND_FAIL": "*:3", "FAKE_BACKEND_STDERR": "boom"}, "exit status: 3"),
    "signal": ({"FAKE_BACKEND_SIGNAL": "*:9"}, "signal: 9 (SIGKILL)"),
    "flood-and-fail": ({"FAKE_BACKEND_FLOOD": f"{FLOOD}", "FAKE_BACKEND_FAIL": "*:1"}, "exit status: 1"),
    "flood-and-succeed": ({"FAKE_BACKEND_FLOOD": f"{FLOOD}"}, None),
}


@pytest.fixture
def clean_process():
    """Checks that the test left no descriptor and no child process behind."""
    before = open_descriptors()
    assert child_processes() == []
    yield
    assert open_descriptors() == before
    assert child_processes() == []


@pytest.mark.parametrize("fault", FAULTS)
def test_format_fault(fault: str, home: Path, monkeypatch: pytest.MonkeyPatch, clean_process: None) -> None:
    env, status = FAULTS[fault]
    q = quarvo.Quarvo.from_env()
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if status is None:
        assert q.init("v", metadata="sqlite3:///m", store="s3://b").name == "v"
        return
    with pytest.raises(quarvo.QuarvoError) as e:
        q.init("v", metadata="sqlite3:///m", store="s3://b")
    assert str(e.value) == f"Quarvo storage backend command failed ({status})"
    assert not (home / "volumes" / "v.toml").exists()


@needs_fuse
@pytest.mark.parametrize("fault", [f for f in FAULTS if FAULTS[f][1]])
def test_mount_fault_keeps_the_record(fault: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                      clean_process: None) -> None:
    q = quarvo.Quarvo.from_env()
    q.init("v", dev=True)
    env, status = FAULTS[fault]
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(quarvo.QuarvoError) as e:
        q.mount("v", str(tmp_path / "mnt"))
    assert str(e.value) == f"Quarvo storage backend command failed ({status})"
    assert q.status("v").volumes[0].mountpoint is None


def test_grandchild_holding_stdout_is_waited_for(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                 clean_process: None) -> None:
    """`run` waits until both pipes close, so a grandchild that keeps the
    backend's stdout holds the call until it exits; the backend's own exit
    status decides the outcome."""
    marker = tmp_path / "grandchild-exited"
    backend = tmp_path / "backend"
    backend.write_text(f"#!/bin/sh\n(sleep 1; touch '{marker}') &\nexit 0\n")
    backend.chmod(backend.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", str(backend))
    q = quarvo.Quarvo.from_env()
    assert q.init("v", metadata="sqlite3:///m", store="s3://b").name == "v"
    assert marker.exists()
    backend.write_text(f"#!/bin/sh\n(sleep 1; touch '{marker}.2') &\nexit 5\n")
    with pytest.raises(quarvo.QuarvoError, match=r"\(exit status: 5\)$"):
        q.init("w", metadata="sqlite3:///m", store="s3://b")
    assert Path(f"{marker}.2").exists()
