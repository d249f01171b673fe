"""The `quarvo` command against the fake backend: messages, exit statuses,
hints and the status table."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

NAME_RULE_HINT = "hint: the storage backend accepts only volume names of 3 to 63 characters"


@pytest.mark.parametrize(
    "args, env, status, tail",
    [
        (["init", "a b", "--dev"], {}, 1,
         ["quarvo: error: invalid volume name \"a b\"; use only letters, numbers, '.', '_' and '-'"]),
        (["init", "My_Vol", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1,
         ["quarvo: error: Quarvo storage backend command failed (exit status: 1)", NAME_RULE_HINT]),
        (["ensure", "ab", "--dev"], {"FAKE_BACKEND_FAIL": "format:3"}, 1,
         ["quarvo: error: Quarvo storage backend command failed (exit status: 3)", NAME_RULE_HINT]),
        (["init", "good-name", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1,
         ["quarvo: error: Quarvo storage backend command failed (exit status: 1)"]),  # no hint: a valid name
        (["init", "shared", "--store", "s3://b"], {}, 1,
         ["quarvo: error: missing metadata URL; pass --metadata or use --dev"]),
        (["status", "nope"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
        (["mount", "only-a-name"], {}, 2, None),
        (["unmount", "v", "--forcefully"], {}, 2, None),
        ([], {}, 2, None),
    ],
)
def test_errors(run, args: list[str], env: dict[str, str], status: int, tail: list[str] | None) -> None:
    result = run(*args, **env)
    assert result.returncode == status
    lines = result.stderr.splitlines()
    if tail is None:
        assert lines[-1].startswith("quarvo") and ": error: " in lines[-1]  # argparse's usage error
    else:
        assert [line[: len(t)] for line, t in zip(lines[-len(tail):], tail)] == tail
        assert len([line for line in lines if line.startswith("hint: ")]) == (tail[-1].startswith("hint") and 1)
    assert result.stdout == ""


def test_status_table_and_json(run, home: Path, tmp_path: Path) -> None:
    assert json.loads(run("status", "--json").stdout) == {"volumes": []}
    run("init", "scratch", "--dev")
    created = run("init", "team-data", "--metadata", "postgres://dev:s3cret@db:5432/quarvo", "--store", "s3://bkt")
    assert created.returncode == 0, created.stderr
    assert "s3cret" not in created.stdout and "****" in created.stdout

    # A mountpoint recorded where nothing is mounted any more (a reboot).
    plain = tmp_path / "was mounted"
    plain.mkdir()
    with open(home / "volumes" / "team-data.toml", "a") as f:
        f.write(f"mountpoint = {json.dumps(str(plain))}\n")

    volumes = json.loads(run("status", "--json").stdout)["volumes"]
    assert [(v["name"], v["mountpoint"], v["state"]) for v in volumes] == [
        ("scratch", None, None),
        ("team-data", str(plain), "stale"),
    ]
    assert set(volumes[1]) == {"name", "metadata_url", "storage", "bucket", "dev", "mountpoint", "state"}
    assert volumes[1]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"

    text = run("status").stdout
    assert "\x1b" not in text and "s3cret" not in text
    header, *rows = text.splitlines()
    assert header.split() == ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"]
    assert rows[0].split()[:4] == ["scratch", "dev", "-", "-"]
    for column in ("STATE", "MOUNTPOINT", "STORAGE", "METADATA"):
        at = header.index(column)
        assert all(row[at - 1] == " " and row[at] != " " for row in rows), column
    assert rows[1][header.index("MOUNTPOINT"):].startswith(str(plain))


def test_init_json_and_progress(run) -> None:
    result = run("init", "data", "--dev", "--json")
    assert result.stderr == "formatting volume data ...\n"
    info = json.loads(result.stdout)
    assert list(info) == ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"]
    assert (info["name"], info["dev"], info["mountpoint"]) == ("data", True, None)
    assert json.loads(run("ensure", "data", "--json").stdout) == info


def test_failed_unmount_of_a_stale_record_says_how_to_recover(run, home: Path, tmp_path: Path) -> None:
    run("init", "data", "--dev")
    with open(home / "volumes" / "data.toml", "a") as f:
        f.write(f"mountpoint = {json.dumps(str(tmp_path))}\n")
    result = run("unmount", "data", FAKE_BACKEND_FAIL="umount:1")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        f"hint: nothing is mounted at {tmp_path} any more; `quarvo mount data {tmp_path}` serves it again, "
        "then `quarvo unmount data` clears the record"
    )
