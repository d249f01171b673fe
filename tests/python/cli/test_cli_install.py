"""`quarvo doctor --install`: the managed storage backend program."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest


@pytest.fixture(autouse=True)
def unresolved(monkeypatch: pytest.MonkeyPatch) -> None:
    """Only the managed program can be found, so the report shows it."""
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", "/nonexistent")


def test_install_replaces_the_managed_program(run, home: Path, fake_backend: Path) -> None:
    managed = home / "bin" / "quarvo-storage"
    managed.parent.mkdir(parents=True)
    managed.write_text("an older program")
    result = run("doctor", "--install", "--from", str(fake_backend), "--json")
    backend = json.loads(result.stdout)["storage_backend"]
    assert backend == {"found": True, "path": str(managed), "version": "1.3.0", "managed": True}
    assert managed.read_bytes() == fake_backend.read_bytes() and os.access(managed, os.X_OK)
    assert os.listdir(managed.parent) == ["quarvo-storage"]
    assert result.stderr.splitlines()[-1] == f"installed {managed}"


def test_install_from_a_missing_path_fails_and_leaves_nothing(run, home: Path, tmp_path: Path) -> None:
    result = run("doctor", "--install", "--from", str(tmp_path / "missing"))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(
        f"quarvo: error: could not install the Quarvo storage backend: {tmp_path / 'missing'}: ")
    assert not (home / "bin").exists() or os.listdir(home / "bin") == []
