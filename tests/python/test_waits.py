"""Waits release the interpreter lock, and Ctrl-C ends them: the child or the
lock wait is given up, and KeyboardInterrupt reaches the caller."""

from __future__ import annotations

import fcntl
import os
import signal
import threading
import time
from pathlib import Path

import pytest
from support import children_of_this_process

import quarvo


@pytest.mark.parametrize("wait", ["backend command", "registry lock"])
def test_ctrl_c_ends_a_wait_while_other_threads_run(
    wait: str, q: quarvo.Quarvo, home: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:60000")
    held = os.open(home / "lock", os.O_RDWR | os.O_CREAT)
    if wait == "registry lock":
        fcntl.flock(held, fcntl.LOCK_EX)  # another open file: the call must wait for it
    before, ticks, done = children_of_this_process(), [], threading.Event()

    def count() -> None:
        while not done.wait(0.01):
            ticks.append(None)

    counter = threading.Thread(target=count)
    counter.start()
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            q.init("slow", dev=True)
    finally:
        done.set()
        counter.join()
        os.close(held)
    assert time.monotonic() - start < 5  # the call ended long before the backend's minute
    assert len(ticks) > 20  # the other thread ran while the call waited
    assert children_of_this_process() == before and q.status().volumes == []
