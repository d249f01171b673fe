"""The `quarvo` command against the fake backend: messages, exit statuses, hints, status."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import quarvo

HINT = "hint: the storage backend takes volume names of 3 to 63 characters"
FAILED = "quarvo: error: Quarvo storage backend command failed (exit status: 1)"
INVALID = "quarvo: error: invalid volume name \"My_Vol\"; use only letters, numbers, '.', '_' and '-'"


@pytest.mark.parametrize("args, env, status, tail", [
    (["init", "a b", "--dev"], {}, 1,
     ["quarvo: error: invalid volume name \"a b\"; use only letters, numbers, '.', '_' and '-'", HINT]),
    (["init", "My_Vol", "--dev"], {}, 1, [INVALID, HINT]),  # refused before any work
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


def record_mountpoint(home: Path, name: str, mountpoint: str) -> None:
    """What a record holds after a mount, written by hand."""
    with open(home / "volumes" / f"{name}.toml", "a") as f:
        f.write(f"mountpoint = {json.dumps(mountpoint)}\n")


def test_status_table_and_json(run, home: Path, tmp_path: Path) -> None:
    assert json.loads(run("status", "--json").stdout) == {"volumes": []}
    run("init", "scratch", "--dev")
    run("init", "team-data", "--metadata", "postgres://dev:s3cret@db:5432/quarvo", "--store", "s3://bkt")
    # A mountpoint recorded where nothing is mounted any more (a reboot).
    record_mountpoint(home, "team-data", str(tmp_path))

    volumes = json.loads(run("status", "--json").stdout)["volumes"]
    assert [(v["name"], v["mountpoint"], v["state"]) for v in volumes] == [
        ("scratch", None, None), ("team-data", str(tmp_path), "not mounted")]
    assert volumes[1]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"
    result = run("status")
    assert result.returncode == 0 and "s3cret" not in result.stdout
    header, *rows = result.stdout.splitlines()
    assert header.split() == ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"]
    assert [row.split()[:4] for row in rows] == [
        ["scratch", "dev", "-", "-"], ["team-data", "shared", "not", "mounted"]]
    assert result.stderr.splitlines()[-1].startswith("hint: team-data is recorded as mounted but not served")
    assert result.stderr.splitlines()[-1].endswith("run `quarvo mount --all` to mount them again")


def test_status_lists_broken_records_and_needs_no_backend(run, home: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    run("init", "good", "--dev")
    (home / "volumes" / "bad.toml").write_text("name = ")
    (home / "volumes" / "worse.toml").write_bytes(b"\xff")
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", str(home / "no-such-backend"))
    with pytest.raises(quarvo.QuarvoError):
        quarvo.Quarvo.from_env()

    result = run("status")
    assert result.returncode == 1
    assert [row.split()[:3] for row in result.stdout.splitlines()[1:]] == [
        ["bad", "-", "broken"], ["good", "dev", "-"], ["worse", "-", "broken"]]
    errors = [line for line in result.stderr.splitlines() if line.startswith("quarvo: error: ")]
    assert errors == [f'quarvo: error: the record of "{n}" cannot be read: {home / "volumes" / n}.toml'
                      for n in ("bad", "worse")]
    assert "  I/O error at " in result.stderr and "(os error 84)" in result.stderr  # the reason, indented

    document = json.loads(run("status", "--json").stdout)
    assert [v["name"] for v in document["volumes"]] == ["good"]
    assert [(b["name"], b["path"]) for b in document["broken"]] == [
        ("bad", str(home / "volumes" / "bad.toml")), ("worse", str(home / "volumes" / "worse.toml"))]
    assert run("status", "bad").returncode == 1
    assert run("status", "good").returncode == 0
    # The API's listing keeps failing on a bad record.
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", "/bin/true")
    with pytest.raises(quarvo.QuarvoError, match="TOML parse error"):
        quarvo.Quarvo.from_env().status()


def test_status_escapes_control_characters_in_every_cell(run, home: Path, tmp_path: Path) -> None:
    run("init", "scratch", "--dev")
    record_mountpoint(home, "scratch", str(tmp_path / "a\nb\x1b[31mc\td"))
    result = run("status")
    lines = result.stdout.splitlines()
    assert len(lines) == 2 and "\x1b" not in result.stdout
    assert lines[1].split()[4] == str(tmp_path / "a\\nb\\x1b[31mc\\td")
