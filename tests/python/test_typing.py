"""The package's type stub: a program using every name passes mypy --strict, and
stubtest finds the stub and the extension module in agreement."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

PROGRAM = """
from quarvo import MountInfo, Quarvo, QuarvoError, Status, VolumeInfo, doctor
found: bool = doctor()["storage_backend"]["found"]
fix: str | None = doctor()["mount_support"]["fix"]
q: Quarvo = Quarvo.from_env()
info: VolumeInfo = q.init("v", dev=True, metadata=None, store=None, storage=None, bucket=None)
info = q.ensure_volume("v", dev=False, metadata="m", store="file:///x")
texts: list[str] = [info.name, info.metadata_url, info.storage, info.bucket]
mountpoint: str | None = info.mountpoint
mounted: MountInfo = q.mount("v", "/mnt", foreground=False, check_storage=True)
where: str = mounted.mountpoint + mounted.name
q.flush("v")
q.unmount("v", force=True)
volumes: list[VolumeInfo] = q.status(name=None).volumes
try:
    status: Status = q.status("v")
except QuarvoError as error:
    message: str = error.args[0]
    why: str | None = error.reason
    failed = error.kind == "CommandFailed" and error.command_args is not None
    bound: float | None = error.seconds
from quarvo._native import VolumeState, volume_states
states: list[VolumeState] = q.volume_states() + volume_states("v")
state: str | None = states[0].state or states[0].found
problem: QuarvoError | None = states[0].error
listed: VolumeInfo | None = states[0].volume
record: str = states[0].path + states[0].name
q.remove("v", force=True, destroy=False)
"""


# Any finding fails: a name the extension has and the stub lacks included.
@pytest.mark.parametrize(
    "check",
    [
        ["mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, "program.py"],
        ["mypy.stubtest", "quarvo._native"],
    ],
)
def test_type_checks(tmp_path: Path, check: list[str]) -> None:
    (tmp_path / "program.py").write_text(PROGRAM)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, "-m", *check], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
