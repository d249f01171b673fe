"""The doctor's dictionary: keys in order, None for what is unknown."""

from __future__ import annotations

from pathlib import Path

import pytest

import quarvo


def check_shape(report: dict[str, object]) -> None:
    assert list(report) == ["home", "config", "storage_backend", "mount_support"]
    assert list(report["storage_backend"]) == ["found", "path", "version", "managed"]  # type: ignore[call-overload]
    assert list(report["mount_support"]) == ["found", "detail", "fix"]  # type: ignore[call-overload]


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
    with pytest.raises(quarvo.QuarvoError, match="^Quarvo storage backend is not installed; run `quarvo doctor"):
        quarvo.Quarvo.from_env()
