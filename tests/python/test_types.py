"""The module's names, its exception type, the doctor's dictionary and the classes' traits."""

from __future__ import annotations

import inspect
from pathlib import Path

import pytest

import quarvo
from quarvo import _native

ATTRIBUTES = {
    "Quarvo": [],
    "VolumeInfo": ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"],
    "MountInfo": ["name", "mountpoint"],
    "Status": ["volumes"],
}


def test_exports_and_the_exception_type(q: quarvo.Quarvo) -> None:
    assert _native.__all__ == quarvo.__all__ == ["QuarvoError", "doctor", *ATTRIBUTES]
    assert all(getattr(quarvo, name) is getattr(_native, name) for name in quarvo.__all__)
    error = quarvo.QuarvoError
    assert (error.__module__, error.__name__, error.__bases__) == ("quarvo", "QuarvoError", (Exception,))
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.status("missing")
    assert failure.value.args == (str(failure.value),)
    assert (
        str(inspect.signature(quarvo.Quarvo.mount)) == "(self, /, name, path, *, foreground=False, check_storage=False)"
    )


@pytest.mark.parametrize("found", [False, True])
def test_doctor_report_is_a_dict_in_a_fixed_order(request: pytest.FixtureRequest, fake_backend: Path, found: bool):
    if not found:
        request.getfixturevalue("no_backend")
    report = quarvo.doctor()
    assert list(report) == ["home", "config", "storage_backend", "mount_support"]
    assert list(report["mount_support"]) == ["found", "detail", "fix"]
    expected = (True, str(fake_backend), "1.3.0") if found else (False, None, None)
    assert report["storage_backend"] == dict(zip(["found", "path", "version", "managed"], [*expected, False]))
    if found:
        assert quarvo.Quarvo.from_env().doctor() == report


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_class_traits(q: quarvo.Quarvo, name: str) -> None:
    cls = getattr(quarvo, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    q.init("v", dev=True)
    obj = {"Quarvo": lambda: q, "VolumeInfo": lambda: q.status("v").volumes[0], "Status": q.status,
           "MountInfo": lambda: q.mount("v", "mnt")}[name]()  # fmt: skip
    for attribute in ["extra", *ATTRIBUTES[name]]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, None)
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
