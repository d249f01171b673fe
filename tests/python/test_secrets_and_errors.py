"""Passwords reach the backend only through its environment; errors carry their kind, fields and reason."""

from __future__ import annotations

import json
import sys
import traceback
from pathlib import Path

import pytest
from support import backend_calls

import quarvo

FATAL = (
    "2026/12/06 17:50:10.313070 juicefs[1] <FATAL>: Load metadata: WRONGPASS invalid username-password pair "
    "for redis://:leaked@127.0.0.1:6379/1 [format@format.go:553]\n"
)
REASON = "Load metadata: WRONGPASS invalid username-password pair for redis://:****@127.0.0.1:6379/1"


@pytest.mark.parametrize(
    "url, password",
    [
        ("redis://:p%40ss%2Fw%3Ard@127.0.0.1:6379/1", "p@ss/w:rd"),
        ("postgres://dev:s3/cr@t@db:5432/quarvo?sslmode=disable", "s3/cr@t"),
        ("unix://:se#cret@/run/redis.sock?db=2", "se#cret"),
    ],
)
def test_the_password_travels_only_in_the_environment(
    q: quarvo.Quarvo, monkeypatch: pytest.MonkeyPatch, tmp_path: Path, backend_log: Path, url: str, password: str
) -> None:
    env_log = tmp_path / "env.log"
    monkeypatch.setenv("FAKE_BACKEND_ENV_LOG", str(env_log))
    monkeypatch.setenv("REDIS_PASSWORD", "the user's own")  # the backend would read it first
    q.init("shared", metadata=url, store="s3://bkt")
    q.mount("shared", str(tmp_path / "mnt"))
    # An engine that holds the volume already: the format says nothing, its status is asked.
    monkeypatch.setenv("FAKE_BACKEND_FORMAT_EXISTS", "1")
    monkeypatch.setenv(
        "FAKE_BACKEND_STATUS",
        json.dumps({"Setting": {"Name": "joined", "UUID": "u", "Storage": "s3", "Bucket": "s3://bkt"}}),
    )
    q.init("joined", metadata=url, store="s3://bkt")

    calls = backend_calls(backend_log)
    assert [call[0] for call in calls] == ["format", "mount", "format", "status"]
    assert not any(password in arg for call in calls for arg in call)
    environments = [dict(entry.split("=", 1) for entry in record[1:]) for record in backend_calls(env_log)]
    assert [(e["META_PASSWORD"], "REDIS_PASSWORD" in e) for e in environments] == [(password, False)] * 4
    assert q.status("shared").volumes[0].metadata_url == url  # the record keeps the URL as given


def test_a_failed_command_carries_its_kind_fields_and_the_backends_reason(
    q: quarvo.Quarvo, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "format:1")
    monkeypatch.setenv("FAKE_BACKEND_STDERR", FATAL)
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.init("shared", metadata="redis://:pw@127.0.0.1:6379/1", store="s3://b")
    e = failure.value
    assert e.args == ("Quarvo storage backend command failed (exit status: 1)",) and str(e) == e.args[0]
    assert (e.kind, e.status, e.reason, e.__notes__, e.log) == (
        "CommandFailed",
        "exit status: 1",
        REASON,
        [REASON],
        None,
    )
    assert e.command_args.split()[:3] == ["format", "redis://@127.0.0.1:6379/1", "shared"]
    assert e.stderr == FATAL and e.program.endswith("fake_backend") and e.name is None
    if sys.version_info >= (3, 11):  # where tracebacks show notes
        assert traceback.format_exception(e)[-1] == REASON + "\n"


@pytest.mark.parametrize(
    "call, kind, fields",
    [
        (lambda q: q.status("missing"), "VolumeNotFound", {"name": "missing", "reason": None}),
        (lambda q: q.init("w", metadata="m", store="ftp://u:pw@h"), "UnsupportedStoreUrl", {"url": "ftp://u:pw@h"}),
        (lambda q: q.init("w", metadata="m", store="file://"), "UnsupportedStoreUrl", {"url": "file://"}),
        (lambda q: q.flush("v"), "VolumeNotMounted", {"name": "v"}),
    ],
)
def test_kinds_and_fields(q: quarvo.Quarvo, call, kind: str, fields: dict) -> None:
    q.init("v", dev=True)
    with pytest.raises(quarvo.QuarvoError) as failure:
        call(q)
    assert failure.value.kind == kind and not hasattr(failure.value, "__notes__")
    assert {name: getattr(failure.value, name) for name in fields} == fields
