"""`flush` with the real client: it returns only once what a program wrote to a file
it keeps open has left the client's buffers and been committed, and says so when
writes never pause."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from real_support import Machine, wait_until

pytestmark = pytest.mark.real_backend

# Writes `size` bytes to PATH, says so on stdout, keeps the file open until killed.
HOLDER = "import sys, time\nf = open(sys.argv[1], 'wb')\nf.write(b'q' * int(sys.argv[2]))\nf.flush()\nprint('written', flush=True)\ntime.sleep(600)\n"  # noqa: E501
# Appends to PATH without a pause until killed.
STREAMER = "import sys\nf = open(sys.argv[1], 'wb')\nprint('writing', flush=True)\nwhile True:\n    f.write(b'q' * 4096)\n    f.flush()\n"  # noqa: E501


def started(script: str, *args: str) -> subprocess.Popen[str]:
    child = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None and child.stdout.readline()  # under way
    return child


def ended(child: subprocess.Popen[str]) -> None:
    child.kill()
    child.wait()


def kill_serving(mountpoint: Path) -> None:
    """kill -9 of the processes the mount's .config names: the supervisor first
    (it would start another serving process), then the serving process."""
    config = json.loads((mountpoint / ".config").read_text())
    for pid in (config["PPid"], config["Pid"]):
        os.kill(pid, signal.SIGKILL)
    wait_until(lambda: not any(Path(f"/proc/{p}").exists() for p in (config["PPid"], config["Pid"])), "the daemon")


# The daemon (serving process and supervisor) killed right after `flush` returns,
# three times: the data a program wrote and kept open is there when mounted again.
def test_flushed_data_survives_a_kill_right_after(machine: Machine) -> None:
    machine.cli("init", "held", "--dev")
    mountpoint = machine.root / "held"
    machine.cli("mount", "held", str(mountpoint))
    for run in range(3):
        holder = started(HOLDER, str(mountpoint / f"f{run}"), str(24 << 10))
        try:
            machine.cli("flush", "held")
            kill_serving(mountpoint)
        finally:
            ended(holder)
        machine.cli("mount", "held", str(mountpoint))  # the dead mount detached, mounted again
        assert (mountpoint / f"f{run}").stat().st_size == 24 << 10, f"run {run}"


# A program writing without a pause: flush fails at its bound, saying how many
# bytes the client still held, and says nothing of success.
def test_writes_that_never_pause_are_not_called_flushed(machine: Machine) -> None:
    machine.cli("init", "busy", "--dev")
    mountpoint = machine.root / "busy"
    machine.cli("mount", "busy", str(mountpoint))
    streamer = started(STREAMER, str(mountpoint / "stream"))
    try:
        result = machine.cli("--timeout", "3", "flush", "busy", check=False)
    finally:
        ended(streamer)
    assert result.returncode == 1 and "flushed" not in result.stdout, result.stdout
    line = next(x for x in result.stderr.splitlines() if x.startswith("quarvo: error:"))
    assert f'volume "busy" was not flushed: after 3 s its mount at {mountpoint} still held' in line, result.stderr
    held = int(line.split("still held ")[1].split(" bytes")[0])
    assert held > 0, line
    assert "writes to it did not pause" in line
    machine.cli("flush", "busy")  # once the writer is gone, a flush ends
