"""Reading the mount table and judging a recorded mountpoint's state."""

from __future__ import annotations

import pytest

from quarvo.cli import mount_state, parse_mountinfo

MOUNTINFO = "\n".join([
    "22 27 0:21 / /proc rw,relatime - proc proc rw",
    r"45 27 0:40 / /mnt/team\040data rw,nosuid shared:12 master:3 - fuse.juicefs JuiceFS:team rw,user_id=0",
    "46 27 0:41 / /srv/vol rw - tmpfs tmpfs rw",
    "47 46 0:42 / /srv/vol rw - fuse.juicefs JuiceFS:vol rw",
    r"48 27 0:43 / /tmp/back\134slash rw - ext4 /dev/vdb rw",
    "not a mountinfo line",
    "",
])


def test_mountinfo_is_decoded_and_stacked_mounts_win() -> None:
    assert parse_mountinfo(MOUNTINFO) == {
        "/proc": "proc",
        "/mnt/team data": "fuse.juicefs",
        "/srv/vol": "fuse.juicefs",
        "/tmp/back\\slash": "ext4",
    }


@pytest.mark.parametrize(
    "recorded, answers, state",
    [
        (None, True, None),
        ("/mnt/team data", True, "mounted"),
        ("/mnt/other/../team data/", True, "mounted"),
        ("/mnt/team data", False, "stale"),  # the daemon is gone
        ("/tmp/back\\slash", True, "stale"),  # something else is mounted there
        ("/nowhere", True, "stale"),
    ],
)
def test_state_of_a_recorded_mountpoint(recorded: str | None, answers: bool, state: str | None) -> None:
    table = parse_mountinfo(MOUNTINFO)
    assert mount_state(recorded, table, answers=lambda path: answers) == state


def test_without_a_mount_table_a_recorded_mountpoint_counts_as_mounted() -> None:
    assert mount_state("/mnt/x", None) == "mounted"
