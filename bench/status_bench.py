#!/usr/bin/env python3
"""Listing and the Python API, side by side with their floors.

    python3 bench/status_bench.py --fake-backend build/cpp/fake_backend \
        --floor build/bench/list_floor [--rounds 7] [--json]

Everything runs in a temporary home with the fake storage backend; each
measurement alternates with its reference round by round (see benchlib.py):

  status() over N records   against list_floor, a C++ loop timed in-process
                            that reads the directory, then opens, reads and
                            closes each record file: the system calls any
                            listing makes and nothing else
  cost per record           its growth from 1,000 to 100,000 records, beyond
                            the floor's own growth
  status("v") on one record against reading that file's bytes in Python
  import quarvo._native     in fresh interpreters, minus the import of a
                            pure-Python package of the same shape
  quarvo status             the command at 10 volumes (against starting the
                            interpreter), and at 10,000, as a table and as
                            --json, against the status() call itself
  quarvo completion         the volume names a shell completion asks for at
                            1,000 volumes, against starting the interpreter
  doctor(), from_env()      against the child doctor() runs and the same file
                            system questions asked from Python
  --contention              also records written per second by 4 and 16
                            processes mounting and unmounting through the
                            fake backend, against one process (slow; not
                            part of `make bench`)
"""

from __future__ import annotations

import argparse
import os
import py_compile
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from benchlib import emit, fresh_env, once, per_call, per_call_with_cpu, row, venv_program

COUNTS = (10, 1_000, 10_000, 100_000)
# The goals for the listing against its floor, by number of records.
FLOOR_GOALS = {10_000: 1.25, 100_000: 1.4}
FLAT_GOAL = 1.1
# status("v") no slower than before the listing was rewritten: the lowest
# ratio the earlier code (5b1cfa0) gave against the same reference here.
ONE_GOAL = 0.94


def populate(volumes: Path, template: str, start: int, stop: int) -> None:
    """Records v000000... numbered [start, stop), in the registry's own form."""
    for i in range(start, stop):
        name = f"v{i:06d}"
        data = template.replace('"tpl"', f'"{name}"').replace("/tpl/", f"/{name}/").encode()
        fd = os.open(volumes / f"{name}.toml", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)


def floor_seconds(floor: str, volumes: Path, min_seconds: float) -> tuple[float, float]:
    """Wall and CPU seconds per pass of list_floor."""
    out = subprocess.run([floor, str(volumes), str(min_seconds)], check=True, capture_output=True, text=True)
    wall, cpu, _ = out.stdout.split()
    return float(wall), float(cpu)


def import_seconds(statement: str, env: dict[str, str]) -> float:
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    return float(
        subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True).stdout
    )


def baseline_package(work: Path) -> Path:
    """A package shaped like quarvo (an __init__ importing one submodule), in Python."""
    pkg = work / "baseline" / "qbaseline"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("from qbaseline._native import value\n")
    (pkg / "_native.py").write_text("value = 1\n")
    # Compiled now, as an installed package is: the import must not compile
    # (and may not write the cache, under PYTHONDONTWRITEBYTECODE).
    for source in pkg.iterdir():
        py_compile.compile(str(source), doraise=True)
    return pkg.parent


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
        workers.append(
            subprocess.Popen(
                [sys.executable, "-c", CONTENDER, f"c{i}", str(work / f"mnt{i}"), str(seconds)],
                env=env,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
            )
        )
    for w in workers:
        w.stdin.write(b"g")
        w.stdin.flush()
    total = sum(int(w.communicate()[0]) for w in workers)
    return total / seconds


def import_row(env: dict[str, str], work: Path, rounds: int) -> dict:
    """import quarvo._native in fresh interpreters, minus a pure-Python package's import."""
    base_env = dict(env, PYTHONPATH=str(baseline_package(work)))
    imp, imp_base = [], []
    for _ in range(3 * rounds):
        imp.append(import_seconds("import quarvo._native", env))
        imp_base.append(import_seconds("import qbaseline", base_env))
    extra = statistics.median(a - b for a, b in zip(imp, imp_base)) * 1e3
    return {
        "measure": "import quarvo._native",
        "quarvo": extra,
        "reference": statistics.median(imp_base) * 1e3,
        "unit": "ms",
        "ratio": None,
        "against": "minus a Python package's import",
        "goal": "<= 0.6 ms",
        "ok": extra <= 0.6,
    }


