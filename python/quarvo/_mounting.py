"""Mounting from the shell: mount (one volume, in the background or the
foreground, or --all after a reboot), flush and unmount.

What a call found and set right on its way (a dead mount cleared, a volume
already mounted) reaches this module as warnings, printed as "note: ..."."""

from __future__ import annotations

import os

import quarvo
from quarvo import _native
from quarvo._output import escaped, failure, report, say, shown
from quarvo.cli import EXIT_FAILURE, _Hinted, _service, _Usage

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from quarvo._grammar import Namespace


def _mount_hint(e: quarvo.QuarvoError, args: Namespace) -> str | None:
    """Where to read more when the backend gave no reason of its own."""
    if args.foreground or e.reason:
        return None  # its output went to this terminal already, or the reason is shown
    if e.kind == "TimedOut":  # still retrying (an engine that does not answer): its log says what at
        return f"`quarvo logs {args.name}` shows what the storage backend was doing"
    if e.kind != "CommandFailed":
        return None
    return f"`quarvo mount {args.name} {args.path} --foreground` shows the storage backend's own messages"


def _mount_checks(args: Namespace) -> None:
    """Before the progress line: the volume must exist with a record that
    can be used and the path must be one a mount can work at; a directory
    whose files the mount would hide is worth a word."""
    entry = _native.volume_states(args.name)[0]
    if entry.volume is None:
        raise entry.error
    _native._check_mountpoint(args.path)
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


def cmd_mount(args: Namespace) -> int:
    from quarvo._settings import assignments

    if args.all:
        if args.name is not None or args.foreground or args.set:
            raise _Usage("--all takes no NAME, PATH, --foreground or --set")
        return _mount_all(args)
    if args.name is None or args.path is None:
        raise _Usage("mount needs NAME and PATH, or --all")
    if args.retry is not None:
        raise _Usage("--retry goes with --all")
    settings = assignments(args.set)
    _native._check_settings(settings)
    q = _service(args)
    _mount_checks(args)
    if args.foreground:
        # SIGTERM ends the mount as Ctrl-C does: unmounted, record cleared.
        say(f"mounting {args.name} at {args.path} in the foreground; it stays until unmounted, Ctrl-C or SIGTERM ...")
    else:
        say(f"mounting {args.name} at {args.path} ...")
    try:
        with _notes():
            info = q.mount(
                args.name, args.path, foreground=args.foreground, check_storage=args.check_storage, settings=settings
            )
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
    if args.foreground:
        text = f"{info.name} was served at {info.mountpoint} until it was unmounted"
    else:
        text = f"mounted {info.name} at {info.mountpoint}"
    report(args, {"name": info.name, "mountpoint": info.mountpoint}, text)
    return 0


def _mount_all(args: Namespace) -> int:
    """Up to 4 volumes at once, each result printed as it comes (--json: one
    document at the end). With --retry a failure is told once retrying ends."""
    q = _service(args)
    say("mounting every volume whose recorded mountpoint is no longer mounted ...")

    def tell(name: str, outcome: Any) -> None:
        if isinstance(outcome, quarvo.QuarvoError):
            if not args.retry:
                say(f"quarvo: error: {name}: {shown(str(outcome), args.show_secrets)}")
        elif not args.json:
            print(f"mounted {name} at {outcome.mountpoint}", flush=True)

    with _notes():
        outcomes = q.mount_all(on_result=tell)
        if args.retry:
            _retry_shared(q, outcomes, args.retry, tell)
    failed = {name: o for name, o in outcomes.items() if isinstance(o, quarvo.QuarvoError)}
    if args.retry:
        for name, error in failed.items():
            say(f"quarvo: error: {name}: {shown(str(error), args.show_secrets)}")
    document = [
        failure(name, o, args.show_secrets) if name in failed else {"name": name, "mountpoint": o.mountpoint}
        for name, o in outcomes.items()
    ]
    report(args, {"volumes": document}, None)
    if not outcomes:
        say("nothing to mount: every recorded mountpoint is mounted")
    return EXIT_FAILURE if failed else 0


# Pauses between the tries of --retry: short at first, for a network that
# comes up a moment after the command starts, then no longer than this.
_RETRY_PAUSE_BOUND = 30.0


def _retry_shared(q: quarvo.Quarvo, outcomes: dict[str, Any], seconds: float, tell: Any) -> None:
    """Mounts the shared volumes of `outcomes` that failed again, with
    pauses, until they mount or `seconds` have passed; their new outcomes
    replace the old, and a mount is told as it comes. Development volumes
    need no network: one try is theirs."""
    import time

    deadline = time.monotonic() + seconds
    shared = {e.name: e.volume for e in q.volume_states() if e.volume is not None and not e.volume.dev}
    pause = 2.0
    while True:
        failing = [n for n, o in outcomes.items() if isinstance(o, quarvo.QuarvoError) and n in shared]
        left = deadline - time.monotonic()
        if not failing or left <= 0:
            return
        say(f"{', '.join(failing)}: not mounted yet; trying again in {min(pause, left):.0f} s (until {seconds:g} s)")
        time.sleep(min(pause, left))
        pause = min(pause * 2, _RETRY_PAUSE_BOUND)
        for name in failing:
            mountpoint = shared[name].mountpoint
            try:
                outcomes[name] = q.mount(name, mountpoint) if mountpoint else outcomes[name]
            except quarvo.QuarvoError as e:
                if e.kind == "Interrupted":
                    raise
                outcomes[name] = e
            else:
                tell(name, outcomes[name])


def cmd_flush(args: Namespace) -> int:
    q = _service(args)
    # The progress line only for a volume served where its record says: any
    # other is refused at once, with the service's own words.
    if _native.volume_states(args.name)[0].state == "mounted":
        say(f"flushing {args.name} ...")
    with _notes():
        q.flush(args.name)
    where = q.status(args.name).volumes[0].mountpoint
    report(args, {"name": args.name, "mountpoint": where}, f"flushed {args.name}")
    return 0


def cmd_unmount(args: Namespace) -> int:
    q = _service(args)
    where = q.status(args.name).volumes[0].mountpoint
    if where is not None:  # else refused at once: not mounted
        say(f"unmounting {args.name}{' (forced)' if args.force else ''} ...")
    try:
        with _notes():
            q.unmount(args.name, force=args.force)
    except quarvo.QuarvoError as e:
        # The record keeps its mountpoint. The hint follows the backend's reason: open files only when it
        # says the mount is busy; otherwise (its engine down, say) --force takes it off through the kernel.
        if e.kind in ("CommandFailed", "TimedOut") and not args.force:
            if "busy" in (e.reason or "").lower():
                raise _Hinted(e, f"files under {where} are open; close them, or pass --force") from None
            raise _Hinted(e, f"`quarvo unmount {args.name} --force` takes {where} off through the kernel") from None
        raise
    report(args, {"name": args.name, "mountpoint": where}, f"unmounted {args.name}")
    return 0
