#!/usr/bin/env python3
"""The command runner, side by side with its references.

    python3 bench/run_command_bench.py [--build-dir build/cpp] [--rounds 5] [--json]

Builds bench/command_bench in the build directory (see
benchlib.build_programs), then alternates, round by round:
  spawn: CommandSpec("/bin/true").run() against subprocess.run(["/bin/true"],
         capture_output=True) in this interpreter, per call;
  flood: one child writing N MiB to stdout and N MiB to stderr, run by
         CommandSpec::run, against the same child with each stream piped to
         `cat > /dev/null`; and the peak memory (maximum resident set) of the
         process running the child that way.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

from benchlib import ROOT, build_programs, emit, row

FLOOD_TIME_GOAL = 1.1  # the runner's time against cat's
FLOOD_MEMORY_GOAL_MIB = 16


def runner_with_memory(args: list[str]) -> tuple[float, float]:
    """Runs command_bench: the seconds it prints, and its peak memory in MiB,
    as it prints it after the seconds (in KiB), else as its reaping tells."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = p.stdout.read()
    err = p.stderr.read()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise RuntimeError(err.decode(errors="replace").strip() or f"exit status {p.returncode}")
    fields = out.split()
    return float(fields[0]), (int(fields[1]) if len(fields) > 1 else usage.ru_maxrss) / 1024


def python_true_seconds(calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        subprocess.run(["/bin/true"], capture_output=True)
    return time.perf_counter() - start


def cat_flood_seconds(bench: str, nbytes: int) -> float:
    start = time.perf_counter()
    sinks = [subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL) for _ in range(2)]
    writer = subprocess.Popen([bench, "write", str(nbytes)], stdout=sinks[0].stdin, stderr=sinks[1].stdin)
    for sink in sinks:
        sink.stdin.close()
    if writer.wait() != 0 or any(sink.wait() != 0 for sink in sinks):
        raise RuntimeError("cat reference failed")
    return time.perf_counter() - start


def measure(bench: str, calls: int, nbytes: int, rounds: int, notes: list[str]) -> dict[str, list[float]]:
    """The samples of every round, side by side; what a failed round left out is noted."""
    samples: dict[str, list[float]] = {k: [] for k in ("spawn", "python", "flood", "cat", "memory")}
    try:
        for _ in range(rounds):
            samples["spawn"].append(runner_with_memory([bench, "true", str(calls)])[0] / calls)
            samples["python"].append(python_true_seconds(calls) / calls)
            seconds, mib = runner_with_memory([bench, "drain", bench, str(nbytes)])
            samples["flood"].append(seconds)
            samples["memory"].append(mib)
            samples["cat"].append(cat_flood_seconds(bench, nbytes))
    except RuntimeError as e:
        notes.append(f"runner: stopped early ({e})")
    return samples


def rows_of(samples: dict[str, list[float]], mib: int) -> list[dict]:
    rows: list[dict] = []
    if samples["spawn"] and len(samples["spawn"]) == len(samples["python"]):
        rows.append(row("runner: /bin/true", samples["spawn"], samples["python"], "us", 1e6, "subprocess.run"))
    if samples["flood"] and len(samples["flood"]) == len(samples["cat"]):
        goal = f"ratio <= {FLOOD_TIME_GOAL}"
        flood = f"runner: flood 2 x {mib} MiB"
        rows.append(
            row(flood, samples["flood"], samples["cat"], "ms", 1e3, "cat > /dev/null", goal, ratio_max=FLOOD_TIME_GOAL)
        )
        peak = max(samples["memory"])
        rows.append(
            {
                "measure": f"{flood}, memory",
                "quarvo": peak,
                "reference": None,
                "unit": "MiB",
                "ratio": None,
                "wall": None,
                "against": "peak resident set, largest round",
                "goal": f"< {FLOOD_MEMORY_GOAL_MIB} MiB",
                "ok": peak < FLOOD_MEMORY_GOAL_MIB,
            }
        )
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "cpp"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=100, help="/bin/true runs per round")
    parser.add_argument("--mib", type=int, default=256, help="MiB written to each stream")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    opts = parser.parse_args()

    bench = str(build_programs(os.path.abspath(opts.build_dir)) / "command_bench")
    notes: list[str] = []
    rows = rows_of(measure(bench, opts.calls, opts.mib << 20, opts.rounds, notes), opts.mib)
    if opts.json:
        emit(rows, notes)
        return 0
    for r in rows:
        ref = "" if r["reference"] is None else f"{r['reference']:10.1f}"
        ratio = "" if r["ratio"] is None else f"{r['ratio']:6.2f}"
        print(f"{r['measure']:<36}{r['quarvo']:10.1f}{ref:>11} {r['unit']:<4}{ratio:>7}  {r['goal']}")
    for note in notes:
        print(f"note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
