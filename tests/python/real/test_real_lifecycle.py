"""Pruning development volumes, and destroying a shared one, with the real client."""

from __future__ import annotations

import json
import os
import re
import urllib.request

import pytest
from real_support import Machine, daemons_of, kill_all, mount_at, redis_url, s3_bucket, wait_until, write_random

pytestmark = pytest.mark.real_backend


def test_prune_removes_the_dev_volumes_nothing_serves(machine: Machine, fuse: None) -> None:
    machine.cli(
        "init", "team", "--metadata", f"sqlite3://{machine.root}/shared.db", "--store", f"file://{machine.root}/o"
    )
    for name in ("idle", "busy", "doomed"):
        machine.cli("init", name, "--dev")
    machine.cli("mount", "busy", str(machine.root / "busy"))
    doomed = machine.root / "doomed"
    machine.cli("mount", "doomed", str(doomed))
    wait_until(lambda: kill_all(daemons_of(str(doomed))) or not daemons_of(str(doomed)), "the daemon to die")
    assert machine.state("doomed") == "stale"

    pruned = sorted(machine.cli("prune", "--yes").stdout.splitlines())
    assert pruned == [f"removed development volume {n} and its data" for n in ("doomed", "idle")]
    assert mount_at(doomed) is None  # the stale mount was detached
    assert [v["name"] for v in json.loads(machine.cli("status", "--json").stdout)["volumes"]] == ["busy", "team"]
    assert sorted(os.listdir(machine.home / "dev")) == ["busy"]
    assert (machine.root / "shared.db").exists()
    machine.cli("rm", "busy", "--force")


def test_destroy_of_a_shared_volume_waits_for_the_other_machine(
    machine: Machine, fuse: None, redis_port: int, s3_port: int
) -> None:
    bucket = s3_bucket(s3_port)

    def objects() -> list[str]:
        with urllib.request.urlopen(bucket, timeout=30) as response:
            return re.findall(r"<Key>([^<]*)</Key>", response.read().decode())

    shared = ["--metadata", redis_url(redis_port), "--storage", "s3", "--bucket", bucket]
    other, third = machine.another("home-b"), machine.another("home-c")
    machine.cli("init", "team-data", *shared)
    other.cli("ensure", "team-data", *shared)
    there = machine.root / "b"
    other.cli("mount", "team-data", str(there))
    write_random(there / "results.bin", 1 << 20)
    other.cli("flush", "team-data")
    assert objects()

    refused = machine.cli("rm", "team-data", "--destroy", "--yes", check=False)
    assert refused.returncode == 1 and "unmount it there first" in refused.stderr
    assert f'quarvo: error: volume "team-data" is mounted at {there}' in refused.stderr
    assert machine.inspect("team-data")["volume"] is not None and objects()
    # A third home on this machine leaves; the cache the mount here uses stays.
    third.cli("ensure", "team-data", *shared)
    cache = other.inspect("team-data")["cache_dirs"]
    assert third.cli("rm", "team-data").stdout.startswith("removed volume team-data from this machine; its data stays")
    assert cache and all(os.path.isdir(c) for c in cache)

    other.cli("unmount", "team-data")
    assert (
        machine.cli("rm", "team-data", "--destroy", "--yes").stdout
        == "removed volume team-data and destroyed its data\n"
    )
    assert objects() == [] and machine.files() == set()
    # The other machine keeps its record of a volume that is gone; its engine says so.
    assert other.inspect("team-data")["backend"] is None
    other.cli("rm", "team-data")
