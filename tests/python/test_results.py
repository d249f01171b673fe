"""Result objects and the doctor's dictionary."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import pytest
from support import needs_fuse

import quarvo

KEYS = ["home", "config", "storage_backend", "mount_support"]
BACKEND_KEYS = ["found", "path", "version", "managed"]
MOUNT_KEYS = ["found", "detail", "fix"]


def check_shape(report: dict[str, object]) -> None:
    assert list(report) == KEYS
    assert list(report["storage_backend"]) == BACKEND_KEYS  # type: ignore[call-overload]
    assert list(report["mount_support"]) == MOUNT_KEYS  # type: ignore[call-overload]


def test_doctor_with_the_backend(q: quarvo.Quarvo, home: Path, fake_backend: Path) -> None:
    report = q.doctor()
    check_shape(dict(report))
    assert report == quarvo.doctor()
    assert (report["home"], report["config"]) == (str(home), str(home / "config.toml"))
    assert report["storage_backend"] == {"found": True, "path": str(fake_backend), "version": "1.3.0", "managed": False}
    support = report["mount_support"]
    assert isinstance(support["detail"], str)
    assert (support["fix"] is None) == support["found"]


@pytest.mark.usefixtures("no_backend")
def test_doctor_without_a_backend_reports_it_missing() -> None:
    report = quarvo.doctor()
    check_shape(dict(report))
    assert report["storage_backend"] == {"found": False, "path": None, "version": None, "managed": False}
    with pytest.raises(quarvo.QuarvoError) as failure:
        quarvo.Quarvo.from_env()
    assert str(failure.value) == (
        "Quarvo storage backend is not installed; run `quarvo doctor --install` or rerun the Quarvo installer"
    )


def test_doctor_reports_a_managed_backend_whose_version_fails(
    monkeypatch: pytest.MonkeyPatch, home: Path, fake_backend: Path, no_backend: None
) -> None:
    managed = home / "bin" / "quarvo-storage"
    managed.parent.mkdir(parents=True)
    shutil.copy(fake_backend, managed)
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "version:1")
    backend = quarvo.doctor()["storage_backend"]
    assert backend == {"found": True, "path": str(managed), "version": None, "managed": True}


def test_paths_that_are_not_utf8_are_shown_with_replacement_characters(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    monkeypatch.setitem(os.environb, b"QUARVO_HOME", bytes(tmp_path) + b"/h\xff\xfeome")
    report = quarvo.doctor()
    assert report["home"] == str(tmp_path) + "/h\ufffd\ufffdome"
    assert report["config"] == report["home"] + "/config.toml"
    q = quarvo.Quarvo.from_env()
    assert q.init("v", dev=True).metadata_url.endswith("/h\ufffd\ufffdome/dev/v/metadata.db")


def test_status_of_an_empty_registry(q: quarvo.Quarvo) -> None:
    status = q.status()
    assert isinstance(status, quarvo.Status)
    assert status.volumes == []


def test_volumes_is_a_new_list_of_new_objects_on_every_read(q: quarvo.Quarvo) -> None:
    q.init("a", dev=True)
    q.init("b", metadata="redis://x/1", store="s3://bucket/path")
    status = q.status()
    first = status.volumes
    first.append(first[0])
    second = status.volumes
    assert second is not first and len(second) == 2
    assert all(x is not y for x, y in zip(first, second))
    assert [(v.name, v.storage, v.dev, v.mountpoint) for v in second] == [
        ("a", "file", True, None),
        ("b", "s3", False, None),
    ]
    assert second[1].metadata_url == "redis://x/1"


@needs_fuse
def test_results_keep_their_values_after_the_volume_changes(q: quarvo.Quarvo, tmp_path: Path) -> None:
    before = q.init("v", dev=True)
    mounted = q.mount("v", "mnt")
    listed = q.status("v")
    q.unmount("v")
    assert (mounted.name, mounted.mountpoint) == ("v", str(tmp_path / "mnt"))
    assert listed.volumes[0].mountpoint == str(tmp_path / "mnt")
    assert before.mountpoint is None and q.status("v").volumes[0].mountpoint is None
