"""What the command line prints: tables, JSON, progress lines."""

from __future__ import annotations

import json
import os
import re
import sys
from typing import Any, Callable, Iterable, Mapping, Sequence, TextIO


def use_colour(stream: TextIO) -> bool:
    return (
        stream.isatty()
        and "NO_COLOR" not in os.environ
        and os.environ.get("TERM", "") != "dumb"
    )


STATE_COLOURS = {"mounted": "32", "stale": "33"}


def table(
    headers: Sequence[str],
    rows: Iterable[Sequence[str]],
    colours: Mapping[int, Callable[[str], str | None]] | None = None,
    colour: bool = False,
) -> str:
    """Columns aligned on the widest cell, three spaces apart, last one ragged.

    `colours` maps a column to a function giving a cell's ANSI colour code;
    it is used only when `colour` is true, and never for the header.
    """
    body = [list(r) for r in rows]
    widths = [max(len(c) for c in col) for col in zip(headers, *body)]
    lines = []
    for i, row in enumerate([list(headers), *body]):
        cells = []
        for j, cell in enumerate(row):
            padded = cell if j == len(row) - 1 else cell.ljust(widths[j])
            code = colours[j](cell) if colour and colours and j in colours and i > 0 else None
            cells.append(f"\x1b[{code}m{cell}\x1b[0m{padded[len(cell):]}" if code else padded)
        lines.append("   ".join(cells).rstrip())
    return "\n".join(lines)


_URL_PASSWORD = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://[^/@:]*:)([^/@]*)@")


def redact(url: str) -> str:
    """A URL with the password of its user part replaced by "****"."""
    return _URL_PASSWORD.sub(r"\1****@", url)


def volume_dict(v: Any, state: str | None = None, with_state: bool = False) -> dict[str, Any]:
    d = {
        "name": v.name,
        "metadata_url": v.metadata_url,
        "storage": v.storage,
        "bucket": v.bucket,
        "dev": v.dev,
        "mountpoint": v.mountpoint,
    }
    if with_state:
        d["state"] = state
    return d


def print_json(value: Any) -> None:
    json.dump(value, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


def say(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def quoted(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


def doctor_text(report: Mapping[str, Any]) -> str:
    backend = report["storage_backend"]
    mount = report["mount_support"]
    config_note = "" if os.path.isfile(report["config"]) else " (not present)"
    lines = [
        f"home:             {report['home']}",
        f"config:           {report['config']}{config_note}",
    ]
    if backend["found"]:
        facts = [f"version {backend['version']}" if backend["version"] else "version unknown"]
        facts.append("managed" if backend["managed"] else "not managed")
        lines.append(f"storage backend:  {backend['path']} ({', '.join(facts)})")
    else:
        lines.append("storage backend:  not found")
        lines.append("  fix: run `quarvo doctor --install`, or set QUARVO_STORAGE_BACKEND_BIN to a juicefs client")
    lines.append(f"mount support:    {'found' if mount['found'] else 'missing'}: {mount['detail']}")
    if not mount["found"]:
        lines.append(f"  fix: {mount['fix'] or 'Install local mount support for this platform.'}")
    return "\n".join(lines)
