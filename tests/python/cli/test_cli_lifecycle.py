"""rm, inspect, prune, logs, doctor (--install: the managed storage backend program) and
the checks that come before any work, against the fake backend."""

from __future__ import annotations

import fcntl
import io
import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from support import backend_calls

import quarvo
from quarvo import _lifecycle, cli

UUID = "52e61d6b-5cb3-4d7d-9ffd-a248b868c7a3"
STATUS = json.dumps(
    {
        "Setting": {"Name": "v", "UUID": UUID, "Storage": "file", "Bucket": "/b/"},
        "Sessions": [],
        "Stat": {"UsedSpace": 4096, "UsedInodes": 2},
    }
)


def test_checks_before_any_work(run, home: Path, tmp_path: Path, backend_log: Path) -> None:
    assert run("init", "x_y", "--dev").returncode == 1
    assert backend_calls(backend_log) == [] and not (home / "dev" / "x_y").exists()
    # A name the backend's rule refuses still serves when its volume exists already.
    quarvo.Quarvo.from_env().init("Old_Name", dev=True)
    assert run("ensure", "Old_Name", "--dev").returncode == 0
    assert run("init", "Old_Name", "--dev").stderr == 'quarvo: error: volume "Old_Name" already exists\n'
    assert run("mount", "ghost", "mnt").stderr == 'quarvo: error: volume "ghost" does not exist\n'
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "notes.txt").write_text("hidden by the mount")
    result = run("mount", "Old_Name", str(tmp_path / "full"))
    assert result.returncode == 0 and result.stderr.startswith(
        f"warning: {tmp_path / 'full'} is not empty; its files are hidden while Old_Name is mounted there\n"
    )
    assert "a new one of 3 to 63 characters: lowercase letters" in " ".join(run("init", "--help").stdout.split())


def test_without_a_backend_inspect_works_and_the_rest_says_how_to_install(
    run, home: Path, request: pytest.FixtureRequest
) -> None:
    run("init", "data", "--metadata", "redis://db/1", "--store", "s3://b")
    request.getfixturevalue("no_backend")
    document = json.loads(run("inspect", "data", "--json").stdout)[0]
    assert document["volume"]["metadata_url"] == "redis://db/1" and document["backend"] is None
    assert document["backend_error"].startswith("Quarvo storage backend is not installed")
    assert (document["log"], document["log_bytes"], document["dev_paths"]) == (str(home / "logs/data.log"), None, None)
    result = run("rm", "data")
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == f"hint: {quarvo._native._INSTALL_ADVICE}"


def test_doctor_reports_a_broken_config_and_checks_the_rest(run, home: Path) -> None:
    home.mkdir()
    (home / "config.toml").write_text("storage_backend_bin = [\n")
    result = run("doctor")
    assert result.returncode == 1
    assert f"config:           {home / 'config.toml'} (cannot be read)" in result.stdout
    assert "  | TOML parse error at line 1" in result.stdout and "storage backend:  " in result.stdout
    report = json.loads(run("doctor", "--json").stdout)
    assert report["config_error"].startswith("TOML parse error") and report["storage_backend"]["found"]
    # Every other error about the file names it, from the error's path.
    failed = run("mount", "data", "mnt")
    assert failed.stderr.startswith(f"quarvo: error: {home / 'config.toml'}: TOML parse error")


def test_rm_and_the_guards_around_it(run, home: Path) -> None:
    run("init", "data", "--dev")
    assert run("rm", "data", "--yes").returncode == 2  # --yes belongs to --destroy
    result = run("rm", "data", "ghost", FAKE_BACKEND_STDOUT=STATUS)  # each name on its own
    assert result.returncode == 1 and 'quarvo: error: volume "ghost" does not exist' in result.stderr
    assert result.stdout == "removed development volume data and its data\n"

    run("init", "team", "--metadata", "redis://db/1", "--store", "s3://b")
    refused = run("rm", "team", "--destroy", FAKE_BACKEND_STDOUT=STATUS)  # no terminal to confirm on
    assert refused.returncode == 1 and refused.stderr.splitlines()[-1].startswith("hint: pass --yes")
    assert (home / "volumes" / "team.toml").exists()

    (home / "volumes" / "broken.toml").write_text("name = ")
    result = run("rm", "broken")
    assert result.returncode == 1 and result.stderr.splitlines()[-1] == (
        "hint: `quarvo rm broken --force` removes the unreadable record"
    )
    assert run("rm", "broken", "--force").stdout == "removed the unreadable record of broken\n"


LOST = (
    "2026/12/07 08:22:01.268376 juicefs[14933] <FATAL>: get status: load setting: database is not formatted, "
    "please run `juicefs format ...` first [status@status.go:84]\n"
)
MOUNTED_ELSEWHERE = STATUS.replace('"Sessions": []', '"Sessions": [{"HostName": "other", "MountPoint": "/m"}]')
MOUNTS_HINT = "hint: the storage backend destroys a volume only while no machine has it mounted"


