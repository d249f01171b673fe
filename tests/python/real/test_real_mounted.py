"""Quarvo.mounted and the pytest plugin's fixtures with the real client: what a block
or a test made is taken down however it ends, and what a process that died left is
taken down by the next one, while a live process's block is left alone."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest
from real_support import Machine, daemons_of, mount_at, wait_until

import quarvo
from quarvo import _mounted

pytestmark = pytest.mark.real_backend


def leftovers(machine: Machine) -> tuple[list[str], list[str]]:
    """The blocks written down in the home, and the private mountpoints under the temporary directory."""
    written = sorted(os.listdir(machine.home / "mounted")) if (machine.home / "mounted").exists() else []
    private = Path(tempfile.gettempdir()) / f"quarvo-{os.geteuid()}"
    return written, sorted(os.listdir(private)) if private.exists() else []


class Ending(Exception):
    pass


@pytest.fixture(autouse=True)
def private_tmp(machine: Machine, monkeypatch: pytest.MonkeyPatch) -> None:
    """The system's temporary directory, for this process and the ones it starts, under
    the test's root, whose mounts and daemons the machine fixture takes down after it."""
    tmp = machine.root / "tmp"
    tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    machine.env["TMPDIR"] = str(tmp)


# A block ends normally, by an exception or by Ctrl-C: the mounts are gone with their
# daemons, the temporary volume with its data, the directories the block made with them;
# the ensured volume stays, with what was written to it.
@pytest.mark.parametrize("ending", [None, Ending, KeyboardInterrupt])
def test_a_block_takes_down_what_it_made(machine: Machine, ending: type[BaseException] | None) -> None:
    q = quarvo.Quarvo.from_env()
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with q.mounted("data", dev=True) as data, q.mounted("My_Scratch.vol", temporary=True) as scratch:
            assert re.fullmatch(r"my-scratch-vol-[0-9a-f]{8}", scratch.name)
            for m in (data, scratch):
                assert mount_at(Path(m.mountpoint)) == ("fuse.juicefs", f"JuiceFS:{m.name}")
                assert m.mountpoint.startswith(tempfile.gettempdir() + "/") and str(machine.home) not in m.mountpoint
                (Path(m.mountpoint) / "kept").write_text(m.name)
            assert len(leftovers(machine)[0]) == 4  # two blocks written down
            if ending is KeyboardInterrupt:
                os.kill(os.getpid(), signal.SIGINT)
            elif ending:
                raise ending
    for m in (data, scratch):
        assert (mount_at(Path(m.mountpoint)), daemons_of(m.mountpoint)) == (None, [])
        assert not os.path.exists(m.mountpoint)
    assert [v.name for v in q.status().volumes] == ["data"] and leftovers(machine) == ([], [])
    assert not (machine.home / "dev" / scratch.name).exists()
    with q.mounted("data", str(machine.root / "again")) as again:
        assert (Path(again.mountpoint) / "kept").read_text() == "data"
    assert os.path.isdir(machine.root / "again")  # a directory it did not make stays
    # A volume mounted where a block asks for it already is used, and left mounted.
    q.mount("data", again.mountpoint)
    with pytest.warns(UserWarning, match="already mounted"), q.mounted("data", again.mountpoint):
        pass
    assert q.volume_states("data")[0].state == "mounted" and leftovers(machine) == ([], [])
    q.unmount("data")


BLOCKS = """
import sys, time, quarvo
q = quarvo.Quarvo.from_env()
with q.mounted(sys.argv[1], temporary=True) as t, q.mounted(sys.argv[2], *sys.argv[3:], dev=True) as v:
    print(t.name, t.mountpoint, v.mountpoint, flush=True)
    time.sleep(600)
"""


def blocks_in_a_process(machine: Machine, *args: str) -> tuple[subprocess.Popen[str], list[str]]:
    child = subprocess.Popen([sys.executable, "-c", BLOCKS, *args], env=machine.env, stdout=subprocess.PIPE, text=True)
    return child, child.stdout.readline().split() if child.stdout else []


def half_mounted(machine: Machine, q: quarvo.Quarvo) -> Path:
    """What a block of a process killed while mounting a temporary volume leaves."""
    q.init("half", dev=True)
    half = machine.root / "half"
    half.mkdir()
    url = q.status("half").volumes[0].metadata_url
    subprocess.run([machine.env["QUARVO_STORAGE_BACKEND_BIN"], "mount", "-d", url, str(half)], check=True, timeout=60,
                   capture_output=True)  # fmt: skip
    fd, stem = _mounted.hold_new_lock(_mounted.private_dir(str(machine.home / _mounted.MARKERS)), "half.")
    _mounted.write_down(stem, "half", True, str(half), False)
    os.close(fd)
    return half


