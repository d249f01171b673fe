"""The quick reading of a command line is argparse's own; what `status --json`
prints is json's indented text, byte for byte; every result has its JSON
document; the shell completion."""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quarvo._grammar import COMMANDS, build_parser, quick_parse

# Read without argparse, as argparse reads them.
QUICK = [
    ["status"],
    ["status", "v1", "--json"],
    ["--show-secrets", "--timeout=9", "status"],
    ["--timeout", "5", "init", "v", "--dev", "--show-secrets"],
    ["init", "v", "--metadata=-h", "--store", "file:///x", "--json"],
    ["ensure", "v", "--storage", "s3", "--bucket", "b", "--timeout", "1e3"],
    ["mount", "v", "/p", "--foreground", "--check-storage", "--timeout=2.5"],
    ["mount", "--all", "--json"],
    ["unmount", "v", "--force"],
    ["rm", "a", "b", "--force", "--destroy", "--yes"],
    ["logs", "v", "-f", "-n", "5"],
    ["logs", "v", "--lines=0", "--follow"],
    ["doctor", "--install", "--from", "/x", "--json"],
    ["rm", "a", "--json"],
    ["completion", "zsh"],
    ["completion", "--volumes"],
    ["config", "v"],
    ["config", "v", "a=1", "b=", "--unset", "c", "--unset=d", "--json"],
    ["init", "v", "--dev", "--set", "read-only=true", "--set=subdir=a"],
    ["mount", "v", "/p", "--set", "writeback=true"],
    ["mount", "--all", "--retry", "60"],
    ["autostart", "enable", "--at-boot", "--json"],
]
# Left to argparse (help, abbreviations, odd orders, mistakes).
OTHER = [
    ["-h"],
    ["status", "--js"],
    ["status", "--json", "v1"],
    ["status", "a", "b"],
    ["status", "--"],
    ["--timeout", "0", "status"],
    ["logs", "v", "-n", "-1"],
    ["logs", "v", "-n5"],
    ["init", "v", "--metadata", "-h"],
    ["mount", "v", "p", "q"],
    ["rm"],
    ["completion", "tcsh"],
    ["config", "v", "--unset", "c", "a=1"],
    [],
]


@pytest.mark.parametrize("argv", QUICK + OTHER)
def test_quick_reading_is_argparses(argv: list[str], capsys: pytest.CaptureFixture[str]) -> None:
    quick = quick_parse(argv)
    assert (quick is not None) == (argv in QUICK)
    try:
        full = vars(build_parser().parse_args(argv))
    except SystemExit:
        full = None
    if quick is not None:
        assert vars(quick) == full


def test_status_json_is_jsons_indented_text(run, home: Path, tmp_path: Path) -> None:
    run("init", "scratch", "--dev")
    odd = str(tmp_path / 'a\nb\x1b[31mc\td é\u2028"\\')
    with open(home / "volumes" / "scratch.toml", "a") as f:
        f.write(f"mountpoint = {json.dumps(odd)}\n")
    (home / "volumes" / "bad.toml").write_text("name = ")
    out = run("status", "--json").stdout
    assert out == json.dumps(json.loads(out), indent=2, ensure_ascii=False) + "\n"
    assert json.loads(out)["volumes"][0]["mountpoint"] == odd


# Every command that reports a result prints one JSON document with --json, and
# nothing else on standard output; a name that fails is an entry of the document
# (and an error on standard error as without --json).
def test_each_result_is_one_document(run, home: Path, tmp_path: Path, mounts: None) -> None:
    def document(*args: str, status: int = 0, **env: str):
        result = run(*args, "--json", **env)
        assert result.returncode == status, result.stderr
        return json.loads(result.stdout)

    for name in ("vol-a", "vol-b", "vol-c"):
        run("init", name, "--dev")
    mnt = {name: str(tmp_path / name) for name in ("vol-a", "vol-c")}
    assert document("mount", "vol-a", mnt["vol-a"]) == {"name": "vol-a", "mountpoint": mnt["vol-a"]}
    assert document("flush", "vol-a") == {"name": "vol-a", "mountpoint": mnt["vol-a"]}
    assert document("unmount", "vol-a") == {"name": "vol-a", "mountpoint": mnt["vol-a"]}
    run("mount", "vol-c", mnt["vol-c"])
    ctypes.CDLL(None).umount2(mnt["vol-c"].encode(), 2)  # as after a reboot: recorded, not mounted
    assert document("mount", "--all") == {"volumes": [{"name": "vol-c", "mountpoint": mnt["vol-c"]}]}
    removed = document("rm", "vol-a", "ghost", status=1)
    assert removed == {
        "removed": [{"name": "vol-a", "dev": True, "destroyed": False}],
        "failed": [
            {"name": "ghost", "kind": "VolumeNotFound", "error": 'volume "ghost" does not exist', "reason": None}
        ],
    }
    (home / "dev" / "vol-b" / "objects" / "chunk").write_bytes(b"x" * 1000)
    assert document("prune", "--yes") == {"completed": [], "removed": [{"name": "vol-b", "bytes": 1000}], "failed": []}


ASK = """
source <(quarvo completion bash)
ask() {
  COMP_LINE="$1" COMP_POINT=${#1}
  read -ra COMP_WORDS <<< "$1"
  [[ "$1" == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )) COMPREPLY=()
  "$function" quarvo "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
  echo "${COMPREPLY[*]}"
}
function=$(complete -p quarvo | sed -E 's/.* -F ([^ ]+) .*/\\1/')
ask "quarvo "; ask "quarvo mount "; ask "quarvo rm alpha b"; ask "quarvo completion "
"""


# The script bash loads completes commands, the home's volume names (a record that
# cannot be read included: no record is read) and shells.
def test_bash_completes_commands_and_volume_names(run, home: Path, tmp_path: Path) -> None:
    for name in ("alpha", "beta"):
        run("init", name, "--dev")
    (home / "volumes" / "broken.toml").write_text("name = ")
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "quarvo").write_text(f'#!/bin/sh\nexec {sys.executable} -m quarvo "$@"\n')
    (tmp_path / "bin" / "quarvo").chmod(0o755)
    env = {**os.environ, "PATH": f"{tmp_path / 'bin'}:{os.environ['PATH']}"}
    result = subprocess.run(["bash", "-c", ASK], env=env, capture_output=True, text=True, timeout=60)
    assert result.stdout.splitlines() == [
        " ".join(COMMANDS),
        "alpha beta broken",
        "beta broken",
        "bash zsh fish",
    ], result.stderr


# The shipped scripts are what the command table makes (shtab generates them; it is
# a test dependency of the development environment, not of the per-Python runs).
def test_the_shipped_scripts_are_the_command_tables() -> None:
    pytest.importorskip("shtab")
    generator = Path(__file__).resolve().parents[3] / "scripts" / "gen_completions.py"
    check = subprocess.run([sys.executable, str(generator), "--check"], capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stderr
