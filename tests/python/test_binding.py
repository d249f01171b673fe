"""What the extension adds over the service: its names and classes (and a type stub
that agrees with them), the conversion of arguments, errors as exceptions with their
fields, results as Python values, waits that release the interpreter lock and end on
Ctrl-C, and no leak."""

from __future__ import annotations

import ast
import fcntl
import gc
import inspect
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path

import numpy
import pytest
from support import backend_calls, children_of_this_process

import quarvo
from quarvo import _native

ATTRIBUTES = {"Quarvo": [], "VolumeInfo": ["name", "metadata_url", "storage", "bucket", "dev", "mountpoint"],
              "MountInfo": ["name", "mountpoint"], "Status": ["volumes"]}  # fmt: skip
BASE = {"init": {"name": "v", "dev": True}, "mount": {"name": "v", "path": "mnt"}, "unmount": {"name": "v"},
        "status": {"name": "v"}}  # fmt: skip
REJECTED = [("init", "name", v) for v in (b"v", pathlib.Path("v"), None, "lone \udc80 surrogate")] + [
    ("mount", "path", pathlib.Path("mnt")), ("init", "metadata", b"m"), ("status", "name", 1), ("init", "dev", None),
    ("init", "dev", 1), ("mount", "foreground", numpy.int64(1)), ("unmount", "force", "yes")]  # fmt: skip
FATAL = (
    "2026/12/06 17:50:10.313070 juicefs[1] <FATAL>: Load metadata: WRONGPASS invalid username-password pair "
    "for redis://:leaked@127.0.0.1:6379/1 [format@format.go:553]\n"
)
ITERATIONS = int(os.environ.get("QUARVO_LEAK_ITERATIONS", "5000"))
COMMAND = "format redis://@127.0.0.1:6379/1 shared --storage s3 --bucket s3://b --trash-days 0 --no-update --no-agent"
REASON = "Load metadata: WRONGPASS invalid username-password pair for redis://:****@127.0.0.1:6379/1"


MODULE_FUNCTIONS = ["volume_states", "inspect", "diagnose", "check_new_volume_name", "finish_removals"]


def test_exports_the_exception_type_and_signatures(q: quarvo.Quarvo) -> None:
    assert _native.__all__ == ["QuarvoError", "doctor", *ATTRIBUTES]
    assert quarvo.__all__ == [*_native.__all__, "VolumeState", *MODULE_FUNCTIONS]
    assert all(getattr(quarvo, name) is getattr(_native, name) for name in quarvo.__all__)
    error = quarvo.QuarvoError
    assert (error.__module__, error.__name__, error.__bases__) == ("quarvo", "QuarvoError", (Exception,))
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.status("missing")
    assert failure.value.args == (str(failure.value),)
    signature = "(self, /, name, path, *, foreground=False, check_storage=False, settings=None)"
    assert str(inspect.signature(quarvo.Quarvo.mount)) == signature
    with pytest.raises(TypeError):
        q.unmount("missing", True)  # type: ignore[misc]  # flags are keyword-only


def test_doctor_report_is_a_dict_in_a_fixed_order(q: quarvo.Quarvo, fake_backend: Path) -> None:
    report = quarvo.doctor()
    assert list(report) == ["home", "config", "storage_backend", "mount_support"]
    assert list(report["mount_support"]) == ["found", "detail", "fix"]
    assert report["storage_backend"] == {"found": True, "path": str(fake_backend), "version": "1.3.0", "managed": False}
    assert q.doctor() == report


# Any finding of stubtest fails, a name the extension has and the stub lacks included.
def test_stub_matches_the_extension() -> None:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quarvo._native"], capture_output=True, env=env)
    assert result.returncode == 0, (result.stdout + result.stderr).decode()


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_class_traits(q: quarvo.Quarvo, name: str) -> None:
    cls = getattr(quarvo, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    q.init("v", dev=True)
    obj = {"Quarvo": lambda: q, "VolumeInfo": lambda: q.status("v").volumes[0], "Status": q.status,
           "MountInfo": lambda: q.mount("v", "mnt")}[name]()  # fmt: skip
    for attribute in ["extra", *ATTRIBUTES[name]]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, None)
    with pytest.raises(AttributeError):
        obj.__dict__  # noqa: B018
    assert name != "Status" or obj.volumes is not obj.volumes  # a new list on every read


