"""The module, its entry point and the exception type."""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quarvo
from quarvo import _native

NAMES = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]


def test_module_traits(monkeypatch: pytest.MonkeyPatch) -> None:
    assert _native.__all__ == quarvo.__all__ == NAMES
    assert all(getattr(quarvo, name) is getattr(_native, name) for name in NAMES)
    assert "PanicException" not in dir(_native)
    assert (_native.__name__, _native.__doc__) == ("quarvo._native", "")
    monkeypatch.delitem(sys.modules, "quarvo._native")
    assert importlib.import_module("quarvo._native") is _native  # initialising again returns the first module


def test_another_interpreter_cannot_load_the_module(tmp_path: Path) -> None:
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this Python cannot start a sub-interpreter from a test")
    out = tmp_path / "result"
    inner = ("try:\n    import quarvo._native\n    r = 'imported'\nexcept ImportError as e:\n"
             f"    r = 'ImportError: ' + str(e)\nopen({str(out)!r}, 'w').write(r)\n")
    outer = f"import _testcapi, quarvo._native\n_testcapi.run_in_subinterp({inner!r})\n"
    subprocess.run([sys.executable, "-c", outer], check=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.read_text().startswith("ImportError: ")


def test_quarvo_error(q: quarvo.Quarvo) -> None:
    error = quarvo.QuarvoError
    assert (error.__module__, error.__name__, error.__doc__, error.__bases__) == ("quarvo", "QuarvoError", None,
                                                                                  (Exception,))
    with pytest.raises(quarvo.QuarvoError) as failure:
        q.status("missing")
    assert failure.value.args == ('volume "missing" does not exist',)
