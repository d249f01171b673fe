"""Each operation end to end: Python, the service and the fake backend program."""

from __future__ import annotations

from pathlib import Path

import pytest
from support import backend_calls, needs_fuse

import quarvo


def test_from_env_on_an_instance_makes_a_new_one(q: quarvo.Quarvo) -> None:
    other = q.from_env()
    assert isinstance(other, quarvo.Quarvo) and other is not q


def test_init_formats_and_records_a_development_volume(q: quarvo.Quarvo, home: Path, backend_log: Path) -> None:
    info = q.init("v", dev=True, metadata="ignored", store="ignored")
    objects = home / "dev" / "v" / "objects"
    assert (info.name, info.storage, info.bucket, info.dev, info.mountpoint) == ("v", "file", str(objects), True, None)
    assert info.metadata_url == f"sqlite3://{home}/dev/v/metadata.db"
    assert objects.is_dir() and (home / "volumes" / "v.toml").is_file()
    assert backend_calls(backend_log) == [
        ["format", info.metadata_url, "v", "--storage", "file", "--bucket", str(objects), "--trash-days", "0",
         "--no-update"],
    ]  # fmt: skip


def test_init_refuses_an_existing_name_and_ensure_volume_returns_it(q: quarvo.Quarvo, backend_log: Path) -> None:
    q.init("v", metadata="redis://host/1", storage="s3", bucket="b")
    with pytest.raises(quarvo.QuarvoError, match='^volume "v" already exists$'):
        q.init("v", dev=True)
    existing = q.ensure_volume("v", dev=True)
    assert (existing.metadata_url, existing.dev) == ("redis://host/1", False)
    assert q.ensure_volume("w", dev=True).dev is True
    assert [call[0] for call in backend_calls(backend_log)] == ["format", "format"]


def test_a_failed_format_leaves_no_record(q: quarvo.Quarvo, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "format:2")
    with pytest.raises(quarvo.QuarvoError, match=r"^Quarvo storage backend command failed \(exit status: 2\)$"):
        q.ensure_volume("v", dev=True)
    assert q.status().volumes == []


@pytest.mark.parametrize("call", ["flush", "unmount"])
def test_flush_and_unmount_need_a_mounted_volume(q: quarvo.Quarvo, backend_log: Path, call: str) -> None:
    q.init("v", dev=True)
    with pytest.raises(quarvo.QuarvoError, match='^volume "v" is not mounted$'):
        getattr(q, call)("v")
    with pytest.raises(quarvo.QuarvoError, match='^volume "w" does not exist$'):
        getattr(q, call)("w")
    assert len(backend_calls(backend_log)) == 1


@needs_fuse
def test_mount_flush_unmount(q: quarvo.Quarvo, tmp_path: Path, backend_log: Path) -> None:
    q.init("v", dev=True)
    mounted = q.mount("v", "sub/mnt")
    mountpoint = tmp_path / "sub" / "mnt"
    assert (mounted.name, mounted.mountpoint) == ("v", str(mountpoint))
    assert q.status("v").volumes[0].mountpoint == str(mountpoint)
    assert q.flush("v") is None
    assert list(mountpoint.iterdir()) == []
    assert q.unmount("v", force=True) is None
    assert q.status("v").volumes[0].mountpoint is None
    mount, umount = backend_calls(backend_log)[1:]
    assert mount[0:3] == ["mount", q.status("v").volumes[0].metadata_url, str(mountpoint)] and mount[-1] == "-d"
    assert umount == ["umount", "--flush", "--force", str(mountpoint)]


@needs_fuse
def test_mount_failures(q: quarvo.Quarvo, tmp_path: Path) -> None:
    with pytest.raises(quarvo.QuarvoError, match='^volume "v" does not exist$'):
        q.mount("v", "created")
    assert (tmp_path / "created").is_dir()
    (tmp_path / "file").write_text("")
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.mount("v", "file")
    assert str(failure.value) == "mountpoint file exists and is not a directory"
