"""The module, its exception type and the doctor's dictionary."""

from __future__ import annotations

import pytest

import quarvo
from quarvo import _native


def test_module_exports() -> None:
    names = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]
    assert _native.__all__ == quarvo.__all__ == names
    assert all(getattr(quarvo, name) is getattr(_native, name) for name in names)


def test_quarvo_error(q: quarvo.Quarvo) -> None:
    error = quarvo.QuarvoError
    assert (error.__module__, error.__name__, error.__bases__) == ("quarvo", "QuarvoError", (Exception,))
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.status("missing")
    assert failure.value.args == ('volume "missing" does not exist',)
    assert str(failure.value) == 'volume "missing" does not exist'


def check_shape(report: dict) -> None:
    assert list(report) == ["home", "config", "storage_backend", "mount_support"]
    assert list(report["storage_backend"]) == ["found", "path", "version", "managed"]
    assert list(report["mount_support"]) == ["found", "detail", "fix"]


@pytest.mark.usefixtures("no_backend")
def test_doctor_without_a_backend() -> None:
    report = quarvo.doctor()
    check_shape(report)
    assert report["storage_backend"] == {"found": False, "path": None, "version": None, "managed": False}
    with pytest.raises(quarvo.QuarvoError, match="^Quarvo storage backend is not installed; run `quarvo doctor"):
        quarvo.Quarvo.from_env()


def test_doctor_with_the_backend(q: quarvo.Quarvo, fake_backend) -> None:
    report = q.doctor()
    check_shape(report)
    assert report["storage_backend"] == {"found": True, "path": str(fake_backend), "version": "1.3.0", "managed": False}
