"""The module, its entry point and the exception type."""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quarvo
from quarvo import _native

NAMES = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]


def test_all_lists_the_names_in_order_and_the_package_reexports_them() -> None:
    assert _native.__all__ == NAMES
    assert quarvo.__all__ == NAMES
    assert all(getattr(quarvo, name) is getattr(_native, name) for name in NAMES)
    assert "PanicException" not in dir(_native)
    assert (_native.__name__, _native.__doc__) == ("quarvo._native", "")


def test_initialising_again_in_the_same_interpreter_returns_the_first_module(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    monkeypatch.delitem(sys.modules, "quarvo._native")
    assert importlib.import_module("quarvo._native") is _native


def test_another_interpreter_cannot_load_the_module(tmp_path: Path) -> None:
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this Python cannot start a sub-interpreter from a test")
    out = tmp_path / "result"
    inner = textwrap.dedent(f"""
        try:
            import quarvo._native
            result = "imported"
        except ImportError as e:
            result = "ImportError: " + str(e)
        open({str(out)!r}, "w").write(result)
    """)
    outer = f"import _testcapi, quarvo._native\n_testcapi.run_in_subinterp({inner!r})\n"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    subprocess.run([sys.executable, "-c", outer], check=True, env=env)
    assert out.read_text().startswith("ImportError: ")


def test_quarvo_error_type() -> None:
    error = quarvo.QuarvoError
    assert (error.__module__, error.__name__, error.__doc__) == ("quarvo", "QuarvoError", None)
    assert error.__bases__ == (Exception,)


def test_a_failure_carries_its_message_as_the_only_argument(q: quarvo.Quarvo) -> None:
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.status("missing")
    assert failure.value.args == ('volume "missing" does not exist',)
    assert str(failure.value) == 'volume "missing" does not exist'


def test_messages_escape_names(q: quarvo.Quarvo) -> None:
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.init('a "b"\n')
    assert str(failure.value) == (
        "invalid volume name \"a \\\"b\\\"\\n\"; use only letters, numbers, '.', '_' and '-'"
    )
