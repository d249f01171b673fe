"""Quarvo.mounted: a volume mounted for the length of a `with` block.

    with q.mounted("data", dev=True) as m:      # ensured, mounted at a private temporary directory
        ...                                     # m is the MountInfo
    # unmounted here, whatever ended the block (an exception, Ctrl-C)

    with q.mounted("scratch", temporary=True) as m:
        ...                                     # a new development volume "scratch-1a2b3c4d",
    # removed with its data here

The method itself is native (it checks the arguments and makes a temporary
volume's name by the backend's rule); it returns a Mounted, whose entry and
exit are here. A volume already mounted at the path asked for is used as it
is and left mounted.

What a block has under way is written down in its home, in `mounted/`: a
lock file the process holds locked for the block's life (TOKEN.lock) and
what to take down (TOKEN.json: the volume, its mountpoint, whether the volume
and the directory are the block's own). The lock goes with the process, so
a lock that can be taken is a block whose process died (killed, a machine
that stopped), and a reused pid cannot fake a live one. Every entry first
takes down what such blocks of its home left: the mount unmounted, the
temporary volume removed, the directory deleted.
"""

from __future__ import annotations

import fcntl
import json
import os
import stat
import tempfile
import warnings

import quarvo
from quarvo import _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping
    from types import TracebackType
    from typing import Any

# Where in the home the blocks under way are written down.
MARKERS = "mounted"


def private_dir(path: str) -> str:
    """`path`, made a directory only this user may enter (0700) when missing;
    an existing one must be that already: not a link, this user's, closed to
    others. InvalidArgument otherwise (another user may have made it first)."""
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid() or stat.S_IMODE(st.st_mode) & 0o077:
        raise _native._error(
            "InvalidArgument",
            f"{_native._escaped(path)} is not a private directory of this user (a directory, owned by uid "
            f"{os.geteuid()}, mode 0700); remove it, or set TMPDIR to another directory",
            path,
        )
    return path


# --- locks held for a process's life -----------------------------------------


def hold_new_lock(directory: str, prefix: str) -> tuple[int, str]:
    """A new lock file in `directory`, locked by this process until its
    descriptor is closed (the descriptor is not inherited by programs started
    from here); the descriptor and the file's path less ".lock". It is locked
    before it gets the name a scanner reads, so a named lock that can be taken
    is never a live one."""
    fd, made = tempfile.mkstemp(prefix=".new-", dir=directory)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        stem = os.path.join(directory, prefix + os.path.basename(made)[len(".new-") :])
        os.rename(made, stem + ".lock")
    except BaseException:
        os.close(fd)
        _unlink(made)
        raise
    return fd, stem


def dead_locks(directory: str) -> Iterator[tuple[int, str]]:
    """The locks in `directory` whose process is gone, each taken by this
    process while the caller deals with it: its descriptor and its path less
    ".lock". The caller closes the descriptor (after removing the files)."""
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return
    for name in names:
        if not name.endswith(".lock") or name.startswith("."):
            continue
        try:
            fd = os.open(os.path.join(directory, name), os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue  # removed meanwhile, or not ours to open
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)  # held: its process lives
            continue
        yield fd, os.path.join(directory, name[: -len(".lock")])


def release(fd: int, stem: str) -> None:
    """Removes a lock's files (what it guards first), then lets it go."""
    try:
        _unlink(stem + ".json")
        _unlink(stem + ".lock")
    finally:
        os.close(fd)


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _write_json(path: str, value: Mapping[str, Any]) -> None:
    """Written whole or not at all: a reader never sees half of it."""
    temporary = f"{path}.tmp"
    with open(temporary, "w") as f:
        json.dump(value, f)
    os.replace(temporary, path)


def write_down(stem: str, volume: str, temporary: bool, mountpoint: str | None, made: bool) -> None:
    """What a block (whose lock is `stem`.lock) has made so far, for a later
    entry to take down should its process die: the volume (new, when
    `temporary`), where it is mounted and whether that directory is its own."""
    _write_json(f"{stem}.json", {"volume": volume, "temporary": temporary, "mountpoint": mountpoint, "made": made})


# --- taking down what a dead block left ----------------------------------------


def take_down_leftovers(q: quarvo.Quarvo, home: str) -> None:
    """Takes down what the blocks of `home` whose process died left. One that
    cannot be taken down stays written down for a later try, with a warning."""
    for fd, stem in dead_locks(os.path.join(home, MARKERS)):
        try:
            with open(stem + ".json") as f:
                left = json.load(f)
        except (OSError, ValueError):
            left = {}  # died before it wrote what it would make: nothing made
        try:
            _take_down(q, left)
        except (quarvo.QuarvoError, OSError) as e:
            os.close(fd)
            warnings.warn(f"what a mounted() block of a process that died left is still there: {e}", stacklevel=3)
            continue
        release(fd, stem)


