# Types of the extension module quarvo._native.
#
# None of the classes can be instantiated or subclassed from Python: Quarvo
# comes from Quarvo.from_env(), the others are returned by its methods. Every
# attribute is read-only. VolumeInfo, MountInfo, Status and VolumeState are
# values: equal when their fields are, hashable, with a repr of their fields.

from collections.abc import Callable, Mapping, Sequence
from contextlib import AbstractContextManager
from typing import Any, Literal, TypeAlias, TypedDict, final, type_check_only

from typing_extensions import Unpack

__all__ = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]

# What a volume is doing, as status, volume_states and inspect say it; a step
# under way, or one whose process is gone ("interrupted"), shows over the mount.
_StateWord: TypeAlias = Literal[
    "mounted", "stale", "unresponsive", "not mounted", "foreign", "mounting", "unmounting", "creating", "interrupted"
]

class QuarvoError(Exception):
    """Every failure of the system; args[0] is the user-facing message.

    `kind` names the failure; the fields below carry what the kind has and
    are None where it has none. When the storage backend said why it
    failed, `reason` holds its words and `__notes__` is [reason].
    """

    kind: Literal[
        "InvalidVolumeName",
        "VolumeExists",
        "VolumeNotFound",
        "StorageBackendMissing",
        "AutoInstallUnsupported",
        "StorageBackendInstallFailed",
        "UnsupportedStoreUrl",
        "MissingMetadataUrl",
        "MissingObjectStorage",
        "MountpointNotDirectory",
        "VolumeNotMounted",
        "MountSupportUnavailable",
        "CommandFailed",
        "IoAt",
        "Io",
        "TomlParse",
        "TomlWrite",
        "TimedOut",
        "Interrupted",
        "VolumeMounted",
        "MountFailed",
        "VolumeMismatch",
        "InvalidArgument",
        "InvalidBackendVolumeName",
        "UnsafePath",
        "FlushIncomplete",
        "VolumeBusy",
    ]
    reason: str | None  # the backend's last FATAL or ERROR line, cleaned, passwords masked
    log: str | None  # the log file the reason was read from (a background mount's)
    name: str | None  # the volume kinds
    # MountpointNotDirectory, IoAt, VolumeMounted, MountFailed, UnsafePath; TomlParse and InvalidArgument when known
    path: str | None
    url: str | None  # UnsupportedStoreUrl
    platform: str | None  # AutoInstallUnsupported
    # StorageBackendInstallFailed, MountSupportUnavailable, TomlParse, TomlWrite, MountFailed, VolumeMismatch,
    # InvalidArgument (its whole message), UnsafePath (what it is, its owner and mode), VolumeBusy (the process at work)
    detail: str | None
    fix: str | None  # MountSupportUnavailable, UnsafePath
    program: str | None  # CommandFailed
    command_args: str | None  # CommandFailed: the arguments joined by spaces (`args` is the exception's own)
    status: str | None  # CommandFailed: "exit status: 1", "signal: 9 (SIGKILL)"
    stdout: str | None  # CommandFailed
    stderr: str | None  # CommandFailed
    source: str | None  # IoAt, Io: the operating system's error text
    errno: int | None  # IoAt, Io
    command: str | None  # TimedOut: what ran out of time
    seconds: float | None  # TimedOut, FlushIncomplete: the bound, in seconds
    held_bytes: int | None  # FlushIncomplete: what the client had not written out at the last look

# The doctor's report. At run time it is a plain dict; these TypedDicts exist
# only for type checkers.
@type_check_only
class StorageBackendReport(TypedDict):
    found: bool
    path: str | None
    version: str | None
    managed: bool

@type_check_only
class MountSupportReport(TypedDict):
    found: bool
    detail: str
    fix: str | None

@type_check_only
class DoctorReport(TypedDict):
    home: str
    config: str
    storage_backend: StorageBackendReport
    mount_support: MountSupportReport

def doctor() -> DoctorReport: ...