def listing_row(q, count: int, volumes: Path, floor: str, rounds: int) -> dict:
    """status() over `count` records against list_floor, in CPU time (wall time beside it)."""
    # Long enough for a few calls per sample, except where one call is long.
    min_seconds = 0.05 if count <= 1_000 else 0.2
    rounds = rounds if count < 100_000 else max(3, rounds - 2)
    ours, floors = [], []
    for _ in range(rounds):
        ours.append(per_call_with_cpu(lambda: len(q.status().volumes), min_seconds))
        floors.append(floor_seconds(floor, volumes, min_seconds))
    goal = FLOOR_GOALS.get(count)
    cpu = row(
        f"status() over {count:,} records",
        [c for _, c in ours],
        [c for _, c in floors],
        "ms",
        1e3,
        "list_floor (C++), CPU time",
        f"ratio <= {goal}" if goal else "",
        ratio_max=goal,
    )
    cpu["wall"] = statistics.median(a / b for (a, _), (b, _) in zip(ours, floors))
    return cpu


def small_rows(q, volumes: Path, quarvo_cli: str, env: dict[str, str], rounds: int) -> list[dict]:
    """At 10 records: status("v") against reading the file, the command against starting Python."""
    one = volumes / "v000000.toml"

    def read_one() -> bytes:
        with open(one, "rb") as f:
            return f.read()

    status_one, read_ref, cli, start = [], [], [], []
    for _ in range(rounds):
        status_one.append(per_call(lambda: q.status("v000000").volumes, 0.05))
        read_ref.append(per_call(read_one, 0.05))
    for _ in range(rounds):
        cli.append(once(lambda: subprocess.run([quarvo_cli, "status"], env=env, check=True, capture_output=True)))
        start.append(once(lambda: subprocess.run([sys.executable, "-c", ""], env=env, check=True)))
    return [
        row(
            'status("v") on one record',
            status_one,
            read_ref,
            "us",
            1e6,
            "open + read in Python",
            f"ratio <= {ONE_GOAL} (before)",
            ratio_max=ONE_GOAL,
        ),
        row("quarvo status, 10 volumes", cli, start, "ms", 1e3, "python -c ''", "<= 30 ms", value_max=30),
    ]


def completion_row(quarvo_cli: str, env: dict[str, str], rounds: int) -> dict:
    """At 1,000 records: the names a completion asks for on every Tab, against starting Python."""
    names, start = [], []
    for _ in range(rounds):
        ask = [quarvo_cli, "completion", "--volumes"]
        names.append(once(lambda: subprocess.run(ask, env=env, check=True, capture_output=True)))
        start.append(once(lambda: subprocess.run([sys.executable, "-c", ""], env=env, check=True)))
    goal = "<= 30 ms"
    return row("quarvo completion, 1,000 volumes", names, start, "ms", 1e3, "python -c ''", goal, value_max=30)


def command_rows(q, quarvo_cli: str, env: dict[str, str], rounds: int) -> list[dict]:
    """At 10,000 records: the command, as a table and as JSON, against the status() call."""
    table, as_json, call = [], [], []
    for _ in range(max(3, rounds - 2)):
        table.append(once(lambda: subprocess.run([quarvo_cli, "status"], env=env, check=True, capture_output=True)))
        as_json.append(
            once(lambda: subprocess.run([quarvo_cli, "status", "--json"], env=env, check=True, capture_output=True))
        )
        call.append(per_call(lambda: len(q.status().volumes), 0.2))
    return [
        row(measure, taken, call, "ms", 1e3, "the status() call", "ratio <= 1.5", ratio_max=1.5)
        for measure, taken in (("quarvo status, 10,000 volumes", table), ("quarvo status --json, 10,000", as_json))
    ]


def growth_row(per_record: dict[int, tuple[float, float]]) -> dict:
    """The cost per record from 1,000 records to the most, against the floor's own growth."""
    small, large = per_record[1_000], per_record[COUNTS[-1]]
    growth, floor_growth = large[0] / small[0], large[1] / small[1]
    return {
        "measure": f"cost per record, {COUNTS[-1]:,} / 1,000",
        "quarvo": growth,
        "reference": floor_growth,
        "unit": "x",
        "ratio": growth / floor_growth,
        "against": "the floor's own growth",
        "goal": f"ratio <= {FLAT_GOAL} (flat)",
        "ok": growth / floor_growth <= FLAT_GOAL,
    }