def _take_down(q: quarvo.Quarvo, left: Mapping[str, Any]) -> None:
    volume, mountpoint = left.get("volume"), left.get("mountpoint")
    if volume is None:
        return
    try:
        entry = q.volume_states(volume)[0]
    except quarvo.QuarvoError as e:
        if e.kind != "VolumeNotFound":
            raise
        entry = None
    if entry is not None and entry.volume is not None and mountpoint and entry.volume.mountpoint is None:
        if os.path.ismount(mountpoint):
            # Killed while mounting: the mount is up, its record not written.
            # Mounting there takes it as the volume's own (another volume's
            # mount there fails), so that it is then taken down as any other.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                q.mount(volume, mountpoint)
            entry = q.volume_states(volume)[0]
    if entry is not None and left.get("temporary"):
        q.remove(volume, force=True)  # unmounts it first, wherever it is
    elif entry is not None and entry.volume is not None and mountpoint and entry.volume.mountpoint == mountpoint:
        if entry.state in _native._LIVE_STATES:  # answering or not, its daemon alive or dead
            q.unmount(volume, force=True)
    if left.get("made") and mountpoint:
        _remove_directory(mountpoint)


def _remove_directory(path: str) -> None:
    try:
        os.rmdir(path)
    except FileNotFoundError:
        pass


# --- the context manager ---------------------------------------------------------


class Mounted:
    """What Quarvo.mounted returns: enter it once, with `with`."""

    def __init__(
        self, q: quarvo.Quarvo, volume: str, path: str | None, temporary: bool, options: dict[str, Any], home: str
    ) -> None:
        self._q = q
        self._volume = volume
        self._path = path
        self._temporary = temporary
        self._options = options
        self._home = home
        self._entered = False
        self._lock: tuple[int, str] | None = None  # this block's, while it runs
        self._made_volume = False
        self._made_directory: str | None = None
        self._mounted_here = False

    def __repr__(self) -> str:
        return f"<quarvo mounted({self._volume!r}{', temporary' if self._temporary else ''})>"

    def __enter__(self) -> quarvo.MountInfo:
        if self._entered:
            raise RuntimeError("a mounted() context manager is entered once")
        self._entered = True
        markers = private_dir(os.path.join(self._home, MARKERS))
        take_down_leftovers(self._q, self._home)
        self._lock = hold_new_lock(markers, f"{self._volume}.")
        try:
            return self._set_up()
        except BaseException as e:
            self._finish(e)
            raise

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self._finish(error)

    def _about(self, mountpoint: str | None) -> None:
        assert self._lock is not None
        write_down(self._lock[1], self._volume, self._temporary, mountpoint, self._made_directory is not None)

    def _set_up(self) -> quarvo.MountInfo:
        q, volume = self._q, self._volume
        self._about(None)  # before anything is made
        if self._temporary:
            q.init(volume, dev=True)
            self._made_volume = True
        else:
            q.ensure_volume(volume, **self._options)
        where = self._path
        if where is None:
            base = private_dir(os.path.join(tempfile.gettempdir(), f"quarvo-{os.geteuid()}"))
            where = self._made_directory = tempfile.mkdtemp(prefix=f"{volume}.", dir=base)
        before = q.volume_states(volume)[0]
        if before.state == "mounted" and before.volume and before.volume.mountpoint == os.path.realpath(where):
            return q.mount(volume, where)  # someone else's mount: used, and left mounted
        self._about(os.path.realpath(where))
        self._mounted_here = True
        info = q.mount(volume, where)
        self._about(info.mountpoint)
        return info

    def _finish(self, error: BaseException | None) -> None:
        """Takes down what this block made; with `error` (what ended the
        block), a failure to do so is a warning and `error` goes on. What is
        left stays written down for the next entry in this home."""
        if self._lock is None:
            return
        fd, stem = self._lock
        self._lock = None
        try:
            self._take_down()
        except (quarvo.QuarvoError, OSError) as e:
            os.close(fd)
            if error is None:
                raise
            warnings.warn(f"could not take down the mounted() block of {self._volume}: {e}", stacklevel=3)
            return
        except BaseException:
            os.close(fd)
            raise
        release(fd, stem)

    def _take_down(self) -> None:
        q, volume = self._q, self._volume
        if self._mounted_here:
            try:
                q.unmount(volume)
            except quarvo.QuarvoError as e:
                if e.kind == "CommandFailed":  # busy: files still open under it
                    q.unmount(volume, force=True)
                elif e.kind != "VolumeNotMounted":  # the block unmounted it itself
                    raise
        if self._made_volume:
            try:
                q.remove(volume, force=True)
            except quarvo.QuarvoError as e:
                if e.kind != "VolumeNotFound":  # the block removed it itself
                    raise
        if self._made_directory:
            _remove_directory(self._made_directory)
