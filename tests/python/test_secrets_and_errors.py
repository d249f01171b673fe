"""Errors carry their kind, their fields and the backend's reason, its passwords masked."""

from __future__ import annotations

import sys
import traceback

import pytest

import quarvo

FATAL = (
    "2026/12/06 17:50:10.313070 juicefs[1] <FATAL>: Load metadata: WRONGPASS invalid username-password pair "
    "for redis://:leaked@127.0.0.1:6379/1 [format@format.go:553]\n"
)
REASON = "Load metadata: WRONGPASS invalid username-password pair for redis://:****@127.0.0.1:6379/1"


def test_a_failed_command_carries_its_kind_fields_and_the_backends_reason(
    q: quarvo.Quarvo, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "format:1")
    monkeypatch.setenv("FAKE_BACKEND_STDERR", FATAL)
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.init("shared", metadata="redis://:pw@127.0.0.1:6379/1", store="s3://b")
    e = failure.value
    assert e.args == ("Quarvo storage backend command failed (exit status: 1)",) and str(e) == e.args[0]
    assert (e.kind, e.status, e.log, e.name) == ("CommandFailed", "exit status: 1", None, None)
    assert (e.reason, e.__notes__) == (REASON, [REASON])
    assert e.command_args.split()[:3] == ["format", "redis://@127.0.0.1:6379/1", "shared"]
    assert e.stderr == FATAL and e.program.endswith("fake_backend")
    if sys.version_info >= (3, 11):  # where tracebacks show notes
        assert traceback.format_exception(e)[-1] == REASON + "\n"


@pytest.mark.parametrize(
    "call, kind, fields",
    [
        (lambda q: q.status("missing"), "VolumeNotFound", {"name": "missing", "reason": None}),
        (lambda q: q.init("w", metadata="m", store="ftp://u:pw@h"), "UnsupportedStoreUrl", {"url": "ftp://u:pw@h"}),
        (lambda q: q.flush("v"), "VolumeNotMounted", {"name": "v"}),
    ],
)
def test_kinds_and_fields(q: quarvo.Quarvo, call, kind: str, fields: dict) -> None:
    q.init("v", dev=True)
    with pytest.raises(quarvo.QuarvoError) as failure:
        call(q)
    assert failure.value.kind == kind and not hasattr(failure.value, "__notes__")
    assert {name: getattr(failure.value, name) for name in fields} == fields
