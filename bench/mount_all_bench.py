"""`quarvo mount --all` after a reboot: how long it takes for N volumes.

    python bench/mount_all_bench.py [--volumes 8] [--rounds 3] [--python PY] [--engine-down]

Makes N volumes in a home of its own, mounts each, then round by round
simulates a reboot (every daemon of the home killed, every mount detached,
the records unchanged) and times the `quarvo` command `mount --all` run by
the interpreter PY (default: this one; another checkout's .venv measures
that version). Development volumes by default; with --engine-down, volumes
on a Redis started for the run, stopped before the rounds (an engine that
does not answer: each mount fails). Prints each round and the median; not
part of `make bench` (it is not compared with a reference). Needs root,
/dev/fuse and the juicefs client (redis-server for --engine-down).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def daemons_of(home: Path) -> list[int]:
    """Backend mount processes holding a log of `home` open."""
    found = []
    for entry in Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError):
            if b" mount " not in (entry / "cmdline").read_bytes().replace(b"\0", b" "):
                continue
            if any(os.readlink(fd).startswith(f"{home}/logs/") for fd in (entry / "fd").iterdir()):
                found.append(int(entry.name))
    return found


def reboot(home: Path, mountpoints: list[Path]) -> None:
    for pid in daemons_of(home):
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    for path in mountpoints:
        subprocess.run(["umount", "-l", str(path)], capture_output=True)
    until = time.monotonic() + 10
    while daemons_of(home) and time.monotonic() < until:
        time.sleep(0.05)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--volumes", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--engine-down", action="store_true")
    parser.add_argument("--timeout", type=float, help="mount --all --timeout SECONDS (each volume's bound)")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    from quarvo import _install

    root = Path(tempfile.mkdtemp(prefix="quarvo-mount-all-"))
    home = root / "home"
    env = dict(os.environ, QUARVO_HOME=str(home), QUARVO_STORAGE_BACKEND_BIN=_install.bundled_client(),
               PYTHONDONTWRITEBYTECODE="1")  # fmt: skip
    redis = None

    def quarvo(*argv: str, check: bool = True) -> subprocess.CompletedProcess[str]:
        out = subprocess.run([args.python, "-m", "quarvo", *argv], env=env, cwd=root, capture_output=True, text=True)
        if check and out.returncode:
            sys.exit(f"quarvo {' '.join(argv)}: {out.stderr}")
        return out

    mountpoints = [root / "mnt" / f"vol{i}" for i in range(args.volumes)]
    try:
        if args.engine_down:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            redis = subprocess.Popen(["redis-server", "--port", str(port), "--save", "", "--dir", str(root)],
                                     stdout=subprocess.DEVNULL)  # fmt: skip
            time.sleep(0.5)
        for i, path in enumerate(mountpoints):
            if redis is not None:
                quarvo(
                    "init", f"vol{i}", "--metadata", f"redis://127.0.0.1:{port}/{i}", "--store", f"file://{root}/o{i}"
                )
            else:
                quarvo("init", f"vol{i}", "--dev")
            quarvo("mount", f"vol{i}", str(path))
        if redis is not None:
            redis.terminate()
            redis.wait()
        times = []
        for r in range(args.rounds):
            reboot(home, mountpoints)
            started = time.monotonic()
            out = quarvo(*(["--timeout", f"{args.timeout:g}"] if args.timeout else []), "mount", "--all", check=False)
            times.append(time.monotonic() - started)
            failed = out.stderr.count("quarvo: error:")
            print(f"round {r + 1}: {times[-1]:.2f} s, exit {out.returncode}, {failed} failed", flush=True)
            for line in sorted({line.split(": ", 3)[-1][:100] for line in out.stderr.splitlines() if "error" in line}):
                print(f"  {line}")
        print(f"mount --all, {args.volumes} volumes, {args.python}: median {statistics.median(times):.2f} s")
    finally:
        reboot(home, mountpoints)
        if redis is not None and redis.poll() is None:
            redis.kill()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
