"""The quick reading of a command line is argparse's own, and what `status
--json` prints is json's indented text, byte for byte."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from quarvo._grammar import build_parser, quick_parse

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