# A process killed inside its blocks leaves mounts, daemons, a temporary volume and a
# directory; the next block of the home takes them down and mounts the volume again.
# A live process's blocks are left alone meanwhile.
def test_what_a_dead_process_left_is_taken_down(machine: Machine) -> None:
    q = quarvo.Quarvo.from_env()
    fixed = str(machine.root / "fixed")
    dead, (dead_temporary, dead_private, _) = blocks_in_a_process(machine, "dead", "kept", fixed)
    live, (live_temporary, live_private, live_mount) = blocks_in_a_process(machine, "live", "other")
    try:
        dead.kill()
        dead.wait()
        assert mount_at(Path(fixed)) == ("fuse.juicefs", "JuiceFS:kept") and daemons_of(dead_private)
        # One killed while mounting: the mount up, its record not written yet.
        half = half_mounted(machine, q)
        with q.mounted("kept", fixed) as again:
            assert again.mountpoint == fixed
        assert mount_at(Path(fixed)) is None  # mounted anew, so unmounted: not a mount that was there
        assert (mount_at(Path(dead_private)), daemons_of(dead_private), os.path.exists(dead_private)) == (
            None,
            [],
            False,
        )
        assert (mount_at(half), daemons_of(str(half))) == (None, [])
        names = [v.name for v in q.status().volumes]
        assert dead_temporary not in names and "half" not in names and {live_temporary, "other"} <= set(names)
        for mountpoint in (live_private, live_mount):
            assert mount_at(Path(mountpoint)) is not None
    finally:
        live.kill()
        live.wait()
    with q.mounted("other") as m:
        assert mount_at(Path(live_mount)) is None and m.mountpoint != live_mount
    assert [v.name for v in q.status().volumes] == ["kept", "other"] and leftovers(machine) == ([], [])
    wait_until(lambda: not daemons_of(live_private), "the daemons to end")


def pytest_run(machine: Machine, tests: str, *options: str, **kwargs) -> subprocess.Popen[str]:
    (machine.root / "test_it.py").write_text(textwrap.dedent(tests))
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *options, "test_it.py"]
    out = {"stdout": subprocess.PIPE, "stderr": subprocess.STDOUT, "text": True}
    return subprocess.Popen(command, cwd=machine.root, env=machine.env, **out, **kwargs)


# The plugin's fixtures: the README's five-line test passes, a failing test fails, and
# after both nothing is left. A session killed with its volume mounted is cleared by
# the next session: its mount and daemon gone, its home deleted.
def test_the_pytest_fixtures(machine: Machine) -> None:
    tmp = Path(tempfile.gettempdir())
    base = tmp / f"quarvo-pytest-{os.geteuid()}"
    run = pytest_run(machine, '''
        import os, quarvo

        def test_hello(quarvo_volume):
            path = os.path.join(quarvo_volume.mountpoint, "hello.txt")
            with open(path, "w") as f:
                f.write("hello")
            assert open(path).read() == "hello"

        def test_fails(quarvo_volume, quarvo_home):
            assert os.environ["QUARVO_HOME"] == quarvo_home
            assert [v.name for v in quarvo.Quarvo.from_env().status().volumes] == [quarvo_volume.name]
            raise AssertionError("failed on purpose")
    ''')  # fmt: skip
    out = run.communicate(timeout=300)[0]
    assert run.returncode == 1 and "1 failed, 1 passed" in out and "failed on purpose" in out, out
    assert os.listdir(base) == [] and os.listdir(tmp / f"quarvo-{os.geteuid()}") == []

    killed = pytest_run(machine, """
        import time

        def test_killed(quarvo_volume):
            print("MOUNTED", quarvo_volume.name, flush=True)
            time.sleep(600)
    """, "-s", start_new_session=True)  # fmt: skip
    assert killed.stdout
    record = next(line.split()[-1] for line in killed.stdout if "MOUNTED" in line)
    home = base / next(p for p in os.listdir(base) if p.endswith(".lock")).removesuffix(".lock")
    assert daemons_of(record) and (home / "volumes" / f"{record}.toml").exists()
    os.killpg(killed.pid, signal.SIGKILL)
    killed.wait()
    run = pytest_run(machine, "def test_nothing(quarvo_home):\n    pass\n")
    out = run.communicate(timeout=300)[0]
    assert run.returncode == 0, out
    assert not home.exists() and os.listdir(base) == [], out
    wait_until(lambda: not daemons_of(record), "its daemon to end", timeout=30)
