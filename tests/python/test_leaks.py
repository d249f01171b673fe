"""Resident memory stays flat over QUARVO_LEAK_ITERATIONS rounds of every method and getter."""

from __future__ import annotations

import gc
import os
from pathlib import Path

import pytest

import quarvo

ITERATIONS = int(os.environ.get("QUARVO_LEAK_ITERATIONS", "5000"))


def resident_bytes() -> int:
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_calls_do_not_grow_resident_memory(
    q: quarvo.Quarvo, home: Path, fake_backend: Path, monkeypatch: pytest.MonkeyPatch, mounts: None
) -> None:
    q.init("v", dev=True)
    q.init("idle", dev=True)
    mounted = q.mount("v", "mnt")
    # From here on only `q` knows the backend: from_env and the doctors start no process.
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", str(home / "bin"))
    failing = [quarvo.Quarvo.from_env, lambda: q.status(name="missing"), lambda: q.init("v", dev=True),
               lambda: q.init("bad name"), lambda: q.mount("missing", "mnt"), lambda: q.flush("idle"),
               lambda: q.unmount("idle", force=True), lambda: q.init(1), lambda: q.init("v", True),
               lambda: q.init("v", metadata="lone \udc80"), lambda: q.mount("v", Path("mnt")),
               lambda: q.unmount("v", force=None)]  # fmt: skip

    def one_round(i: int) -> None:
        for info in (*q.status().volumes, q.status("v").volumes[0]):
            (info.name, info.metadata_url, info.storage, info.bucket, info.dev, info.mountpoint)
        (mounted.name, mounted.mountpoint, quarvo.doctor(), q.doctor())
        q.ensure_volume("v", metadata="m://x", store="file:///x")
        for call in failing:
            with pytest.raises((quarvo.QuarvoError, TypeError)):
                call()
        if i % 100 == 0:
            q.init("new", dev=True)
            (home / "volumes" / "new.toml").unlink()
            os.environ["FAKE_BACKEND_FAIL"] = "format:3"
            with pytest.raises(quarvo.QuarvoError):
                q.init("new", dev=True)
            del os.environ["FAKE_BACKEND_FAIL"]
            q.unmount("v")
            q.mount("v", "mnt")
            q.flush("v")

    for i in range(500):
        one_round(i)
    before = resident_bytes()
    for i in range(ITERATIONS):
        one_round(i)
    assert resident_bytes() - before < 2 * 1024 * 1024
