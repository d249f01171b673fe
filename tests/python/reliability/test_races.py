"""Sixteen processes provision eight names at once (half init, half
ensure_volume): one format per name, VolumeExists for every later init, and
every ensure_volume answers with the one stored record."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quarvo
from support import backend_calls

NAMES = [f"vol-{i}" for i in range(8)]
STRESS = os.environ.get("QUARVO_STRESS", "0") not in ("", "0")
PROCESSES, ROUNDS = (64, 10) if STRESS else (16, 1)

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
        out[name] = ["ok", v.name, v.metadata_url, v.storage, v.bucket, v.dev]
    except quarvo.QuarvoError as e:
        out[name] = ["error", str(e)]
print(json.dumps(out))
"""


@pytest.mark.parametrize("round_", range(ROUNDS))
def test_concurrent_provisioning_formats_each_name_once(
    round_: int, home: Path, backend_log: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # A slow format widens the window in which a second process could slip in.
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:20")
    workers = []
    for i in range(PROCESSES):
        op = "init" if i % 2 == 0 else "ensure_volume"
        workers.append(
            (op, subprocess.Popen([sys.executable, "-c", WORKER, op, str(round_ * PROCESSES + i), *NAMES],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        )
    for _, p in workers:
        assert p.stdin is not None
        p.stdin.write(b"g")
        p.stdin.flush()
    results = []
    for op, p in workers:
        out, err = p.communicate(timeout=300)
        assert p.returncode == 0, err.decode()
        results.append((op, json.loads(out)))

    formats = [call[2] for call in backend_calls(backend_log) if call[0] == "format"]
    assert sorted(formats) == NAMES  # exactly one format per name

    stored = {v.name: [v.name, v.metadata_url, v.storage, v.bucket, v.dev]
              for v in quarvo.Quarvo.from_env().status().volumes}
    assert sorted(stored) == NAMES
    for name in NAMES:
        created = [r[name] for op, r in results if op == "init" and r[name][0] == "ok"]
        refused = [r[name][1] for op, r in results if op == "init" and r[name][0] == "error"]
        ensured = [r[name] for op, r in results if op == "ensure_volume"]
        assert len(created) <= 1
        assert refused == [f'volume "{name}" already exists'] * (PROCESSES // 2 - len(created))
        assert all(e == ["ok", *stored[name]] for e in ensured)
        assert all(c == ["ok", *stored[name]] for c in created)
    assert not list((home / "volumes").glob("*.tmp"))
