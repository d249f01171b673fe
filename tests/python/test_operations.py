"""What the binding adds to the operations: results as Python values, notes as warnings."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import quarvo


def test_volumes_is_a_new_list_on_every_read(q: quarvo.Quarvo) -> None:
    q.init("a", dev=True)
    status = q.status()
    first = status.volumes
    first.append(first[0])
    assert status.volumes is not first and len(status.volumes) == 1


def test_mount_all_reports_each_volume_and_notes_come_as_warnings(
    q: quarvo.Quarvo, tmp_path: Path, mounts: None
) -> None:
    for name in ("a", "b", "idle"):
        q.init(name, dev=True)
    for name in ("a", "b"):
        q.mount(name, name)
    with pytest.warns(UserWarning, match="already mounted"):
        q.mount("a", "a")
    # A reboot, as far as the records can tell: nothing mounted any more.
    for name in ("a", "b"):
        os.system(f"umount -l {tmp_path / name}")
    (tmp_path / "b").rmdir()
    (tmp_path / "b").write_text("a file now")
    with pytest.warns(UserWarning, match="where nothing was mounted any more"):
        outcomes = q.mount_all()
    assert list(outcomes) == ["a", "b"]
    assert isinstance(outcomes["a"], quarvo.MountInfo) and outcomes["a"].mountpoint == str(tmp_path / "a")
    assert isinstance(outcomes["b"], quarvo.QuarvoError)
    assert str(outcomes["b"]) == f"mountpoint {tmp_path / 'b'} exists and is not a directory"
