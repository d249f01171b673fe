"""The `quarvo` command runs as its own process, as a user runs it."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest


@pytest.fixture
def run():
    def run(*args: str, **env: str) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "quarvo", *args], env={**os.environ, **env},
                              capture_output=True, text=True, timeout=120)

    return run
