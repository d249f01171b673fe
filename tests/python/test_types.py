"""Traits shared by the four classes."""

from __future__ import annotations

import inspect

import pytest

import quarvo

ATTRIBUTES = {
    "Quarvo": [],
    "VolumeInfo": ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"],
    "MountInfo": ["name", "mountpoint"],
    "Status": ["volumes"],
}


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


def test_text_signature() -> None:
    signature = "(self, /, name, path, *, foreground=False, check_storage=False)"
    assert str(inspect.signature(quarvo.Quarvo.mount)) == signature
