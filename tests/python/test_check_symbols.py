"""scripts/check_symbols.py, the gate of the release wheels, against small modules
built here by this machine's C compiler (glibc 2.36 and its g++: each fault is one
that building the module without the release toolchain really makes)."""

from __future__ import annotations

import platform
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

pytest.importorskip("elftools", reason="the gate reads ELF files with pyelftools (the test extras)")
if not shutil.which("cc") or not shutil.which("c++"):
    pytest.skip("no C compiler to build modules with", allow_module_level=True)

GATE = Path(__file__).resolve().parents[2] / "scripts" / "check_symbols.py"
ENTRY = "int PyInit__native(void) {"
ONLY_ENTRY = "{ global: PyInit__native; local: *; };"
HOST = platform.machine()


def build(tmp_path: Path, source: str, *, cxx: bool = False, hide: bool = True) -> Path:
    src, module, script = tmp_path / ("m.cpp" if cxx else "m.c"), tmp_path / "m.so", tmp_path / "exports.map"
    src.write_text(source)
    script.write_text(ONLY_ENTRY)
    flags = [f"-Wl,--version-script={script}"] if hide else []
    # Symbols left undefined are the loader's business, as in a Python module.
    command = ["c++" if cxx else "cc", "-shared", "-fPIC", "-O1", "-o", str(module), str(src), *flags]
    subprocess.run(command, check=True, capture_output=True, timeout=120)
    return module


def gate(*args: str | Path) -> tuple[int, str]:
    result = subprocess.run([sys.executable, str(GATE), *map(str, args)], capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize(
    ("source", "cxx", "hide", "fault"),
    [
        ("#include <string.h>\n" + ENTRY + " return (int)strlen(__func__); }", False, True, None),
        # The Python C API is the interpreter's to provide.
        ("void *PyLong_FromLong(long);\n" + ENTRY + " return PyLong_FromLong(1) != 0; }", False, True, None),
        (
            "#include <sys/random.h>\n" + ENTRY + " char b; return (int)getrandom(&b, 1, 0); }",
            False,
            True,
            "binds getrandom@GLIBC_2.25, newer than glibc 2.17",
        ),
        # g++'s runtime, shared: a library of its own and its own versions.
        (
            '#include <string>\nextern "C" ' + ENTRY + " return (int)std::to_string(7).size(); }",
            True,
            True,
            "needs libstdc++.so.6, which is not the C library's",
        ),
        ("int helper(void) { return 1; }\n" + ENTRY + " return helper(); }", False, False, "exports helper"),
        (
            "int elsewhere(void);\n" + ENTRY + " return elsewhere(); }",
            False,
            True,
            "leaves elsewhere undefined: no library of the allowed ones defines it",
        ),
    ],
    ids=["libc-only", "python-api", "newer-glibc", "shared-libstdc++", "extra-export", "foreign-symbol"],
)
def test_gate_names_each_fault(tmp_path: Path, source: str, cxx: bool, hide: bool, fault: str | None) -> None:
    status, output = gate(build(tmp_path, source, cxx=cxx, hide=hide))
    if fault is None:
        assert status == 0 and ": ok: EM_" in output, output
    else:
        assert status == 1, output
        assert f"  - {fault}\n" in output


def test_the_floor_is_the_version_given(tmp_path: Path) -> None:
    module = build(tmp_path, "#include <sys/random.h>\n" + ENTRY + " char b; return (int)getrandom(&b, 1, 0); }")
    assert gate("--glibc", "2.25", module)[0] == 0
    assert gate("--glibc", "2.24", module)[0] == 1
    assert gate("--glibc", "two", module)[0] == 2


@pytest.mark.parametrize("machine", ["x86_64", "aarch64"])
def test_a_wheel_is_checked_against_its_tag(tmp_path: Path, machine: str) -> None:
    module = build(tmp_path, ENTRY + " return 0; }")
    wheel = tmp_path / f"quarvo-0.1.0-cp310-abi3-manylinux_2_17_{machine}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(module, "quarvo/_native.abi3.so")
    status, output = gate(wheel)
    built = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[HOST]
    assert status == (0 if machine == HOST else 1), output
    assert (f"built for {built}, but the wheel is tagged {machine}" in output) == (machine != HOST)
