"""The end of a volume's life and a look inside it, from the shell.

    quarvo rm NAME... [--force] [--destroy [--yes]]
    quarvo inspect NAME... [--json]
    quarvo prune [--yes]
    quarvo logs NAME [-f] [-n N]

`inspect` and `logs` need no storage backend program; `rm` and `prune` do.
"""

from __future__ import annotations

import collections
import os
import sys
import time

import quarvo
from quarvo import _native
from quarvo._output import escaped, failure, print_json, quoted, report, say, shown_url, table
from quarvo.cli import EXIT_FAILURE, _Hinted, _report, _service, _Usage, command_timeout

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import Any

    from quarvo._grammar import Namespace

    Failure = dict[str, str]

_FOLLOW_INTERVAL = 0.5


def _each(names: Iterable[str], act: Callable[[str], Any], show_secrets: bool) -> tuple[list[Any], list[Failure]]:
    """Runs `act` for every name; one failing is reported as the command
    reports an error, and does not stop the others. What each `act`
    returned, and the failures as a document's entries."""
    done, failed = [], []
    for name in names:
        try:
            done.append(act(name))
        except _Hinted as e:
            _report(e.error, show_secrets, e.hint)
            failed.append(failure(name, e.error, show_secrets))
        except quarvo.QuarvoError as e:
            _report(e, show_secrets)
            failed.append(failure(name, e, show_secrets))
    return done, failed


def _confirm(question: str, answer: str) -> bool:
    """Asks on standard error (standard output carries the result); True
    when the user types `answer`."""
    sys.stderr.write(question)
    sys.stderr.flush()
    return sys.stdin.readline().strip() == answer


# --- rm ----------------------------------------------------------------------


def cmd_rm(args: Namespace) -> int:
    if args.yes and not args.destroy:
        raise _Usage("--yes goes with --destroy")
    q = _service(args)
    removed, failed = _each(args.names, lambda name: _remove(q, name, args), args.show_secrets)
    report(args, {"removed": removed, "failed": failed}, None)
    return EXIT_FAILURE if failed else 0


def _remove(q: quarvo.Quarvo, name: str, args: Namespace) -> dict[str, Any]:
    """Removes one volume, saying so unless --json; its entry in the document."""
    entry = _native.volume_states(name)[0]
    volume = entry.volume
    if volume is None:
        if not args.force:
            raise _Hinted(entry.error, f"`quarvo rm {name} --force` removes the unreadable record")
        say(f"removing the unreadable record of {name} ...")
        q.remove(name, force=True)
        _text(args, f"removed the unreadable record of {name}")
        return {"name": name, "dev": None, "destroyed": False}
    destroying = args.destroy and not volume.dev
    if destroying and not args.yes:
        if not sys.stdin.isatty():
            raise _Hinted(
                _native._error("InvalidArgument", f"not destroying {quoted(name)} without confirmation"),
                f"pass --yes to destroy it from a script: `quarvo rm {name} --destroy --yes`",
            )
        question = (
            f"This deletes every file of {name} on {shown_url(volume.metadata_url, args.show_secrets)} and "
            f"{volume.storage} {volume.bucket}, for every machine. Type the volume's name to confirm: "
        )
        if not _confirm(question, name):
            raise _native._error("InvalidArgument", f"{quoted(name)} was not destroyed: the name typed did not match")
    if entry.state not in _native._LIVE_STATES or args.force:  # else refused at once
        say(f"removing {name}{' and destroying its data' if destroying else ''} ...")
    from quarvo._mounting import _notes  # what a forced unmount did on its way

    try:
        with _notes():
            q.remove(name, force=args.force, destroy=args.destroy)
    except quarvo.QuarvoError as e:
        hint = _remove_hint(name, entry.state, args, e)
        if hint is None:
            raise
        raise _Hinted(e, hint) from None
    if volume.dev:
        _text(args, f"removed development volume {name} and its data")
    elif destroying:
        _text(args, f"removed volume {name} and destroyed its data")
    else:
        metadata = shown_url(volume.metadata_url, args.show_secrets)
        _text(args, f"removed volume {name} from this machine; its data stays on {metadata} for other machines")
    return {"name": name, "dev": volume.dev, "destroyed": destroying}


def _text(args: Namespace, line: str) -> None:
    """A line of a command that reports as it goes; with --json its document says it all at the end."""
    if not args.json:
        print(line)


def _remove_hint(name: str, state: str | None, args: Namespace, e: quarvo.QuarvoError) -> str | None:
    """What to do about a failed removal, when something is true to say: a
    mount is named only when one refused it; a bound run out or Ctrl-C needs
    no hint, any other failure (with the backend's reason shown) points to
    inspect."""
    if e.kind in ("TimedOut", "Interrupted"):
        return None
    if e.kind == "VolumeMounted":
        if state in _native._LIVE_STATES and not args.force:
            return f"`quarvo rm {name} --force` unmounts it first"
        if args.destroy:
            return "the storage backend destroys a volume only while no machine has it mounted; unmount it there first"
    return f"`quarvo inspect {name}` shows what is known about it"


