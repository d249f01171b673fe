"""Hostile names, arguments and home files: a clear error, no crash, no stray write;
and sixteen processes provisioning eight names at once: one format per name."""

from __future__ import annotations

import contextlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from support import backend_calls

import quarvo

CALLS = {
    "init": lambda q, n: q.init(n, dev=True),
    "ensure_volume": lambda q, n: q.ensure_volume(n, metadata="sqlite3:///m", store="s3://b"),
    "mount": lambda q, n: q.mount(n, "mnt"),
    "flush": lambda q, n: q.flush(n),
    "unmount": lambda q, n: q.unmount(n),
    "status": lambda q, n: q.status(n),
}
# A NUL, which a C string would cut short ("w\0x" to the existing "w"), in any
# text an entry point takes; and a name too long for a file name.
REFUSED = {
    **{f"{call} name": (lambda q, call=call: CALLS[call](q, "w\0x"), "InvalidVolumeName") for call in CALLS},
    "metadata": (lambda q: q.init("v", metadata="m\0tail", store="s3://b"), "InvalidArgument"),
    "bucket": (lambda q: q.init("v", metadata="m", storage="s3", bucket="b\0"), "InvalidArgument"),
    "mount path": (lambda q: q.mount("w", "mnt\0/etc"), "InvalidArgument"),
    "long name": (lambda q: q.init("n" * (1 << 20), dev=True), "IoAt"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused_input_touches_nothing(case: str, q: quarvo.Quarvo, home: Path, tmp_path: Path, backend_log: Path):
    q.init("w", dev=True)
    call, kind = REFUSED[case]
    with pytest.raises(quarvo.QuarvoError) as e:
        call(q)
    assert e.value.kind == kind and len(str(e.value).splitlines()) == 1
    assert [c[0] for c in backend_calls(backend_log)] == ["format"]
    assert set(os.listdir(tmp_path)) == {"home", "engines", "backend.log"}  # no mountpoint made
    assert os.listdir(home / "volumes") == ["w.toml"] and os.listdir(home / "dev") == ["w"]


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda c: c.write_text("# padding\n" * (1 << 19) + 'other = "value"\n'), "I/O error at {}: File too large"),
        (lambda c: c.symlink_to(c.name), "{} is not safe to use: the configuration file is a symbolic link"),
        (lambda c: c.write_bytes(bytes(range(256)) * 64), "I/O error at {}: "),
        (Path.mkdir, "I/O error at {}: Is a directory (os error 21)"),
    ],
)
def test_hostile_config_file(make, error: str | None, home: Path) -> None:
    home.mkdir()
    make(home / "config.toml")
    with pytest.raises(quarvo.QuarvoError) if error else contextlib.nullcontext() as failure:
        quarvo.Quarvo.from_env()
    assert not error or str(failure.value).startswith(error.format(home / "config.toml"))


NAMES = [f"vol-{i}" for i in range(8)]
# Each worker provisions every name, in an order of its own, from one start line
# (a byte on its stdin); it prints the bucket it got for each, or the error.
WORKER = r"""
import json, random, sys
import quarvo
op, seed, names = sys.argv[1], sys.argv[2], sys.argv[3:]
random.Random(seed).shuffle(names)
q = quarvo.Quarvo.from_env()
sys.stdin.read(1)
out = {}
for name in names:
    try:
        out[name] = getattr(q, op)(name, metadata="sqlite3:///meta/" + name, store="file:///data/" + seed).bucket
    except quarvo.QuarvoError as e:
        out[name] = str(e)
print(json.dumps(out))
"""


def test_concurrent_provisioning_formats_each_name_once(home: Path, backend_log: Path, monkeypatch: pytest.MonkeyPatch):
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:20")  # widens the window for a second process
    ops = ["init", "ensure_volume"] * 8
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, op, str(i), *NAMES], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True) for i, op in enumerate(ops)]  # fmt: skip
    for p in workers:
        p.stdin.write("g")
        p.stdin.flush()
    results = [json.loads(p.communicate(timeout=300)[0]) for p in workers]

    assert sorted(c[2] for c in backend_calls(backend_log) if c[0] == "format") == NAMES
    stored = {v.name: v.bucket for v in quarvo.Quarvo.from_env().status().volumes}
    assert sorted(stored) == NAMES and not list((home / "volumes").glob("*.tmp"))
    for name in NAMES:
        # Every ensure_volume got the stored volume; one init made it (or an ensure_volume did first).
        assert all(r[name] == stored[name] for op, r in zip(ops, results) if op == "ensure_volume")
        inits = sorted(r[name] for op, r in zip(ops, results) if op == "init")
        refused = [f'volume "{name}" already exists'] * 8
        assert inits in (refused, sorted([*refused[1:], stored[name]]))
