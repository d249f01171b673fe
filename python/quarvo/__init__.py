"""Quarvo: named, shareable POSIX volumes on a developer's machine.

Everything here is the native module's (quarvo._native), whose own __all__
keeps the first six names; the module functions after them need no Quarvo
object, and no backend program unless they say so.
"""

from quarvo._native import (
    MountInfo,
    Quarvo,
    QuarvoError,
    Status,
    VolumeInfo,
    VolumeState,
    check_new_volume_name,
    diagnose,
    doctor,
    finish_removals,
    inspect,
    volume_states,
)

__all__ = [
    "QuarvoError",
    "doctor",
    "Quarvo",
    "VolumeInfo",
    "MountInfo",
    "Status",
    "VolumeState",
    "volume_states",
    "inspect",
    "diagnose",
    "check_new_volume_name",
    "finish_removals",
]
