"""Shell completion from the shell.

    quarvo completion bash|zsh|fish     # the script, for eval or the shell's completion directory

The scripts are generated from the command table (quarvo/_grammar.py) by
scripts/gen_completions.py and shipped in the package, so printing one
imports nothing more; a test holds them to the table. For a volume name they
run `quarvo completion --volumes`, which lists the names of the home's
record files without reading a record and starts no backend.
"""

from __future__ import annotations

import os
import sys

from quarvo import _native
from quarvo.cli import _Usage

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quarvo._grammar import Namespace

# The scripts beside this module, one per shell.
SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "completions")


def script_path(shell: str) -> str:
    return os.path.join(SCRIPTS, f"quarvo.{shell}")


def cmd_completion(args: Namespace) -> int:
    if args.volumes:
        if args.shell is not None:
            raise _Usage("--volumes takes no SHELL")
        names = _native._volume_names()
        sys.stdout.write("".join(f"{name}\n" for name in names))
        return 0
    if args.shell is None:
        raise _Usage("completion needs a SHELL: bash, zsh or fish")
    with open(script_path(args.shell)) as f:
        sys.stdout.write(f.read())
    return 0
