"""Helpers the Python tests share (fixtures are in conftest.py)."""

from __future__ import annotations

from pathlib import Path


def backend_calls(log: Path) -> list[list[str]]:
    return [line.split("\x1f") for line in log.read_text().splitlines()] if log.exists() else []
