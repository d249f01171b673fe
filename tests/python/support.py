"""Helpers the Python tests share (fixtures are in conftest.py)."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path


def backend_calls(log: Path) -> list[list[str]]:
    return [line.split("\x1f") for line in log.read_text().splitlines()] if log.exists() else []


def command_lines() -> dict[int, bytes]:
    """The command line of every live process, its arguments ended by NUL."""
    lines = {}
    for entry in Path("/proc").glob("[0-9]*/cmdline"):
        with contextlib.suppress(OSError):
            lines[int(entry.parent.name)] = entry.read_bytes()
    return lines


def children_of_this_process(states: str = "") -> list[int]:
    """Pids whose parent is this process, only those in one of `states` (e.g. "Z") when given."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            state, ppid = stat.read_text().rsplit(")", 1)[1].split()[:2]
        except OSError:
            continue
        if int(ppid) == os.getpid() and (not states or state in states):
            found.append(int(stat.parent.name))
    return found
