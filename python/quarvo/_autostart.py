"""Mounts that return: a systemd unit that runs `quarvo mount --all` for
this home at login or boot.

    quarvo autostart enable [--at-boot]     write the unit and enable it
    quarvo autostart disable                disable it and delete it
    quarvo autostart status                 what is installed, how its last run went

The unit's name, place and text are the native side's (one unit per home
and user: root's a system unit, anyone else's a user unit); this module
asks systemd about it. Where systemd does not run this machine (a
container, or PID 1 is another init), `enable` still writes and enables
the unit (`systemctl enable` works without a running systemd), which then
takes effect where systemd runs, says so, and prints the one line to put
in a start-up of one's own instead. On macOS (launchd) autostart is for a
later version: the command says so and prints that line.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

from quarvo import _native
from quarvo._output import print_json, say
from quarvo.cli import EXIT_FAILURE, _Usage

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from quarvo._grammar import Namespace

# How long the unit's `mount --all` keeps trying shared volumes that fail:
# at login or boot their network (DHCP, Wi-Fi) is often not up yet, and a
# user unit cannot wait for the system's network-online.target. Two
# minutes covers a network that comes up late; a volume whose engine is
# really gone is reported after that. Each try keeps the command's own bound.
RETRY_SECONDS = 120
# The bound on each question asked of systemd.
_SYSTEMCTL_BOUND = 30


def unit_command() -> list[str]:
    """What the unit runs: this installation's quarvo, by absolute path."""
    python = sys.executable
    if not python or not os.path.isabs(python):
        raise _native._error("InvalidArgument", "this Python's own path is not known; the unit could not run it")
    return [python, "-m", "quarvo", "mount", "--all", "--retry", str(RETRY_SECONDS)]


def _run(*args: str) -> subprocess.CompletedProcess[str]:
    try:
        return subprocess.run(args, capture_output=True, text=True, timeout=_SYSTEMCTL_BOUND, check=False)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(args, 1, "", f"{args[0]} did not answer within {_SYSTEMCTL_BOUND} s")


def _systemctl(unit: dict[str, Any], *args: str) -> subprocess.CompletedProcess[str]:
    return _run("systemctl", *([] if unit["system"] else ["--user"]), *args)


def systemd_state() -> tuple[bool, str]:
    """Whether systemd runs this machine, and in words."""
    if shutil.which("systemctl") is None:
        return False, "systemctl is not installed"
    state = _run("systemctl", "is-system-running").stdout.strip() or "unknown"
    if state in ("offline", "unknown"):
        return False, f"systemd is not running here (`systemctl is-system-running`: {state})"
    return True, f"systemd is {state}"


def cmd_autostart(args: Namespace) -> int:
    actions = {"enable": _enable, "disable": _disable, "status": _status}
    if args.action not in actions:
        raise _Usage(f"autostart takes enable, disable or status, not {args.action!r}")
    if args.at_boot and args.action != "enable":
        raise _Usage("--at-boot goes with enable")
    line = _native._autostart_line(unit_command())
    if not sys.platform.startswith("linux"):
        # launchd is for a later version.
        say(f"quarvo: error: autostart is for Linux with systemd; on {sys.platform} it comes in a later version")
        say("hint: to mount the volumes at login, run this line from a start-up of your own:")
        print(line)
        return EXIT_FAILURE
    return actions[args.action](args, line)


def _enable(args: Namespace, line: str) -> int:
    command = unit_command()
    _native._autostart_write(command)
    unit = _native._autostart_unit()
    running, how = systemd_state()
    facts: dict[str, Any] = {**unit, "systemd": running, "line": line, "notes": []}
    notes: list[str] = facts["notes"]
    if running:
        reloaded = _systemctl(unit, "daemon-reload")
        if reloaded.returncode != 0:
            notes.append(f"systemd did not read the unit now ({_said(reloaded)}); it reads it at its next start")
    enabled = _systemctl(unit, "enable", unit["name"]) if shutil.which("systemctl") else None
    facts["enabled"] = enabled is not None and enabled.returncode == 0
    if enabled is not None and enabled.returncode != 0:
        notes.append(f"`systemctl enable` failed: {_said(enabled)}")
    facts["linger"] = _linger(unit, running, notes) if args.at_boot else None
    if not running:
        notes.append(f"{how}: the unit takes effect where systemd runs; here, start the printed line yourself")
    if args.json:
        print_json(facts)
        return 0 if facts["enabled"] else EXIT_FAILURE
    when = "at boot" if unit["system"] or facts["linger"] else "at login"
    state = "enabled" if facts["enabled"] else "written, not enabled"
    print(f"autostart {state}: {unit['name']} ({unit['unit']}) mounts the volumes of this home {when}")
    for note in notes:
        say(f"note: {note}")
    if not running:
        print(line)
    return 0 if facts["enabled"] else EXIT_FAILURE


