"""Operations through the binding down to the backend program."""

from __future__ import annotations

from pathlib import Path

from support import backend_calls

import quarvo


def test_round_trip(q: quarvo.Quarvo, tmp_path: Path, backend_log: Path) -> None:
    info = q.init("v", dev=True)
    q.init("w", metadata="redis://x/1", store="s3://bucket/path")
    assert (info.name, info.storage, info.dev, info.mountpoint) == ("v", "file", True, None)
    assert [v.name for v in q.status().volumes] == ["v", "w"]
    assert [v.name for v in q.status("v").volumes] == [v.name for v in q.status(name="v").volumes] == ["v"]
    mounted = q.mount("v", "sub/mnt")
    mountpoint = str(tmp_path / "sub" / "mnt")
    assert (mounted.name, mounted.mountpoint, q.status("v").volumes[0].mountpoint) == ("v", mountpoint, mountpoint)
    assert q.flush("v") is None and q.unmount("v", force=True) is None
    assert q.status("v").volumes[0].mountpoint is None
    mount, umount = backend_calls(backend_log)[2:]
    assert mount[:3] == ["mount", info.metadata_url, mountpoint] and mount[-1] == "-d"
    assert umount == ["umount", "--flush", "--force", mountpoint]


def test_volumes_is_a_new_list_on_every_read(q: quarvo.Quarvo) -> None:
    q.init("a", dev=True)
    status = q.status()
    first = status.volumes
    first.append(first[0])
    assert status.volumes is not first and len(status.volumes) == 1
