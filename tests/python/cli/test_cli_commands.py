"""The `quarvo` command against the fake backend: messages, exit statuses, hints, status."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from support import backend_calls

import quarvo

HINT = "hint: the storage backend takes volume names of 3 to 63 characters"
INVALID = "quarvo: error: invalid volume name \"My_Vol\"; use only letters, numbers, '.', '_' and '-'"
FAILED = "quarvo: error: Quarvo storage backend command failed (exit status: 1)"
FATAL = (
    "2026/12/06 17:50:10.313070 juicefs[1] <FATAL>: Load metadata: dial tcp 127.0.0.1:1: connect: "
    "connection refused [format@format.go:553]\n"
)
SHARED = ["--metadata", "redis://:pw@127.0.0.1:1/1", "--store", "s3://ak:sk@h/b"]


@pytest.mark.parametrize(
    "args, env, status, tail",
    [
        (
            ["init", "a b", "--dev"],
            {},
            1,
            ["quarvo: error: invalid volume name \"a b\"; use only letters, numbers, '.', '_' and '-'", HINT],
        ),
        (["init", "My_Vol", "--dev"], {}, 1, [INVALID, HINT]),  # refused before any work
        (["init", "good-name", "--dev"], {"FAKE_BACKEND_FAIL": "format:1"}, 1, [FAILED]),  # a valid name: no hint
        (["status", "nope"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
        (["mount", "only-a-name"], {}, 2, None),
        (["--timeout", "0", "status"], {}, 2, None),
        (
            ["init", "vol1", *SHARED],
            {"FAKE_BACKEND_FAIL": "format:1", "FAKE_BACKEND_STDERR": FATAL},
            1,
            [FAILED, "reason: Load metadata: dial tcp 127.0.0.1:1: connect: connection refused"],
        ),
        (
            ["init", "vol1", "--metadata", "m", "--store", "ftp://u:pw@h/x"],
            {},
            1,
            ['quarvo: error: unsupported store URL "ftp://u:****@h/x"'],
        ),
        (["status"], {"QUARVO_HOME": ""}, 1, ["quarvo: error: QUARVO_HOME is set but empty"]),
        (
            ["status"],
            {"QUARVO_HOME": "rel/home"},
            1,
            ['quarvo: error: QUARVO_HOME must be an absolute path, not "rel/home"'],
        ),
    ],
)
def test_errors(run, args: list[str], env: dict[str, str], status: int, tail: list[str] | None) -> None:
    result = run(*args, **env)
    lines = result.stderr.splitlines()
    assert (result.returncode, result.stdout) == (status, "")
    if tail is None:
        assert ": error: " in lines[-1]  # argparse's usage error
    else:
        assert [line[: len(t)] for line, t in zip(lines[-len(tail) :], tail)] == tail
        hints = sum(line.startswith("hint: ") for line in lines)
        assert hints == sum(t.startswith("hint: ") for t in tail)


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
        ("scratch", None, None),
        ("team-data", str(tmp_path), "not mounted"),
    ]
    assert volumes[1]["metadata_url"] == "postgres://dev:****@db:5432/quarvo"
    shown = json.loads(run("--show-secrets", "status", "--json").stdout)["volumes"]
    assert shown[1]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"
    assert "s3cret" in run("status", "--show-secrets").stdout
    result = run("status")
    assert result.returncode == 0 and "s3cret" not in result.stdout
    header, *rows = result.stdout.splitlines()
    assert header.split() == ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"]
    assert [row.split()[:4] for row in rows] == [
        ["scratch", "dev", "-", "-"],
        ["team-data", "shared", "not", "mounted"],
    ]
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
        ["bad", "-", "broken"],
        ["good", "dev", "-"],
        ["worse", "-", "broken"],
    ]
    errors = [line for line in result.stderr.splitlines() if line.startswith("quarvo: error: ")]
    assert errors == [
        f'quarvo: error: the record of "{n}" cannot be read: {home / "volumes" / n}.toml' for n in ("bad", "worse")
    ]
    assert "  I/O error at " in result.stderr and "(os error 84)" in result.stderr  # the reason, indented

    document = json.loads(run("status", "--json").stdout)
    assert [v["name"] for v in document["volumes"]] == ["good"]
    assert [(b["name"], b["path"]) for b in document["broken"]] == [
        ("bad", str(home / "volumes" / "bad.toml")),
        ("worse", str(home / "volumes" / "worse.toml")),
    ]
    assert run("status", "bad").returncode == 1
    assert run("status", "good").returncode == 0
    # The API's listing keeps failing on a bad record.
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", "/bin/true")
    with pytest.raises(quarvo.QuarvoError, match="TOML parse error"):
        quarvo.Quarvo.from_env().status()


def test_a_home_with_a_question_mark_holds_no_development_volume(run, tmp_path: Path) -> None:
    result = run("init", "vol", "--dev", QUARVO_HOME=str(tmp_path / "a?b"))
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(
        f"quarvo: error: a development volume cannot live at {tmp_path / 'a?b'}/dev/vol: its metadata URL would"
    )
    assert not (tmp_path / "a?b" / "dev" / "vol").exists()


@pytest.mark.parametrize(
    "args, config, bound",
    [
        (["init", "shared", *SHARED], None, "120.0"),  # the command's default
        (["--timeout", "5", "init", "shared", *SHARED], "command_timeout = 7", "5.0"),
        (["init", "shared", *SHARED, "--timeout", "2.5"], None, "2.5"),
        (["init", "shared", *SHARED], "command_timeout = 7", None),  # the service reads config.toml itself
    ],
)
def test_the_command_bound_reaches_the_service(
    run, home: Path, tmp_path: Path, args: list[str], config: str | None, bound: str | None
) -> None:
    run("init", "vol", "--dev")
    if config:
        (home / "config.toml").write_text(config + "\n")
    env_log = tmp_path / "env.log"
    result = run(*args, FAKE_BACKEND_ENV_LOG=str(env_log))
    environment = dict(entry.split("=", 1) for entry in backend_calls(env_log)[-1][1:])
    assert (result.returncode, environment.get("QUARVO_COMMAND_TIMEOUT")) == (0, bound), result.stderr


def test_mount_all_and_unmount_say_what_they_found(run, tmp_path: Path, mounts: None) -> None:
    for name in ("vol-a", "vol-b"):
        run("init", name, "--dev")
        assert run("mount", name, name).returncode == 0
    for name in ("vol-a", "vol-b"):
        subprocess.run(["umount", "-l", str(tmp_path / name)], check=True)
    (tmp_path / "vol-b").rmdir()
    (tmp_path / "vol-b").write_text("a file now")
    result = run("mount", "--all", "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout) == {
        "volumes": [
            {"name": "vol-a", "mountpoint": str(tmp_path / "vol-a")},
            {"name": "vol-b", "error": f"mountpoint {tmp_path / 'vol-b'} exists and is not a directory"},
        ]
    }
    assert "note: it was recorded at" in result.stderr
    subprocess.run(["umount", "-l", str(tmp_path / "vol-a")], check=True)
    result = run("unmount", "vol-a")
    assert (result.returncode, result.stdout) == (0, "unmounted vol-a\n")
    assert f"note: it was already unmounted: nothing is mounted at {tmp_path / 'vol-a'}" in result.stderr
    assert run("mount", "--all", "x").returncode == 2


def test_sigterm_ends_a_command_and_what_it_started(run, tmp_path: Path, fake_backend: Path) -> None:
    run("init", "vol", "--dev")
    command = [sys.executable, "-m", "quarvo", "mount", "vol", str(tmp_path / "mnt")]
    env = {**os.environ, "FAKE_BACKEND_SLEEP": "mount:60000"}  # a mount that takes its time
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=20)
    assert (proc.returncode, err.splitlines()[-1]) == (130, "quarvo: interrupted")
    backends = [p for p in Path("/proc").glob("[0-9]*/cmdline") if str(fake_backend).encode() in _read(p)]
    assert backends == []


def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError:
        return b""


def test_a_reader_that_leaves_early_ends_status_quietly_with_failure(run, home: Path) -> None:
    run("init", "v0000", "--dev")
    record = (home / "volumes" / "v0000.toml").read_text()
    for i in range(1, 1000):  # more than a pipe holds
        (home / "volumes" / f"v{i:04}.toml").write_text(record.replace('"v0000"', f'"v{i:04}"'))
    reader = subprocess.Popen(["head", "-c", "10"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    status = subprocess.run([sys.executable, "-m", "quarvo", "status"], stdout=reader.stdin, stderr=subprocess.PIPE)
    reader.communicate()
    assert (status.returncode, status.stderr) == (1, b"")
