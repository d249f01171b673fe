"""What the benchmark scripts share: timing, rows with their goals, output.

A row compares Quarvo's figure with a reference measured side by side in the
same rounds. Work done inside one process (the listing and its floor) is
timed in CPU time, user and system, which is what it costs: on a shared
machine wall time adds however long the process waited for a CPU, and that
differs from one round to the next. Its wall-time ratio is kept beside it
(`wall`). Everything that spawns a program or waits for a mount is timed in
wall time. Its `ratio` is the median of the per-round ratios (each round
times both sides back to back, so a busy moment of a shared machine weighs on
both), `quarvo` and `reference` are the medians of each side. A goal bounds
either the ratio ("ratio <= 1.25") or Quarvo's own figure ("<= 30 ms"); `ok`
says whether the figure meets it (None: no goal).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def per_call(fn: Callable[[], object], min_seconds: float) -> float:
    """Seconds per call of `fn`, repeated until at least `min_seconds` passed."""
    return per_call_with_cpu(fn, min_seconds)[0]


def per_call_with_cpu(fn: Callable[[], object], min_seconds: float) -> tuple[float, float]:
    """Wall seconds and CPU seconds (user and system, this process) per call."""
    calls, start, cpu = 0, time.perf_counter(), time.process_time()
    while True:
        fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / calls, (time.process_time() - cpu) / calls


def once(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def row(
    measure: str,
    ours: list[float],
    reference: list[float],
    unit: str,
    scale: float,
    against: str,
    goal: str = "",
    ratio_max: float | None = None,
    value_max: float | None = None,
) -> dict:
    """A row from paired samples (seconds); `scale` turns seconds into `unit`.
    The caller may add the wall-time ratio as r["wall"]."""
    ratios = [a / b for a, b in zip(ours, reference)] if reference else []
    r = {
        "measure": measure,
        "quarvo": statistics.median(ours) * scale,
        "reference": statistics.median(reference) * scale if reference else None,
        "unit": unit,
        "ratio": statistics.median(ratios) if ratios else None,
        "wall": None,
        "against": against,
        "goal": goal,
        "ok": None,
    }
    if ratio_max is not None:
        r["ok"] = r["ratio"] <= ratio_max
    if value_max is not None:
        r["ok"] = r["quarvo"] <= value_max
    return r


def emit(rows: list[dict], notes: list[str]) -> None:
    """The rows and notes as one JSON line, for run_all.py."""
    print(json.dumps({"rows": rows, "notes": notes}))


def venv_program(name: str) -> str:
    """A program of the interpreter's environment (console scripts, juicefs)."""
    path = Path(sys.executable).parent / name
    return str(path) if path.exists() else name


def fresh_env(home: Path, **extra: str) -> dict[str, str]:
    """The environment for a benchmark home, without the fake backend's knobs."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("FAKE_BACKEND_", "QUARVO_"))}
    env.update(QUARVO_HOME=str(home), **extra)
    return env


def build_programs(build_dir: str) -> Path:
    """Builds the timing programs (command_bench, list_floor); their directory.

    A configured tree (`make build`'s) is reused as it is, with the programs
    switched on, so nothing already built there is built again; otherwise
    the directory is configured for them alone, in Release.
    """
    if (Path(build_dir) / "CMakeCache.txt").exists():
        configure = ["cmake", "-S", str(ROOT), "-B", build_dir, "-DQUARVO_BUILD_BENCH=ON"]
    else:
        configure = [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUARVO_BUILD_BENCH=ON",
            "-DQUARVO_BUILD_TESTS=OFF",
            "-DQUARVO_BUILD_PYTHON=OFF",
        ]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        ["cmake", "--build", build_dir, "--target", "command_bench", "list_floor", "-j2"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    return Path(build_dir)
