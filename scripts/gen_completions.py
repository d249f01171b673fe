#!/usr/bin/env python3
"""Writes the shell completion scripts of `quarvo` (python/quarvo/completions/)
from its command table, with shtab, which is a test dependency only: the
package ships the scripts, so `quarvo completion SHELL` prints a file and
needs nothing installed. Run it after changing python/quarvo/_grammar.py;
with --check it writes nothing and exits 1 when a shipped script differs
(a test runs it so). It reads the table of the installed quarvo (install
the tree first: `.venv/bin/pip install --no-deps --no-build-isolation .`)
and writes into this tree.

    .venv/bin/python scripts/gen_completions.py [--check]
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import shtab

from quarvo import _grammar

# The scripts in this tree, one per shell, as quarvo/_completion.py finds them.
SCRIPTS = Path(__file__).resolve().parents[1] / "python" / "quarvo" / "completions"

# The home's volume names, asked of the command when a name is completed
# (it reads no record and starts no backend); each shell's function runs
# it then, never when the script is loaded.
NAMES = "quarvo completion --volumes 2>/dev/null"
VOLUMES = {
    "bash": "_quarvo_volumes",
    "zsh": "_quarvo_volumes",
    "fish": f"({NAMES})",
    "preamble": {
        "bash": f'_quarvo_volumes() {{\n  compgen -W "$({NAMES})" -- "$1"\n}}',
        "zsh": f'_quarvo_volumes() {{\n  local -a names\n  names=(${{(f)"$({NAMES})"}})\n  compadd -a names\n}}',
    },
}

# What a value is (the table's `complete`), as shtab completes it.
COMPLETERS = {"volume": VOLUMES, "directory": shtab.DIRECTORY, "file": shtab.FILE}


def scripts() -> dict[str, str]:
    # Help texts go into the zsh and fish scripts; argparse wraps them to the terminal's width.
    os.environ["COLUMNS"] = "120"
    parser = _grammar.build_parser()
    for action in (a for p in _grammar_subparsers(parser) for a in p._actions):
        kind = getattr(action, "complete_as", None)
        if kind:
            action.complete = COMPLETERS[kind]  # type: ignore[attr-defined]
    return {shell: shtab.complete(parser, shell=shell) for shell in _grammar.SHELLS}


def _grammar_subparsers(parser):  # type: ignore[no-untyped-def]
    for action in parser._actions:
        if action.choices and isinstance(action.choices, dict):
            yield from action.choices.values()


def main() -> int:
    check = sys.argv[1:] == ["--check"]
    stale = []
    for shell, text in scripts().items():
        path = SCRIPTS / f"quarvo.{shell}"
        try:
            with open(path) as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current == text:
            continue
        stale.append(str(path))
        if not check:
            with open(path, "w") as f:
                f.write(text)
    if check and stale:
        print(f"out of date: {', '.join(stale)}; run scripts/gen_completions.py", file=sys.stderr)
        return 1
    for path in stale:
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