# The module functions below are not in this module's __all__ (quarvo's has
# them). Every record of the home (or the one named) with the live state of
# its mount; needs no backend program, and lists a record that cannot be
# read as an entry with its error instead of failing.
def volume_states(name: str | None = None, *, timeout: float | None = None) -> list[VolumeState]:
    """timeout: seconds, capping the 1 s within which every mount must answer."""

# Needing no backend program unless said.
@type_check_only
class Diagnosis(DoctorReport):
    config_error: str | None  # why config.toml cannot be read
    unsafe_backend: str | None  # why the program found is not run: another user could have changed it

def diagnose() -> Diagnosis:
    """doctor() for a home whose config.toml may be broken: its error is a finding."""

# What inspect() returns: a plain dict at run time, every key always present.
@type_check_only
class InspectedVolume(TypedDict):
    name: str
    backend: str
    metadata_url: str
    storage: str
    bucket: str
    dev: bool
    mountpoint: str | None
    created_at: str
    updated_at: str

@type_check_only
class DevPaths(TypedDict):
    directory: str
    metadata: str
    objects: str

@type_check_only
class BackendSession(TypedDict):
    host: str
    mountpoint: str

@type_check_only
class BackendStatus(TypedDict):
    name: str
    uuid: str
    storage: str
    bucket: str
    used_bytes: int | None
    used_inodes: int | None
    sessions: list[BackendSession]

@type_check_only
class Inspection(TypedDict):
    name: str
    record: str  # the record file
    error: str | None  # why the record cannot be read
    volume: InspectedVolume | None  # None when the record cannot be read
    state: _StateWord | None
    found: str | None
    log: str
    log_bytes: int | None  # None: no log yet
    old_log: str | None  # the rotated log, when there is one
    dev_paths: DevPaths | None  # None for a shared volume
    cache_dirs: list[str]  # empty until the UUID is known
    backend: BackendStatus | None  # None when the backend was not asked or did not answer
    backend_error: str | None  # why it did not answer

def inspect(name: str, *, backend: bool = True, timeout: float | None = None) -> Inspection:
    """Everything known about one volume; with `backend`, the backend's status
    too when a backend program is installed, within `timeout` seconds (None:
    QUARVO_COMMAND_TIMEOUT, else config.toml's command_timeout, else no bound)."""

def check_new_volume_name(name: str) -> None:
    """Raises QuarvoError unless the storage backend takes `name` for a new volume:
    InvalidVolumeName when Quarvo's own rule refuses it, else InvalidBackendVolumeName."""

def finish_removals() -> list[str]:
    """Completes removals that were interrupted; the names completed."""

@final
class Quarvo:
    @staticmethod
    def from_env(*, command_timeout: float | None = None) -> Quarvo:
        """command_timeout: seconds; None: QUARVO_COMMAND_TIMEOUT, else config.toml's, else no bound."""
    def doctor(self) -> DoctorReport: ...
    def init(
        self,
        name: str,
        *,
        dev: bool = False,
        metadata: str | None = None,
        store: str | None = None,
        storage: str | None = None,
        bucket: str | None = None,
        metadata_password: str | None = None,
        settings: Mapping[str, str | bool | None] | None = None,
    ) -> VolumeInfo: ...
    def ensure_volume(
        self,
        name: str,
        *,
        dev: bool = False,
        metadata: str | None = None,
        store: str | None = None,
        storage: str | None = None,
        bucket: str | None = None,
        metadata_password: str | None = None,
        settings: Mapping[str, str | bool | None] | None = None,
    ) -> VolumeInfo: ...
    def mount(
        self,
        name: str,
        path: str,
        *,
        foreground: bool = False,
        check_storage: bool = False,
        settings: Mapping[str, str | bool | None] | None = None,
    ) -> MountInfo: ...
    def flush(self, name: str) -> None: ...
    def unmount(self, name: str, *, force: bool = False) -> None: ...
    def status(self, name: str | None = None) -> Status: ...
    def volume_states(self, name: str | None = None) -> list[VolumeState]: ...
    def remove(self, name: str, *, force: bool = False, destroy: bool = False) -> None: ...
    def mount_all(
        self, *, on_result: Callable[[str, MountInfo | QuarvoError], object] | None = None
    ) -> dict[str, MountInfo | QuarvoError]: ...
    def mounted(
        self, name: str, path: str | None = None, *, temporary: bool = False, **options: Unpack[VolumeOptions]
    ) -> AbstractContextManager[MountInfo]:
        """The volume ensured and mounted for a `with` block (at `path`, else at a
        private temporary directory), its MountInfo yielded, unmounted on exit;
        with temporary=True a new development volume, removed on exit."""
    def configure(self, name: str, settings: Mapping[str, str | bool | None]) -> dict[str, str | bool]:
        """Changes a volume's mount settings (None unsets a key); returns them all."""
    def _settle_interrupted(self) -> dict[str, list[str] | QuarvoError]: ...

