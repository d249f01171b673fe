"""Hostile names, paths, environment values and home files end in a clear
QuarvoError (TypeError for what Python cannot hand over): never a crash, a
shortened path or a write outside the home."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import quarvo
from support import backend_calls

NAME_TAIL = "; use only letters, numbers, '.', '_' and '-'"


def tree(root: Path, skip: Path) -> set[str]:
    """Every path under `root` except those under `skip`."""
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        if Path(dirpath) == skip:
            dirnames.clear()
            continue
        found.update(os.path.join(dirpath, n) for n in dirnames + filenames)
    return found - {str(skip)}


@pytest.fixture
def outside_home(tmp_path: Path, home: Path, backend_log: Path):
    before = tree(tmp_path, home)
    yield
    assert tree(tmp_path, home) - before - {str(backend_log)} == set()


CALLS = {
    "init": lambda q, n: q.init(n, dev=True),
    "ensure_volume": lambda q, n: q.ensure_volume(n, metadata="sqlite3:///m", store="s3://b"),
    "mount": lambda q, n: q.mount(n, "mnt"),
    "flush": lambda q, n: q.flush(n),
    "unmount": lambda q, n: q.unmount(n),
    "status": lambda q, n: q.status(n),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize(
    "name, quoted",
    [("a/b", '"a/b"'), ("../up", '"../up"'), ("/abs", '"/abs"'), ("a\0b", '"a\\u{0}b"'),
     ("a\nb", '"a\\nb"'), ("", '""'), ("a b", '"a b"'), ("caf\u00e9", '"caf\u00e9"'), ("x" * 4096 + "/", None)],
)
def test_invalid_names_touch_nothing(call: str, name: str, quoted: str | None, q: quarvo.Quarvo, home: Path,
                                     backend_log: Path, outside_home: None) -> None:
    with pytest.raises(quarvo.QuarvoError) as e:
        CALLS[call](q, name)
    if quoted is not None:
        assert str(e.value) == f"invalid volume name {quoted}{NAME_TAIL}"
    assert backend_calls(backend_log) == []
    assert list((home / "volumes").iterdir()) == [] and list((home / "dev").iterdir()) == []


@pytest.mark.parametrize("call", ["init", "ensure_volume", "status", "flush", "unmount"])
def test_a_mebibyte_name_is_a_clear_error(call: str, q: quarvo.Quarvo, outside_home: None) -> None:
    with pytest.raises(quarvo.QuarvoError) as e:
        CALLS[call](q, "n" * (1 << 20))
    assert len(str(e.value).splitlines()) == 1


@pytest.mark.parametrize("path", ["mnt\0/etc", "mnt\0"])
def test_mount_path_with_nul_is_refused_not_shortened(path: str, q: quarvo.Quarvo, tmp_path: Path,
                                                      backend_log: Path) -> None:
    q.init("v", dev=True)
    with pytest.raises(quarvo.QuarvoError):
        q.mount("v", path)
    assert not (tmp_path / "mnt").exists()
    assert [c[0] for c in backend_calls(backend_log)] == ["format"]


@pytest.mark.parametrize("field", ["metadata", "store", "storage", "bucket"])
def test_backend_argument_with_nul_is_refused_not_shortened(field: str, q: quarvo.Quarvo, home: Path,
                                                            backend_log: Path) -> None:
    args = {"metadata": "sqlite3:///m", "storage": "s3", "bucket": "s3://b"}
    if field == "store":
        args = {"metadata": "sqlite3:///m", "store": "s3://b"}
    args[field] = args.get(field, "s3://b") + "\0tail"
    with pytest.raises(quarvo.QuarvoError):
        q.init("v", **args)
    assert backend_calls(backend_log) == []
    assert not (home / "volumes" / "v.toml").exists()


def test_mount_path_that_is_not_utf8_is_a_type_error(q: quarvo.Quarvo, tmp_path: Path) -> None:
    q.init("v", dev=True)
    with pytest.raises(TypeError, match="path"):
        q.mount("v", os.fsdecode(b"mnt\xff"))
    assert os.listdir(tmp_path) == ["home"]


def test_home_and_backend_paths_that_are_not_utf8(tmp_path: Path, fake_backend: Path,
                                                  monkeypatch: pytest.MonkeyPatch) -> None:
    home = os.fsencode(tmp_path) + b"/h\xffome"
    backend = os.fsencode(tmp_path) + b"/back\xfeend"
    os.symlink(os.fsencode(fake_backend), backend)
    monkeypatch.setitem(os.environb, b"QUARVO_HOME", home)
    monkeypatch.setitem(os.environb, b"QUARVO_STORAGE_BACKEND_BIN", backend)
    report = quarvo.doctor()
    assert report["home"] == os.fsdecode(home).replace("\udcff", "\ufffd")
    assert report["storage_backend"]["path"] == os.fsdecode(backend).replace("\udcfe", "\ufffd")
    q = quarvo.Quarvo.from_env()
    info = q.init("v", dev=True)
    assert "\ufffd" in info.metadata_url and "\ufffd" in info.bucket
    assert os.path.isfile(home + b"/volumes/v.toml")
    assert [v.name for v in q.status().volumes] == ["v"]


def make_config(kind: str, path: Path) -> None:
    if kind == "huge":
        path.write_text("# padding\n" * (1 << 19) + 'other = "value"\n')
    elif kind == "binary":
        path.write_bytes(bytes(range(256)) * 64)
    elif kind == "directory":
        path.mkdir()
    elif kind == "symlink-loop":
        path.symlink_to(path.name)
    elif kind == "wrong-type":
        path.write_text("storage_backend_bin = [1, 2]\n")


@pytest.mark.parametrize("kind, error", [
    ("huge", None), ("symlink-loop", None),  # unreadable metadata means no configuration
    ("binary", "I/O error at {}: "), ("directory", "I/O error at {}: Is a directory (os error 21)"),
    ("wrong-type", "TOML parse error at line 1, column 23"),
])
def test_hostile_config_file(kind: str, error: str | None, home: Path) -> None:
    home.mkdir()
    config = home / "config.toml"
    make_config(kind, config)
    for call in (quarvo.Quarvo.from_env, quarvo.doctor):
        if error is None:
            call()
            continue
        with pytest.raises(quarvo.QuarvoError) as e:
            call()
        assert str(e.value).startswith(error.format(config))


RECORD = {
    "name": '"v"', "backend": '"juicefs"', "metadata_url": '"sqlite3:///m"', "storage": '"s3"',
    "bucket": '"s3://b"', "dev": "false", "mountpoint": '"/mnt"', "created_at": '"t"', "updated_at": '"t"',
}


@pytest.mark.parametrize("field", RECORD)
@pytest.mark.parametrize("wrong", ["1", "[]", "{ a = 1 }", "1979-05-27T07:32:00Z", "other-scalar"])
def test_record_field_of_wrong_type(field: str, wrong: str, q: quarvo.Quarvo, home: Path,
                                    backend_log: Path) -> None:
    if wrong == "other-scalar":
        wrong = '"yes"' if field == "dev" else "true"
    record = "".join(f"{k} = {wrong if k == field else v}\n" for k, v in RECORD.items())
    (home / "volumes" / "v.toml").write_text(record)
    for call in (q.status, lambda: q.status("v"), lambda: q.mount("v", "mnt"), lambda: q.unmount("v"),
                 lambda: q.flush("v"), lambda: q.ensure_volume("v", dev=True)):
        with pytest.raises(quarvo.QuarvoError) as e:
            call()
        if "mount support" not in str(e.value):
            assert str(e.value).startswith("TOML parse error at line ")
            assert "invalid type" in str(e.value)
    assert backend_calls(backend_log) == []
