"""The release wheel of this machine's architecture (dist/, from `make wheel-native`),
installed into a fresh virtual environment on a PATH without a compiler, runs a
development volume's life."""

from __future__ import annotations

import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from real_support import Machine, missing, mount_at

pytestmark = [pytest.mark.real_backend, pytest.mark.wheel]

DIST = Path(__file__).resolve().parents[3] / "dist"
# Compiler drivers, preprocessors, assemblers and linkers, versioned or prefixed.
COMPILER = re.compile(r"(^|-)(cc|c\+\+|gcc|g\+\+|clang|clang\+\+|cpp|c89|c99|as|ld|ld\.\w+)(-[\d.]+)?$")


def test_installed_wheel_runs_a_volume(machine: Machine) -> None:
    wheels = sorted(DIST.glob(f"quarvo-*-abi3-manylinux*_{platform.machine()}.whl"))
    if not wheels:
        missing(f"no manylinux wheel for {platform.machine()} in {DIST}: run `make wheel-native`")
    venv, bin_dir = machine.root / "venv", machine.root / "bin"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    # Links to every program in /usr/bin and /usr/sbin but the compilers.
    bin_dir.mkdir()
    for program in [*Path("/usr/sbin").iterdir(), *Path("/usr/bin").iterdir()]:
        if not COMPILER.search(program.name) and not (bin_dir / program.name).exists():
            (bin_dir / program.name).symlink_to(program)
    path = f"{venv / 'bin'}:{bin_dir}"
    assert not any(shutil.which(c, path=path) for c in ("cc", "c++", "gcc", "g++", "clang", "ld"))
    env = {k: v for k, v in machine.env.items() if k not in ("QUARVO_STORAGE_BACKEND_BIN", "PYTHONPATH")}
    env.update(PATH=path, HOME=str(machine.root))

    def run(*args: str) -> str:
        result = subprocess.run(args, env=env, cwd=machine.root, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, f"{' '.join(args)}:\n{result.stdout}{result.stderr}"
        return result.stdout

    run("python", "-m", "pip", "install", "-q", "--only-binary", ":all:", str(wheels[-1]))
    run("quarvo", "doctor", "--install")
    assert (machine.home / "bin" / "quarvo-storage").is_file()
    run("quarvo", "init", "wheelvol", "--dev")
    mountpoint = machine.root / "mnt"
    run("quarvo", "mount", "wheelvol", str(mountpoint))
    assert mount_at(mountpoint) == ("fuse.juicefs", "JuiceFS:wheelvol")
    (mountpoint / "hello.txt").write_text("hello\n")
    run("quarvo", "unmount", "wheelvol")
    assert mount_at(mountpoint) is None
    # The module that ran is the wheel's, not the source tree's.
    assert run("python", "-c", "import quarvo._native as n; print(n.__file__)").startswith(str(venv))
