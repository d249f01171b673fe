"""Quarvo: named, shareable POSIX volumes on a developer's machine."""

from quarvo._native import MountInfo, Quarvo, QuarvoError, Status, VolumeInfo, doctor

__all__ = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]
