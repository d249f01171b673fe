"""Sixteen processes provision eight names at once: one format per name, one stored record."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest
from support import backend_calls

import quarvo

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