# --- inspect -------------------------------------------------------------------


def cmd_inspect(args: Namespace) -> int:
    bound = command_timeout(args)
    found, failed = _each(args.names, lambda name: _native.inspect(name, timeout=bound), args.show_secrets)
    if not args.show_secrets:
        for d in found:
            if d["volume"] is not None:
                d["volume"]["metadata_url"] = shown_url(d["volume"]["metadata_url"])
                d["volume"]["bucket"] = shown_url(d["volume"]["bucket"])
    if args.json:
        print_json(found)
    else:
        print("\n\n".join(_inspect_text(d, args.show_secrets) for d in found))
    return EXIT_FAILURE if failed else 0


def _size(n: int | None) -> str:
    if n is None:
        return "?"
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if size < 1024 or unit == "TiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return f"{n} B"


def _inspect_text(d: dict[str, Any], show_secrets: bool) -> str:
    rows: list[list[str]] = [["name", d["name"]], ["record", d["record"]]]
    volume = d["volume"]
    if volume is None:
        rows.append(["error", f"the record cannot be read: {d['error']}"])
    else:
        rows += [
            ["kind", "development volume" if volume["dev"] else "shared volume"],
            ["state", d["state"] or "not mounted"],
            ["mountpoint", volume["mountpoint"] or "-"],
            ["metadata", shown_url(volume["metadata_url"], show_secrets)],
            ["storage", f"{volume['storage']} {shown_url(volume['bucket'], show_secrets)}"],
            ["created", volume["created_at"]],
            ["updated", volume["updated_at"]],
        ]
        if d["found"]:
            rows.append(["found there", d["found"]])
        if d["access"]:
            rows.append(["access", d["access"]["who"]])
    log = d["log"] if d["log_bytes"] is not None else f"{d['log']} (none yet)"
    rows.append(["log", f"{log} ({_size(d['log_bytes'])})" if d["log_bytes"] is not None else log])
    if d["old_log"]:
        rows.append(["old log", d["old_log"]])
    if d["dev_paths"]:
        rows.append(["data", d["dev_paths"]["directory"]])
    if volume is not None:
        from quarvo._settings import settings_text

        rows.append(["settings", settings_text(d["settings"]).replace("\n", ", ") or "none"])
    cache = d["cache_dir"] or "-"
    others = [c for c in d["cache_dirs"] if c != d["cache_dir"]]
    rows.append(["cache", f"{cache} ({_size(d['cache_bytes'])} on disk)" if d["cache_dirs"] else cache])
    if others:
        rows.append(["old caches", ", ".join(others)])
    daemon = d["daemon"]
    if daemon is not None:
        rows.append(["served by", f"pid {daemon['pid']}, restarted by its supervisor pid {daemon['supervisor_pid']}"])
        rows.append(["metrics", daemon["metrics"] or "-"])
    autostart = d["autostart"]
    if autostart is not None:
        rows.append(["autostart", autostart["unit"] if autostart["installed"] else "not enabled"])
    backend = d["backend"]
    if backend is not None:
        used = f"{_size(backend['used_bytes'])} in {backend['used_inodes']} files and directories"
        sessions = ", ".join(f"{s['host']}:{s['mountpoint']}" for s in backend["sessions"]) or "none"
        rows += [["uuid", backend["uuid"]], ["used", used], ["connected", sessions]]
    elif d["backend_error"]:
        rows.append(["backend", f"no answer: {d['backend_error']}"])
        if d["backend_reason"]:
            rows.append(["reason", d["backend_reason"]])
    # Control characters escaped; only a multi-line error keeps its lines, indented.
    return "\n".join(
        f"{key + ':':<12} " + "\n             ".join(escaped(line) for line in value.split("\n"))
        if key == "error"
        else f"{key + ':':<12} {escaped(value)}"
        for key, value in rows
    )


# --- prune ---------------------------------------------------------------------


def _tree_size(path: str) -> int:
    total = 0
    for root, _dirs, files in os.walk(path):
        for f in files:
            try:
                total += os.lstat(os.path.join(root, f)).st_size
            except OSError:
                pass
    return total


