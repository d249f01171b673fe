"""Removing, pruning and inspecting volumes with the real client, and log rotation."""

from __future__ import annotations

import itertools
import json
import os
import re
import urllib.request
from pathlib import Path

import pytest
from real_support import Machine, Server, daemons_of, fs_type, kill_all, wait_until, write_random

pytestmark = pytest.mark.real_backend
_serial = itertools.count()
LAYOUT = {"volumes", "logs", "bin", "dev", "lock"}


def files_under(home: Path) -> set[str]:
    """Everything in the home but its empty layout."""
    found = {str(p.relative_to(home)) for p in home.rglob("*")}
    return found - LAYOUT


def inspected(machine: Machine, name: str) -> dict:
    return json.loads(machine.cli("inspect", name, "--json").stdout)[0]


def test_dev_volume_life_rotation_removal_and_a_fresh_start(machine: Machine, fuse: None) -> None:
    machine.cli("init", "scratch", "--dev")
    log = machine.home / "logs" / "scratch.log"
    log.write_bytes(b"old\n" * ((8 << 20) // 4 + 1))  # just over 8 MiB
    mountpoint = machine.root / "mnt"
    machine.cli("mount", "scratch", str(mountpoint))
    assert (machine.home / "logs" / "scratch.log.1").stat().st_size == (8 << 20) + 4
    assert 0 < log.stat().st_size < 1 << 20 and b"old\n" not in log.read_bytes()[:4]  # the daemon's new log
    write_random(mountpoint / "blob", 1 << 20)
    machine.cli("flush", "scratch")

    details = inspected(machine, "scratch")
    uuid, cache = details["backend"]["uuid"], details["cache_dirs"]
    assert details["state"] == "mounted" and cache and all(uuid in c and os.path.isdir(c) for c in cache)
    assert details["dev_paths"]["directory"] == str(machine.home / "dev" / "scratch")

    refused = machine.cli("rm", "scratch", check=False)
    assert refused.returncode == 1 and refused.stderr.splitlines()[-2:] == [
        f'quarvo: error: volume "scratch" is mounted at {mountpoint}',
        "hint: `quarvo rm scratch --force` unmounts it first",
    ]
    assert machine.state("scratch") == "mounted"

    assert machine.cli("rm", "scratch", "--force").stdout == "removed development volume scratch and its data\n"
    assert fs_type(mountpoint) is None and files_under(machine.home) == set()
    assert not any(os.path.exists(c) for c in cache)
    wait_until(lambda: not daemons_of(str(mountpoint)), "the mount daemon to end")

    machine.cli("init", "scratch", "--dev")
    assert inspected(machine, "scratch")["backend"]["uuid"] != uuid
    machine.cli("mount", "scratch", str(mountpoint))
    assert not (mountpoint / "blob").exists()
    machine.cli("rm", "scratch", "--force")


def test_prune_removes_the_dev_volumes_nothing_serves(machine: Machine, fuse: None) -> None:
    shared = ["--metadata", f"sqlite3://{machine.root}/shared.db", "--store", f"file://{machine.root}/shared-objects"]
    machine.cli("init", "team", *shared)
    for name in ("idle", "busy", "doomed"):
        machine.cli("init", name, "--dev")
    machine.cli("mount", "busy", str(machine.root / "busy"))
    doomed = machine.root / "doomed"
    machine.cli("mount", "doomed", str(doomed))
    wait_until(lambda: kill_all(daemons_of(str(doomed))) or not daemons_of(str(doomed)), "the daemon to die")
    assert machine.state("doomed") == "stale"

    pruned = machine.cli("prune", "--yes")
    assert sorted(pruned.stdout.splitlines()) == [
        f"removed development volume {n} and its data" for n in ("doomed", "idle")
    ]
    assert fs_type(doomed) is None  # the stale mount was detached
    assert [v["name"] for v in json.loads(machine.cli("status", "--json").stdout)["volumes"]] == ["busy", "team"]
    assert sorted(os.listdir(machine.home / "dev")) == ["busy"]
    assert (machine.root / "shared.db").exists()
    machine.cli("rm", "busy", "--force")


def bucket_keys(url: str) -> list[str]:
    with urllib.request.urlopen(url, timeout=30) as response:
        return re.findall(r"<Key>([^<]*)</Key>", response.read().decode())


def test_destroy_of_a_shared_volume_waits_for_the_other_machine(
    machine: Machine, fuse: None, redis_server: Server, s3_server: Server
) -> None:
    n = next(_serial)
    bucket = f"http://127.0.0.1:{s3_server.port}/quarvo-destroy-{n}"
    urllib.request.urlopen(urllib.request.Request(bucket, method="PUT"), timeout=30).close()
    shared = ["--metadata", f"redis://127.0.0.1:{redis_server.port}/{8 + n % 8}", "--storage", "s3", "--bucket", bucket]
    other = Machine(machine.root / "home-b", dict(machine.env, QUARVO_HOME=str(machine.root / "home-b")), machine.root)
    machine.cli("init", "team-data", *shared)
    other.cli("ensure", "team-data", *shared)
    there = machine.root / "b"
    other.cli("mount", "team-data", str(there))
    write_random(there / "results.bin", 1 << 20)
    other.cli("flush", "team-data")
    assert bucket_keys(bucket)

    refused = machine.cli("rm", "team-data", "--destroy", "--yes", check=False)
    assert refused.returncode == 1
    assert f'quarvo: error: volume "team-data" is mounted at {there}' in refused.stderr
    assert "unmount it there first" in refused.stderr
    assert inspected(machine, "team-data")["volume"] is not None and bucket_keys(bucket)
    # A third home on this machine leaves; the cache the mount here uses stays.
    third = Machine(machine.root / "home-c", dict(machine.env, QUARVO_HOME=str(machine.root / "home-c")), machine.root)
    third.cli("ensure", "team-data", *shared)
    cache = inspected(other, "team-data")["cache_dirs"]
    assert third.cli("rm", "team-data").stdout.startswith("removed volume team-data from this machine; its data stays")
    assert cache and all(os.path.isdir(c) for c in cache)

    other.cli("unmount", "team-data")
    done = machine.cli("rm", "team-data", "--destroy", "--yes")
    assert done.stdout == "removed volume team-data and destroyed its data\n"
    assert bucket_keys(bucket) == [] and files_under(machine.home) == set()
    # The other machine keeps its record of a volume that is gone; its engine says so.
    assert inspected(other, "team-data")["backend"] is None
    other.cli("rm", "team-data")
