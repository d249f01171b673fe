"""The daemons of a volume against its record, with the real client: one daemon per volume, and a
way out when the metadata engine is down."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest
from real_support import Machine, daemons_of, missing, mount_at, redis_url, serving, wait_until

pytestmark = pytest.mark.real_backend


def config_pids(mountpoint: Path) -> tuple[int, int]:
    config = json.loads((mountpoint / ".config").read_text())
    return config["Pid"], config["PPid"]


def record(machine: Machine, name: str) -> dict[str, str]:
    """The record's top-level keys, values as written (Python 3.10 has no TOML reader)."""
    text = (machine.home / "volumes" / f"{name}.toml").read_text().split("\n[")[0]
    return dict(line.split(" = ", 1) for line in text.splitlines() if " = " in line)


# A daemon that outlives its forced unmount (a file stays open under it) keeps
# every later mount of the volume off, naming it, until it ends; the record names
# the processes that serve a mount as the mount's .config does.
def test_one_daemon_per_volume(machine: Machine) -> None:
    machine.cli("init", "solo", "--dev")
    first, second = machine.root / "first", machine.root / "second"
    machine.cli("mount", "solo", str(first))
    pid, ppid = config_pids(first)
    assert (record(machine, "solo")["daemon_pid"], record(machine, "solo")["supervisor_pid"]) == (str(pid), str(ppid))
    held = os.open(first / "held", os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        gone = machine.cli("--timeout", "2", "unmount", "solo", "--force")
        assert "still runs" in gone.stderr and mount_at(first) is None
        assert "daemon_pid" not in record(machine, "solo") and sorted(daemons_of(str(first))) == sorted([pid, ppid])
        for at in (second, first):
            refused = machine.cli("--timeout", "2", "mount", "solo", str(at), check=False)
            assert refused.returncode == 1, refused.stderr
            assert f'volume "solo" is busy: a daemon of it still runs: pid {ppid}' in refused.stderr  # supervisor first
            assert f"pid {pid}" in refused.stderr
            assert mount_at(at) is None and daemons_of(str(second)) == []
    finally:
        os.close(held)
    wait_until(lambda: not daemons_of(str(first)), "the old daemon to end")
    machine.cli("mount", "solo", str(second))
    assert mount_at(second) == ("fuse.juicefs", "JuiceFS:solo")
    assert record(machine, "solo")["daemon_pid"] == str(config_pids(second)[0])
    machine.cli("unmount", "solo")
    assert daemons_of(str(second)) == [] and "daemon_pid" not in record(machine, "solo")


# The metadata engine goes away under two mounted volumes: the backend can unmount neither. The
# plain unmount fails with the backend's reason and a hint that says so; --force on unmount and on
# rm takes each mount off through the kernel, ends its daemon, says what may be lost, and leaves
# records that tell the truth and no file of the daemon in /tmp.
def test_a_way_out_when_the_engine_is_down(machine: Machine, tmp_path: Path) -> None:
    program = shutil.which("redis-server") or missing("no redis-server (Debian package redis-server)")
    points = {name: machine.root / name for name in ("off", "gone")}
    pids = {}
    with serving([program, "--port", "{port}", "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                  "--dir", str(tmp_path)], tmp_path / "redis.log") as port:  # fmt: skip
        for name, at in points.items():
            machine.cli("init", name, "--metadata", redis_url(port, password=""), "--store", f"file://{tmp_path}/o")
            machine.cli("mount", name, str(at))
            (at / "kept").write_text("on the store")
            pids[name] = config_pids(at)
    # The engine is down now.
    failed = machine.cli("--timeout", "4", "unmount", "off", check=False)
    assert failed.returncode == 1 and "open" not in failed.stderr, failed.stderr
    assert f"hint: `quarvo unmount off --force` takes {points['off']} off through the kernel" in failed.stderr
    forced = {
        "off": machine.cli("--timeout", "4", "unmount", "off", "--force"),
        "gone": machine.cli("--timeout", "4", "rm", "gone", "--force"),
    }
    for name, at in points.items():
        pid, ppid = pids[name]
        note = forced[name].stderr
        assert f"through the kernel and ended its daemon (pid {ppid}, {pid})" in note, note
        assert "may be lost" in note
        assert mount_at(at) is None and daemons_of(str(at)) == []
        assert not Path(f"/tmp/fuse_fd_comm.{ppid}").exists()
    assert machine.state("off") is None and "daemon_pid" not in record(machine, "off")
    assert not (machine.home / "volumes" / "gone.toml").exists()
    machine.cli("--timeout", "2", "rm", "off")  # its engine is gone for good


# rm --force of a volume with others mounted inside it (one inside the other) unmounts them first,
# deepest first, through the service: their records follow, their daemons end.
def test_rm_force_unmounts_the_volumes_mounted_inside(machine: Machine) -> None:
    outer = machine.root / "outer"
    places = {"outer": outer, "inner": outer / "in", "innermost": outer / "in" / "most"}
    for name, at in places.items():
        machine.cli("init", name, "--dev")
        machine.cli("mount", name, str(at))
    removed = machine.cli("rm", "outer", "--force")
    assert removed.stderr.index('unmounted volume "innermost"') < removed.stderr.index('unmounted volume "inner"')
    for name, at in places.items():
        assert mount_at(at) is None and daemons_of(str(at)) == []
    assert (machine.state("inner"), machine.state("innermost")) == (None, None)
    assert not (machine.home / "volumes" / "outer.toml").exists()