def cmd_prune(args: Namespace) -> int:
    q = _service(args)
    completed = _native.finish_removals()
    for name in completed:
        say(f"completed the interrupted removal of {name}")
    # Steps a killed command left (a mount, an unmount, an init): finished or
    # undone before anything is counted; one that cannot be is a failure.
    unsettled = []
    for name, outcome in q._settle_interrupted().items():
        if isinstance(outcome, quarvo.QuarvoError):
            _report(outcome, args.show_secrets)
            unsettled.append(failure(name, outcome, args.show_secrets))
            continue
        for note in outcome:
            say(f"{name}: {note}")
    # Not served: nothing mounted, another file system there, or a mount whose
    # daemon died (which remove(force=True) detaches).
    served = _native._SERVED_STATES
    candidates = [e for e in _native.volume_states() if e.volume is not None and e.volume.dev and e.state not in served]
    if not candidates:
        say("nothing to prune: every development volume is mounted")
        report(args, {"completed": completed, "removed": [], "failed": unsettled}, None)
        return EXIT_FAILURE if unsettled else 0
    sizes = {}
    for e in candidates:
        sizes[e.name] = _tree_size(_native.inspect(e.name, backend=False)["dev_paths"]["directory"])
    say("development volumes not mounted, to be removed with their data:")
    say(table(["NAME", "STATE", "DATA"], [[e.name, e.state or "-", _size(sizes[e.name])] for e in candidates]))
    if not args.yes:
        if not sys.stdin.isatty():
            raise _Hinted(
                _native._error("InvalidArgument", "not pruning without confirmation"),
                "pass --yes to prune from a script",
            )
        if not _confirm(f"Remove {len(candidates)} volume{'s' if len(candidates) > 1 else ''}? [y/N] ", "y"):
            say("nothing removed")
            return EXIT_FAILURE

    def remove(name: str) -> dict[str, Any]:
        state = next(e.state for e in candidates if e.name == name)
        q.remove(name, force=state in _native._LIVE_STATES)  # live but not served: its daemon died
        _text(args, f"removed development volume {name} and its data")
        return {"name": name, "bytes": sizes[name]}

    removed, failed = _each([e.name for e in candidates], remove, args.show_secrets)
    failed = unsettled + failed
    report(args, {"completed": completed, "removed": removed, "failed": failed}, None)
    return EXIT_FAILURE if failed else 0


# --- logs ------------------------------------------------------------------------


def _tail(path: str, lines: int | None) -> tuple[bytes, int, int]:
    """The log's last `lines` lines (all of it: None), the offset read up to and the file's inode."""
    with open(path, "rb") as f:
        if lines is None:
            data = f.read()
        elif lines > 0:
            data = b"".join(collections.deque(f, maxlen=lines))
        else:
            data = b""
            f.seek(0, os.SEEK_END)
        return data, f.tell(), os.fstat(f.fileno()).st_ino


class _Uncoloured:
    """Bytes of a log without terminal colour codes (ESC [ ... m), for output
    that is not a terminal. They come from the backend's mount command: it
    colours its "OK, NAME is ready" line whatever its output is (juicefs
    1.4.2; its --no-color changes only the level tags it colours on a
    terminal), and a background mount's output is appended to the log. A
    code split between two reads is held back for the next."""

    def __init__(self) -> None:
        import re

        self._code = re.compile(rb"\x1b\[[0-9;]*m")
        self._partial = re.compile(rb"\x1b(\[[0-9;]*)?\Z")
        self._held = b""

    def __call__(self, data: bytes) -> bytes:
        data = self._held + data
        cut = self._partial.search(data)
        self._held = data[cut.start() :] if cut else b""
        return self._code.sub(b"", data[: cut.start()] if cut else data)


def cmd_logs(args: Namespace) -> int:
    if args.lines is not None and args.lines < 0:
        raise _Usage("-n needs a number of lines, 0 or more")
    details = _native.inspect(args.name, backend=False)
    log = details["log"]
    out = sys.stdout.buffer
    shown: Callable[[bytes], bytes] = (lambda data: data) if sys.stdout.isatty() else _Uncoloured()
    if not os.path.exists(log) and not args.follow:
        say(f"no log for {args.name} yet: a mount in the background writes {log}")
        return 0
    # What the backend wrote, masked line by line as it is shown: URL passwords
    # and the volume's own password. A line still being written waits for its end.
    url = details["volume"]["metadata_url"] if details["volume"] else None
    pending = b""

    def show(data: bytes, whole: bool = False) -> None:
        """Prints `data` after what was held back; unless `whole`, holds back a last line not ended yet."""
        nonlocal pending
        data = pending + data
        end = len(data) if whole else data.rfind(b"\n") + 1
        data, pending = data[:end], data[end:]
        if data:
            out.write(shown(data if args.show_secrets else _native._mask_log(data, url)))
            out.flush()

    try:
        position, inode = 0, None
        if os.path.exists(log):
            data, position, inode = _tail(log, args.lines)
            show(data, whole=not args.follow)
        while args.follow:
            time.sleep(_FOLLOW_INTERVAL)
            try:
                st = os.stat(log)
            except FileNotFoundError:
                continue
            if st.st_ino != inode or st.st_size < position:
                show(b"", whole=True)  # what the old log ended with
                position, inode = 0, st.st_ino  # rotated or truncated: a new log from its start
            if st.st_size > position:
                with open(log, "rb") as f:
                    f.seek(position)
                    data = f.read()
                position += len(data)
                show(data)
    except KeyboardInterrupt:
        show(b"", whole=True)
        return 0
    return 0
