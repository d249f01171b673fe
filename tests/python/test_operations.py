"""Operations through the binding down to the backend program; the service's
rules themselves are proven by the C++ service tests."""

from __future__ import annotations

from pathlib import Path

import pytest
from support import backend_calls, needs_fuse

import quarvo


def test_init_then_status_by_position_and_keyword(q: quarvo.Quarvo, home: Path, backend_log: Path) -> None:
    info = q.init("v", dev=True)
    q.init("w", metadata="redis://x/1", store="s3://bucket/path")
    assert (info.name, info.storage, info.dev, info.mountpoint) == ("v", "file", True, None)
    assert backend_calls(backend_log)[0][:3] == ["format", info.metadata_url, "v"]
    assert [v.name for v in q.status().volumes] == [v.name for v in q.status(None).volumes] == ["v", "w"]
    assert [v.name for v in q.status("v").volumes] == [v.name for v in q.status(name="v").volumes] == ["v"]
    with pytest.raises(quarvo.QuarvoError, match='^volume "v" already exists$'):
        q.init("v", dev=True)
    assert q.ensure_volume("w", dev=True).dev is False


def test_volumes_is_a_new_list_of_new_objects_on_every_read(q: quarvo.Quarvo) -> None:
    q.init("a", dev=True)
    status = q.status()
    first = status.volumes
    first.append(first[0])
    second = status.volumes
    assert second is not first and len(second) == 1 and second[0] is not first[0]
    assert q.status("a").volumes[0] != q.status("a").volumes[0]  # equal values, distinct objects


@needs_fuse
def test_mount_flush_unmount(q: quarvo.Quarvo, tmp_path: Path, backend_log: Path) -> None:
    q.init("v", dev=True)
    mounted = q.mount("v", "sub/mnt")
    mountpoint = tmp_path / "sub" / "mnt"
    assert (mounted.name, mounted.mountpoint) == ("v", str(mountpoint))
    assert q.status("v").volumes[0].mountpoint == str(mountpoint)
    assert q.flush("v") is None
    assert q.unmount("v", force=True) is None
    assert q.status("v").volumes[0].mountpoint is None
    assert (mounted.name, mounted.mountpoint) == ("v", str(mountpoint))  # results keep their values
    mount, umount = backend_calls(backend_log)[1:]
    assert mount[0:3] == ["mount", q.status("v").volumes[0].metadata_url, str(mountpoint)] and mount[-1] == "-d"
    assert umount == ["umount", "--flush", "--force", str(mountpoint)]
