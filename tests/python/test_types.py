"""Traits shared by the four classes, and the methods' text signatures."""

from __future__ import annotations

import inspect
import weakref

import pytest
from support import fuse_available

import quarvo

CLASSES = [quarvo.Quarvo, quarvo.VolumeInfo, quarvo.MountInfo, quarvo.Status]
METHODS = ["from_env", "doctor", "init", "ensure_volume", "mount", "flush", "unmount", "status"]
ATTRIBUTES = {
    "Quarvo": [],
    "VolumeInfo": ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"],
    "MountInfo": ["name", "mountpoint"],
    "Status": ["volumes"],
}


@pytest.fixture
def instances(q: quarvo.Quarvo) -> dict[str, object]:
    q.init("v", dev=True)
    made: dict[str, object] = {"Quarvo": q, "VolumeInfo": q.status("v").volumes[0], "Status": q.status()}
    if fuse_available():
        made["MountInfo"] = q.mount("v", "mnt")
    return made


def instance(instances: dict[str, object], name: str) -> object:
    if name not in instances:
        pytest.skip("a MountInfo needs a mount, and mounting needs /dev/fuse")
    return instances[name]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_traits(cls: type) -> None:
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (cls.__name__, cls.__name__, "builtins")
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == ""
    members = [name for name in vars(cls) if not name.startswith("__")]
    assert members == (METHODS if cls is quarvo.Quarvo else ATTRIBUTES[cls.__name__])
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # type: ignore[attr-defined]


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_instance_has_no_dict_no_weakref_and_identity_equality(instances: dict[str, object], name: str) -> None:
    obj = instance(instances, name)
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
    with pytest.raises(AttributeError):
        obj.extra = 1  # type: ignore[attr-defined]
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert obj == obj and hash(obj) == hash(obj)
    with pytest.raises(TypeError):
        iter(obj)  # type: ignore[call-overload]


@pytest.mark.parametrize(("name", "attribute"), [(c, a) for c, names in ATTRIBUTES.items() for a in names])
def test_attributes_are_read_only(instances: dict[str, object], name: str, attribute: str) -> None:
    obj = instance(instances, name)
    before = getattr(obj, attribute)
    with pytest.raises(AttributeError):
        setattr(obj, attribute, before)
    with pytest.raises(AttributeError):
        delattr(obj, attribute)


def test_equal_values_are_not_equal_objects(q: quarvo.Quarvo) -> None:
    q.init("v", dev=True)
    assert q.status("v").volumes[0] != q.status("v").volumes[0]


SIGNATURES = [
    (quarvo.Quarvo.from_env, "()", "()"),
    (quarvo.Quarvo.doctor, "($self)", "()"),
    (
        quarvo.Quarvo.init,
        "($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)",
        "(name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)",
    ),
    (
        quarvo.Quarvo.ensure_volume,
        "($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)",
        "(name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)",
    ),
    (
        quarvo.Quarvo.mount,
        "($self, name, path, *, foreground=False, check_storage=False)",
        "(name, path, *, foreground=False, check_storage=False)",
    ),
    (quarvo.Quarvo.flush, "($self, name)", "(name)"),
    (quarvo.Quarvo.unmount, "($self, name, *, force=False)", "(name, *, force=False)"),
    (quarvo.Quarvo.status, "($self, name=None)", "(name=None)"),
]


@pytest.mark.parametrize(("method", "text", "bound"), SIGNATURES, ids=lambda v: getattr(v, "__name__", ""))
def test_methods_carry_their_text_signature(q: quarvo.Quarvo, method: object, text: str, bound: str) -> None:
    assert method.__text_signature__ == text  # type: ignore[attr-defined]
    assert method.__doc__ is None
    assert str(inspect.signature(getattr(q, method.__name__))) == bound  # type: ignore[attr-defined]


def test_module_doctor_signature() -> None:
    assert quarvo.doctor.__text_signature__ == "()"  # type: ignore[attr-defined]
    assert str(inspect.signature(quarvo.doctor)) == "()"
