"""The `quarvo` command against the fake backend: messages, exit statuses, hints, status."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from support import backend_calls

from quarvo._mounts import mount_state, parse_mountinfo

FAILED = "quarvo: error: Quarvo storage backend command failed (exit status: 1)"
FATAL = ("2026/12/06 17:50:10.313070 juicefs[1] <FATAL>: Load metadata: dial tcp 127.0.0.1:1: connect: "
         "connection refused [format@format.go:553]\n")
SHARED = ["--metadata", "redis://:pw@127.0.0.1:1/1", "--store", "s3://ak:sk@h/b"]


@pytest.mark.parametrize("args, env, status, tail", [
    (["init", "a b", "--dev"], {}, 1,
     ["quarvo: error: invalid volume name \"a b\"; use only letters, numbers, '.', '_' and '-'"]),
    (["init", "good-name", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1, [FAILED]),  # no reason given
    (["status", "nope"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
    (["mount", "only-a-name"], {}, 2, None),
    (["--timeout", "0", "status"], {}, 2, None),
    (["init", "vol1", *SHARED], {"FAKE_BACKEND_FAIL": "format:1", "FAKE_BACKEND_STDERR": FATAL}, 1,
     [FAILED, "reason: Load metadata: dial tcp 127.0.0.1:1: connect: connection refused"]),
    (["init", "vol1", "--metadata", "m", "--store", "ftp://u:pw@h/x"], {}, 1,
     ['quarvo: error: unsupported store URL "ftp://u:****@h/x"']),
    (["status"], {"QUARVO_HOME": ""}, 1, ["quarvo: error: QUARVO_HOME is set but empty"]),
    (["status"], {"QUARVO_HOME": "rel/home"}, 1, ['quarvo: error: QUARVO_HOME must be an absolute path, not "rel/home"']),
])
def test_errors(run, args: list[str], env: dict[str, str], status: int, tail: list[str] | None) -> None:
    result = run(*args, **env)
    lines = result.stderr.splitlines()
    assert (result.returncode, result.stdout) == (status, "")
    if tail is None:
        assert ": error: " in lines[-1]  # argparse's usage error
    else:
        assert [line[: len(t)] for line, t in zip(lines[-len(tail):], tail)] == tail
        assert not any(line.startswith("hint: ") for line in lines)


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
    assert volumes[1]["metadata_url"] == "postgres://dev:****@db:5432/quarvo"
    shown = json.loads(run("--show-secrets", "status", "--json").stdout)["volumes"]
    assert shown[1]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"
    assert "s3cret" in run("status", "--show-secrets").stdout
    text = run("status").stdout
    assert "s3cret" not in text
    header, *rows = text.splitlines()
    assert header.split() == ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"]
    assert [row.split()[:3] for row in rows] == [["scratch", "dev", "-"], ["team-data", "shared", "stale"]]


def test_a_home_with_a_question_mark_holds_no_development_volume(run, tmp_path: Path) -> None:
    result = run("init", "v", "--dev", QUARVO_HOME=str(tmp_path / "a?b"))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(
        f"quarvo: error: a development volume cannot live at {tmp_path / 'a?b'}/dev/v: its metadata URL would")
    assert not (tmp_path / "a?b" / "dev" / "v").exists()


@pytest.mark.parametrize("args, config, bound", [
    (["init", "shared", *SHARED], None, "120.0"),  # the command's default
    (["--timeout", "5", "init", "shared", *SHARED], "command_timeout = 7", "5.0"),
    (["init", "shared", *SHARED, "--timeout", "2.5"], None, "2.5"),
    (["init", "shared", *SHARED], "command_timeout = 7", None),  # the service reads config.toml itself
    (["mount", "v", "mnt", "--foreground"], None, None),  # serves until unmounted: no bound
])
def test_the_command_bound_reaches_the_service(run, home: Path, tmp_path: Path, args: list[str], config: str | None,
                                              bound: str | None) -> None:
    run("init", "v", "--dev")
    if config:
        (home / "config.toml").write_text(config + "\n")
    env_log = tmp_path / "env.log"
    result = run(*args, FAKE_BACKEND_ENV_LOG=str(env_log))
    environment = dict(entry.split("=", 1) for entry in backend_calls(env_log)[-1][1:])
    assert (result.returncode, environment.get("QUARVO_COMMAND_TIMEOUT")) == (0, bound), result.stderr


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
