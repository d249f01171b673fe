#!/usr/bin/env python3
"""Every benchmark in one run, and one table of their ratios.

    python3 bench/run_all.py --fake-backend build/cpp/fake_backend [--rounds 7] [--markdown]

Runs, one after the other on this machine:
  bench/status_bench.py      the Python API against reading and tomllib-parsing
                             the same files, call overheads, lock contention
  bench/run_command_bench.py the command runner against subprocess.run and cat
  bench/cli_vs_juicefs.py    `quarvo init --dev` and `quarvo mount` against the
                             bare juicefs commands (skipped, with a note, when
                             the script or the juicefs client is missing)
Each script measures its pairs side by side, round by round, and reports
medians; a ratio is ours / reference (for records per second: the rate kept
under contention, higher is better).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent


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
    return (f"{model}, {os.cpu_count()} CPUs, {memory}; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()}")


def run(args: list[str]) -> tuple[int, str]:
    p = subprocess.run(args, cwd=ROOT, capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def status_rows(opts) -> list[dict]:
    code, out = run([sys.executable, str(BENCH / "status_bench.py"), "--fake-backend", opts.fake_backend,
                     "--rounds", str(opts.rounds), "--json"])
    if code != 0:
        sys.exit(f"status_bench.py failed:\n{out}")
    return json.loads(out.strip().splitlines()[-1])


def command_rows(opts, notes: list[str]) -> list[dict]:
    script = BENCH / "run_command_bench.py"
    if not script.exists():
        notes.append("runner vs subprocess.run: bench/run_command_bench.py is missing")
        return []
    code, out = run([sys.executable, str(script), "--build-dir", opts.build_dir,
                     "--rounds", str(opts.rounds)])
    rows = []
    # "LABEL   RUNNER   REFERENCE  UNIT   RATIO"
    for m in re.finditer(r"^(\S.*?)\s+([\d.]+)\s+([\d.]+)\s+(us|ms)\s+([\d.]+)\s*$", out, re.M):
        label, ours, ref, unit, ratio = m.groups()
        ours_label, _, ref_label = label.partition(" vs ")
        rows.append({"measure": f"runner: {ours_label}", "quarvo": float(ours), "reference": float(ref),
                     "unit": unit, "against": ref_label or "reference", "ratio": float(ratio), "goal": ""})
    if code != 0 or not rows:
        notes.append(f"runner vs subprocess.run: not measured ({out.strip().splitlines()[-1:] or ['no output']})")
    return rows


def cli_rows(opts, notes: list[str]) -> list[dict]:
    script = BENCH / "cli_vs_juicefs.py"
    if not script.exists():
        notes.append("quarvo init/mount vs juicefs: bench/cli_vs_juicefs.py is not there yet; skipped")
        return []
    code, out = run([sys.executable, str(script), "--runs", str(opts.rounds)])
    rows = []
    # "OURS   123.4 ms   THEIRS   100.0 ms   ratio  1.23"
    for m in re.finditer(r"^(.+?)\s+([\d.]+) ms\s+(.+?)\s+([\d.]+) ms\s+ratio\s+([\d.]+)\s*$", out, re.M):
        ours, a, theirs, b, ratio = m.groups()
        rows.append({"measure": ours.strip(), "quarvo": float(a), "reference": float(b), "unit": "ms",
                     "against": theirs.strip(), "ratio": float(ratio), "goal": ""})
    for line in out.splitlines():
        if "not measured" in line:
            notes.append(f"quarvo vs juicefs: {line.strip()}")
    if code != 0 or not rows:
        last = out.strip().splitlines()[-1] if out.strip() else "no output"
        notes.append(f"quarvo init/mount vs juicefs: not measured ({last})")
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fake-backend", required=True, help="the fake backend program (tests/fake-backend)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "bench"), help="for the runner's timing program")
    parser.add_argument("--markdown", action="store_true", help="print the table in Markdown")
    opts = parser.parse_args()
    opts.fake_backend = os.path.abspath(opts.fake_backend)

    notes: list[str] = []
    rows = status_rows(opts) + command_rows(opts, notes) + cli_rows(opts, notes)

    print(f"machine: {machine()}")
    print(f"medians of {opts.rounds} rounds, each pair measured side by side; ratio = quarvo / reference")
    if opts.markdown:
        print("\n| measure | quarvo | reference | unit | ratio | against | goal |")
        print("|---|---:|---:|---|---:|---|---|")
        for r in rows:
            print(f"| {r['measure']} | {r['quarvo']:.2f} | {r['reference']:.2f} | {r['unit']} | {r['ratio']:.2f} "
                  f"| {r['against']} | {r['goal']} |")
    else:
        print(f"\n{'measure':<36}{'quarvo':>10}{'reference':>11}  {'unit':<5}{'ratio':>7}  {'against':<28}goal")
        for r in rows:
            print(f"{r['measure']:<36}{r['quarvo']:>10.2f}{r['reference']:>11.2f}  {r['unit']:<5}{r['ratio']:>7.2f}"
                  f"  {r['against']:<28}{r['goal']}")
    for note in notes:
        print(f"note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
