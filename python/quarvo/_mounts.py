"""The mount table as the command line reads it, and whether a mount answers."""

from __future__ import annotations

import errno
import os
import re
import threading
from typing import Callable

_MOUNTINFO = "/proc/self/mountinfo"
_OCTAL_ESCAPE = re.compile(r"\\([0-7]{3})")
# How long `status` waits for a mounted file system to answer before it
# takes the silence as a live (busy) mount rather than hanging itself.
_LIVENESS_TIMEOUT = 1.0


def decode_mountinfo_field(field: str) -> str:
    """Undoes the kernel's octal escapes (\\040 for a space, \\134 for '\\')."""
    return _OCTAL_ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), field)


def parse_mountinfo(text: str) -> dict[str, str]:
    """Maps each mountpoint to the file system type mounted on top of it.

    Lines are "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] -
    FSTYPE SOURCE SUPEROPTIONS"; a later line for the same mountpoint is a
    mount stacked over the earlier one, so it wins.
    """
    table: dict[str, str] = {}
    for line in text.splitlines():
        fields = line.split(" ")
        try:
            dash = fields.index("-", 6)
            mountpoint, fstype = fields[4], fields[dash + 1]
        except (ValueError, IndexError):
            continue
        table[decode_mountinfo_field(mountpoint)] = decode_mountinfo_field(fstype)
    return table


def read_mount_table() -> dict[str, str] | None:
    """The mount table of this process, or None where there is none to read."""
    try:
        with open(_MOUNTINFO, encoding="utf-8", errors="surrogateescape") as f:
            return parse_mountinfo(f.read())
    except OSError:
        return None


def _answers(path: str) -> bool:
    """Whether the file system at `path` still has a server behind it.

    A FUSE mount whose daemon died stays in the mount table and fails every
    access at once with ENOTCONN. A live but stuck daemon would block the
    stat, so it runs on a side thread and silence counts as alive.
    """
    outcome: list[BaseException | None] = []

    def probe() -> None:
        try:
            os.stat(path)
            outcome.append(None)
        except OSError as e:
            outcome.append(e)

    thread = threading.Thread(target=probe, name="quarvo-status-probe", daemon=True)
    thread.start()
    thread.join(_LIVENESS_TIMEOUT)
    if not outcome:
        return True
    error = outcome[0]
    return not (isinstance(error, OSError) and error.errno == errno.ENOTCONN)


def mount_state(
    mountpoint: str | None,
    table: dict[str, str] | None,
    answers: Callable[[str], bool] = _answers,
) -> str | None:
    """"mounted", "stale", or None when no mountpoint is recorded.

    Without a readable mount table (not Linux) a recorded mountpoint is taken
    at its word and reported "mounted".
    """
    if mountpoint is None:
        return None
    if table is None:
        return "mounted"
    # The kernel lists resolved paths; the record holds the path as given.
    # Only the parent is resolved: resolving the mountpoint itself would
    # stat the mount.
    normal = os.path.normpath(mountpoint)
    candidates = [normal]
    parent, leaf = os.path.split(normal)
    if parent:
        candidates.append(os.path.join(os.path.realpath(parent), leaf))
    for candidate in candidates:
        if table.get(candidate) == "fuse.juicefs":
            return "mounted" if answers(candidate) else "stale"
    return "stale"


