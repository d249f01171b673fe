"""What the command line prints: tables, JSON, progress lines."""

from __future__ import annotations

import os
import stat
import sys

from quarvo import _native

# typing is imported only by type checkers: the command starts without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Mapping, Sequence
    from typing import Any, TextIO


def use_colour(stream: TextIO) -> bool:
    return stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM", "") != "dumb"


# Green for a served mount, yellow for one that needs a look, red for what
# Quarvo will not act on by itself.
STATE_COLOURS = {
    "mounted": "32",
    "stale": "33",
    "unresponsive": "33",
    "not mounted": "33",
    "foreign": "31",
    "broken": "31",
}


def escaped(cell: str) -> str:
    """A cell with every character Python would not print (newline, tab,
    escape sequences, other controls) written as its escape, so that no
    value can break a row or colour the terminal."""
    if cell.isprintable():
        return cell
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in cell)


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
    # One check of a row's printable text; only a row that fails it escaped cell by cell.
    body = [r if "".join(r).isprintable() else [escaped(c) for c in r] for r in rows]
    widths = [max(map(len, col)) for col in zip(headers, *body)]
    if not (colour and colours):
        # One format for every row: each cell but the last left-aligned in
        # its column's width (as str.ljust pads), "   " between them.
        line = "   ".join([f"{{:<{w}}}" for w in widths[:-1]] + ["{}"])
        return "\n".join([line.format(*r).rstrip() for r in [headers, *body]])
    lines = []
    for i, row in enumerate([list(headers), *body]):
        cells = []
        for j, cell in enumerate(row):
            padded = cell if j == len(row) - 1 else cell.ljust(widths[j])
            code = colours[j](cell) if colour and colours and j in colours and i > 0 else None
            cells.append(f"\x1b[{code}m{cell}\x1b[0m{padded[len(cell) :]}" if code else padded)
        lines.append("   ".join(cells).rstrip())
    return "\n".join(lines)


def shown_url(url: str, show_secrets: bool = False) -> str:
    """A URL as printed: its passwords masked unless secrets are to be shown."""
    return url_shown(show_secrets)(url)


def url_shown(show_secrets: bool = False) -> Callable[[str], str]:
    """The function `shown_url` applies, for printing many URLs."""
    return str if show_secrets else _native._mask_url


def shown(text: str, show_secrets: bool = False) -> str:
    """A message as printed: the passwords of every URL in it masked."""
    return text if show_secrets else _native._mask_secrets(text)


def volume_dict(
    v: Any,
    state: str | None = None,
    with_state: bool = False,
    found: str | None = None,
    show_secrets: bool = False,
) -> dict[str, Any]:
    d = {
        "name": v.name,
        "metadata_url": shown_url(v.metadata_url, show_secrets),
        "storage": v.storage,
        "bucket": shown_url(v.bucket, show_secrets),
        "dev": v.dev,
        "mountpoint": v.mountpoint,
    }
    if with_state:
        d["state"] = state
        d["found"] = found
    return d


def print_json(value: Any) -> None:
    """`value` as JSON indented by two spaces, non-ASCII characters as they
    are: the text of `json.dump(value, indent=2, ensure_ascii=False)`."""
    sys.stdout.write(json_text(value) + "\n")


# The types of the values json writes in one piece, and the containers of
# only these (a record, a mount, a list of them) written by one call of its C
# encoder.
_SCALARS = frozenset((str, int, float, bool, type(None)))
_STRING = frozenset((str,))
_DICT = frozenset((dict,))


def json_text(value: Any) -> str:
    """The text `json.dumps(value, indent=2, ensure_ascii=False)` gives.

    With an indent json encodes value by value in Python (46 ms for the
    status of 10,000 volumes). Here a dict of scalars, or a list of such
    dicts, is one call of the C encoder with the newline and indent of its
    items' depth as the separator; the list's own separators are then set
    by replacing "}," + that separator + "{", which occurs nowhere else (a
    JSON string holds no raw newline, and a dict's item begins with a key).
    The lists and dicts around them are joined in Python."""
    import itertools
    import json

    encoders: dict[str, Callable[[Any], str]] = {}

    def encode(value: Any, separator: str) -> str:
        if separator not in encoders:
            encoders[separator] = json.JSONEncoder(ensure_ascii=False, separators=(separator, ": ")).encode
        return encoders[separator](value)

    def text(value: Any, newline: str) -> str:
        kind = type(value)
        if kind is str:
            return json.encoder.encode_basestring(value)
        inner = newline + "  "
        if kind is dict and value:
            if _SCALARS.issuperset(map(type, value.values())):
                return "{" + inner + encode(value, "," + inner)[1:-1] + newline + "}"
            if _STRING.issuperset(map(type, value)):
                items = [json.encoder.encode_basestring(k) + ": " + text(v, inner) for k, v in value.items()]
                return "{" + inner + ("," + inner).join(items) + newline + "}"
        elif kind is list and value:
            items_inner = inner + "  "
            if (
                _DICT.issuperset(map(type, value))
                and all(value)
                and _SCALARS.issuperset(map(type, itertools.chain.from_iterable(map(dict.values, value))))
            ):
                body = encode(value, "," + items_inner)[2:-2]
                between = "}," + items_inner + "{"
                body = body.replace(between, inner + "}," + inner + "{" + items_inner)
                return "[" + inner + "{" + items_inner + body + inner + "}" + newline + "]"
            return "[" + inner + ("," + inner).join([text(v, inner) for v in value]) + newline + "]"
        # A scalar, an empty list or dict, a tuple, a subclass, a key that is
        # no string: json's own text, indented to this depth.
        return json.dumps(value, indent=2, ensure_ascii=False).replace("\n", newline)

    return text(value, "\n")


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
    if backend["found"] and backend["version"] is not None:
        facts = [f"version {backend['version']}", "managed" if backend["managed"] else "not managed"]
        lines.append(f"storage backend:  {backend['path']} ({', '.join(facts)})")
    elif backend["found"]:
        lines.append(f"storage backend:  {backend['path']} is not usable: `{backend['path']} version` tells no version")
        lines.append("  fix: run `quarvo doctor --install`, or set QUARVO_STORAGE_BACKEND_BIN to a juicefs client")
    else:
        lines.append("storage backend:  not found")
        lines.append("  fix: run `quarvo doctor --install`, or set QUARVO_STORAGE_BACKEND_BIN to a juicefs client")
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
