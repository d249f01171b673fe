"""Fixtures of the `quarvo` command tests.

The package-wide conftest gives every test a fresh QUARVO_HOME and the fake
storage backend; here the command runs as its own process, as a user runs it.
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Callable

import pytest

Run = Callable[..., subprocess.CompletedProcess]


@pytest.fixture
def run() -> Run:
    def run(*args: str, **env: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", "quarvo", *args],
            env={**os.environ, **env},
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run
