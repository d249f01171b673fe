"""Shared volumes: two Quarvo homes on one host play two developer machines
that share one volume through a real metadata engine (Redis or PostgreSQL)
and a real S3-compatible object store."""

from __future__ import annotations

import itertools
import json
import subprocess
import urllib.request
from pathlib import Path

import pytest

from real_support import Machine, Server, checksum, create_postgres_database, fs_type, write_random

pytestmark = pytest.mark.real_backend

_serial = itertools.count()


@pytest.fixture(params=["redis", "postgres"])
def shared(request: pytest.FixtureRequest, s3_server: Server) -> list[str]:
    """The provisioning options of a fresh shared volume on one engine."""
    n = next(_serial)
    if request.param == "redis":
        redis: Server = request.getfixturevalue("redis_server")
        metadata = f"redis://127.0.0.1:{redis.port}/{n % 16}"
    else:
        metadata = create_postgres_database(request.getfixturevalue("postgres_server"), f"quarvo_{n}")
    bucket = f"http://127.0.0.1:{s3_server.port}/quarvo-{request.param}-{n}"
    # The backend cannot create a bucket on this server (it sends a location
    # constraint the server refuses); shared buckets are made beforehand.
    urllib.request.urlopen(urllib.request.Request(bucket, method="PUT"), timeout=30).close()
    return ["--metadata", metadata, "--storage", "s3", "--bucket", bucket]


def test_second_machine_finds_the_volume_the_first_created(
    machine: Machine, other_machine: Machine, juicefs: str, shared: list[str]
) -> None:
    created = json.loads(machine.cli("init", "team-data", *shared, "--json").stdout)
    assert (created["dev"], created["storage"], created["mountpoint"]) == (False, "s3", None)

    # The format reached the engine: the backend itself reads the volume back.
    status = subprocess.run([juicefs, "status", created["metadata_url"]], capture_output=True, text=True,
                            timeout=120, check=True)
    assert json.loads(status.stdout)["Setting"]["Name"] == "team-data"

    joined = json.loads(other_machine.cli("ensure", "team-data", *shared, "--json").stdout)
    assert joined == created
    assert other_machine.state("team-data") is None


def test_file_written_on_one_machine_is_read_on_the_other(
    machine: Machine, other_machine: Machine, fuse: None, shared: list[str]
) -> None:
    machine.cli("init", "team-data", *shared)
    other_machine.cli("ensure", "team-data", *shared)
    here, there = machine.root / "a" / "team-data", machine.root / "b" / "team-data"
    machine.cli("mount", "team-data", str(here))
    other_machine.cli("mount", "team-data", str(there))
    assert fs_type(here) == fs_type(there) == "fuse.juicefs"

    digest = write_random(here / "results.bin", 4 << 20)
    machine.cli("flush", "team-data")
    assert checksum(there / "results.bin") == digest

    (there / "reply.txt").write_text("read it")
    other_machine.cli("flush", "team-data")
    assert Path(here / "reply.txt").read_text() == "read it"

    machine.cli("unmount", "team-data")
    other_machine.cli("unmount", "team-data")
    assert machine.state("team-data") is None and other_machine.state("team-data") is None
