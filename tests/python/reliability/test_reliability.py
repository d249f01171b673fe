"""Hostile names, paths, environment and home files: a clear error, no crash, no stray
write; and sixteen processes provisioning eight names at once: one format per name."""

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


# Every entry point converts the name the same way and refuses it before
# anything is touched; the other hostile names go through one of them.
@pytest.mark.parametrize(
    "call, name", [(call, "a\0b") for call in CALLS] + [("init", n) for n in ("a/b", "../up", "a\nb", "n" * (1 << 20))]
)
def test_invalid_names_touch_nothing(
    call: str, name: str, q: quarvo.Quarvo, home: Path, tmp_path: Path, backend_log: Path
) -> None:
    with pytest.raises(quarvo.QuarvoError) as e:
        CALLS[call](q, name)
    assert len(str(e.value).splitlines()) == 1  # too long for a file name: an I/O error, still one line
    assert backend_calls(backend_log) == []
    assert set(os.listdir(tmp_path)) == {"home", "engines"}  # not even a mountpoint for a volume that does not exist
    assert list((home / "volumes").iterdir()) == []


@pytest.mark.parametrize(
    "args", [{"metadata": "m\0tail", "store": "s3://b"}, {"metadata": "m", "storage": "s3", "bucket": "b\0"}]
)
def test_nul_in_a_backend_argument_or_mount_path_is_refused(
    args: dict, q: quarvo.Quarvo, tmp_path: Path, backend_log: Path
) -> None:
    with pytest.raises(quarvo.QuarvoError):
        q.init("v", **args)
    q.init("w", dev=True)
    with pytest.raises(quarvo.QuarvoError):
        q.mount("w", "mnt\0/etc")
    assert not (tmp_path / "mnt").exists()
    assert [c[0] for c in backend_calls(backend_log)] == ["format"]
    assert [v.name for v in q.status().volumes] == ["w"]


def test_paths_that_are_not_utf8(tmp_path: Path, fake_backend: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    home = os.fsencode(tmp_path) + b"/h\xffome"
    backend = os.fsencode(tmp_path) + b"/back\xfeend"
    os.symlink(os.fsencode(fake_backend), backend)
    monkeypatch.setitem(os.environb, b"QUARVO_HOME", home)
    monkeypatch.setitem(os.environb, b"QUARVO_STORAGE_BACKEND_BIN", backend)
    report = quarvo.doctor()
    assert report["home"] == os.fsdecode(home).replace("\udcff", "\ufffd")
    q = quarvo.Quarvo.from_env()
    assert "\ufffd" in q.init("v", dev=True).metadata_url
    assert os.path.isfile(home + b"/volumes/v.toml")
    with pytest.raises(TypeError, match="path"):
        q.mount("v", os.fsdecode(b"mnt\xff"))


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda c: c.write_text("# padding\n" * (1 << 19) + 'other = "value"\n'), None),  # huge
        (lambda c: c.symlink_to(c.name), None),  # a loop: unreadable metadata means no configuration
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
WORKER = r"""
import json, random, sys
import quarvo
op, seed, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
random.Random(seed).shuffle(names)
q = quarvo.Quarvo.from_env()
sys.stdin.buffer.read(1)  # start line: wait until every worker is ready
out = {}
for name in names:
    try:
        v = getattr(q, op)(name, metadata="sqlite3:///meta/" + name, store="file:///data/" + str(seed))
        out[name] = [v.name, v.metadata_url, v.storage, v.bucket, v.dev]
    except quarvo.QuarvoError as e:
        out[name] = str(e)
print(json.dumps(out))
"""


def test_concurrent_provisioning_formats_each_name_once(
    home: Path, backend_log: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:20")  # widens the window for a second process
    ops = ["init", "ensure_volume"] * 8
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, op, str(i), *NAMES], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE) for i, op in enumerate(ops)]  # fmt: skip
    for p in workers:
        p.stdin.write(b"g")
        p.stdin.flush()
    results = [json.loads(p.communicate(timeout=300)[0]) for p in workers]

    assert sorted(c[2] for c in backend_calls(backend_log) if c[0] == "format") == NAMES
    volumes = quarvo.Quarvo.from_env().status().volumes
    stored = {v.name: [v.name, v.metadata_url, v.storage, v.bucket, v.dev] for v in volumes}
    assert sorted(stored) == NAMES and not list((home / "volumes").glob("*.tmp"))
    for name in NAMES:
        # One init made it (or an ensure_volume did first); every other init was refused.
        inits = sorted(map(str, (r[name] for op, r in zip(ops, results) if op == "init")))
        refused = [f'volume "{name}" already exists'] * 8
        assert inits in (refused, sorted(refused[1:] + [str(stored[name])]))
        assert all(r[name] == stored[name] for op, r in zip(ops, results) if op == "ensure_volume")
