#!/usr/bin/python3
# Shows that each check of tools/check_driver_image.py can fail: it runs the checker on the built image,
# where every check must pass, then on copies with one fault each, where the check aimed at must fail.
"""Exit status 0 when every fault is caught by the check it targets."""

import argparse
import importlib.util
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path


def load_checker(path):
    # The checker lives in the source tree, which a build must not write to.
    sys.dont_write_bytecode = True
    spec = importlib.util.spec_from_file_location("check_driver_image", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class NotApplicable(Exception):
    """The image lacks what a fault needs (a routine not written yet): that fault is not exercised."""


class Faults:
    """Each method makes one faulty copy in the work directory; returns (image, map) paths to check."""

    def __init__(self, checker, arguments):
        self.checker = checker
        self.arguments = arguments
        self.image = checker.Image(arguments.image)
        self.map = checker.LinkMap(arguments.map, self.image.base)
        self.disassembler = checker.Disassembler(arguments.objdump, self.image)

    # -- helpers
    def patched(self, name, patches):
        """A copy of the image with bytes replaced: patches is [(file offset, bytes)]."""
        data = bytearray(self.arguments.image.read_bytes())
        for offset, replacement in patches:
            data[offset:offset + len(replacement)] = replacement
        path = self.arguments.workdir / f"{name}.sys"
        path.write_bytes(data)
        return path, self.arguments.map

    def doctored_map(self, name, edit):
        path = self.arguments.workdir / f"{name}.map"
        path.write_text(edit(self.arguments.map.read_text()))
        return self.arguments.image, path

    def header_field(self, structure, field):
        return structure.get_field_absolute_offset(field)

    def section_header(self, name):
        for section in self.image.pe.sections:
            if section.Name.rstrip(b"\0").decode() == name:
                return section
        raise NotApplicable(f"no {name} section")

    def offset(self, rva):
        return self.image.pe.get_offset_from_rva(rva)

    def routine(self, name):
        found = self.map.functions(name)
        if not found:
            raise NotApplicable(f"{name} is not in the image")
        return found[0]

    def move_symbol(self, text, name, rva):
        """The map with routine `name` listed at rva instead of where the linker put it."""
        symbol = self.routine(name)
        pattern = re.compile(rf"^(\s*[0-9a-fA-F]{{4}}:[0-9a-fA-F]{{8}}\s+{re.escape(symbol.name)}\s+)[0-9a-fA-F]{{16}}",
                             re.M)
        edited, count = pattern.subn(lambda match: f"{match.group(1)}{self.image.base + rva:016x}", text)
        if not count:
            raise NotApplicable(f"{symbol.name} is not listed in the map")
        return edited

    def text_ranges(self, section_name):
        return [(start, end) for start, end in self.disassembler.ranges(self.map)
                if self.image.section_at(start).name == section_name]

    # -- the faults, named after the check each must trip
    def fault_map(self):
        return self.doctored_map("map", lambda text: re.sub(r"Timestamp is [0-9a-fA-F]+", "Timestamp is 1", text))

    def fault_machine(self):
        offset = self.header_field(self.image.pe.FILE_HEADER, "Machine")
        return self.patched("machine", [(offset, struct.pack("<H", 0x14C))])

    def fault_subsystem(self):
        offset = self.header_field(self.image.pe.OPTIONAL_HEADER, "Subsystem")
        return self.patched("subsystem", [(offset, struct.pack("<H", 2))])

    def fault_os_version(self):
        offset = self.header_field(self.image.pe.OPTIONAL_HEADER, "MajorOperatingSystemVersion")
        return self.patched("os-version", [(offset, struct.pack("<H", 6))])

    def fault_subsystem_version(self):
        offset = self.header_field(self.image.pe.OPTIONAL_HEADER, "MinorSubsystemVersion")
        return self.patched("subsystem-version", [(offset, struct.pack("<H", 1))])

    def fault_entry_point(self):
        offset = self.header_field(self.image.pe.OPTIONAL_HEADER, "AddressOfEntryPoint")
        entry = self.image.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        return self.patched("entry-point", [(offset, struct.pack("<I", entry + 1))])

    def fault_imports(self):
        descriptor = self.image.pe.DIRECTORY_ENTRY_IMPORT[0].struct
        name = self.offset(descriptor.Name)
        return self.patched("imports", [(name, b"hal.dll\0\0\0\0\0")])

    def fault_section_names(self):
        sections = self.image.pe.sections
        return self.patched("section-names", [(sections[1].get_file_offset(), sections[0].Name)])

    def fault_init_section(self):
        header = self.section_header("INIT")
        offset = header.get_field_absolute_offset("Characteristics")
        flags = header.Characteristics & ~self.checker.IMAGE_SCN_MEM_DISCARDABLE
        return self.patched("init-section", [(offset, struct.pack("<I", flags))])

    def fault_page_section(self):
        header = self.section_header("PAGE")
        offset = header.get_field_absolute_offset("Characteristics")
        flags = header.Characteristics | self.checker.IMAGE_SCN_MEM_DISCARDABLE
        return self.patched("page-section", [(offset, struct.pack("<I", flags))])

    def fault_version_resource(self):
        fixed = self.image.pe.VS_FIXEDFILEINFO[0]
        offset = fixed.get_field_absolute_offset("FileVersionLS")
        return self.patched("version-resource", [(offset, struct.pack("<I", fixed.FileVersionLS + 1))])

    def version_string(self, name, key, replacement):
        """A copy whose StringFileInfo value `key` is overwritten, in place, by a string of the same length."""
        for file_info in getattr(self.image.pe, "FileInfo", []):
            for entry in file_info:
                for table in getattr(entry, "StringTable", []):
                    if key.encode() in table.entries_offsets:
                        value_offset = table.entries_offsets[key.encode()][1]
                        current = table.entries[key.encode()].decode()
                        if len(current) != len(replacement):
                            raise NotApplicable(f"{key} is {current!r}, not as long as {replacement!r}")
                        return self.patched(name, [(value_offset, replacement.encode("utf-16-le"))])
        raise NotApplicable(f"no {key} string")

    def fault_file_version_string(self):
        """The numeric version alone, without its "V", ended early by a NUL to keep the resource's layout."""
        return self.version_string("file-version-string", "FileVersion", "1.0.0.3\0")

    def fault_product_version_string(self):
        return self.version_string("product-version-string", "ProductVersion", "V1.0.0.4")

    def fault_checksum(self):
        optional = self.image.pe.OPTIONAL_HEADER
        offset = self.header_field(optional, "CheckSum")
        return self.patched("checksum", [(offset, struct.pack("<I", optional.CheckSum ^ 1))])

    def fault_codeview(self):
        entry = next(entry.struct for entry in self.image.pe.DIRECTORY_ENTRY_DEBUG
                     if entry.struct.Type == self.checker.IMAGE_DEBUG_TYPE_CODEVIEW)
        guid = entry.PointerToRawData + 4
        return self.patched("codeview", [(guid, bytes([self.image.pe.__data__[guid] ^ 0xFF]))])

    def fault_signature_missing(self):
        path = self.arguments.workdir / "signature-missing.sys"
        shutil.copyfile(self.arguments.unsigned, path)
        return path, self.arguments.map

    def fault_signature_tampered(self):
        text = self.section_header(".text")
        offset = text.PointerToRawData
        return self.patched("signature-tampered", [(offset, bytes([self.image.pe.__data__[offset] ^ 0xFF]))])

    def fault_placement_init(self):
        text = self.section_header(".text")
        return self.doctored_map("placement-init", lambda map_text: self.move_symbol(map_text, "DriverEntry",
                                                                                      text.VirtualAddress))

    def fault_placement_page(self):
        text = self.section_header(".text")
        return self.doctored_map("placement-page",
                                 lambda map_text: self.move_symbol(map_text, "DispatchCreateClose",
                                                                   text.VirtualAddress))

    def fault_placement_resident(self):
        init = self.section_header("INIT")
        name = next((name for name in self.checker.RESIDENT_ROUTINES if self.map.functions(name)), None)
        if name is None:
            raise NotApplicable("no resident routine in the image")
        return self.doctored_map("placement-resident",
                                 lambda map_text: self.move_symbol(map_text, name, init.VirtualAddress))

    def fault_init_references_call(self):
        """A direct call outside INIT re-aimed at the start of INIT."""
        init = self.section_header("INIT").VirtualAddress
        for start, end in self.text_ranges(".text"):
            for instruction in self.disassembler.disassemble(start, end):
                if instruction.is_call and instruction.length == 5 and instruction.branch_target is not None:
                    offset = self.offset(instruction.rva)
                    if self.image.pe.__data__[offset] == 0xE8:
                        displacement = init - instruction.end
                        return self.patched("init-references-call",
                                            [(offset + 1, struct.pack("<i", displacement))])
        raise NotApplicable("no direct call in .text")

    def fault_init_references_pointer(self):
        """A relocated absolute address outside INIT re-aimed at the start of INIT."""
        init = self.section_header("INIT")
        for location, _ in self.image.base_relocations():
            if not init.VirtualAddress <= location < init.VirtualAddress + init.Misc_VirtualSize:
                return self.patched("init-references-pointer",
                                    [(self.offset(location), struct.pack("<Q", self.image.base + init.VirtualAddress))])
        raise NotApplicable("no relocated absolute address outside INIT")

    def fault_init_texts(self):
        """An address taken in INIT re-aimed at read-only data nothing else takes the address of: the
        unwind information of DriverEntry (reached by RVA from .pdata only)."""
        entry = self.routine("DriverEntry")
        function = self.image.runtime_function(entry.rva)
        if function is None:
            raise NotApplicable("DriverEntry has no unwind information")
        unread = function[2]
        for start, end in self.text_ranges("INIT"):
            for instruction in self.disassembler.disassemble(start, end):
                if instruction.mnemonic == "leaq" and instruction.memory_target is not None:
                    displacement = unread - instruction.end
                    return self.patched("init-texts", [(self.offset(instruction.end - 4),
                                                        struct.pack("<i", displacement))])
        raise NotApplicable("no address taken in INIT")

    def section_flags(self, name, add=0, remove=0):
        header = self.section_header(name)
        offset = header.get_field_absolute_offset("Characteristics")
        return offset, struct.pack("<I", (header.Characteristics | add) & ~remove)

    def fault_wx_sections(self):
        return self.patched("wx-sections", [self.section_flags(".data", add=self.checker.IMAGE_SCN_MEM_EXECUTE)])

    def fault_section_alignment(self):
        offset = self.header_field(self.image.pe.OPTIONAL_HEADER, "SectionAlignment")
        return self.patched("section-alignment", [(offset, struct.pack("<I", 0x200))])

    def fault_section_off_page(self):
        """The last section moved half a page up: its pages would share protections with the one before."""
        header = self.image.pe.sections[-1]
        offset = header.get_field_absolute_offset("VirtualAddress")
        return self.patched("section-off-page", [(offset, struct.pack("<I", header.VirtualAddress + 0x800))])

    def fault_iat_section(self):
        rva, _ = self.image.directory(self.checker.IMAGE_DIRECTORY_ENTRY_IAT)
        holder = self.image.section_at(rva)
        return self.patched("iat-section", [self.section_flags(holder.name, add=self.checker.IMAGE_SCN_MEM_EXECUTE)])

    def fault_init_writable(self):
        return self.patched("init-writable", [self.section_flags("INIT", add=self.checker.IMAGE_SCN_MEM_WRITE)])

    def dll_characteristics(self, name, add=0, remove=0):
        optional = self.image.pe.OPTIONAL_HEADER
        offset = self.header_field(optional, "DllCharacteristics")
        return self.patched(name, [(offset, struct.pack("<H", (optional.DllCharacteristics | add) & ~remove))])

    def fault_nx_compat(self):
        return self.dll_characteristics("nx-compat", remove=self.checker.IMAGE_DLLCHARACTERISTICS_NX_COMPAT)

    def fault_dynamic_base(self):
        return self.dll_characteristics("dynamic-base", remove=self.checker.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE)

    def fault_guard_cf(self):
        """What a link with /guard:cf alone does: the flag, without a load configuration to back it."""
        return self.dll_characteristics("guard-cf", add=self.checker.IMAGE_DLLCHARACTERISTICS_GUARD_CF)

    def debug_entries(self):
        entries = list(getattr(self.image.pe, "DIRECTORY_ENTRY_DEBUG", []))
        if len(entries) < 2:
            raise NotApplicable("fewer than two debug entries")
        return entries

    def cet_entry(self):
        for entry in self.debug_entries():
            if entry.struct.Type == self.checker.IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS:
                return entry.struct
        raise NotApplicable("no extended DLL-characteristics entry")

    def fault_cet_flag(self):
        return self.patched("cet-flag", [(self.cet_entry().PointerToRawData, struct.pack("<I", 0))])

    def fault_cet_missing(self):
        """The entry turned into a reproducibility (type 16) entry: nothing declares CET compatibility."""
        entry = self.cet_entry()
        return self.patched("cet-missing", [(entry.get_field_absolute_offset("Type"), struct.pack("<I", 16))])

    def fault_cet_first(self):
        """The two entries swapped: an identity reader taking the first entry finds no CodeView record."""
        first, second = self.debug_entries()[:2]
        start = first.struct.get_file_offset()
        size = second.struct.get_file_offset() - start
        data = self.arguments.image.read_bytes()
        return self.patched("cet-first", [(start, data[start + size:start + 2 * size] + data[start:start + size])])

    def fault_import_table(self):
        """An import the table does not vouch for: memset renamed wcslen, a real export of the same length."""
        for entry in self.image.pe.DIRECTORY_ENTRY_IMPORT:
            for imported in entry.imports:
                if imported.name == b"memset":
                    return self.patched("import-table", [(imported.name_offset, b"wcslen")])
        raise NotApplicable("no memset import")

    def allocation_slot(self, name):
        """File offset of the 16-bit size slot of the UWOP_ALLOC_LARGE code in routine `name`'s unwind data."""
        function = self.image.runtime_function(self.routine(name).rva)
        if function is None:
            raise NotApplicable(f"{name} has no unwind data")
        code_count = self.image.read(function[2], 4)[2]
        codes = self.image.read(function[2] + 4, 2 * code_count)
        for index in range(code_count):
            operation, info = codes[2 * index + 1] & 0xF, codes[2 * index + 1] >> 4
            if operation == 1 and info == 0:
                return self.offset(function[2] + 4 + 2 * index + 2), self.image.frame_size(function[2])
        raise NotApplicable(f"{name} allocates its frame without UWOP_ALLOC_LARGE")

    def fault_stack_frames(self):
        """PrintStack's frame grown past a page."""
        slot, _ = self.allocation_slot("PrintStack")
        return self.patched("stack-frames", [(slot, struct.pack("<H", 0x1100 // 8))])

    def fault_stack_depth(self):
        """PrintStack's frame grown to just under a page: each frame is still fine, the chain is not."""
        slot, frame = self.allocation_slot("PrintStack")
        current = struct.unpack_from("<H", self.arguments.image.read_bytes(), slot)[0] * 8
        grown = current + (0xFF0 - frame)
        return self.patched("stack-depth", [(slot, struct.pack("<H", grown // 8))])

    def fault_seh(self):
        """The first scope of a guarded routine shrunk to nothing, leaving its calls unprotected."""
        for name in self.checker.GUARDED_ROUTINES:
            for symbol in self.map.functions(name):
                function = self.image.runtime_function(symbol.rva)
                if function is None:
                    continue
                info = self.image.unwind_info(function[2])
                if info.scopes:
                    code_count = self.image.read(function[2], 4)[2]
                    first_scope = function[2] + 4 + 2 * ((code_count + 1) & ~1) + 8
                    begin = info.scopes[0][0]
                    return self.patched("seh", [(self.offset(first_scope + 4), struct.pack("<I", begin))])
        raise NotApplicable("no guarded routine with a scope table")


FAULTS = [
    ("map", "map"), ("machine", "machine"), ("subsystem", "subsystem"), ("os_version", "os-version"),
    ("subsystem_version", "subsystem-version"), ("entry_point", "entry-point"), ("imports", "imports"),
    ("section_names", "section-names"), ("init_section", "init-section"), ("page_section", "page-section"),
    ("version_resource", "version-resource"), ("file_version_string", "version-resource"),
    ("product_version_string", "version-resource"), ("checksum", "checksum"), ("codeview", "codeview"),
    ("signature_missing", "signature"), ("signature_tampered", "signature"),
    ("placement_init", "placement-init"), ("placement_page", "placement-page"),
    ("placement_resident", "placement-resident"), ("init_references_call", "init-references"),
    ("init_references_pointer", "init-references"), ("init_texts", "init-texts"), ("seh", "seh"),
    ("wx_sections", "wx-sections"), ("section_alignment", "section-alignment"),
    ("section_off_page", "section-alignment"), ("iat_section", "iat-section"), ("init_writable", "init-section"),
    ("nx_compat", "dll-characteristics"), ("dynamic_base", "dll-characteristics"), ("guard_cf", "guard-cf"),
    ("cet_flag", "cet-compat"), ("cet_missing", "cet-compat"), ("cet_first", "cet-compat"),
    ("import_table", "import-table"), ("stack_frames", "stack-frames"), ("stack_depth", "stack-depth"),
]


def run_checker(arguments, image, link_map):
    command = [sys.executable, str(arguments.checker), "--image", str(image), "--map", str(link_map),
               "--pdb", str(arguments.pdb), "--cafile", str(arguments.cafile), "--version", arguments.version,
               "--imports", str(arguments.imports), "--objdump", arguments.objdump, "--pdbutil", arguments.pdbutil,
               "--osslsigncode", arguments.osslsigncode]
    result = subprocess.run(command, capture_output=True, text=True)
    statuses = {}
    for line in result.stdout.splitlines():
        fields = line.split(None, 2)
        if len(fields) >= 2 and fields[0] in ("PASS", "FAIL", "SKIP"):
            statuses.setdefault(fields[1], set()).add(fields[0])
    return result, statuses


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--checker", required=True, type=Path)
    parser.add_argument("--unsigned", required=True, type=Path, help="the image as linked, before signing")
    parser.add_argument("--workdir", required=True, type=Path)
    parser.add_argument("--image", required=True, type=Path)
    parser.add_argument("--map", required=True, type=Path)
    parser.add_argument("--pdb", required=True, type=Path)
    parser.add_argument("--cafile", required=True, type=Path)
    parser.add_argument("--version", required=True)
    parser.add_argument("--imports", type=Path, default=None)
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    arguments = parser.parse_args()
    if arguments.workdir.exists():
        shutil.rmtree(arguments.workdir)
    arguments.workdir.mkdir(parents=True)

    checker = load_checker(arguments.checker)
    if arguments.imports is None:
        arguments.imports = checker.IMPORT_TABLE
    baseline, baseline_statuses = run_checker(arguments, arguments.image, arguments.map)
    if baseline.returncode != 0:
        print(f"FAIL the built image itself fails its checks:\n{baseline.stdout}{baseline.stderr}")
        return 1

    faults = Faults(checker, arguments)
    failures = 0
    for method, check in FAULTS:
        label = method.replace("_", "-")
        if "PASS" not in baseline_statuses.get(check, set()):
            print(f"skip {label}: '{check}' does not run on this image yet")
            continue
        try:
            image, link_map = getattr(faults, f"fault_{method}")()
        except NotApplicable as reason:
            print(f"skip {label}: {reason}")
            continue
        result, statuses = run_checker(arguments, image, link_map)
        if "FAIL" in statuses.get(check, set()) and result.returncode != 0:
            reason = next(line for line in result.stdout.splitlines() if line.split()[:2] == ["FAIL", check])
            print(f"ok   {label}: {reason.split(None, 2)[2]}")
        else:
            failures += 1
            print(f"FAIL {label}: '{check}' did not fail on the faulty copy {image.name}:\n{result.stdout}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
