#!/usr/bin/env python3
"""The gate every release module passes: what it asks of the machine it loads on.

    python scripts/check_symbols.py [--glibc 2.17] dist/quarvo-*.whl build/.../_native.abi3.so

For each extension module (a .so, or every .so inside a wheel) it fails, naming
the culprit, when the module
  - binds a glibc symbol version newer than --glibc, or any version of another
    library (GLIBCXX_, CXXABI_, GCC_: a C++ runtime not linked in);
  - needs a library other than the C library's own (libc, libm, libpthread,
    libdl, librt, the dynamic loader);
  - exports anything but its PyInit_ function (the version script hides the
    rest: toml++, the C++ runtime, our own code);
  - leaves a symbol undefined that is neither versioned by one of those
    libraries nor part of the Python C API (a foreign symbol: the import would
    fail with "undefined symbol");
  - is not built for the architecture its wheel's tag names.
It prints one line per module; the exit status is 1 when any failed.
"""

from __future__ import annotations

import argparse
import io
import re
import sys
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

ALLOWED_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}
# What e_machine each wheel platform suffix means.
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
GLIBC_VERSION = re.compile(r"GLIBC_(\d+)\.(\d+)(?:\.(\d+))?$")
PYTHON_API = re.compile(r"_?Py")


@dataclass
class Report:
    name: str
    machine: str = ""
    needed: list[str] = field(default_factory=list)
    newest: tuple[tuple[int, ...], str] = ((0,), "")
    python_symbols: int = 0
    faults: list[str] = field(default_factory=list)

    def line(self) -> str:
        version, symbol = self.newest
        glibc = f"GLIBC_{'.'.join(map(str, version))} ({symbol})" if symbol else "none"
        facts = f"{self.machine}; needs {' '.join(self.needed)}; newest glibc symbol {glibc}"
        facts += f"; {self.python_symbols} Python API symbols"
        if not self.faults:
            return f"{self.name}: ok: {facts}"
        return f"{self.name}: FAILED: {facts}\n" + "\n".join(f"  - {f}" for f in self.faults)


def glibc_version(name: str) -> tuple[int, ...] | None:
    match = GLIBC_VERSION.match(name)
    return tuple(int(g) for g in match.groups() if g is not None) if match else None


def check_module(name: str, data: bytes, floor: tuple[int, ...], arch: str | None) -> Report:
    report = Report(name)
    elf = ELFFile(io.BytesIO(data))
    report.machine = elf["e_machine"]
    if arch and MACHINES.get(arch) != report.machine:
        report.faults.append(f"built for {report.machine}, but the wheel is tagged {arch}")

    dynamic = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    report.needed = [t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
    report.faults += [
        f"needs {lib}, which is not the C library's" for lib in report.needed if lib not in ALLOWED_LIBRARIES
    ]

    # The versions the module asks for, by index, and which library each is.
    needed_versions: dict[int, tuple[str, str]] = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for library, versions in section.iter_versions():
                for version in versions:
                    needed_versions[version.entry.vna_other] = (library.name, version.name)
    versym = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
    dynsym = elf.get_section_by_name(".dynsym")
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if index == 0:
            continue
        bind, shndx = symbol["st_info"]["bind"], symbol["st_shndx"]
        version_index = versym.get_symbol(index)["ndx"] if versym is not None else 0
        library, version = needed_versions.get(version_index if isinstance(version_index, int) else 0, ("", ""))
        if shndx != "SHN_UNDEF":
            if bind != "STB_LOCAL" and not symbol.name.startswith("PyInit_"):
                report.faults.append(f"exports {symbol.name}")
            continue
        if version:
            number = glibc_version(version)
            if number is None:
                report.faults.append(f"binds {symbol.name}@{version} of {library}")
                continue
            if number > floor:
                report.faults.append(f"binds {symbol.name}@{version}, newer than glibc {'.'.join(map(str, floor))}")
            if number > report.newest[0]:
                report.newest = (number, symbol.name)
        elif PYTHON_API.match(symbol.name):
            report.python_symbols += 1
        elif bind != "STB_WEAK":
            report.faults.append(f"leaves {symbol.name} undefined: no library of the allowed ones defines it")
    return report


def check_path(path: Path, floor: tuple[int, ...]) -> list[Report]:
    if path.suffix != ".whl":
        return [check_module(str(path), path.read_bytes(), floor, None)]
    arch = next((a for a in MACHINES if path.stem.endswith("_" + a)), None)
    with zipfile.ZipFile(path) as wheel:
        modules = [n for n in wheel.namelist() if n.endswith(".so")]
        reports = [check_module(f"{path.name}:{n}", wheel.read(n), floor, arch) for n in modules]
    if not reports:
        reports = [Report(path.name, faults=["holds no extension module"])]
    return reports


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--glibc", default="2.17", help="the newest glibc version the modules may bind")
    parser.add_argument("paths", nargs="+", type=Path, help="wheels or shared objects")
    args = parser.parse_args(argv)
    floor = glibc_version("GLIBC_" + args.glibc)
    if floor is None:
        parser.error(f"--glibc {args.glibc}: not a version such as 2.17")
    failed = False
    for path in args.paths:
        for report in check_path(path, floor):
            print(report.line())
            failed |= bool(report.faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
