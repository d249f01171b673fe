"""Quarvo: named, shareable POSIX volumes on a developer's machine."""

from quarvo._native import QuarvoError

__all__ = ["QuarvoError"]