# rm --destroy says what is true: the backend's reason for an engine that lost
# the volume, a bound run out without a word about mounts, the hint about
# mounts only when another machine has it mounted; inspect shows the reason too.
@pytest.mark.parametrize(
    ("env", "tail"),
    [
        ({"FAKE_BACKEND_FAIL": "status:1", "FAKE_BACKEND_STDERR": LOST},
         ["quarvo: error: Quarvo storage backend command failed",
          "reason: get status: load setting: database is not formatted", "hint: `quarvo inspect team`"]),
        ({"FAKE_BACKEND_SLEEP": "status:60000"}, ["removing team", "quarvo: error: fake_backend status timed out"]),
        ({"FAKE_BACKEND_STDOUT": MOUNTED_ELSEWHERE}, ['quarvo: error: volume "team" is mounted at', MOUNTS_HINT]),
    ],
)  # fmt: skip
def test_rm_destroy_and_inspect_keep_the_reason(run, home: Path, env: dict[str, str], tail: list[str]) -> None:
    run("init", "team", "--metadata", "redis://db/1", "--store", "s3://b")
    result = run("--timeout", "1", "rm", "team", "--destroy", "--yes", **env)
    lines = result.stderr.splitlines()
    assert result.returncode == 1 and [x[: len(t)] for x, t in zip(lines[-len(tail) :], tail)] == tail, result.stderr
    assert (home / "volumes" / "team.toml").exists()
    if "FAKE_BACKEND_FAIL" in env:
        failed = json.loads(run("rm", "team", "--destroy", "--yes", "--json", **env).stdout)["failed"][0]
        assert failed["reason"].startswith("get status: load setting: database is not formatted")
        document = json.loads(run("inspect", "team", "--json", **env).stdout)[0]
        assert document["backend_reason"].startswith("get status: load setting: database is not formatted")
        assert (
            "reason:      get status: load setting: database is not formatted" in run("inspect", "team", **env).stdout
        )


def test_inspect_prune_and_logs(run, home: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    run("init", "idle", "--dev")
    (home / "dev" / "idle" / "metadata.db").write_text("formatted")
    text = run("inspect", "idle", FAKE_BACKEND_STDOUT=STATUS).stdout
    assert f"data:        {home / 'dev' / 'idle'}" in text and f"uuid:        {UUID}" in text
    assert "used:        4.0 KiB in 2 files and directories" in text
    # The backend asked within the command's bound, or the caller's.
    slow = run("--timeout", "0.3", "inspect", "idle", "--json", FAKE_BACKEND_SLEEP="status:20000").stdout
    assert json.loads(slow)[0]["backend_error"].endswith("timed out after 0.3 s")
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "status:20000")
    assert quarvo.inspect("idle", timeout=0.2)["backend_error"].endswith("timed out after 0.2 s")
    monkeypatch.delenv("FAKE_BACKEND_SLEEP")
    assert run("prune").returncode == 1 and (home / "volumes" / "idle.toml").exists()  # no terminal to ask on

    assert run("logs", "idle").stderr.startswith("no log for idle yet")
    (home / "logs" / "idle.log").write_text("".join(f"line {i}\n" for i in range(10)))
    assert run("logs", "idle", "-n", "2").stdout == "line 8\nline 9\n"
    assert run("logs", "idle").stdout.count("\n") == 10
    assert run("logs", "ghost").stderr == 'quarvo: error: volume "ghost" does not exist\n'
    # The colour codes of the mount command's output: gone unless printed on a terminal.
    with open(home / "logs" / "idle.log", "a") as log:
        log.write("<INFO>: \x1b[92mOK\x1b[0m, idle is ready\n")
    assert run("logs", "idle", "-n", "1").stdout == "<INFO>: OK, idle is ready\n"
    terminal, other_end = pty.openpty()
    try:
        subprocess.run([sys.executable, "-m", "quarvo", "logs", "idle", "-n", "1"], stdout=other_end, timeout=60)
        assert b"\x1b[92mOK\x1b[0m" in os.read(terminal, 4096)
    finally:
        os.close(terminal)
        os.close(other_end)


# A step a killed command left shows in status, table and JSON, until the next
# command on the volume (here prune) settles it: a half-made volume goes.
def test_an_interrupted_step_shows_until_prune_settles_it(run, home: Path) -> None:
    run("init", "half", "--dev")
    with open(home / "volumes" / "half.toml", "a") as f:
        f.write('\n[intent]\nstep = "init"\nowner = "999999999:1"\nsince = "2026-12-07T10:00:00Z"\n')
    out = run("status", "--json").stdout
    assert out == json.dumps(json.loads(out), indent=2, ensure_ascii=False) + "\n"
    (half,) = json.loads(out)["volumes"]
    assert half["state"] == "interrupted"
    assert half["intent"] == {"step": "init", "mountpoint": None, "since": "2026-12-07T10:00:00Z", "live": False}
    assert " interrupted " in run("status").stdout
    assert quarvo.inspect("half", backend=False)["state"] == "interrupted"
    pruned = run("prune", "--yes")
    assert pruned.returncode == 0 and "half: its creation was interrupted" in pruned.stderr, pruned.stderr
    assert not (home / "volumes" / "half.toml").exists() and not (home / "dev" / "half").exists()


