"""Mountpoints that cannot work, refused with the real client before anything runs."""

from __future__ import annotations

import os

import pytest
from real_support import Machine, mount_table

import quarvo

pytestmark = pytest.mark.real_backend


# A volume's own objects directory (the client would serve it its own blocks),
# anywhere in the home, a directory the mount would hide the home under, and a
# path that is not UTF-8 (the client would mount at a lossily decoded path):
# refused at once, naming the path, with nothing made or mounted.
@pytest.mark.parametrize(
    ("where", "said"),
    [
        ("home/dev/data/objects/mnt", "it is inside the Quarvo home"),
        ("home/new/mnt", "it is inside the Quarvo home"),
        (".", "the mount would hide the Quarvo home"),
        ("caf\udce9/mnt", "is not valid UTF-8: the storage backend would mount at another path"),
    ],
)
def test_a_mountpoint_that_cannot_work_is_refused(machine: Machine, where: str, said: str) -> None:
    machine.cli("init", "data", "--dev")
    path = machine.root / where
    before = set(mount_table())
    result = machine.cli("mount", "data", os.fsdecode(os.fsencode(path)), check=False)
    assert result.returncode == 1, result.stderr
    error = result.stderr.splitlines()[-1]
    assert error.startswith("quarvo: error: ") and said in error, result.stderr
    assert "mounting data" not in result.stderr  # refused before the progress line
    with pytest.raises(quarvo.QuarvoError) as raised:  # the library refuses it as the command does
        quarvo.Quarvo.from_env().mount("data", os.fsdecode(os.fsencode(path)))
    assert (raised.value.kind, said in str(raised.value)) == ("InvalidArgument", True)
    assert set(mount_table()) == before and machine.state("data") is None
    assert not (machine.root / "home" / "new").exists() and not (machine.root / "caf\udce9").exists()
