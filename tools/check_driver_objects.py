#!/usr/bin/python3
# Build-time check of the driver's compiled objects, before they are linked: every symbol they leave
# undefined is defined by another driver object or exported by ntoskrnl.exe, and none needs a C runtime.
"""Fails (exit status 1) naming each offending object and symbol or section."""

import argparse
import subprocess
import sys
from pathlib import Path

IMPORT_PREFIX = "__imp_"

# Sections whose contents only a C runtime acts on. A kernel driver has none: a dynamic initializer in
# .ctors would never run and the object would stay unconstructed, and the kernel has no implicit TLS.
RUNTIME_SECTIONS = {
    ".ctors": "a static object with a dynamic initializer (nothing runs it in a driver)",
    ".dtors": "a static destructor (nothing runs it in a driver)",
    ".CRT$": "a C runtime initializer (nothing runs it in a driver)",
    ".tls": "thread-local storage (the kernel provides none to drivers)",
}


def run(tool, *arguments):
    result = subprocess.run([tool, *arguments], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"check_driver_objects: {tool} {' '.join(arguments)} failed:\n{result.stderr}")
    return result.stdout


def nm_symbols(nm_output):
    """(type, name) pairs from llvm-nm's "[address] type name" lines."""
    found = []
    for line in nm_output.splitlines():
        fields = line.split()
        if len(fields) < 2 or line.endswith(":"):
            continue
        found.append((fields[-2], fields[-1]))
    return found


def section_names(objdump_output):
    """Section names from llvm-objdump -h: lines "Idx Name Size VMA [Type]"."""
    names = []
    for line in objdump_output.splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[0].isdigit():
            names.append(fields[1])
    return names


def kernel_exports(nm, import_library):
    """(functions, exports): names with a call thunk, and every name reachable through an __imp_ slot."""
    thunks = set()
    exports = set()
    for kind, name in nm_symbols(run(nm, "--defined-only", import_library)):
        if kind == "I" and name.startswith(IMPORT_PREFIX):
            exports.add(name[len(IMPORT_PREFIX):])
        elif kind == "T":
            thunks.add(name)
    # The import library's own bookkeeping symbols (_head_*, *_iname) have no __imp_ slot.
    return thunks & exports, exports


def import_errors(objects, nm, functions, exports):
    defined = set()
    undefined = {}
    for path in objects:
        defined.update(name for _, name in nm_symbols(run(nm, "--defined-only", path)))
        undefined[path] = [name for _, name in nm_symbols(run(nm, "--undefined-only", path))]

    errors = []
    for path, names in undefined.items():
        for name in names:
            if name in defined or name in functions:
                continue
            if name.startswith(IMPORT_PREFIX):
                if name[len(IMPORT_PREFIX):] in exports:
                    continue
                errors.append(f"{Path(path).name}: '{name}' imports '{name[len(IMPORT_PREFIX):]}', "
                              "which ntoskrnl.exe does not export")
            elif name in exports:
                # Data has no call thunk: without dllimport the reference has nothing to bind to, and it
                # must read the variable through its import address slot anyway.
                errors.append(f"{Path(path).name}: '{name}' is a data export of ntoskrnl.exe; declare it "
                              "__declspec(dllimport)")
            else:
                errors.append(f"{Path(path).name}: undefined symbol '{name}' is neither defined by a driver "
                              "object nor exported by ntoskrnl.exe")
    return errors


def runtime_section_errors(objects, objdump):
    errors = []
    for path in objects:
        for section in section_names(run(objdump, "-h", path)):
            for prefix, meaning in RUNTIME_SECTIONS.items():
                if section.startswith(prefix):
                    errors.append(f"{Path(path).name}: section '{section}' holds {meaning}")
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nm", required=True, help="llvm-nm")
    parser.add_argument("--objdump", required=True, help="llvm-objdump")
    parser.add_argument("--import-library", required=True, help="libntoskrnl.a")
    parser.add_argument("--stamp", help="file written when every object passes")
    parser.add_argument("objects", nargs="+")
    arguments = parser.parse_args()

    functions, exports = kernel_exports(arguments.nm, arguments.import_library)
    if not exports:
        sys.exit(f"check_driver_objects: no exports found in {arguments.import_library}")

    errors = import_errors(arguments.objects, arguments.nm, functions, exports)
    errors += runtime_section_errors(arguments.objects, arguments.objdump)
    if errors:
        print("check_driver_objects: these objects cannot make a kernel driver:", file=sys.stderr)
        for error in errors:
            print(f"  {error}", file=sys.stderr)
        return 1

    print(f"check_driver_objects: {len(arguments.objects)} objects import from ntoskrnl.exe only and need "
          "no C runtime")
    if arguments.stamp:
        Path(arguments.stamp).write_text("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
