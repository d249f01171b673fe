"""A volume's mount settings from the shell.

    quarvo config NAME                       list them
    quarvo config NAME KEY=VALUE... [--unset KEY]...
    quarvo init|ensure NAME ... --set KEY=VALUE     stored with the volume
    quarvo mount NAME PATH --set KEY=VALUE          for that mount only

The keys are the storage backend's own mount options (the native side
holds the list and checks every value); a flag takes true or false.
"""

from __future__ import annotations

import quarvo
from quarvo import _native
from quarvo._mounting import _notes
from quarvo._output import escaped, report, say
from quarvo.cli import _service, _Usage

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping

    from quarvo._grammar import Namespace


def assignments(words: Iterable[str]) -> dict[str, str | None]:
    """KEY=VALUE words as settings (the value as text; the native side reads
    a flag's "true" or "false")."""
    settings: dict[str, str | None] = {}
    for word in words:
        key, equals, value = word.partition("=")
        if not equals or not key:
            raise _Usage(f"expected KEY=VALUE, not {word!r}")
        settings[key] = value
    return settings


def settings_text(settings: Mapping[str, str | bool]) -> str:
    """One `KEY = VALUE` line per setting, in key order."""
    return "\n".join(
        f"{key} = {'true' if value is True else 'false' if value is False else escaped(value)}"
        for key, value in sorted(settings.items())
    )


def cmd_config(args: Namespace) -> int:
    changes: dict[str, str | None] = assignments(args.assignments)
    for key in args.unset:
        if key in changes:
            raise _Usage(f"{key} is both set and unset")
        changes[key] = None
    if changes:
        with _notes():
            settings = _service(args).configure(args.name, changes)
    else:
        # Reading needs no backend program.
        settings = _native.inspect(args.name, backend=False)["settings"]
        if settings is None:  # the record cannot be read: why
            error = _native.volume_states(args.name)[0].error
            assert error is not None
            raise error
    report(args, {"name": args.name, "settings": settings}, settings_text(settings) if settings else None)
    if not settings and not args.json:
        say(f"{args.name} has no settings: its mounts keep their block cache under the home and send no usage report")
    return 0


def note_if_mounted(info: quarvo.VolumeInfo, changed: bool) -> None:
    """For ensure: settings stored in a volume that is mounted reach it at its next mount."""
    if changed and info.mountpoint:
        say(f"note: {info.name} is mounted at {info.mountpoint}; its settings reach it at its next mount")