# The result objects are values: equal when their fields are, whichever call made
# them, hashed alike, and shown with their fields (passwords masked); a change of
# one field makes them unequal. A VolumeState's error compares by kind and message.
@pytest.mark.filterwarnings("ignore:it was already mounted")
def test_results_are_values(q: quarvo.Quarvo, home: Path, mounts: None) -> None:
    q.init("v", metadata="redis://:pw@127.0.0.1:6379/1", store="s3://b")
    where = q.mount("v", "mnt").mountpoint
    made = {"MountInfo": lambda: q.mount("v", "mnt"), "VolumeInfo": lambda: q.status("v").volumes[0],
            "Status": q.status, "VolumeState": lambda: q.volume_states()[0]}  # fmt: skip
    first = {name: make() for name, make in made.items()}
    for name, make in made.items():
        again = make()
        assert again == first[name] and hash(again) == hash(first[name]) and not again != first[name], name
    assert repr(first["MountInfo"]) == f"MountInfo(name='v', mountpoint={where!r})"
    volume = first["VolumeInfo"]
    assert repr(volume) == (
        "VolumeInfo(name='v', metadata_url='redis://:****@127.0.0.1:6379/1', storage='s3', bucket='s3://b', "
        f"dev=False, mountpoint={where!r})"
    )
    assert repr(first["Status"]) == f"Status(volumes=[{volume!r}])"
    assert repr(first["VolumeState"]) == (
        f"VolumeState(name='v', volume={volume!r}, error=None, path={str(home / 'volumes' / 'v.toml')!r}, "
        "state='mounted', found=None)"
    )
    q.unmount("v")
    for name, make in made.items():
        if name != "MountInfo":
            assert make() != first[name], name  # the mountpoint is gone
    assert volume != 1 and len({volume, q.status("v").volumes[0]}) == 2
    with pytest.raises(TypeError):
        volume < volume  # noqa: B015  # values without an order
    (home / "volumes" / "broken.toml").write_text("not toml")
    broken, again = q.volume_states("broken")[0], q.volume_states("broken")[0]
    assert broken.error is not again.error and broken == again and hash(broken) == hash(again)
    assert repr(broken).startswith("VolumeState(name='broken', volume=None, error=QuarvoError(")
    (home / "volumes" / "broken.toml").write_text("still not toml")
    assert q.volume_states("broken")[0] != broken  # another message


# A caller's bound is a positive number of seconds, or None for the configured one.
@pytest.mark.parametrize("value", [0, -1.5, float("nan"), float("inf"), 10**400, True, "5", b"5"])
def test_a_bound_is_a_positive_number_of_seconds(value) -> None:
    with pytest.raises((TypeError, quarvo.QuarvoError)) as refused:
        quarvo.Quarvo.from_env(command_timeout=value)
    if isinstance(value, (bool, str, bytes)):
        assert refused.type is TypeError and "'command_timeout'" in str(refused.value)
    else:
        assert refused.value.kind == "InvalidArgument"  # type: ignore[union-attr]
        assert str(refused.value) == f"command_timeout must be a positive number of seconds, not {value!r}"


@pytest.mark.parametrize(("method", "param", "value"), REJECTED)
def test_rejected_values_name_the_parameter(q: quarvo.Quarvo, backend_log: Path, method: str, param: str, value):
    with pytest.raises(TypeError, match=f"'{param}'"):
        getattr(q, method)(**{**BASE[method], param: value})
    assert backend_calls(backend_log) == []


def test_numpy_booleans_and_utf8_text_reach_the_backend(q: quarvo.Quarvo, backend_log: Path) -> None:
    assert q.init("v", dev=numpy.bool_(False), metadata="redis://höst/1", storage="s3", bucket="b").dev is False
    q.init("w", dev=numpy.bool_(True))
    q.mount("w", "mnt", check_storage=numpy.bool_(True))
    format_v, _, mount = backend_calls(backend_log)
    assert format_v[1:3] == ["redis://höst/1", "v"] and "--check-storage" in mount


