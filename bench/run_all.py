#!/usr/bin/env python3
"""Every benchmark in one run, and one table with each goal beside its figure.

    python3 bench/run_all.py --fake-backend build/cpp/fake_backend [--rounds 7] [--markdown]

Builds the timing programs (bench/list_floor.cpp, bench/command_bench.cpp),
then runs, one after the other on this machine:
  bench/status_bench.py      listing against its C++ floor, status("v"), the
                             import, the `quarvo status` command, doctor(),
                             from_env()
  bench/cli_vs_juicefs.py    init --dev and mount, API and command, against
                             the bare juicefs commands (left out, with a note,
                             without a juicefs client or /dev/fuse)
  bench/run_command_bench.py the command runner against subprocess.run and a
                             2 x 256 MiB flood against cat, time and memory
Each script measures its pairs side by side, round by round, and reports
medians (see bench/benchlib.py); `ok` says whether a figure meets its goal.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

from benchlib import ROOT, build_programs

BENCH = Path(__file__).resolve().parent


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        mem = int(Path("/proc/meminfo").read_text().split()[1]) // (1 << 20)
        memory = f"{mem} GiB RAM"
    except (OSError, ValueError, IndexError):
        memory = "unknown RAM"
    try:
        load = " load {:.1f} {:.1f} {:.1f}".format(*os.getloadavg())
    except OSError:
        load = ""
    return (
        f"{model}, {os.cpu_count()} CPUs, {memory}; {platform.system()} {platform.release()}; "
        f"Python {platform.python_version()};{load}"
    )


def script_rows(name: str, args: list[str], notes: list[str], took: list[str]) -> list[dict]:
    start = time.perf_counter()
    p = subprocess.run([sys.executable, str(BENCH / name), *args, "--json"], cwd=ROOT, capture_output=True, text=True)
    took.append(f"{name} {time.perf_counter() - start:.0f} s")
    lines = p.stdout.strip().splitlines()
    try:
        result = json.loads(lines[-1])
    except (IndexError, ValueError):
        last = (p.stderr.strip().splitlines() or ["no output"])[-1]
        notes.append(f"{name}: failed, nothing measured ({last})")
        return []
    notes.extend(result["notes"])
    if p.returncode != 0:
        notes.append(f"{name}: exit status {p.returncode}")
    return result["rows"]


def cell(value: float | None, width: int, digits: int = 2) -> str:
    return f"{'':>{width}}" if value is None else f"{value:>{width}.{digits}f}"


def ok_text(ok: bool | None) -> str:
    return "" if ok is None else ("yes" if ok else "NO")


def print_table(rows: list[dict], markdown: bool) -> None:
    if markdown:
        print("\n| measure | quarvo | reference | unit | ratio | wall | against | goal | ok |")
        print("|---|---:|---:|---|---:|---:|---|---|---|")
        for r in rows:
            print(
                f"| {r['measure']} | {cell(r['quarvo'], 0)} | {cell(r['reference'], 0)} | {r['unit']} "
                f"| {cell(r['ratio'], 0)} | {cell(r.get('wall'), 0)} | {r['against']} | {r['goal']} "
                f"| {ok_text(r['ok'])} |"
            )
        return
    print(
        f"\n{'measure':<38}{'quarvo':>9}{'reference':>10} {'unit':<5}{'ratio':>6}{'wall':>6}  "
        f"{'against':<34}{'goal':<24}ok"
    )
    for r in rows:
        print(
            f"{r['measure']:<38}{cell(r['quarvo'], 9)}{cell(r['reference'], 10)} {r['unit']:<5}"
            f"{cell(r['ratio'], 6)}{cell(r.get('wall'), 6)}  {r['against']:<34}{r['goal']:<24}"
            f"{ok_text(r['ok'])}"
        )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fake-backend", required=True, help="the fake backend program (tests/fake-backend)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "cpp"), help="for the timing programs")
    parser.add_argument("--markdown", action="store_true", help="print the table in Markdown")
    opts = parser.parse_args()
    started = time.perf_counter()

    programs = build_programs(os.path.abspath(opts.build_dir))
    few = str(max(3, opts.rounds - 2))
    notes: list[str] = []
    took: list[str] = []
    status_args = ["--fake-backend", os.path.abspath(opts.fake_backend), "--floor", str(programs / "list_floor")]
    rows = script_rows("status_bench.py", [*status_args, "--rounds", str(opts.rounds)], notes, took)
    rows += script_rows("cli_vs_juicefs.py", ["--rounds", few], notes, took)
    rows += script_rows("run_command_bench.py", ["--build-dir", str(programs), "--rounds", few], notes, took)

    print(f"machine: {machine()}")
    print(
        f"medians of side-by-side rounds; ratio = quarvo / reference; {time.perf_counter() - started:.0f} s "
        f"({', '.join(took)})"
    )
    print_table(rows, opts.markdown)
    missed = [r["measure"] for r in rows if r["ok"] is False]
    for note in notes:
        print(f"note: {note}")
    print(f"goals missed: {', '.join(missed)}" if missed else "every goal measured is met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