# A code split between two reads of a followed log goes all the same.
def test_colour_codes_split_between_reads() -> None:
    text = b"a \x1b[1;31mFATAL\x1b[0m b \x1b[92mOK\x1b[0m\n"
    for cut in range(len(text) + 1):
        plain = _lifecycle._Uncoloured()
        assert plain(text[:cut]) + plain(text[cut:]) == b"a FATAL b OK\n", cut


@pytest.mark.usefixtures("no_backend")  # only the managed program can be found
def test_install_replaces_the_managed_program(run, home: Path, fake_backend: Path) -> None:
    managed = home / "bin" / "quarvo-storage"
    managed.parent.mkdir(parents=True)
    managed.write_text("an older program")
    result = run("doctor", "--install", "--from", str(fake_backend), "--json")
    backend = json.loads(result.stdout)["storage_backend"]
    assert backend == {"found": True, "path": str(managed), "version": "1.3.0", "managed": True}
    assert managed.read_bytes() == fake_backend.read_bytes() and os.access(managed, os.X_OK)
    assert os.listdir(managed.parent) == ["quarvo-storage"]
    # The home was made by the test with mode 0755, not by Quarvo.
    assert result.stderr.splitlines()[-2:] == [
        f"installed {managed}",
        f"warning: the Quarvo home {home} is open to other users (mode 0755); `chmod 700 {home}` makes it private",
    ]


NO_VERSION = "{source} is not a storage backend: `{source} version` tells no version"
SOURCES = {"missing": "{source}: No such file or directory", "/etc/passwd": NO_VERSION, "/bin/true": NO_VERSION}


@pytest.mark.parametrize("source", SOURCES)
def test_install_of_no_backend_fails_and_leaves_nothing(run, home: Path, tmp_path: Path, source: str) -> None:
    path = str(tmp_path / source) if source == "missing" else source
    result = run("doctor", "--install", "--from", path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        "quarvo: error: could not install the Quarvo storage backend: " + SOURCES[source].format(source=path)
    )
    assert not (home / "bin").exists() or os.listdir(home / "bin") == []


def test_doctor_reports_a_program_without_a_version_as_unusable(run, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", "/bin/true")
    result = run("doctor")
    assert result.returncode == 1
    assert "storage backend:  /bin/true is not usable: `/bin/true version` tells no version" in result.stdout


class _Terminal(io.StringIO):
    """Standard input as a terminal on which the user types what it holds."""

    def isatty(self) -> bool:
        return True


# Every error the command reports is a QuarvoError of one of the table's kinds, also
# the ones the command makes itself: each way to one run in this process, and what
# reaches the report looked at.
@pytest.mark.parametrize(
    "argv, typed, kind",
    [
        (["init", "My_Vol", "--dev"], None, "InvalidBackendVolumeName"),
        (["rm", "broken"], None, "TomlParse"),
        (["rm", "team", "--destroy"], None, "InvalidArgument"),  # no terminal to confirm on
        (["rm", "team", "--destroy"], "tea\n", "InvalidArgument"),  # not the name
        (["prune"], None, "InvalidArgument"),
        (["logs", "idle"], None, "IoAt"),  # the log is a directory
        (["doctor", "--install", "--from", "missing"], None, "StorageBackendInstallFailed"),
    ],
)
def test_every_error_reported_has_a_kind(
    home: Path, monkeypatch: pytest.MonkeyPatch, argv: list[str], typed: str | None, kind: str
) -> None:
    q = quarvo.Quarvo.from_env()
    q.init("idle", dev=True)
    q.init("team", metadata="redis://db/1", store="s3://b")
    (home / "volumes" / "broken.toml").write_text("name = ")
    (home / "logs" / "idle.log").mkdir()
    reported: list[quarvo.QuarvoError] = []
    monkeypatch.setattr(cli, "_error_text", lambda e: reported.append(e) or "")
    monkeypatch.setattr(sys, "stdin", _Terminal(typed) if typed else io.StringIO())
    monkeypatch.setenv("QUARVO_COMMAND_TIMEOUT", "60")  # so that the command sets none
    sigterm = signal.getsignal(signal.SIGTERM)
    try:
        assert cli.main(argv) == 1
    finally:
        signal.signal(signal.SIGTERM, sigterm)
    assert [e.kind for e in reported] == [kind]


def test_ctrl_c_ends_the_wait_for_the_homes_lock(home: Path) -> None:
    """prune first completes interrupted removals under the home's lock, which
    another process holds here: the wait releases the interpreter and hears Ctrl-C."""
    quarvo.Quarvo.from_env()  # the home's layout, its lock file included
    with open(home / "lock", "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        prune = subprocess.Popen([sys.executable, "-m", "quarvo", "prune", "--yes"], stderr=subprocess.PIPE, text=True)
        time.sleep(1)
        start = time.monotonic()
        prune.send_signal(signal.SIGINT)
        assert prune.communicate(timeout=30)[1] == "quarvo: interrupted\n" and prune.returncode == 130
        assert time.monotonic() - start < 2
