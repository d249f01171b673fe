#!/usr/bin/env python3
"""Benchmarks of the Python API, side by side with their references.

    python3 bench/status_bench.py --fake-backend build/cpp/fake_backend [--rounds 7] [--json]

Everything runs in a temporary home with the fake storage backend, and each
measurement alternates with its reference round by round; the medians are
reported with their ratio (ours / reference):

  status() over N records   against reading the same files' bytes (the floor)
                            and against parsing them with tomllib
  status("v") on one record against reading and tomllib-parsing that file
  doctor()                  against subprocess.run of "BACKEND version", the
                            child it runs
  Quarvo.from_env()         against the same file system questions asked
                            from Python (five makedirs, two stats)
  import quarvo._native     against importing tomllib, in a fresh interpreter
  lock contention           records written per second by 1, 4 and 16
                            processes mounting and unmounting their own volume
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path
from typing import Callable

COUNTS = (10, 1_000, 10_000)


def per_call(fn: Callable[[], object], min_seconds: float = 0.05) -> float:
    """Seconds per call of `fn`, repeated until at least `min_seconds` passed."""
    calls, start = 0, time.perf_counter()
    while True:
        fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / calls


def populate(volumes: Path, template: str, count: int) -> None:
    """`count` records with the registry's own layout, named v00000..."""
    for old in volumes.iterdir():
        old.unlink()
    for i in range(count):
        name = f"v{i:05d}"
        (volumes / f"{name}.toml").write_text(template.replace('"tpl"', f'"{name}"').replace("/tpl/", f"/{name}/"))


def read_bytes(volumes: Path) -> int:
    total = 0
    with os.scandir(volumes) as entries:
        for entry in entries:
            if entry.name.endswith(".toml"):
                with open(entry.path, "rb") as f:
                    total += len(f.read())
    return total


def parse_tomllib(volumes: Path) -> list[dict]:
    records = []
    with os.scandir(volumes) as entries:
        for entry in entries:
            if entry.name.endswith(".toml"):
                with open(entry.path, "rb") as f:
                    records.append(tomllib.load(f))
    records.sort(key=lambda r: r["name"].encode())
    return records


def import_seconds(statement: str, env: dict[str, str]) -> float:
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    return float(subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                                text=True).stdout)


CONTENDER = r"""
import sys, time, quarvo
name, mnt, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
q = quarvo.Quarvo.from_env()
sys.stdin.buffer.read(1)
writes, end = 0, time.perf_counter() + seconds
while time.perf_counter() < end:
    q.mount(name, mnt)
    q.unmount(name)
    writes += 2
print(writes)
"""


def contention(q, processes: int, work: Path, seconds: float, env: dict[str, str]) -> float:
    """Records written per second, in total, by `processes` processes."""
    workers = []
    for i in range(processes):
        q.ensure_volume(f"c{i}", dev=True)
        workers.append(subprocess.Popen(
            [sys.executable, "-c", CONTENDER, f"c{i}", str(work / f"mnt{i}"), str(seconds)],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE))
    for w in workers:
        w.stdin.write(b"g")
        w.stdin.flush()
    start = time.perf_counter()
    total = sum(int(w.communicate()[0]) for w in workers)
    return total / (time.perf_counter() - start)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fake-backend", required=True, help="the fake backend program (tests/fake-backend)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--contention-seconds", type=float, default=2.0)
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    opts = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="quarvo-bench-"))
    try:
        home = work / "home"
        env = dict(os.environ, QUARVO_HOME=str(home), HOME=str(work),
                   QUARVO_STORAGE_BACKEND_BIN=os.path.abspath(opts.fake_backend))
        for k in [k for k in env if k.startswith("FAKE_BACKEND_")]:
            del env[k]
        os.environ.clear()
        os.environ.update(env)
        import quarvo  # after the environment is set: nothing here touches the user's home

        q = quarvo.Quarvo.from_env()
        q.init("tpl", dev=True)
        volumes = home / "volumes"
        template = (volumes / "tpl.toml").read_text()
        rows = []

        def row(label, ours, reference, unit, scale, ref_label, goal=""):
            a, b = statistics.median(ours), statistics.median(reference)
            rows.append({"measure": label, "quarvo": a * scale, "reference": b * scale, "unit": unit,
                         "against": ref_label, "ratio": a / b, "goal": goal})

        for count in COUNTS:
            populate(volumes, template, count)
            ours, floor, toml = [], [], []
            for _ in range(opts.rounds):
                ours.append(per_call(lambda: len(q.status().volumes)))
                floor.append(per_call(lambda: read_bytes(volumes)))
                toml.append(per_call(lambda: parse_tomllib(volumes)))
            assert len(q.status().volumes) == count
            row(f"status() over {count} records", ours, floor, "ms", 1e3, "read bytes (floor)",
                "<= 2" if count == COUNTS[-1] else "")
            row(f"status() over {count} records", ours, toml, "ms", 1e3, "tomllib",
                "<= 0.2" if count == COUNTS[-1] else "")

        populate(volumes, template, 1)
        one = volumes / "v00000.toml"
        version = [opts.fake_backend, "version"]
        layout = [home / d for d in ("", "volumes", "logs", "bin", "dev")]

        def python_from_env():
            for d in layout:
                os.makedirs(d, exist_ok=True)
            os.stat(opts.fake_backend)
            try:
                os.stat(home / "config.toml")
            except FileNotFoundError:
                pass

        status_one, toml_one, doctor, spawn, from_env, py_env, imp, imp_ref = ([] for _ in range(8))
        for _ in range(opts.rounds):
            status_one.append(per_call(lambda: q.status("v00000").volumes))
            toml_one.append(per_call(lambda: tomllib.loads(one.read_text())))
            doctor.append(per_call(quarvo.doctor))
            spawn.append(per_call(lambda: subprocess.run(version, capture_output=True)))
            from_env.append(per_call(quarvo.Quarvo.from_env))
            py_env.append(per_call(python_from_env))
            imp.append(import_seconds("import quarvo._native", env))
            imp_ref.append(import_seconds("import tomllib", env))
        row('status("v") on one record', status_one, toml_one, "us", 1e6, "read + tomllib")
        row("doctor()", doctor, spawn, "us", 1e6, "subprocess.run(version)")
        row("Quarvo.from_env()", from_env, py_env, "us", 1e6, "makedirs x5 + stat x2")
        row("import quarvo._native", imp, imp_ref, "ms", 1e3, "import tomllib")

        rates = {}
        for processes in (1, 4, 16):
            rates[processes] = [contention(q, processes, work, opts.contention_seconds, env)
                                for _ in range(max(1, opts.rounds // 3))]
        for processes in (4, 16):
            # Higher is better here: the ratio is the rate kept under contention.
            a, b = statistics.median(rates[processes]), statistics.median(rates[1])
            rows.append({"measure": f"records/s, {processes} processes", "quarvo": a, "reference": b,
                         "unit": "/s", "against": "1 process", "ratio": a / b, "goal": ""})
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if opts.json:
        print(json.dumps(rows))
        return 0
    print(f"medians of {opts.rounds} rounds")
    print(f"{'measure':<34}{'quarvo':>10}{'reference':>11}  {'unit':<5}{'ratio':>7}  against")
    for r in rows:
        print(f"{r['measure']:<34}{r['quarvo']:>10.2f}{r['reference']:>11.2f}  {r['unit']:<5}{r['ratio']:>7.2f}"
              f"  {r['against']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
