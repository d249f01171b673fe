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
    assert failure.value.args == (str(failure.value),)


@pytest.mark.parametrize("found", [False, True])
def test_doctor_report_is_a_dict_in_a_fixed_order(request: pytest.FixtureRequest, fake_backend, found: bool) -> None:
    if not found:
        request.getfixturevalue("no_backend")
    report = quarvo.doctor()
    assert list(report) == ["home", "config", "storage_backend", "mount_support"]
    assert list(report["mount_support"]) == ["found", "detail", "fix"]
    expected = (True, str(fake_backend), "1.3.0") if found else (False, None, None)
    assert report["storage_backend"] == dict(zip(["found", "path", "version", "managed"], [*expected, False]))
    if found:
        assert quarvo.Quarvo.from_env().doctor() == report
