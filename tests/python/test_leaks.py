"""Resident memory stays flat over QUARVO_LEAK_ITERATIONS rounds (default
5,000) of every method and getter, mostly on failing paths; every
SPAWN_EVERY-th round also runs the process-spawning ones."""

from __future__ import annotations

import gc
import os
from pathlib import Path

import pytest
from support import needs_fuse

import quarvo

ITERATIONS = int(os.environ.get("QUARVO_LEAK_ITERATIONS", "5000"))
WARMUP = 500
SPAWN_EVERY = 100
LIMIT = 2 * 1024 * 1024


def resident_bytes() -> int:
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(error: type[BaseException], call: object, *args: object, **kwargs: object) -> None:
    try:
        call(*args, **kwargs)  # type: ignore[operator]
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


@needs_fuse
def test_calls_do_not_grow_resident_memory(
    q: quarvo.Quarvo, home: Path, fake_backend: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    q.init("v", dev=True)
    q.init("idle", dev=True)
    mounted = q.mount("v", "mnt")
    # From here on only `q` knows the backend: from_env and the doctors start no process.
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", str(home / "bin"))
    env = os.environ

    def spawning_round() -> None:
        env["QUARVO_STORAGE_BACKEND_BIN"] = str(fake_backend)
        quarvo.Quarvo.from_env().doctor()
        del env["QUARVO_STORAGE_BACKEND_BIN"]
        q.init("new", dev=True)
        (home / "volumes" / "new.toml").unlink()
        env["FAKE_BACKEND_FAIL"] = "format:3"
        expect(quarvo.QuarvoError, q.init, "new", dev=True)
        del env["FAKE_BACKEND_FAIL"]
        q.unmount("v")
        q.mount("v", "mnt")
        q.flush("v")

    def one_round(i: int) -> None:
        for info in (*q.status().volumes, q.status("v").volumes[0]):
            (info.name, info.metadata_url, info.storage, info.bucket, info.dev, info.mountpoint)
        (mounted.name, mounted.mountpoint)
        quarvo.doctor()
        q.doctor()
        expect(quarvo.QuarvoError, quarvo.Quarvo.from_env)
        expect(quarvo.QuarvoError, q.status, name="missing")
        expect(quarvo.QuarvoError, q.init, "v", dev=True)
        q.ensure_volume("v", metadata="m://x", store="file:///x")
        expect(quarvo.QuarvoError, q.init, "bad name")
        expect(quarvo.QuarvoError, q.mount, "missing", "mnt")
        expect(quarvo.QuarvoError, q.flush, "idle")
        expect(quarvo.QuarvoError, q.unmount, "idle", force=True)
        expect(TypeError, q.init, 1)
        expect(TypeError, q.init, "v", True)
        expect(TypeError, q.init, "v", metadata="lone \udc80")
        expect(TypeError, q.mount, "v", Path("mnt"), foreground=False)
        expect(TypeError, q.unmount, "v", force=None)
        expect(TypeError, q.status, b"v")
        if i % SPAWN_EVERY == 0:
            spawning_round()

    for i in range(WARMUP):
        one_round(i)
    before = resident_bytes()
    for i in range(ITERATIONS):
        one_round(i)
    growth = resident_bytes() - before
    print(f"\nresident memory growth over {ITERATIONS} rounds: {growth / 1024:.0f} KiB")
    assert growth < LIMIT
