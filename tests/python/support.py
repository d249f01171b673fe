"""Helpers the Python tests share (fixtures are in conftest.py)."""

from __future__ import annotations

from pathlib import Path

import pytest


def backend_calls(log: Path) -> list[list[str]]:
    if not log.exists():
        return []
    return [line.split("\x1f") for line in log.read_text().splitlines()]


def fuse_available() -> bool:
    return Path("/dev/fuse").is_char_device()


needs_fuse = pytest.mark.skipif(not fuse_available(), reason="mount needs /dev/fuse (local mount support)")
