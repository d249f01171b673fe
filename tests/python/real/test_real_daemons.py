"""The daemons of a volume against its record, with the real client: one daemon per volume, and a
way out when the metadata engine is down."""

from __future__ import annotations

import json
import os
import tomllib
from pathlib import Path

import pytest
from real_support import Machine, daemons_of, mount_at, wait_until

pytestmark = pytest.mark.real_backend


def config_pids(mountpoint: Path) -> tuple[int, int]:
    config = json.loads((mountpoint / ".config").read_text())
    return config["Pid"], config["PPid"]


def record(machine: Machine, name: str) -> dict:
    return tomllib.loads((machine.home / "volumes" / f"{name}.toml").read_text())


# A daemon that outlives its forced unmount (a file stays open under it) keeps
# every later mount of the volume off, naming it, until it ends; the record names
# the processes that serve a mount as the mount's .config does.
def test_one_daemon_per_volume(machine: Machine) -> None:
    machine.cli("init", "solo", "--dev")
    first, second = machine.root / "first", machine.root / "second"
    machine.cli("mount", "solo", str(first))
    pid, ppid = config_pids(first)
    assert (record(machine, "solo")["daemon_pid"], record(machine, "solo")["supervisor_pid"]) == (pid, ppid)
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
    assert record(machine, "solo")["daemon_pid"] == config_pids(second)[0]
    machine.cli("unmount", "solo")
    assert daemons_of(str(second)) == [] and "daemon_pid" not in record(machine, "solo")
