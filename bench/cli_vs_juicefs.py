#!/usr/bin/env python3
"""What provisioning and mounting cost over the bare juicefs client.

    python3 bench/cli_vs_juicefs.py [--rounds 5] [--juicefs PATH] [--json]

Round by round, side by side:
  init --dev   Quarvo.init(NAME, dev=True) in this process, and the command
               `quarvo init NAME --dev` (interpreter start included, as a user
               pays it), against `juicefs format` with the arguments Quarvo
               passes (a fresh volume each time)
  mount        Quarvo.mount(NAME, PATH) and `quarvo mount NAME PATH` of a
               volume with settings (SETTINGS), each until it returns with the
               volume mounted and probed, against `juicefs mount -d META PATH
               --log LOG OPTIONS` with the options Quarvo passes for them
Each mount is unmounted before the next one starts. Needs the juicefs client
(the environment's own, or --juicefs) and, for mounting, a usable /dev/fuse;
without them the rows are left out with a note. Everything lives in a
temporary directory (the block caches too, under its home); the mounts, and
any block cache the client kept per volume outside it (/var/jfsCache/UUID as
root), are removed at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from benchlib import emit, fresh_env, once, row, venv_program

MOUNT_GOAL = 0.5  # the API's mount against `juicefs mount -d`
# The mounted volumes' settings, and the backend options they become (in
# Quarvo's order: by key, the home's cache among them, usage reports off).
SETTINGS = {"attr-cache": "1s", "buffer-size": "256", "cache-size": "1024", "entry-cache": "1s"}


def mount_options(home: Path) -> list[str]:
    with_cache = {**SETTINGS, "cache-dir": str(home / "cache")}
    return [*(f"--{key}={value}" for key, value in sorted(with_cache.items())), "--no-usage-report"]


def run(cmd: list[str], env: dict[str, str]) -> None:
    subprocess.run(
        cmd, env=env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )


def mounts_under(root: Path) -> list[str]:
    """Mount points below `root`, deepest first, from the kernel's table."""
    found = []
    try:
        with open("/proc/self/mountinfo") as f:
            for line in f:
                point = line.split()[4].replace("\\040", " ")
                if point.startswith(str(root) + "/"):
                    found.append(point)
    except OSError:
        pass
    return sorted(found, reverse=True)


def can_mount() -> bool:
    return os.path.exists("/dev/fuse") and os.path.exists("/proc/self/mountinfo")


def forget_caches(juicefs: str, work: Path) -> None:
    """Removes the block caches the client keeps outside `work`, per volume UUID."""
    for meta in work.glob("**/metadata.db"):
        out = subprocess.run([juicefs, "status", f"sqlite3://{meta}"], capture_output=True, text=True)
        try:
            uuid = json.loads(out.stdout)["Setting"]["UUID"]
        except (ValueError, KeyError, TypeError):
            continue
        for base in ("/var/jfsCache", os.path.expanduser("~/.juicefs/cache")):
            if uuid:
                shutil.rmtree(os.path.join(base, uuid), ignore_errors=True)


def init_rows(q, quarvo_cli: str, juicefs: str, work: Path, env: dict[str, str], rounds: int) -> list[dict]:
    """init --dev through the API and the command, against juicefs format with Quarvo's arguments."""
    api, cli, bare = [], [], []
    for i in range(rounds):
        api.append(once(lambda: q.init(f"api-{i}", dev=True)))
        cli.append(once(lambda: run([quarvo_cli, "init", f"cli-{i}", "--dev"], env)))
        volume = work / "bare" / f"bare-{i}"
        (volume / "objects").mkdir(parents=True)
        meta, bucket = f"sqlite3://{volume}/metadata.db", f"{volume}/objects"
        format_args = ["--storage", "file", "--bucket", bucket, "--trash-days", "0", "--no-update"]
        bare.append(once(lambda: run([juicefs, "format", meta, f"bare-{i}", *format_args], env)))
    return [
        row("init --dev (API)", api, bare, "ms", 1e3, "juicefs format"),
        row("init --dev (CLI)", cli, bare, "ms", 1e3, "juicefs format"),
    ]


def mount_rows(q, quarvo_cli: str, juicefs: str, work: Path, env: dict[str, str], rounds: int) -> list[dict]:
    """mount through the API and the command (the volumes init_rows made), against juicefs mount -d."""
    api, cli, bare = [], [], []
    bare_meta = f"sqlite3://{work}/bare/bare-0/metadata.db"
    points = {k: work / f"mnt-{k}" for k in ("api", "cli", "bare")}
    points["bare"].mkdir()
    for name in ("api-0", "cli-0"):
        q.configure(name, SETTINGS)
    options = mount_options(work / "home")
    bare_mount = [juicefs, "mount", bare_meta, str(points["bare"]), "--log", str(work / "bare.log"), *options, "-d"]
    for _ in range(rounds):
        api.append(once(lambda: q.mount("api-0", str(points["api"]))))
        q.unmount("api-0")
        cli.append(once(lambda: run([quarvo_cli, "mount", "cli-0", str(points["cli"])], env)))
        q.unmount("cli-0")
        bare.append(once(lambda: run(bare_mount, env)))
        run([juicefs, "umount", "--flush", str(points["bare"])], env)
    goal = f"ratio <= {MOUNT_GOAL}"
    return [
        row("mount (API)", api, bare, "ms", 1e3, "juicefs mount -d", goal, ratio_max=MOUNT_GOAL),
        row("mount (CLI)", cli, bare, "ms", 1e3, "juicefs mount -d"),
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--juicefs", help="the juicefs client (default: the environment's)")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    opts = parser.parse_args()

    rows: list[dict] = []
    notes: list[str] = []
    juicefs = opts.juicefs or shutil.which(venv_program("juicefs"))
    if not juicefs:
        notes.append("init/mount against juicefs: not measured (no juicefs client)")
        emit(rows, notes) if opts.json else print(notes[0])
        return 0
    quarvo_cli = venv_program("quarvo")
    work = Path(tempfile.mkdtemp(prefix="quarvo-bench-"))
    real_home = os.path.expanduser("~")
    env = fresh_env(work / "home", HOME=str(work), QUARVO_STORAGE_BACKEND_BIN=juicefs)
    os.environ.clear()
    os.environ.update(env)
    import quarvo  # after the environment is set: nothing here touches the user's home

    try:
        q = quarvo.Quarvo.from_env()
        rows += init_rows(q, quarvo_cli, juicefs, work, env, opts.rounds)
        if can_mount():
            rows += mount_rows(q, quarvo_cli, juicefs, work, env, opts.rounds)
        else:
            notes.append("mount against juicefs mount -d: not measured (no /dev/fuse)")
    except (subprocess.CalledProcessError, quarvo.QuarvoError) as e:
        detail = e.stderr.decode(errors="replace").strip() if isinstance(e, subprocess.CalledProcessError) else e
        notes.append(f"init/mount against juicefs: stopped early ({detail})")
    finally:
        for point in mounts_under(work):
            subprocess.run([juicefs, "umount", "--force", point], capture_output=True)
        os.environ["HOME"] = real_home  # the cache of a non-root client is under the real home
        forget_caches(juicefs, work)
        shutil.rmtree(work, ignore_errors=True)

    if opts.json:
        emit(rows, notes)
        return 0
    for r in rows:
        print(
            f"{r['measure']:<20}{r['quarvo']:9.1f} ms  {r['against']:<18}{r['reference']:9.1f} ms  "
            f"ratio {r['ratio']:5.2f}  {r['goal']}"
        )
    for note in notes:
        print(f"note: {note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
