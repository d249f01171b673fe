"""quarvo's pytest plugin: fixtures, and nothing that runs unless a test asks.

pytest loads it through the `pytest11` entry point of the quarvo package:

    def test_hello(quarvo_volume):
        path = os.path.join(quarvo_volume.mountpoint, "hello.txt")
        with open(path, "w") as f:
            f.write("hello")
        assert open(path).read() == "hello"

quarvo_home     (session) a private Quarvo home for the test session, the
                QUARVO_HOME of the session (so `quarvo` commands a test runs
                use it too), under a base directory of this user's in the
                system's temporary directory: <tmp>/quarvo-pytest-UID
quarvo_service  (session) the Quarvo of that home
quarvo_volume   (each test) a new development volume, named after the test,
                mounted at a private temporary directory: its MountInfo.
                Unmounted and removed with its data when the test ends,
                passed or failed.

A session holds a lock beside its home for as long as it runs, so a session
killed half-way (Ctrl-C twice, a CI job cancelled) leaves a lock anyone may
take. When quarvo_home starts, it takes those and clears their homes: each
volume's mount unmounted (and with it its daemon), each volume removed with
its data, the home deleted.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import warnings

import pytest

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

    import quarvo


def _base() -> str:
    from quarvo import _mounted

    return _mounted.private_dir(os.path.join(tempfile.gettempdir(), f"quarvo-pytest-{os.geteuid()}"))


def _storage_backend() -> str | None:
    """The backend program Quarvo finds outside the session, which the
    session's new home would not (it has no config.toml and no bin/)."""
    import quarvo
    from quarvo import _install

    try:
        found = quarvo.doctor()["storage_backend"]
        if found["found"]:
            return found["path"]
        return _install.bundled_client()  # what `quarvo doctor --install` would install
    except quarvo.QuarvoError:
        return None


def _service(home: str) -> quarvo.Quarvo:
    import quarvo

    with pytest.MonkeyPatch.context() as env:
        env.setenv("QUARVO_HOME", home)
        return quarvo.Quarvo.from_env()


def _holds_anything(home: str) -> bool:
    """Whether `home` has records or blocks of Quarvo.mounted written down."""
    from quarvo import _mounted

    for part in ("volumes", _mounted.MARKERS):
        try:
            if os.listdir(os.path.join(home, part)):
                return True
        except FileNotFoundError:
            pass
    return False


def _clear(home: str) -> bool:
    """Takes down every volume of `home` and deletes it. A volume that cannot
    be removed keeps the home (and its lock, for a later session to try
    again), with a warning: False."""
    import quarvo
    from quarvo import _mounted

    left = []
    if _holds_anything(home):
        try:
            q = _service(home)
            _mounted.take_down_leftovers(q, home)
            for entry in q.volume_states():
                try:
                    q.remove(entry.name, force=True)
                except quarvo.QuarvoError as e:
                    left.append(f"{entry.name}: {e}")
        except quarvo.QuarvoError as e:
            left.append(str(e))
    if left:
        warnings.warn(f"the Quarvo home {home} stays: {'; '.join(left)}", stacklevel=2)
        return False
    shutil.rmtree(home, ignore_errors=True)
    return True


def _clear_and_release(fd: int, home: str) -> None:
    from quarvo import _mounted

    try:
        cleared = _clear(home)
    except BaseException:
        os.close(fd)
        raise
    if cleared:
        _mounted.release(fd, home)
    else:
        os.close(fd)


@pytest.fixture(scope="session")
def quarvo_home() -> Iterator[str]:
    """A private Quarvo home for the test session, its QUARVO_HOME meanwhile."""
    from quarvo import _mounted

    base = _base()
    program = _storage_backend()
    with pytest.MonkeyPatch.context() as env:
        if program:
            env.setenv("QUARVO_STORAGE_BACKEND_BIN", program)
        for fd, stem in _mounted.dead_locks(base):
            _clear_and_release(fd, stem)
        fd, home = _mounted.hold_new_lock(base, "session.")
        try:
            os.mkdir(home, 0o700)
            env.setenv("QUARVO_HOME", home)
        except BaseException:
            _mounted.release(fd, home)
            raise
        try:
            yield home
        finally:
            _clear_and_release(fd, home)


@pytest.fixture(scope="session")
def quarvo_service(quarvo_home: str) -> quarvo.Quarvo:
    """The Quarvo of the session's home."""
    return _service(quarvo_home)


@pytest.fixture
def quarvo_volume(quarvo_service: quarvo.Quarvo, request: pytest.FixtureRequest) -> Iterator[quarvo.MountInfo]:
    """A new development volume named after the test, mounted; removed with its data after."""
    with quarvo_service.mounted(request.node.name, temporary=True) as mounted:
        yield mounted
