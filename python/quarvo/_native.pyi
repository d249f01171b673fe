# Types of the extension module quarvo._native.
#
# None of the classes can be instantiated or subclassed from Python: Quarvo
# comes from Quarvo.from_env(), the others are returned by its methods. Every
# attribute is read-only.

from typing import TypedDict, final

__all__ = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]

class QuarvoError(Exception):
    """Every failure of the system; args[0] is the user-facing message."""

# The doctor's report. At run time it is a plain dict; these TypedDicts exist
# only for type checkers.
class StorageBackendReport(TypedDict):
    found: bool
    path: str | None
    version: str | None
    managed: bool

class MountSupportReport(TypedDict):
    found: bool
    detail: str
    fix: str | None

class DoctorReport(TypedDict):
    home: str
    config: str
    storage_backend: StorageBackendReport
    mount_support: MountSupportReport

def doctor() -> DoctorReport: ...
@final
class Quarvo:
    @staticmethod
    def from_env() -> Quarvo: ...
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
    ) -> VolumeInfo: ...
    def mount(
        self, name: str, path: str, *, foreground: bool = False, check_storage: bool = False
    ) -> MountInfo: ...
    def flush(self, name: str) -> None: ...
    def unmount(self, name: str, *, force: bool = False) -> None: ...
    def status(self, name: str | None = None) -> Status: ...
    def mount_all(self) -> dict[str, MountInfo | QuarvoError]: ...

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
