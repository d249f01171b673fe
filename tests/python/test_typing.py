"""stubtest finds the package's type stub and the extension module in agreement;
any finding fails, a name the extension has and the stub lacks included."""

from __future__ import annotations

import os
import subprocess
import sys


def test_stub_matches_the_extension() -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    check = [sys.executable, "-m", "mypy.stubtest", "quarvo._native"]
    result = subprocess.run(check, capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
