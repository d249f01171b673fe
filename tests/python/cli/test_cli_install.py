"""`quarvo doctor --install`: the managed storage backend program."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

# Only the managed program can be found, so the report shows it.
pytestmark = pytest.mark.usefixtures("no_backend")


def test_install_replaces_the_managed_program(run, home: Path, fake_backend: Path) -> None:
    managed = home / "bin" / "quarvo-storage"
    managed.parent.mkdir(parents=True)
    managed.write_text("an older program")
    result = run("doctor", "--install", "--from", str(fake_backend), "--json")
    backend = json.loads(result.stdout)["storage_backend"]
    assert backend == {"found": True, "path": str(managed), "version": "1.3.0", "managed": True}
    assert managed.read_bytes() == fake_backend.read_bytes() and os.access(managed, os.X_OK)
    assert os.listdir(managed.parent) == ["quarvo-storage"]
    # The home was made by the test with mode 0755, not by Quarvo.
    assert result.stderr.splitlines()[-2:] == [
        f"installed {managed}",
        f"warning: the Quarvo home {home} is open to other users (mode 0755); `chmod 700 {home}` makes it private",
    ]


@pytest.mark.parametrize(
    "source, detail",
    [
        ("missing", "{source}: No such file or directory"),
        ("/etc/passwd", "{source} is not a storage backend: `{source} version` tells no version"),
        ("/bin/true", "{source} is not a storage backend: `{source} version` tells no version"),
    ],
)
def test_install_of_no_backend_fails_and_leaves_nothing(
    run, home: Path, tmp_path: Path, source: str, detail: str
) -> None:
    source = str(tmp_path / source) if source == "missing" else source
    result = run("doctor", "--install", "--from", source)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == (
        "quarvo: error: could not install the Quarvo storage backend: " + detail.format(source=source)
    )
    assert not (home / "bin").exists() or os.listdir(home / "bin") == []


def test_doctor_reports_a_program_without_a_version_as_unusable(run, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("QUARVO_STORAGE_BACKEND_BIN", "/bin/true")
    result = run("doctor")
    assert result.returncode == 1
    assert "storage backend:  /bin/true is not usable: `/bin/true version` tells no version" in result.stdout