# Every kind of the table, the values `_error` takes for it and the fields they fill;
# every other field is None.
KINDS = {
    "InvalidVolumeName": (["My_Vol"], {"name": "My_Vol"}),
    "VolumeExists": (["v"], {"name": "v"}),
    "VolumeNotFound": (["v"], {"name": "v"}),
    "StorageBackendMissing": ([], {}),
    "AutoInstallUnsupported": (["plan9"], {"platform": "plan9"}),
    "StorageBackendInstallFailed": (["disk full"], {"detail": "disk full"}),
    "UnsupportedStoreUrl": (["ftp://h"], {"url": "ftp://h"}),
    "MissingMetadataUrl": ([], {}),
    "MissingObjectStorage": ([], {}),
    "MountpointNotDirectory": (["/m"], {"path": "/m"}),
    "VolumeNotMounted": (["v"], {"name": "v"}),
    "MountSupportUnavailable": (["no FUSE", "install it"], {"detail": "no FUSE", "fix": "install it"}),
    "CommandFailed": (["/j", "format", "exit status: 2", "o", "e"], {"program": "/j", "command_args": "format",
                      "status": "exit status: 2", "stdout": "o", "stderr": "e"}),
    "IoAt": (["/p", 2], {"path": "/p", "errno": 2, "source": "No such file or directory (os error 2)"}),
    "Io": ([13], {"errno": 13, "source": "Permission denied (os error 13)"}),
    "TomlParse": (["TOML parse error", "/c.toml"], {"detail": "TOML parse error", "path": "/c.toml"}),
    "TomlWrite": (["bad"], {"detail": "bad"}),
    "TimedOut": (["juicefs format", 2.5], {"command": "juicefs format", "seconds": 2.5}),
    "Interrupted": ([], {}),
    "VolumeMounted": (["v", "/m"], {"name": "v", "path": "/m"}),
    "MountFailed": (["v", "/m", "gone"], {"name": "v", "path": "/m", "detail": "gone"}),
    "VolumeMismatch": (["v", "it holds w"], {"name": "v", "detail": "it holds w"}),
    "InvalidArgument": (["bad", "/p"], {"detail": "bad", "path": "/p"}),
    "InvalidBackendVolumeName": (["My_Vol"], {"name": "My_Vol"}),
    "UnsafePath": (["/h", "the Quarvo home belongs to nobody", "remove it"],
                   {"path": "/h", "detail": "the Quarvo home belongs to nobody", "fix": "remove it"}),
    "FlushIncomplete": (["v", "/m", 65536, 3.0], {"name": "v", "path": "/m", "held_bytes": 65536, "seconds": 3.0}),
    "VolumeBusy": (["v", "a daemon runs"], {"name": "v", "detail": "a daemon runs"}),
}  # fmt: skip


def test_each_kind_has_its_fields_and_none_other() -> None:
    assert list(KINDS) == list(_native._error_kinds())
    for kind, (values, fields) in KINDS.items():
        e = _native._error(kind, *values)
        assert (e.kind, e.args, e.reason, e.log) == (kind, (str(e),), None, None)
        assert {name: value for name, value in vars(e).items() if value is not None} == {"kind": kind, **fields}
        assert not hasattr(e, "__notes__")


# The stub's Literal lists the table's kinds in its order, and its attributes are the exception's.
def test_stub_holds_the_kinds_table() -> None:
    stub = ast.parse((Path(_native.__file__).parent / "_native.pyi").read_text())
    error = next(node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "QuarvoError")
    attributes = {node.target.id: node.annotation for node in error.body if isinstance(node, ast.AnnAssign)}
    assert [kind.value for kind in attributes["kind"].slice.elts] == list(_native._error_kinds())
    assert list(attributes) == list(vars(_native._error("Interrupted")))


