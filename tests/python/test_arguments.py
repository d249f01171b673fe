"""Binding and converting arguments: every rejection is a TypeError raised
before the service runs, so the backend log stays empty."""

from __future__ import annotations

import pathlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest
from support import backend_calls, needs_fuse

import quarvo

Call = Callable[[quarvo.Quarvo], object]

BINDING_ERRORS: list[tuple[str, Call]] = [
    ("init: dev given positionally", lambda q: q.init("v", True)),  # type: ignore[misc]
    ("mount: foreground positionally", lambda q: q.mount("v", "p", True)),  # type: ignore[misc]
    ("unmount: force positionally", lambda q: q.unmount("v", True)),  # type: ignore[misc]
    ("status: two names", lambda q: q.status("a", "b")),  # type: ignore[call-arg]
    ("flush: unknown keyword", lambda q: q.flush("v", extra=1)),  # type: ignore[call-arg]
    ("flush: name twice", lambda q: q.flush("v", name="v")),  # type: ignore[misc]
    ("mount: path missing", lambda q: q.mount("v")),  # type: ignore[call-arg]
    ("doctor: an argument", lambda q: q.doctor(1)),  # type: ignore[call-arg]
    ("from_env: an argument", lambda q: q.from_env(1)),  # type: ignore[call-arg]
    ("module doctor: an argument", lambda q: quarvo.doctor(1)),  # type: ignore[call-arg]
]


@pytest.mark.parametrize(("case", "call"), BINDING_ERRORS, ids=[c for c, _ in BINDING_ERRORS])
def test_binding_errors(q: quarvo.Quarvo, backend_log: Path, case: str, call: Call) -> None:
    with pytest.raises(TypeError):
        call(q)
    assert backend_calls(backend_log) == []


def call_with(method: str, param: str, value: object) -> Call:
    """Calls `method` with valid arguments except `param`, which gets `value`."""
    args: dict[str, dict[str, object]] = {
        "init": {"name": "v", "dev": True},
        "ensure_volume": {"name": "v", "dev": True},
        "mount": {"name": "v", "path": "mnt"},
        "flush": {"name": "v"},
        "unmount": {"name": "v"},
        "status": {"name": "v"},
    }
    kwargs: dict[str, Any] = {**args[method], param: value}
    return lambda q: getattr(q, method)(**kwargs)


TEXT_PARAMS = [("init", "name"), ("ensure_volume", "name"), ("mount", "name"), ("mount", "path"), ("flush", "name"),
               ("unmount", "name")]  # fmt: skip
OPTIONAL_TEXT_PARAMS = [("init", p) for p in ("metadata", "store", "storage", "bucket")] + [("status", "name")]
BOOL_PARAMS = [("init", "dev"), ("ensure_volume", "dev"), ("mount", "foreground"), ("mount", "check_storage"),
               ("unmount", "force")]  # fmt: skip
NOT_TEXT = [b"v", pathlib.Path("v"), 1, "lone \udc80 surrogate"]
NOT_BOOL = [None, 1, 0, "yes", 1.0]


@pytest.mark.parametrize(
    ("method", "param", "value"),
    [(m, p, v) for m, p in TEXT_PARAMS for v in [*NOT_TEXT, None]]
    + [(m, p, v) for m, p in OPTIONAL_TEXT_PARAMS for v in NOT_TEXT]
    + [(m, p, v) for m, p in BOOL_PARAMS for v in NOT_BOOL],
)
def test_rejected_values_name_the_parameter(
    q: quarvo.Quarvo, backend_log: Path, method: str, param: str, value: object
) -> None:
    with pytest.raises(TypeError, match=f"'{param}'"):
        call_with(method, param, value)(q)
    assert backend_calls(backend_log) == []


def test_the_first_bad_argument_in_declaration_order_is_reported(q: quarvo.Quarvo) -> None:
    with pytest.raises(TypeError, match="'metadata'"):
        q.init("v", bucket=1, metadata=1, dev=True)  # type: ignore[arg-type]


def test_none_means_omitted_for_optional_text(q: quarvo.Quarvo) -> None:
    with pytest.raises(quarvo.QuarvoError, match="missing metadata URL"):
        q.init("v", metadata=None, store="file:///x")


def test_text_is_passed_as_utf8(q: quarvo.Quarvo, backend_log: Path) -> None:
    q.init("v", metadata="redis://höst/1", storage="s3", bucket="bücket")
    assert backend_calls(backend_log)[0][1:3] == ["redis://höst/1", "v"]
    assert q.status("v").volumes[0].bucket == "bücket"


numpy = pytest.importorskip("numpy")


@pytest.mark.parametrize("value", [True, False])
def test_numpy_booleans_are_booleans_and_numpy_integers_are_not(q: quarvo.Quarvo, value: bool) -> None:
    assert q.init("v", dev=numpy.bool_(value), metadata="m://x", store="file:///tmp/b").dev is value
    with pytest.raises(TypeError, match="'dev'"):
        q.init("w", dev=numpy.int64(1))  # type: ignore[arg-type]


@needs_fuse
def test_numpy_booleans_reach_the_backend_command(q: quarvo.Quarvo, backend_log: Path) -> None:
    q.init("v", dev=True)
    q.mount("v", "mnt", check_storage=numpy.bool_(True))
    q.unmount("v", force=numpy.bool_(False))
    q.mount("v", "mnt", foreground=numpy.bool_(True))
    mount, umount, second_mount = backend_calls(backend_log)[1:]
    assert ("--check-storage" in mount, "--force" in umount, "-d" in second_mount) == (True, False, False)
