"""Rejected arguments: a TypeError naming the parameter before the backend runs."""

from __future__ import annotations

import pathlib
from pathlib import Path

import numpy
import pytest
from support import backend_calls

import quarvo

BASE = {"init": {"name": "v", "dev": True}, "mount": {"name": "v", "path": "mnt"}, "unmount": {"name": "v"},
        "status": {"name": "v"}}  # fmt: skip
CASES = [("init", "name", v) for v in (b"v", pathlib.Path("v"), None, "lone \udc80 surrogate")] + [
    ("mount", "path", pathlib.Path("mnt")), ("init", "metadata", b"m"), ("status", "name", 1), ("init", "dev", None),
    ("init", "dev", 1), ("mount", "foreground", numpy.int64(1)), ("unmount", "force", "yes")]  # fmt: skip


@pytest.mark.parametrize(("method", "param", "value"), CASES)
def test_rejected_values_name_the_parameter(
    q: quarvo.Quarvo, backend_log: Path, method: str, param: str, value: object
) -> None:
    with pytest.raises(TypeError, match=f"'{param}'"):
        getattr(q, method)(**{**BASE[method], param: value})
    assert backend_calls(backend_log) == []


def test_flags_are_keyword_only(q: quarvo.Quarvo, backend_log: Path) -> None:
    with pytest.raises(TypeError):
        q.unmount("v", True)  # type: ignore[misc]
    assert backend_calls(backend_log) == []


def test_numpy_booleans_and_utf8_text_reach_the_backend(q: quarvo.Quarvo, backend_log: Path) -> None:
    assert q.init("v", dev=numpy.bool_(False), metadata="redis://höst/1", storage="s3", bucket="b").dev is False
    q.init("w", dev=numpy.bool_(True))
    q.mount("w", "mnt", check_storage=numpy.bool_(True))
    format_v, _, mount = backend_calls(backend_log)
    assert format_v[1:3] == ["redis://höst/1", "v"] and "--check-storage" in mount
