#!/usr/bin/env python3
"""Benchmarks of the command runner, side by side with their references.

    python3 bench/run_command_bench.py --build-dir build/bench

Builds bench/command_bench (Release) in the build directory, then alternates,
round by round:
  spawn: CommandSpec("/bin/true").run() against subprocess.run(["/bin/true"],
         capture_output=True) in this interpreter, per call;
  drain: one child writing N MiB to stdout and N MiB to stderr, captured by
         CommandSpec::run, against the same child with each stream piped to
         `cat > /dev/null`.
Prints the median of each and the ratio runner / reference.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(build_dir):
    subprocess.run(
        ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DQUARVO_BUILD_BENCH=ON",
         "-DQUARVO_BUILD_TESTS=OFF", "-DQUARVO_BUILD_PYTHON=OFF"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "command_bench", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "command_bench")


def runner_seconds(args):
    return float(subprocess.run(args, check=True, capture_output=True, text=True).stdout)


def runner_seconds_and_peak_mib(args):
    """The program's own timing and its peak resident memory in MiB."""
    seconds, kib = subprocess.run(args, check=True, capture_output=True, text=True).stdout.split()
    return float(seconds), int(kib) / 1024


def python_true_seconds(calls):
    start = time.perf_counter()
    for _ in range(calls):
        subprocess.run(["/bin/true"], capture_output=True)
    return time.perf_counter() - start


def cat_drain_seconds(bench, nbytes):
    start = time.perf_counter()
    sinks = [subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL) for _ in range(2)]
    writer = subprocess.Popen([bench, "write", str(nbytes)], stdout=sinks[0].stdin, stderr=sinks[1].stdin)
    for sink in sinks:
        sink.stdin.close()
    if writer.wait() != 0 or any(sink.wait() != 0 for sink in sinks):
        sys.exit("cat reference failed")
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=200, help="/bin/true runs per round")
    parser.add_argument("--mib", type=int, default=256, help="MiB written to each stream")
    opts = parser.parse_args()

    bench = build(os.path.abspath(opts.build_dir))
    nbytes = opts.mib << 20
    spawn_ours, spawn_python, drain_ours, drain_cat, drain_peak = [], [], [], [], []
    for _ in range(opts.rounds):
        spawn_ours.append(runner_seconds([bench, "true", str(opts.calls)]) / opts.calls)
        spawn_python.append(python_true_seconds(opts.calls) / opts.calls)
        seconds, peak = runner_seconds_and_peak_mib([bench, "drain", bench, str(nbytes)])
        drain_ours.append(seconds)
        drain_peak.append(peak)
        drain_cat.append(cat_drain_seconds(bench, nbytes))

    def row(label, ours, reference, unit, scale):
        a, b = statistics.median(ours), statistics.median(reference)
        print(f"{label:<34}{a * scale:>12.1f}{b * scale:>12.1f}  {unit:<6}{a / b:>8.2f}")

    print(f"medians of {opts.rounds} rounds; spawn: {opts.calls} calls per round; drain: 2 x {opts.mib} MiB")
    print(f"{'':<34}{'runner':>12}{'reference':>12}  {'unit':<6}{'ratio':>8}")
    row("/bin/true vs subprocess.run", spawn_ours, spawn_python, "us", 1e6)
    row(f"drain 2x{opts.mib} MiB vs cat >/dev/null", drain_ours, drain_cat, "ms", 1e3)
    mib_per_s = [2 * opts.mib / s for s in drain_ours], [2 * opts.mib / s for s in drain_cat]
    print(f"{'drain peak memory (goal < 16)':<34}{max(drain_peak):>12.1f}{'':>12}  MiB")
    print(f"{'drain throughput':<34}{statistics.median(mib_per_s[0]):>12.0f}"
          f"{statistics.median(mib_per_s[1]):>12.0f}  MiB/s")


if __name__ == "__main__":
    main()