# ensure_volume's keyword arguments, as Quarvo.mounted passes them on.
@type_check_only
class VolumeOptions(TypedDict, total=False):
    dev: bool
    metadata: str | None
    store: str | None
    storage: str | None
    bucket: str | None
    settings: Mapping[str, str | bool | None] | None

@final
class VolumeInfo:
    @property
    def name(self) -> str: ...
    @property
    def metadata_url(self) -> str: ...
    @property
    def storage(self) -> str: ...
    @property
    def bucket(self) -> str: ...
    @property
    def dev(self) -> bool: ...
    @property
    def mountpoint(self) -> str | None: ...

@final
class MountInfo:
    @property
    def name(self) -> str: ...
    @property
    def mountpoint(self) -> str: ...

@final
class Status:
    @property
    def volumes(self) -> list[VolumeInfo]: ...

@final
class VolumeState:
    @property
    def name(self) -> str: ...
    @property
    def volume(self) -> VolumeInfo | None:
        """None when the record cannot be read; `error` says why."""
    @property
    def error(self) -> QuarvoError | None: ...
    @property
    def path(self) -> str:
        """The record file."""
    @property
    def state(self) -> _StateWord | None:
        """None when no mountpoint is recorded (or the record cannot be read); "mounting",
        "unmounting", "creating" while a call is at that step, "interrupted" when it was killed."""
    @property
    def found(self) -> str | None:
        """When foreign: the source of what is mounted at the recorded path."""

# Helpers of the `quarvo` command; not part of the library.
def _mask_url(url: str, /) -> str: ...
def _mask_secrets(text: str, /) -> str: ...
def _mask_log(data: bytes, metadata_url: str | None = None, /) -> bytes: ...
def _error(kind: str, /, *values: str | int | float) -> QuarvoError: ...
def _error_kinds() -> dict[str, tuple[str, ...]]: ...
def _storage_backend_version(path: str, /) -> str | None: ...
def _command_timeout() -> float | None: ...
def _status_text(
    name: str | None = None, json: bool = False, show_secrets: bool = False, colour: bool = False, *, fd: int = -1
) -> tuple[bytes | None, str, bool]: ...
def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], /) -> str: ...
def _escaped(text: str, /) -> str: ...
def _managed_storage_backend() -> str: ...
def _volume_names() -> list[str]: ...
def _check_settings(settings: Mapping[str, str | bool | None], /) -> None: ...
def _autostart_unit() -> dict[str, Any]: ...
def _autostart_write(command: list[str], /) -> None: ...
def _autostart_remove() -> bool: ...
def _autostart_text(command: list[str], /) -> str: ...
def _autostart_line(command: list[str], /) -> str: ...
def _check_mountpoint(path: str, /) -> None: ...

_INSTALL_ADVICE: str
_DEFAULT_COMMAND_TIMEOUT: float
_BACKEND_NAME_RULE: str
_SERVED_STATES: tuple[str, ...]
_LIVE_STATES: tuple[str, ...]
_SETTING_KEYS: tuple[str, ...]
