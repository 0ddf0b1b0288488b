#!/usr/bin/python3
# Follows every import of the driver image into the Wine DLLs that would satisfy it, and tells which ones
# Wine does not really provide: the ones the Wine test harness has to stand in for.
"""Each import resolves to one of:
  code     a function with a body (possibly reached through forwarders and import thunks)
  stub     a Wine placeholder that aborts the process when called (__wine_spec_unimplemented_stub)
  data     an address in a section that is not executable
  missing  no such export: the image could not even be loaded
An import is usable when a function import resolves to code and a data import to data."""

import argparse
import re
import struct
import sys
from dataclasses import dataclass
from pathlib import Path

import pefile

IMAGE_SCN_MEM_EXECUTE = 0x20000000
# Real chains are two or three hops (ntoskrnl.exe to ntdll.dll or msvcrt.dll); more means a loop.
MAX_HOPS = 8

# What winebuild emits for an export Wine leaves unimplemented:
#   sub $0x28,%rsp; lea dll_name(%rip),%rcx; lea function_name(%rip),%rdx; call __wine_spec_unimplemented_stub
STUB_PATTERN = re.compile(rb"\x48\x83\xec\x28\x48\x8d\x0d(.{4})\x48\x8d\x15(.{4})\xe8", re.DOTALL)
# jmp *__imp_name(%rip): an export that only passes the call on to another module's export.
THUNK_PATTERN = re.compile(rb"\xff\x25(.{4})", re.DOTALL)

# The driver declares its data imports this way in its kernel interface header.
DATA_IMPORT = re.compile(r"__declspec\(dllimport\)\s+extern\s+[\w\s\*]*?\b(\w+)\s*(?:\[[^\]]*\])?\s*;")


@dataclass
class Resolution:
    kind: str  # code, stub, data or missing
    path: list  # module!name hops, from the first export to the last

    def describe(self):
        return " -> ".join(self.path)


class WineModules:
    """The PE modules of one Wine installation, loaded on first use."""

    def __init__(self, directory):
        self.directory = Path(directory)
        self.modules = {}

    def module(self, name):
        key = name.lower()
        if key not in self.modules:
            path = self.directory / key
            self.modules[key] = self._load(path) if path.is_file() else None
        return self.modules[key]

    @staticmethod
    def _load(path):
        pe = pefile.PE(str(path), fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
                                               pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        exports = {}
        if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
            exports = {symbol.name.decode(): symbol for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols if symbol.name}
        slots = {}
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            for imported in entry.imports:
                if imported.name:
                    slot = imported.address - pe.OPTIONAL_HEADER.ImageBase
                    slots[slot] = (entry.dll.decode(), imported.name.decode())
        return pe, exports, slots

    def resolve(self, module_name, name, path=None):
        path = (path or []) + [f"{module_name}!{name}"]
        if len(path) > MAX_HOPS:
            raise RuntimeError("forwarding loop: " + " -> ".join(path))
        loaded = self.module(module_name)
        if loaded is None:
            return Resolution("missing", path)
        pe, exports, slots = loaded
        symbol = exports.get(name)
        if symbol is None:
            return Resolution("missing", path)
        if symbol.forwarder:
            target_module, target_name = symbol.forwarder.decode().split(".", 1)
            return self.resolve(target_module + ".dll", target_name, path)
        section = pe.get_section_by_rva(symbol.address)
        if section is None or not section.Characteristics & IMAGE_SCN_MEM_EXECUTE:
            where = section.Name.rstrip(b"\0").decode(errors="replace") if section else "no section"
            return Resolution("data", path[:-1] + [f"{path[-1]} ({where})"])
        code = pe.get_data(symbol.address, 24)
        thunk = THUNK_PATTERN.match(code)
        if thunk:
            slot = symbol.address + 6 + struct.unpack("<i", thunk.group(1))[0]
            if slot in slots:
                target_module, target_name = slots[slot]
                return self.resolve(target_module, target_name, path)
        stub = STUB_PATTERN.match(code)
        if stub:
            text = symbol.address + 18 + struct.unpack("<i", stub.group(2))[0]
            if pe.get_string_at_rva(text).decode(errors="replace") == name:
                return Resolution("stub", path)
        return Resolution("code", path)


def image_imports(image_path):
    pe = pefile.PE(str(image_path))
    return [(entry.dll.decode(), imported.name.decode())
            for entry in pe.DIRECTORY_ENTRY_IMPORT for imported in entry.imports if imported.name]


def data_import_names(header):
    return set(DATA_IMPORT.findall(Path(header).read_text()))


def classify(image_path, wine_directory, header):
    """[(name, is_data, Resolution, usable)] for every named import of the image."""
    modules = WineModules(wine_directory)
    data_names = data_import_names(header)
    rows = []
    for module_name, name in image_imports(image_path):
        resolution = modules.resolve(module_name, name)
        is_data = name in data_names
        usable = resolution.kind == ("data" if is_data else "code")
        rows.append((name, is_data, resolution, usable))
    return rows


def print_table(rows):
    for name, is_data, resolution, usable in rows:
        wanted = "data" if is_data else "function"
        print(f"{'usable' if usable else 'UNUSABLE':<9} {name:<32} {wanted:<9} {resolution.kind:<8} "
              f"{resolution.describe()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True, type=Path, help="the driver image")
    parser.add_argument("--wine-dlls", required=True, type=Path,
                        help="Wine's 64-bit PE modules, e.g. a prefix's drive_c/windows/system32")
    parser.add_argument("--header", required=True, type=Path,
                        help="the driver header that declares its data imports with __declspec(dllimport)")
    arguments = parser.parse_args()
    rows = classify(arguments.image, arguments.wine_dlls, arguments.header)
    print_table(rows)
    missing = [name for name, _, resolution, _ in rows if resolution.kind == "missing"]
    if missing:
        print(f"Wine cannot load the image at all: no export for {', '.join(missing)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