def _linger(unit: dict[str, Any], running: bool, notes: list[str]) -> bool | None:
    """Lingering for this user, so that its units start at boot: root's
    system unit runs at boot already; without systemd there is no login
    manager to ask."""
    if unit["system"]:
        return None
    if not running:
        notes.append("lingering (--at-boot) needs a running systemd: run `loginctl enable-linger` there")
        return False
    done = _run("loginctl", "enable-linger")
    if done.returncode != 0:
        notes.append(f"`loginctl enable-linger` failed: {_said(done)}")
    return done.returncode == 0


def _disable(args: Namespace, line: str) -> int:
    unit = _native._autostart_unit()
    if shutil.which("systemctl") and unit["installed"]:
        _systemctl(unit, "disable", unit["name"])
    removed = _native._autostart_remove()
    running, _ = systemd_state()
    if running and removed:
        _systemctl(unit, "daemon-reload")
    if args.json:
        print_json({**unit, "installed": False, "removed": removed})
    elif removed:
        print(f"autostart disabled: {unit['name']} removed; mounted volumes stay mounted")
    else:
        say(f"autostart was not enabled for this home: there is no {unit['unit']}")
    return 0


def _status(args: Namespace, line: str) -> int:
    unit = _native._autostart_unit()
    running, how = systemd_state()
    facts: dict[str, Any] = {**unit, "systemd": running, "line": line}
    facts["enabled"] = None
    if unit["installed"] and shutil.which("systemctl"):
        facts["enabled"] = _systemctl(unit, "is-enabled", unit["name"]).stdout.strip() or None
    facts.update(active=None, result=None, exit_status=None, last_run=None, journal=[])
    if running and unit["installed"]:
        shown = _systemctl(unit, "show", unit["name"], "-p", "ActiveState,Result,ExecMainStatus,ExecMainExitTimestamp")
        values = dict(row.partition("=")[::2] for row in shown.stdout.splitlines())
        facts.update(
            active=values.get("ActiveState") or None,
            result=values.get("Result") or None,
            exit_status=int(values["ExecMainStatus"]) if values.get("ExecMainStatus", "").isdigit() else None,
            last_run=values.get("ExecMainExitTimestamp") or None,
        )
        scope = [] if unit["system"] else ["--user"]
        journal = _run("journalctl", *scope, "-u", unit["name"], "-n", "5", "--no-pager", "-o", "cat")
        facts["journal"] = journal.stdout.splitlines() if journal.returncode == 0 else []
    if args.json:
        print_json(facts)
        return 0
    print(_status_text(facts, how))
    return 0


def _status_text(facts: dict[str, Any], how: str) -> str:
    if not facts["installed"]:
        lines = [f"autostart: not enabled for this home (`quarvo autostart enable` writes {facts['unit']})"]
    else:
        lines = [f"autostart: {facts['name']} ({facts['unit']}), {facts['enabled'] or 'state unknown'}"]
    lines.append(f"systemd:   {how}")
    if facts["active"]:
        last = f", last run ended {facts['last_run']}" if facts["last_run"] else ""
        status = f", exit status {facts['exit_status']}" if facts["exit_status"] is not None else ""
        lines.append(f"last run:  {facts['active']} ({facts['result']}{status}{last})")
        lines += [f"  | {row}" for row in facts["journal"]]
    elif facts["installed"]:
        lines.append("last run:  none here: systemd does not run this machine")
    lines.append(f"runs:      {facts['line']}")
    return "\n".join(lines)


def _said(result: subprocess.CompletedProcess[str]) -> str:
    """The last line a program wrote, or its exit status."""
    rows = (result.stderr or result.stdout).strip().splitlines()
    return rows[-1] if rows else f"exit status {result.returncode}"
