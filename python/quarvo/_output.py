"""What the command line prints: tables, JSON, progress lines."""

from __future__ import annotations

import os
import stat
import sys

from quarvo import _native

# typing is imported only by type checkers: the command starts without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping
    from typing import Any, TextIO


def use_colour(stream: TextIO) -> bool:
    return stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM", "") != "dumb"


# Every character Python would not print (newline, tab, escape sequences,
# other controls) written as its escape, so that no value can break a line
# or colour the terminal; `table` aligns columns on the widest cell, three
# spaces apart, every cell escaped. Both native, as `quarvo status` uses them.
escaped = _native._escaped
table = _native._table


def shown_url(url: str, show_secrets: bool = False) -> str:
    """A URL as printed: its passwords masked unless secrets are to be shown."""
    return url if show_secrets else _native._mask_url(url)


def shown(text: str, show_secrets: bool = False) -> str:
    """A message as printed: the passwords of every URL in it masked."""
    return text if show_secrets else _native._mask_secrets(text)


def print_json(value: Any) -> None:
    """`value` as JSON indented by two spaces, non-ASCII characters as they are."""
    import json

    print(json.dumps(value, indent=2, ensure_ascii=False))


def report(args: Any, document: Any, text: str | None) -> None:
    """A command's result on standard output: with --json its one document
    (keys as the README's JSON forms say), else `text` (None: nothing)."""
    if args.json:
        print_json(document)
    elif text is not None:
        print(text)


def failure(name: str, error: Any, show_secrets: bool) -> dict[str, str | None]:
    """A volume's error in a command's document: {"name", "kind", "error",
    "reason"}, the message and the backend's reason (None when it gave
    none) as printed (passwords masked unless asked)."""
    reason = shown(error.reason, show_secrets) if error.reason else None
    return {"name": name, "kind": error.kind, "error": shown(str(error), show_secrets), "reason": reason}


def say(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def indented(text: str, prefix: str = "  ") -> str:
    return "\n".join(prefix + line for line in text.splitlines())


def quoted(name: str) -> str:
    from json.encoder import encode_basestring

    return encode_basestring(name)


def doctor_text(report: Mapping[str, Any]) -> str:
    backend = report["storage_backend"]
    mount = report["mount_support"]
    config_error = report.get("config_error")
    if config_error:
        config_note = " (cannot be read)"
    else:
        config_note = "" if os.path.isfile(report["config"]) else " (not present)"
    lines = [
        f"home:             {report['home']}",
        f"config:           {report['config']}{config_note}",
    ]
    if config_error:
        lines.append(indented(config_error, "  | "))
        lines.append("  fix: correct or remove it; other commands fail until then (this report leaves it out)")
    if report.get("unsafe_backend"):
        lines.append(f"storage backend:  {backend['path']} is not run: another user could have changed it")
        lines.append(indented(report["unsafe_backend"], "  | "))
    elif backend["found"] and backend["version"] is not None:
        facts = [f"version {backend['version']}", "managed" if backend["managed"] else "not managed"]
        lines.append(f"storage backend:  {backend['path']} ({', '.join(facts)})")
    else:
        path = backend["path"]
        found = f"{path} is not usable: `{path} version` tells no version" if backend["found"] else "not found"
        lines.append(f"storage backend:  {found}")
        lines.append(f"  fix: {_native._INSTALL_ADVICE}")
    lines.append(f"mount support:    {'found' if mount['found'] else 'missing'}: {mount['detail']}")
    if not mount["found"] and mount["fix"]:
        lines.append(f"  fix: {mount['fix']}")
    return "\n".join(lines)


def home_warning(home: str) -> str | None:
    """Why the home is not private, if it is not: other users could read the
    records (with their passwords), the logs and development volumes."""
    try:
        mode = stat.S_IMODE(os.stat(home).st_mode)
    except OSError:
        return None
    if not mode & 0o077:
        return None
    return f"the Quarvo home {home} is open to other users (mode {mode:04o}); `chmod 700 {home}` makes it private"