# Real refusals and failures with the fields they fill; the backend's reason, masked, is
# also the exception's note.
@pytest.mark.parametrize(
    "call, fields",
    [
        (lambda q: q.init("w", metadata="-h", store="file:///x"),
         {"kind": "InvalidArgument", "detail": "metadata URL \"-h\" begins with '-', which the storage backend would "
          "read as an option", "path": None}),
        (lambda q: q.mount("v", "a\0b"), {"kind": "InvalidArgument", "path": "a\0b"}),
        (lambda q: q.init("slow", dev=True), {"kind": "TimedOut", "command": "fake_backend format", "seconds": 0.25}),
        (lambda q: quarvo.Quarvo.from_env(command_timeout=0.5).init("slow", dev=True),  # the caller's bound first
         {"kind": "TimedOut", "seconds": 0.5}),
        (lambda q: q.init("shared", metadata="redis://:pw@127.0.0.1:6379/1", store="s3://b"),
         {"kind": "CommandFailed", "status": "exit status: 1", "log": None, "name": None, "reason": REASON,
          "stderr": FATAL.replace("leaked", "****"), "command_args": COMMAND}),
    ],
)  # fmt: skip
def test_real_errors_and_their_fields(q: quarvo.Quarvo, monkeypatch: pytest.MonkeyPatch, call, fields: dict) -> None:
    q.init("v", dev=True)
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "format:1")
    monkeypatch.setenv("FAKE_BACKEND_STDERR", FATAL)
    if fields["kind"] == "TimedOut":
        monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:60000")
        monkeypatch.setenv("QUARVO_COMMAND_TIMEOUT", "0.25")
    with pytest.raises(quarvo.QuarvoError) as failure:
        call(quarvo.Quarvo.from_env())
    e = failure.value
    assert {name: getattr(e, name) for name in fields} == fields, e
    assert getattr(e, "__notes__", None) == ([REASON] if e.reason else None)
    if e.reason and sys.version_info >= (3, 11):  # where tracebacks show notes
        assert traceback.format_exception(e)[-1] == REASON + "\n"


# Waits: the child or the lock wait is given up, and KeyboardInterrupt reaches the caller.
# The signal comes from another thread, which runs only while the call has let go of
# the interpreter lock.
@pytest.mark.parametrize("wait", ["backend command", "registry lock"])
def test_ctrl_c_ends_a_wait_while_other_threads_run(
    wait: str, q: quarvo.Quarvo, home: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("FAKE_BACKEND_SLEEP", "format:60000")
    held = os.open(home / "lock", os.O_RDWR | os.O_CREAT)
    if wait == "registry lock":
        fcntl.flock(held, fcntl.LOCK_EX)  # another open file: the call must wait for it
    before = children_of_this_process()
    # Python's own handler even where SIGINT came in ignored (a background job
    # of a shell without job control): else the lock wait would never end.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            q.init("slow", dev=True)
    finally:
        os.close(held)
        signal.signal(signal.SIGINT, handler)
    assert time.monotonic() - start < 5  # the call ended long before the backend's minute
    assert set(children_of_this_process()) <= set(before) and q.status().volumes == []  # no child left behind


def resident_bytes() -> int:
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Resident memory stays flat over QUARVO_LEAK_ITERATIONS rounds of every method and getter.
def test_calls_do_not_grow_resident_memory(q: quarvo.Quarvo, home: Path, monkeypatch: pytest.MonkeyPatch, mounts: None):
    q.init("v", dev=True)
    q.init("idle", dev=True)
    mounted = q.mount("v", "mnt")
    # From here on only `q` knows the backend: from_env and the doctors start no process;
    # and a new volume's format fails.
    monkeypatch.delenv("QUARVO_STORAGE_BACKEND_BIN")
    monkeypatch.setenv("PATH", str(home / "bin"))
    monkeypatch.setenv("FAKE_BACKEND_FAIL", "format:3")
    failing = [quarvo.Quarvo.from_env, lambda: q.status(name="missing"), lambda: q.init("v", dev=True),
               lambda: q.init("bad name"), lambda: q.mount("missing", "mnt"), lambda: q.flush("idle"),
               lambda: q.unmount("idle", force=True), lambda: q.init(1), lambda: q.init("v", True),
               lambda: q.init("v", metadata="lone \udc80"), lambda: q.mount("v", Path("mnt")),
               lambda: q.unmount("v", force=None)]  # fmt: skip

    def one_round(i: int) -> None:
        for info in (*q.status().volumes, q.status("v").volumes[0]):
            (info.name, info.metadata_url, info.storage, info.bucket, info.dev, info.mountpoint)
        (mounted.name, mounted.mountpoint, quarvo.doctor(), q.doctor())
        for value in (mounted, q.status(), *q.volume_states()):
            (repr(value), hash(value), value == value)
        q.ensure_volume("v", metadata="m://x", store="file:///x")
        for call in failing:
            with pytest.raises((quarvo.QuarvoError, TypeError)):
                call()
        if i % 100 == 0:  # the calls that run the backend, less often
            with pytest.raises(quarvo.QuarvoError):
                q.init("new", dev=True)
            q.unmount("v")
            q.mount("v", "mnt")
            q.flush("v")

    for i in range(500):
        one_round(i)
    before = resident_bytes()
    for i in range(ITERATIONS):
        one_round(i)
    assert resident_bytes() - before < 2 * 1024 * 1024