def listing_rows(q, home: Path, opts: argparse.Namespace, quarvo_cli: str, env: dict[str, str]) -> list[dict]:
    """The listing at every count, what the command adds to it, and its growth."""
    q.init("tpl", dev=True)
    volumes = home / "volumes"
    template = (volumes / "tpl.toml").read_text()
    (volumes / "tpl.toml").unlink()
    rows: list[dict] = []
    per_record: dict[int, tuple[float, float]] = {}
    made = 0
    for count in COUNTS:
        populate(volumes, template, made, count)
        made = count
        assert len(q.status().volumes) == count
        cpu = listing_row(q, count, volumes, opts.floor, opts.rounds)
        rows.append(cpu)
        per_record[count] = (cpu["quarvo"] / count, cpu["reference"] / count)
        if count == 10:
            rows += small_rows(q, volumes, quarvo_cli, env, opts.rounds)
        if count == 1_000:
            rows.append(completion_row(quarvo_cli, env, opts.rounds))
        if count == 10_000:
            rows += command_rows(q, quarvo_cli, env, opts.rounds)
    rows.append(growth_row(per_record))
    for old in volumes.iterdir():
        old.unlink()
    return rows


def setup_rows(quarvo, home: Path, fake_backend: str, rounds: int) -> list[dict]:
    """doctor() against the child it runs; from_env() against its file system questions in Python."""
    version = [fake_backend, "version"]
    layout = [home / d for d in ("", "volumes", "logs", "bin", "dev")]

    def python_from_env():
        for d in layout:
            os.makedirs(d, exist_ok=True)
        os.stat(fake_backend)
        try:
            os.stat(home / "config.toml")
        except FileNotFoundError:
            pass

    doctor, spawn, from_env, py_env = [], [], [], []
    for _ in range(rounds):
        doctor.append(per_call(quarvo.doctor, 0.05))
        spawn.append(per_call(lambda: subprocess.run(version, capture_output=True), 0.05))
        from_env.append(per_call(quarvo.Quarvo.from_env, 0.05))
        py_env.append(per_call(python_from_env, 0.05))
    return [
        row("doctor()", doctor, spawn, "us", 1e6, "subprocess.run(version)"),
        row("Quarvo.from_env()", from_env, py_env, "us", 1e6, "makedirs x5 + stat x2"),
    ]


def contention_rows(q, work: Path, env: dict[str, str], rounds: int) -> list[dict]:
    """Records written per second by 4 and 16 processes against one."""
    rates = {n: [contention(q, n, work, 2.0, env) for _ in range(max(1, rounds // 3))] for n in (1, 4, 16)}
    rows = []
    for n in (4, 16):
        a, b = statistics.median(rates[n]), statistics.median(rates[1])
        rows.append(
            {
                "measure": f"records/s, {n} processes",
                "quarvo": a,
                "reference": b,
                "unit": "/s",
                "ratio": a / b,
                "against": "1 process",
                "goal": "",
                "ok": None,
            }
        )
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fake-backend", required=True, help="the fake backend program (tests/fake-backend)")
    parser.add_argument("--floor", required=True, help="the list_floor program (bench/list_floor.cpp)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--contention", action="store_true", help="also measure lock contention (slow)")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    opts = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="quarvo-bench-"))
    rows: list[dict] = []
    try:
        home = work / "home"
        env = fresh_env(home, HOME=str(work), QUARVO_STORAGE_BACKEND_BIN=os.path.abspath(opts.fake_backend))
        os.environ.clear()
        os.environ.update(env)
        # Import first, before this interpreter loads anything of ours.
        rows.append(import_row(env, work, opts.rounds))

        import quarvo  # after the environment is set: nothing here touches the user's home

        q = quarvo.Quarvo.from_env()
        rows += listing_rows(q, home, opts, venv_program("quarvo"), env)
        rows += setup_rows(quarvo, home, opts.fake_backend, opts.rounds)
        if opts.contention:
            rows += contention_rows(q, work, env, opts.rounds)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if opts.json:
        emit(rows, [])
        return 0
    for r in rows:
        ref = "" if r["reference"] is None else f"{r['reference']:10.2f}"
        ratio = "" if r["ratio"] is None else f"{r['ratio']:6.2f}"
        print(f"{r['measure']:<34}{r['quarvo']:10.2f}{ref:>11} {r['unit']:<3}{ratio:>7}  {r['goal']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
