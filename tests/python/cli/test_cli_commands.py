"""The `quarvo` command against the fake backend: messages, exit statuses, hints, status."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from quarvo._mounts import mount_state, parse_mountinfo

HINT = "hint: the storage backend accepts only volume names of 3 to 63 characters"
FAILED = "quarvo: error: Quarvo storage backend command failed (exit status: 1)"


@pytest.mark.parametrize("args, env, status, tail", [
    (["init", "a b", "--dev"], {}, 1,
     ["quarvo: error: invalid volume name \"a b\"; use only letters, numbers, '.', '_' and '-'"]),
    (["init", "My_Vol", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1, [FAILED, HINT]),
    (["init", "good-name", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1, [FAILED]),  # a valid name: no hint
    (["status", "nope"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
    (["mount", "only-a-name"], {}, 2, None),
])
def test_errors(run, args: list[str], env: dict[str, str], status: int, tail: list[str] | None) -> None:
    result = run(*args, **env)
    lines = result.stderr.splitlines()
    assert (result.returncode, result.stdout) == (status, "")
    if tail is None:
        assert ": error: " in lines[-1]  # argparse's usage error
    else:
        assert [line[: len(t)] for line, t in zip(lines[-len(tail):], tail)] == tail
        assert sum(line.startswith("hint: ") for line in lines) == (tail[-1] == HINT)


def test_status_table_and_json(run, home: Path, tmp_path: Path) -> None:
    assert json.loads(run("status", "--json").stdout) == {"volumes": []}
    run("init", "scratch", "--dev")
    run("init", "team-data", "--metadata", "postgres://dev:s3cret@db:5432/quarvo", "--store", "s3://bkt")
    # A mountpoint recorded where nothing is mounted any more (a reboot).
    with open(home / "volumes" / "team-data.toml", "a") as f:
        f.write(f"mountpoint = {json.dumps(str(tmp_path))}\n")

    volumes = json.loads(run("status", "--json").stdout)["volumes"]
    assert [(v["name"], v["mountpoint"], v["state"]) for v in volumes] == [
        ("scratch", None, None), ("team-data", str(tmp_path), "stale")]
    assert volumes[1]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"
    text = run("status").stdout
    assert "s3cret" not in text
    header, *rows = text.splitlines()
    assert header.split() == ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"]
    assert [row.split()[:3] for row in rows] == [["scratch", "dev", "-"], ["team-data", "shared", "stale"]]


TABLE = parse_mountinfo("\n".join([
    r"45 27 0:40 / /mnt/team\040data rw,nosuid shared:12 - fuse.juicefs JuiceFS:team rw,user_id=0",
    "46 27 0:41 / /srv/vol rw - tmpfs tmpfs rw",
    "47 46 0:42 / /srv/vol rw - fuse.juicefs JuiceFS:vol rw",
    r"48 27 0:43 / /tmp/back\134slash rw - ext4 /dev/vdb rw",
    "not a mountinfo line",
]))


@pytest.mark.parametrize("recorded, answers, state", [
    (None, True, None),
    ("/mnt/team data", True, "mounted"),
    ("/srv/vol", True, "mounted"),  # the later, stacked mount wins
    ("/mnt/team data", False, "stale"),  # the daemon is gone
    ("/tmp/back\\slash", True, "stale"),  # something else is mounted there
    ("/nowhere", True, "stale"),
])
def test_state_of_a_recorded_mountpoint(recorded: str | None, answers: bool, state: str | None) -> None:
    assert mount_state(recorded, TABLE, answers=lambda path: answers) == state
