"""Traits shared by the four classes."""

from __future__ import annotations

import weakref

import pytest
from support import fuse_available

import quarvo

METHODS = ["from_env", "doctor", "init", "ensure_volume", "mount", "flush", "unmount", "status"]
ATTRIBUTES = {
    "Quarvo": [],
    "VolumeInfo": ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"],
    "MountInfo": ["name", "mountpoint"],
    "Status": ["volumes"],
}


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_class_traits(name: str) -> None:
    cls = getattr(quarvo, name)
    assert (cls.__qualname__, cls.__module__, cls.__bases__, cls.__doc__) == (name, "builtins", (object,), "")
    assert [m for m in vars(cls) if not m.startswith("__")] == (METHODS if name == "Quarvo" else ATTRIBUTES[name])
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_instance_traits(q: quarvo.Quarvo, name: str) -> None:
    q.init("v", dev=True)
    if name == "MountInfo" and not fuse_available():
        pytest.skip("a MountInfo needs a mount, and mounting needs /dev/fuse")
    obj = {"Quarvo": lambda: q, "VolumeInfo": lambda: q.status("v").volumes[0], "Status": q.status,
           "MountInfo": lambda: q.mount("v", "mnt")}[name]()  # fmt: skip
    for attribute in ["__dict__", "extra", *ATTRIBUTES[name]]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, None)
    for attribute in ATTRIBUTES[name]:
        with pytest.raises(AttributeError):
            delattr(obj, attribute)
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        iter(obj)  # type: ignore[call-overload]
    assert obj == obj and hash(obj) == hash(obj)
