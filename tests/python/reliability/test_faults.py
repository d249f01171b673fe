"""Backend programs that fail, die or flood their pipes: one documented
error (or success), the registry as it was, no descriptor or child left."""

from __future__ import annotations

import os
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


def set_fault(monkeypatch: pytest.MonkeyPatch, fault: str) -> str | None:
    env, status = FAULTS[fault]
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    return status


@pytest.fixture
def clean_process():
    """Checks that the test left no descriptor and no child process behind
    (the real-backend tests' session servers may already be running)."""
    before = (open_descriptors(), child_processes())
    yield
    assert (open_descriptors(), child_processes()) == before


@pytest.mark.parametrize("fault", FAULTS)
def test_format_fault(fault: str, home: Path, monkeypatch: pytest.MonkeyPatch, clean_process: None) -> None:
    q = quarvo.Quarvo.from_env()
    status = set_fault(monkeypatch, fault)
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
    status = set_fault(monkeypatch, fault)
    with pytest.raises(quarvo.QuarvoError) as e:
        q.mount("v", str(tmp_path / "mnt"))
    assert str(e.value) == f"Quarvo storage backend command failed ({status})"
    assert q.status("v").volumes[0].mountpoint is None

