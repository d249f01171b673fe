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
from support import backend_calls, command_lines

import quarvo

SHARED = ["--metadata", "redis://:pw@127.0.0.1:1/1", "--store", "s3://ak:sk@h/b"]
# Each: the command line, its environment ({tmp} the test's directory), the exit
# status and the last lines of standard error (None: argparse's usage error).
ERRORS = [
    (["init", "My_Vol", "--dev"], {}, 1,
     ["quarvo: error: the storage backend does not take the volume name \"My_Vol\"; use 3 to 63 characters"]),
    (["init", "My Vol", "--dev"], {}, 1, ["quarvo: error: invalid volume name \"My Vol\"; use only letters"]),
    (["status", "nope"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
    (["mount", "only-a-name"], {}, 2, None),
    (["mount", "--all", "x"], {}, 2, None),
    (["init", "vol1", "--metadata", "m", "--store", "ftp://u:pw@h/x"], {}, 1,
     ['quarvo: error: unsupported store URL "ftp://u:****@h/x"']),
    (["status"], {"QUARVO_HOME": ""}, 1, ["quarvo: error: QUARVO_HOME is set but empty"]),
    (["init", "vol", "--dev"], {"QUARVO_HOME": "{tmp}/a?b"}, 1,
     ["quarvo: error: a development volume cannot live at {tmp}/a?b/dev/vol: its metadata URL would"]),
    (["init", "vol", "--dev", "--set", "cache-size=1G"], {}, 1,
     ['quarvo: error: setting cache-size = "1G": expected a whole number of MiB']),
    (["config", "nope", "read-only=true"], {}, 1, ['quarvo: error: volume "nope" does not exist']),
    (["config", "nope", "read-only"], {}, 2, None),
    (["mount", "--all", "--set", "read-only=true"], {}, 2, None),
    (["autostart", "start"], {}, 2, None),
]  # fmt: skip


@pytest.mark.parametrize("args, env, status, tail", ERRORS)
def test_errors(run, tmp_path: Path, args: list[str], env: dict[str, str], status: int, tail: list[str] | None):
    result = run(*args, **{name: value.format(tmp=tmp_path) for name, value in env.items()})
    lines = result.stderr.splitlines()
    assert (result.returncode, result.stdout) == (status, "")
    if tail is None:
        assert ": error: " in lines[-1]  # argparse's usage error
    else:
        tail = [t.format(tmp=tmp_path) for t in tail]
        assert [line[: len(t)] for line, t in zip(lines[-len(tail) :], tail)] == tail
        assert sum(line.startswith("hint: ") for line in lines) == sum(t.startswith("hint: ") for t in tail)


# A command refused by a check says so alone: no progress line before it.
def test_refusals_come_before_progress_lines(run, home: Path) -> None:
    run("init", "vol", "--dev")
    for args, error in [
        (["flush", "vol"], 'volume "vol" is not mounted'),
        (["unmount", "vol"], 'volume "vol" is not mounted'),
        (["flush", "ghost"], 'volume "ghost" does not exist'),
        (["mount", "vol", str(home / "logs" / "mnt")], f"cannot mount at {home / 'logs' / 'mnt'}: it is inside"),
    ]:
        result = run(*args)
        assert (result.returncode, result.stderr[: len(error) + 15]) == (1, f"quarvo: error: {error}"), args
        assert result.stderr.count("\n") == 1, result.stderr
    (home / "volumes" / "bad.toml").write_text("name = ")
    result = run("mount", "bad", str(home.parent / "mnt"))
    assert result.returncode == 1 and result.stderr.startswith(f"quarvo: error: {home / 'volumes' / 'bad.toml'}"), (
        result.stderr
    )


# Local paths given relative are recorded as the directory of init means
# them: the backend, run later from another directory, finds the same files.
def test_relative_local_paths_are_recorded_absolute(run, home: Path, tmp_path: Path, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)
    assert run("init", "rel", "--metadata", "sqlite3://m/rel.db?_busy=1", "--store", "file://objs/").returncode == 0
    volume = json.loads(run("status", "rel", "--json").stdout)["volumes"][0]
    assert (volume["metadata_url"], volume["bucket"]) == (f"sqlite3://{tmp_path}/m/rel.db?_busy=1", f"{tmp_path}/objs/")


# Listing runs no backend program; passwords are masked unless asked for; a
# record that cannot be read is listed, and fails the command.
def test_status_of_a_home_without_a_backend(run, home: Path, request: pytest.FixtureRequest) -> None:
    run("init", "team-data", "--metadata", "postgres://dev:s3cret@db:5432/quarvo", "--store", "s3://bkt")
    request.getfixturevalue("no_backend")
    table, shown = run("status"), run("--show-secrets", "status", "--json")
    assert (table.returncode, table.stdout.splitlines()[1].split()[:3]) == (0, ["team-data", "shared", "-"])
    assert "s3cret" not in table.stdout + table.stderr
    assert json.loads(shown.stdout)["volumes"][0]["metadata_url"] == "postgres://dev:s3cret@db:5432/quarvo"
    (home / "volumes" / "bad.toml").write_text("name = ")
    result = run("status")
    assert (result.returncode, [row.split()[:3] for row in result.stdout.splitlines()[1:]]) == (
        1,
        [["bad", "-", "broken"], ["team-data", "shared", "-"]],
    )
    assert [run("status", name).returncode for name in ("bad", "team-data")] == [1, 0]


# The command's bound reaches the service as a parameter, not through the environment
# its children inherit: --timeout over QUARVO_COMMAND_TIMEOUT over config.toml.
@pytest.mark.parametrize(
    "args, config, env, bound",
    [
        (["--timeout", "0.3"], "command_timeout = 60", {"QUARVO_COMMAND_TIMEOUT": "60"}, "0.3"),
        ([], "command_timeout = 60", {"QUARVO_COMMAND_TIMEOUT": "0.4"}, "0.4"),
        ([], "command_timeout = 0.5", {}, "0.5"),
    ],
)
def test_the_command_bound_reaches_the_service(
    run, home: Path, tmp_path: Path, args: list[str], config: str, env: dict[str, str], bound: str
) -> None:
    home.mkdir()
    (home / "config.toml").write_text(config + "\n")
    env_log = tmp_path / "env.log"
    result = run(*args, "init", "vol", "--dev", FAKE_BACKEND_ENV_LOG=str(env_log), FAKE_BACKEND_SLEEP="format:20000",
                 **env)  # fmt: skip
    assert result.stderr.splitlines()[-1].endswith(f"timed out after {bound} s"), result.stderr
    environment = dict(entry.split("=", 1) for entry in backend_calls(env_log)[-1][1:])
    assert environment.get("QUARVO_COMMAND_TIMEOUT") == env.get("QUARVO_COMMAND_TIMEOUT")


# Nothing configured, the command bounds its backend commands by its default, except a
# foreground mount (which serves until unmounted); anything configured is the service's.
@pytest.mark.parametrize(
    "argv, config, bound",
    [
        (["init", "vol", "--dev"], None, 120.0),
        (["mount", "vol", "p", "--foreground"], None, None),
        (["--timeout", "9", "mount", "vol", "p", "--foreground"], None, 9.0),
        (["init", "vol", "--dev"], "command_timeout = 7", None),
    ],
)
def test_the_commands_default_bound(home: Path, argv: list[str], config: str | None, bound: float | None) -> None:
    from quarvo import cli
    from quarvo._grammar import quick_parse

    if config:
        home.mkdir()
        (home / "config.toml").write_text(config + "\n")
    assert cli.command_timeout(quick_parse(argv)) == bound


def test_sigterm_ends_a_command_and_what_it_started(run, tmp_path: Path, fake_backend: Path) -> None:
    run("init", "vol", "--dev")
    slow = run("--timeout", "0.5", "mount", "vol", "mnt", FAKE_BACKEND_SLEEP="mount:60000")
    assert slow.stderr.splitlines()[-1] == "hint: `quarvo logs vol` shows what the storage backend was doing"
    command = [sys.executable, "-m", "quarvo", "mount", "vol", str(tmp_path / "mnt")]
    env = {**os.environ, "FAKE_BACKEND_SLEEP": "mount:60000"}  # a mount that takes its time
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=20)
    assert (proc.returncode, err.splitlines()[-1]) == (130, "quarvo: interrupted")
    assert not [line for line in command_lines().values() if str(fake_backend).encode() in line]


def test_a_reader_that_leaves_early_ends_status_quietly_with_failure(run, home: Path) -> None:
    run("init", "v0000", "--dev")
    record = (home / "volumes" / "v0000.toml").read_text()
    for i in range(1, 6000):  # more than a pipe holds, widened or not
        (home / "volumes" / f"v{i:04}.toml").write_text(record.replace('"v0000"', f'"v{i:04}"'))
    reader = subprocess.Popen(["head", "-c", "10"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    status = subprocess.run([sys.executable, "-m", "quarvo", "status"], stdout=reader.stdin, stderr=subprocess.PIPE)
    reader.communicate()
    assert (status.returncode, status.stderr) == (1, b"")


# A home, or its bin/, that another user made or may write, or a program from elsewhere
# that others may change: nothing is run from it or written into it; the doctor says
# why and fails, so do every other command and the API.
RECORD = 'name = "v"\nbackend = "juicefs"\nmetadata_url = "redis://h/1"\nstorage = "s3"\nbucket = "b"\ndev = false\n'


@pytest.mark.usefixtures("no_backend")  # only the managed program can be found
@pytest.mark.parametrize("foreign", ["home", "bin", "program"])
def test_what_another_user_could_change_is_refused(
    run, monkeypatch: pytest.MonkeyPatch, home: Path, tmp_path: Path, other_user, foreign: str
) -> None:
    bin_dir = home / "bin"
    (home / "volumes").mkdir(parents=True)
    bin_dir.mkdir()
    (home / "volumes" / "v.toml").write_text(RECORD + 'created_at = "t"\nupdated_at = "t"\n')
    ran = tmp_path / "ran"
    program = bin_dir / "quarvo-storage" if foreign != "program" else tmp_path / "juicefs"
    program.write_text(f"#!/bin/sh\ntouch {ran}\necho juicefs version 1.4.2\n")
    program.chmod(0o755)
    # The other user made the home, planted the program in a bin/ anyone may write, or owns it.
    unsafe = {"home": home, "bin": bin_dir, "program": program}[foreign]
    for path in (home, bin_dir, program) if foreign == "home" else (program,):
        os.chown(path, other_user.pw_uid, other_user.pw_gid)
    if foreign == "program":
        monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", str(program))
    else:
        unsafe.chmod(0o777)
    doctor, init, inspect = run("doctor"), run("init", "w", "--dev"), run("inspect", "v")
    assert (doctor.returncode, init.returncode, inspect.returncode, ran.exists()) == (1, 1, 1, False)
    error = f"quarvo: error: {unsafe} is not safe to use: "
    assert init.stderr.startswith(error) and inspect.stderr.startswith(error)
    if foreign == "program":  # a finding of the doctor's, the rest still checked
        assert f"storage backend:  {program} is not run: another user could have changed it" in doctor.stdout
    else:
        assert doctor.stderr == init.stderr
    assert foreign != "home" or set(os.listdir(home)) == {"bin", "volumes"}  # nothing made inside a foreign home
    found = {"home": "not yours or root's, writable by group and others", "bin": "writable by group and others",
             "program": "not yours or root's"}[foreign]  # fmt: skip
    assert f"({found})" in init.stderr
    with pytest.raises(quarvo.QuarvoError) as refused:
        quarvo.Quarvo.from_env()
    assert (refused.value.kind, refused.value.path) == ("UnsafePath", str(unsafe))


# A password given apart from the URL (standard input, META_PASSWORD) or as PostgreSQL's
# parameter is kept with the volume and reaches the backend only in its environment: no
# command line holds it, and a later mount needs nothing given again. Given twice, it is
# refused before anything runs. No other child gets the caller's META_PASSWORD.
@pytest.mark.usefixtures("mounts")
@pytest.mark.parametrize(
    "url, stdin, env, kept",
    [
        ("redis://127.0.0.1:1/1", "p@ss w\n", {}, "redis://:p%40ss%20w@127.0.0.1:1/1"),
        ("postgres://u@h/db", None, {"META_PASSWORD": "p@ss w"}, "postgres://u:p%40ss%20w@h/db"),
        ("postgres://h/db?user=u&password=p%40ss+w", None, {}, "postgres://h/db?user=u&password=p%40ss+w"),
        ("redis://:x@h/1", None, {"META_PASSWORD": "p@ss w"}, None),
        ("postgres://u:x@h/db?password=y", None, {}, None),
        ("redis://h/1", "p@ss w\n", {"META_PASSWORD": "p@ss w"}, None),
        ("postgres://h/db?user=u@corp&password=p%40ss+w", None, {}, None),  # the backend would put it at that "@"
    ],
)
def test_a_metadata_password_reaches_the_backend_only_by_environment(
    home: Path, tmp_path: Path, url: str, stdin: str | None, env: dict[str, str], kept: str | None
) -> None:
    calls, environments = tmp_path / "calls.log", tmp_path / "env.log"
    base = {**os.environ, "FAKE_BACKEND_LOG": str(calls), "FAKE_BACKEND_ENV_LOG": str(environments)}

    def quarvo_cli(*args: str, **extra: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "quarvo", *args], env={**base, **extra}, input=stdin, text=True,
                              capture_output=True, timeout=120)  # fmt: skip

    init = ["init", "team", "--metadata", url, "--store", "s3://b", *(["--metadata-password-stdin"] * bool(stdin))]
    result = quarvo_cli(*init, **env)
    if kept is None:
        assert (result.returncode, backend_calls(calls)) == (1, []) and "InvalidArgument" not in result.stderr
        assert "password" in result.stderr.splitlines()[-1] and "p@ss" not in result.stderr + result.stdout
        return
    assert result.returncode == 0, result.stderr
    assert quarvo.Quarvo.from_env().status("team").volumes[0].metadata_url == kept
    quarvo_cli("mount", "team", "mnt", META_PASSWORD="the caller's")
    quarvo_cli("unmount", "team", META_PASSWORD="the caller's")
    given = {
        call[0]: dict(e.split("=", 1) for e in call[1:]).get("META_PASSWORD") for call in backend_calls(environments)
    }
    assert given == {"format": "p@ss w", "mount": "p@ss w", "umount": None}
    assert not [call for call in backend_calls(calls) if any("p@ss" in a or "p%40ss" in a for a in call)]
    # What the backend wrote is shown masked: URL passwords, and the volume's own.
    (home / "logs" / "team.log").write_text("said p@ss w and redis://:zz@h/1\nthen sesa")
    assert quarvo_cli("logs", "team").stdout == "said **** and redis://:****@h/1\nthen sesa"


# Stored at init and by config, shown by config and inspect, over which a
# mount's own settings go for that mount only; refused before anything runs.
def test_settings_stay_with_the_volume(run, home: Path, backend_log: Path, mounts: None) -> None:
    assert run("init", "vol", "--dev", "--set", "cache-size=0064").returncode == 0
    assert run("config", "vol", "writeback=true", "--unset", "cache-size").stdout == "writeback = true\n"
    assert json.loads(run("config", "vol", "--json").stdout) == {"name": "vol", "settings": {"writeback": True}}
    refused = run("config", "vol", "no-such=1")
    assert (refused.returncode, "the settings are: read-only, subdir" in refused.stderr) == (1, True)
    assert run("mount", "vol", "mnt", "--set", "buffer-size=32", "--set", "writeback=false").returncode == 0
    mount = next(call for call in backend_calls(backend_log) if call[0] == "mount")
    assert "--buffer-size=32" in mount and "--writeback" not in mount and "--no-usage-report" in mount
    assert f"--cache-dir={home / 'cache'}" in mount
    assert json.loads(run("inspect", "vol", "--json").stdout)[0]["settings"] == {"writeback": True}
    changed = run("ensure", "vol", "--dev", "--set", "read-only=true")
    assert "its settings reach it at its next mount" in changed.stderr
    assert run("config", "vol").stdout == "read-only = true\nwriteback = true\n"
