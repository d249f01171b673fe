"""The package's type stub: a program using every name passes mypy --strict."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

PROGRAM = '''
from quarvo import MountInfo, Quarvo, QuarvoError, Status, VolumeInfo, doctor

report = doctor()
found: bool = report["storage_backend"]["found"]
path: str | None = report["storage_backend"]["path"]
fix: str | None = report["mount_support"]["fix"]
home: str = report["home"]

q: Quarvo = Quarvo.from_env()
q = q.from_env()
assert q.doctor()["config"] == report["config"]
info: VolumeInfo = q.init("v", dev=True, metadata=None, store=None, storage=None, bucket=None)
info = q.ensure_volume("v", dev=False, metadata="m", store="file:///x", storage=None, bucket=None)
texts: list[str] = [info.name, info.metadata_url, info.storage, info.bucket]
dev: bool = info.dev
mountpoint: str | None = info.mountpoint
mounted: MountInfo = q.mount("v", "/mnt", foreground=False, check_storage=True)
where: str = mounted.mountpoint + mounted.name
q.flush("v")
q.unmount("v", force=True)
status: Status = q.status()
status = q.status("v")
volumes: list[VolumeInfo] = status.volumes
try:
    q.status(name=None)
except QuarvoError as error:
    message: str = error.args[0]
'''


def test_a_program_using_every_name_passes_strict_checking(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    source = tmp_path / "program.py"
    source.write_text(PROGRAM)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(source)],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert result.returncode == 0, result.stdout + result.stderr
