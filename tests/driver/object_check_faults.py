#!/usr/bin/python3
# Shows that tools/check_driver_objects.py catches each fault it exists for: small objects, each with one
# fault, must be rejected with a message naming it, and a clean pair of objects must pass.
"""Exit status 0 when every case behaves as expected."""

import argparse
import subprocess
import sys
from pathlib import Path

CLEAN = {
    "uses_kernel.cpp": """
extern "C" unsigned char MmIsAddressValid(void* Address);
extern "C" __declspec(dllimport) unsigned long long KiBugCheckData[5];
int DefinedElsewhere(int Value);
int UsesKernel(void* Address) {
    return MmIsAddressValid(Address) + (int)KiBugCheckData[0] + DefinedElsewhere(1);
}
""",
    "defines.cpp": "int DefinedElsewhere(int Value) { return Value + 1; }\n",
}

# (name, source, text the checker's message must contain)
FAULTS = [
    ("missing_export", 'extern "C" int NotAKernelExport(int);\nint Use() { return NotAKernelExport(1); }\n',
     "'NotAKernelExport' is neither defined by a driver object nor exported by ntoskrnl.exe"),
    ("data_without_dllimport",
     'extern "C" unsigned long InitSafeBootMode;\nunsigned long Use() { return InitSafeBootMode; }\n',
     "'InitSafeBootMode' is a data export of ntoskrnl.exe; declare it __declspec(dllimport)"),
    ("dllimport_of_non_export",
     'extern "C" __declspec(dllimport) int NoSuchKernelData;\nint Use() { return NoSuchKernelData; }\n',
     "'__imp_NoSuchKernelData' imports 'NoSuchKernelData', which ntoskrnl.exe does not export"),
    ("dynamic_initializer", "int Compute();\nint Value = Compute();\n", "section '.ctors'"),
    ("thread_local", "thread_local int Counter = 1;\nint Use() { return Counter; }\n", "section '.tls"),
]


def compile_source(arguments, name, text):
    source = arguments.workdir / name
    source.write_text(text)
    obj = source.with_suffix(".obj")
    subprocess.run([arguments.compiler, f"--target={arguments.target}", "-ffreestanding", "-nostdlibinc",
                    "-fno-exceptions", "-fms-extensions", "-O2", "-c", str(source), "-o", str(obj)], check=True)
    return obj


def run_checker(arguments, objects):
    return subprocess.run([sys.executable, arguments.checker, "--nm", arguments.nm, "--objdump", arguments.objdump,
                           "--import-library", arguments.import_library, *map(str, objects)],
                          capture_output=True, text=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("--compiler", "--target", "--nm", "--objdump", "--import-library", "--checker"):
        parser.add_argument(option, required=True)
    parser.add_argument("--workdir", required=True, type=Path)
    arguments = parser.parse_args()
    arguments.workdir.mkdir(parents=True, exist_ok=True)

    failures = []
    clean = [compile_source(arguments, name, text) for name, text in CLEAN.items()]
    result = run_checker(arguments, clean)
    if result.returncode != 0:
        failures.append(f"clean objects rejected:\n{result.stderr}")
    else:
        print("ok   clean objects pass")

    for name, text, expected in FAULTS:
        result = run_checker(arguments, clean + [compile_source(arguments, f"{name}.cpp", text)])
        if result.returncode == 0:
            failures.append(f"{name}: accepted")
        elif expected not in result.stderr:
            failures.append(f"{name}: rejected without naming the fault (wanted '{expected}'):\n{result.stderr}")
        else:
            print(f"ok   {name}: rejected, naming it")

    for failure in failures:
        print(f"FAIL {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
