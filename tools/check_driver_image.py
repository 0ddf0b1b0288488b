#!/usr/bin/python3
# Checks the finished, signed HesTolvaneDrv.sys: what Windows requires of a kernel driver image, its version
# resource, debug record and signature, where its code was placed, and its exception-scope coverage.
"""Prints one PASS, FAIL or SKIP line per check; exit status 1 when any check fails.

A check is skipped only when what it examines is not in the image yet (a routine not written so far)."""

import argparse
import bisect
import re
import struct
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pefile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_DIRECTORY_ENTRY_EXCEPTION = 3
IMAGE_DIRECTORY_ENTRY_SECURITY = 4
IMAGE_DIRECTORY_ENTRY_IAT = 12
IMAGE_DEBUG_TYPE_CODEVIEW = 2
IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT = 0x1
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_DLLCHARACTERISTICS_GUARD_CF = 0x4000
IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG = 10
IMAGE_REL_BASED_DIR64 = 10
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000
UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_CHAININFO = 0x4
PAGE_SIZE = 0x1000
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7

KERNEL_MODULE = "ntoskrnl.exe"
IMAGE_NAME = "HesTolvaneDrv.sys"
STRING_TABLE = "040904B0"
TRANSLATION = (0x0409, 1200)

# Discarded once DriverEntry returns: only start-up code and the texts only it uses belong here.
INIT_ROUTINES = ["DriverEntry"]
# Run at PASSIVE_LEVEL only, so they may be paged out.
PAGEABLE_ROUTINES = ["DispatchCreateClose", "DispatchDeviceControl"]
# Reached at bug check, at raised IRQL or after start-up: they must stay resident and must outlive INIT.
RESIDENT_ROUTINES = ["BugCheckDumpCallback", "PrintModuleInfo", "PrintStack", "FindModuleByAddress", "SerialWrite",
                     "LoadImageNotify", "UnloadDriver", "DispatchShutdown", "ReadRegDword", "RegValueOp",
                     "IsNormalBoot", "IsOlderVersion"]
# Routines that read memory which may fault; RunGuarded is the seam's general form of the same.
GUARDED_ROUTINES = ["GetModulePdbInfo", "LoadImageNotify", "PrintStack", "RunGuarded"]

# The bug-check callback runs on whatever is left of the crashing thread's kernel stack, and the image is
# built without stack probes: no frame of the driver's may skip a guard page, and its deepest chain must fit
# well inside what a dying thread has left.
BUGCHECK_ROOT = "BugCheckDumpCallback"
STACK_CHAIN_BUDGET = 4096

# The kernel releases the imports table (next to this script) vouches for.
IMPORT_TABLE = Path(__file__).resolve().with_name("driver_imports.tsv")


class Results:
    """Collects and prints check outcomes."""

    def __init__(self):
        self.counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}

    def report(self, status, check, message):
        self.counts[status] += 1
        print(f"{status}  {check:<19} {message}", flush=True)

    def passed(self, check, message):
        self.report("PASS", check, message)

    def failed(self, check, message):
        self.report("FAIL", check, message)

    def skipped(self, check, message):
        self.report("SKIP", check, message)

    def expect(self, condition, check, good, bad):
        if condition:
            self.passed(check, good)
        else:
            self.failed(check, bad)


def run_tool(command):
    result = subprocess.run(command, capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


# ---------------------------------------------------------------------------------------------------------
# The image.

@dataclass
class Section:
    name: str
    start: int  # RVA
    end: int  # RVA past the section's virtual size
    flags: int

    @property
    def executable(self):
        return bool(self.flags & IMAGE_SCN_MEM_EXECUTE)


@dataclass
class UnwindInfo:
    flags: int
    handler: int = 0  # RVA of the language handler, when flags has a handler
    scopes: list = field(default_factory=list)  # (begin, end, handler, jump target) RVAs


class Image:
    def __init__(self, path):
        self.path = Path(path)
        self.pe = pefile.PE(str(path))
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        self.sections = [Section(s.Name.rstrip(b"\0").decode("ascii", "replace"), s.VirtualAddress,
                                 s.VirtualAddress + max(s.Misc_VirtualSize, 0), s.Characteristics)
                         for s in self.pe.sections]
        self.runtime_functions = self._runtime_functions()

    def section_at(self, rva):
        for section in self.sections:
            if section.start <= rva < section.end:
                return section
        return None

    def section_named(self, name):
        return [section for section in self.sections if section.name == name]

    def directory(self, index):
        entry = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        return entry.VirtualAddress, entry.Size

    def read(self, rva, size):
        return self.pe.get_data(rva, size)

    def _runtime_functions(self):
        rva, size = self.directory(IMAGE_DIRECTORY_ENTRY_EXCEPTION)
        data = self.read(rva, size) if size else b""
        return [struct.unpack_from("<III", data, offset) for offset in range(0, len(data) - 11, 12)]

    def runtime_function(self, rva):
        for begin, end, unwind in self.runtime_functions:
            if begin == rva:
                return begin, end, unwind
        return None

    def unwind_info(self, rva):
        version_flags, _, code_count, _ = self.read(rva, 4)
        info = UnwindInfo(flags=version_flags >> 3)
        if info.flags & UNW_FLAG_CHAININFO or not info.flags & UNW_FLAG_EHANDLER:
            return info
        # The handler follows the unwind codes, whose count is rounded up to an even number.
        handler_rva = rva + 4 + 2 * ((code_count + 1) & ~1)
        info.handler, count = struct.unpack("<II", self.read(handler_rva, 8))
        table = self.read(handler_rva + 8, 16 * count)
        info.scopes = [struct.unpack_from("<IIII", table, 16 * index) for index in range(count)]
        return info

    def frame_size(self, rva):
        """Bytes a routine's prologue takes from the stack, by its unwind codes (chained ones included), plus
        the return address its caller pushed."""
        size = 8
        seen = set()
        while rva not in seen:
            seen.add(rva)
            version_flags, _, code_count, _ = self.read(rva, 4)
            codes = self.read(rva + 4, 2 * code_count)
            index = 0
            while index < code_count:
                operation, info = codes[2 * index + 1] & 0xF, codes[2 * index + 1] >> 4
                if operation == 0:  # UWOP_PUSH_NONVOL
                    size += 8
                    index += 1
                elif operation == 1 and info == 0:  # UWOP_ALLOC_LARGE, size / 8 in the next slot
                    size += 8 * struct.unpack_from("<H", codes, 2 * index + 2)[0]
                    index += 2
                elif operation == 1:  # UWOP_ALLOC_LARGE, the size itself in the next two slots
                    size += struct.unpack_from("<I", codes, 2 * index + 2)[0]
                    index += 3
                elif operation == 2:  # UWOP_ALLOC_SMALL
                    size += 8 * info + 8
                    index += 1
                elif operation == 10:  # UWOP_PUSH_MACHFRAME, with or without an error code
                    size += 48 if info else 40
                    index += 1
                elif operation in (4, 6, 8):  # save operations: no allocation of their own
                    index += 2
                elif operation in (5, 7, 9):
                    index += 3
                else:  # UWOP_SET_FPREG
                    index += 1
            if not (version_flags >> 3) & UNW_FLAG_CHAININFO:
                break
            chained = rva + 4 + 2 * ((code_count + 1) & ~1)
            rva = struct.unpack_from("<III", self.read(chained, 12))[2]
        return size

    def base_relocations(self):
        """(location RVA, target RVA) of every 64-bit absolute address the loader relocates."""
        found = []
        for block in getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == IMAGE_REL_BASED_DIR64:
                    value = struct.unpack("<Q", self.read(entry.rva, 8))[0]
                    found.append((entry.rva, value - self.base))
        return found


# ---------------------------------------------------------------------------------------------------------
# The linker map (lld-link /map, in link.exe's format).

@dataclass
class MapSymbol:
    name: str
    rva: int
    source: str


def plain_name(symbol):
    """The unqualified name of a global C++ function (_Z<len><name>...), or the symbol itself."""
    match = re.match(r"_ZL?(?:N12_GLOBAL__N_1)?(\d+)", symbol)
    if match:
        return symbol[match.end():match.end() + int(match.group(1))]
    return symbol


class LinkMap:
    LINE = re.compile(r"^\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+(\S+)\s+([0-9a-fA-F]{16})\s+(.*?)\s*$")

    def __init__(self, path, image_base):
        self.timestamp = None
        self.symbols = []
        in_symbols = False
        for line in Path(path).read_text(errors="replace").splitlines():
            stamp = re.match(r"^\s*Timestamp is ([0-9a-fA-F]+)", line)
            if stamp:
                self.timestamp = int(stamp.group(1), 16)
            if "Publics by Value" in line or line.strip() == "Static symbols":
                in_symbols = True
                continue
            match = self.LINE.match(line) if in_symbols else None
            if match:
                self.symbols.append(MapSymbol(match.group(1), int(match.group(2), 16) - image_base, match.group(3)))

    def functions(self, name):
        """Distinct addresses of the routine called `name` (C or global C++ linkage)."""
        seen = {}
        for symbol in self.symbols:
            if plain_name(symbol.name) == name and not symbol.name.startswith(("__imp_", ".refptr.")):
                seen.setdefault(symbol.rva, symbol)
        return list(seen.values())

    def at(self, rva):
        return [symbol.name for symbol in self.symbols if symbol.rva == rva]


# ---------------------------------------------------------------------------------------------------------
# Disassembly. llvm-objdump sweeps linearly and has no symbols for a linked image, so data in a text section
# (a jump table) can leave the sweep out of step with the instructions that follow. Each routine is taken
# from one sweep of its section when the sweep is in step at the routine's start and end, and
# disassembled on its own otherwise.

@dataclass
class Instruction:
    rva: int
    length: int
    mnemonic: str
    operands: str

    @property
    def end(self):
        return self.rva + self.length

    @property
    def is_call(self):
        return self.mnemonic.startswith("call")

    @property
    def branch_target(self):
        """Target of a direct call or jump, as an absolute address; None otherwise."""
        if self.mnemonic.startswith(("call", "j")):
            match = re.match(r"0x([0-9a-f]+)\b", self.operands)
            if match:
                return int(match.group(1), 16)
        return None

    @property
    def memory_target(self):
        """Absolute address of a RIP-relative operand (llvm-objdump's '# 0x...' comment); None otherwise."""
        match = re.search(r"#\s+0x([0-9a-f]+)", self.operands)
        return int(match.group(1), 16) if match else None


class Disassembler:
    LINE = re.compile(r"^\s*([0-9a-f]+):\s((?:[0-9a-f]{2} )+)\s*\t(.*)$")
    JUMP_TABLE_LOAD = re.compile(r"^\((%\w+),%\w+,4\)")

    def __init__(self, objdump, image):
        self.objdump = objdump
        self.image = image
        self.sweeps = {}
        self.cache = {}

    def ranges(self, link_map):
        """[start, end) RVA ranges of the routines: every start known from a section, .pdata or the map
        (leaf routines have no .pdata entry), up to the next one."""
        starts = {section.start for section in self.image.sections if section.executable}
        starts.update(begin for begin, _, _ in self.image.runtime_functions)
        for symbol in link_map.symbols:
            section = self.image.section_at(symbol.rva)
            # $-labels are exception continuation points inside a routine, not routine starts.
            if section and section.executable and not symbol.name.startswith("$"):
                starts.add(symbol.rva)
        ordered = sorted(starts)
        ranges = []
        for index, start in enumerate(ordered):
            section = self.image.section_at(start)
            if section is None or not section.executable:
                continue
            end = section.end
            if index + 1 < len(ordered) and ordered[index + 1] < end:
                end = ordered[index + 1]
            ranges.append((start, end))
        return ranges

    def run_objdump(self, start, end):
        base = self.image.base
        status, output = run_tool([self.objdump, "-d", f"--start-address={base + start:#x}",
                                   f"--stop-address={base + end:#x}", str(self.image.path)])
        if status != 0:
            sys.exit(f"check_driver_image: llvm-objdump failed:\n{output}")
        instructions = []
        for line in output.splitlines():
            match = self.LINE.match(line)
            if not match:
                continue
            text = match.group(3).split("\t", 1)
            operands = text[1].strip() if len(text) > 1 else ""
            instructions.append(Instruction(int(match.group(1), 16) - base, len(match.group(2).split()),
                                            text[0].strip(), operands))
        return instructions

    def sweep(self, section):
        if section.start not in self.sweeps:
            instructions = self.run_objdump(section.start, section.end)
            self.sweeps[section.start] = ([instruction.rva for instruction in instructions], instructions)
        return self.sweeps[section.start]

    def disassemble(self, start, end):
        key = (start, end)
        if key not in self.cache:
            addresses, instructions = self.sweep(self.image.section_at(start))
            first = bisect.bisect_left(addresses, start)
            last = bisect.bisect_left(addresses, end)
            routine = instructions[first:last]
            in_step = (routine and routine[0].rva == start and routine[-1].end <= end
                       and (last == len(instructions) or instructions[last].rva == end))
            if not in_step:
                routine = self.run_objdump(start, end)
            self.cache[key] = self._without_jump_tables(routine, start, end)
        return self.cache[key]

    def _without_jump_tables(self, instructions, start, end):
        """Drops what the sweep decoded from jump tables. Clang puts a routine's tables after its code, in
        the same section, and reaches one with lea table(%rip) then a 4-byte-scaled load from it; everything
        from the first table on is tables and padding."""
        first_table = end
        for index, instruction in enumerate(instructions):
            target = instruction.memory_target
            if instruction.mnemonic != "leaq" or target is None:
                continue
            table = target - self.image.base
            register = instruction.operands.split(",")[-1].split("#")[0].strip()
            for following in instructions[index + 1:index + 4]:
                load = self.JUMP_TABLE_LOAD.match(following.operands)
                if load and load.group(1) == register and start <= table < end and self._is_table(table, start, end):
                    first_table = min(first_table, table)
        return [instruction for instruction in instructions if instruction.end <= first_table]

    def _is_table(self, table, start, end):
        if table + 4 > end:
            return False
        entry = struct.unpack("<i", self.image.read(table, 4))[0]
        return start <= table + entry < end


# ---------------------------------------------------------------------------------------------------------
# Line tables from the PDB (llvm-pdbutil dump -l) and the __try blocks of the sources they name.

@dataclass
class LineBlock:
    source: str
    start: int  # RVA
    end: int
    lines: list  # (RVA, line), ascending


def read_line_blocks(pdbutil, pdb, image):
    status, output = run_tool([pdbutil, "dump", "-l", str(pdb)])
    if status != 0:
        sys.exit(f"check_driver_image: llvm-pdbutil dump -l failed:\n{output}")
    blocks = []
    source = None
    current = None
    for line in output.splitlines():
        if line.startswith("Mod "):
            source = None
            continue
        named = re.match(r"^(\S.*) \(MD5: [0-9A-Fa-f]+\)$", line)
        if named:
            source = named.group(1)
            continue
        if line.startswith("(unknown file name"):
            source = None
            continue
        header = re.match(r"^\s+([0-9A-F]{4}):([0-9A-F]{8})-([0-9A-F]{8}), line/addr entries", line)
        if header:
            current = None
            section_index = int(header.group(1), 16)
            if source is None or not 1 <= section_index <= len(image.sections):
                continue
            section_start = image.sections[section_index - 1].start
            current = LineBlock(source, section_start + int(header.group(2), 16),
                                section_start + int(header.group(3), 16), [])
            blocks.append(current)
            continue
        if current is not None:
            # Entries give offsets in the section, like the block header.
            for number, offset in re.findall(r"(\d+) ([0-9A-F]{8}) [! ]", line):
                current.lines.append((section_start + int(offset, 16), int(number)))
    for block in blocks:
        block.lines.sort()
    return blocks


def source_without_comments_or_literals(text):
    """The source with comments, string and character literals blanked out, newlines kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda match: re.sub(r"[^\n]", " ", match.group(0)), text)


def matching_brace(text, open_index):
    depth = 0
    for index in range(open_index, len(text)):
        if text[index] == "{":
            depth += 1
        elif text[index] == "}":
            depth -= 1
            if depth == 0:
                return index
    return None


def try_blocks(source_path, first_line):
    """(line of '{', line of '}') of every __try block in the function whose definition starts at
    first_line."""
    text = source_without_comments_or_literals(Path(source_path).read_text(errors="replace"))
    line_starts = [0] + [match.end() for match in re.finditer(r"\n", text)]
    if first_line > len(line_starts):
        return None

    def line_of(index):
        return bisect.bisect_right(line_starts, index)

    body_open = text.find("{", line_starts[first_line - 1])
    body_close = matching_brace(text, body_open) if body_open >= 0 else None
    if body_close is None:
        return None
    blocks = []
    for match in re.finditer(r"\b__try\b", text[body_open:body_close]):
        block_open = text.find("{", body_open + match.end())
        block_close = matching_brace(text, block_open)
        if block_open < 0 or block_close is None:
            return None
        blocks.append((line_of(block_open), line_of(block_close)))
    return blocks


# ---------------------------------------------------------------------------------------------------------
# The table of imports the driver may use.

RELEASE_ORDER = ["2000", "XP", "Vista", "7", "8", "8.1", "10"]


@dataclass
class ImportRow:
    name: str
    since: str  # a release in RELEASE_ORDER, or "-" where no document gives one
    document: str


def read_import_table(path):
    table = {}
    for number, line in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), start=1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3 or not all(field.strip() for field in fields):
            raise ValueError(f"line {number}: not three tab-separated fields")
        name, since, document = (field.strip() for field in fields)
        if since != "-" and since not in RELEASE_ORDER:
            raise ValueError(f"line {number}: release {since!r} is none of {', '.join(RELEASE_ORDER)} or -")
        if name in table:
            raise ValueError(f"line {number}: {name} is listed twice")
        table[name] = ImportRow(name, since, document)
    return table


# ---------------------------------------------------------------------------------------------------------
# The checks.

class ImageChecks:
    def __init__(self, arguments, results):
        self.arguments = arguments
        self.results = results
        self.image = Image(arguments.image)
        self.map = LinkMap(arguments.map, self.image.base)
        self.disassembler = Disassembler(arguments.objdump, self.image)
        self.references = None
        self.map_usable = False

    def run(self):
        self.check_map()
        self.check_headers()
        self.check_entry_point()
        self.check_imports()
        self.check_import_table()
        self.check_sections()
        self.check_memory_integrity()
        self.check_dll_characteristics()
        self.check_version_resource()
        self.check_checksum()
        self.check_codeview()
        self.check_cet_compat()
        self.check_signature()
        if self.map_usable:
            self.check_placement()
            self.check_init_references()
            self.check_init_texts()
            self.check_guarded_routines()
            self.check_stack_budget()

    # -- what the map says must be about this very image
    def check_map(self):
        stamp = self.image.pe.FILE_HEADER.TimeDateStamp
        if self.map.timestamp is None or not self.map.symbols:
            self.results.failed("map", f"{self.arguments.map} is not an lld-link map with symbols")
        elif self.map.timestamp != stamp:
            self.results.failed("map", f"the map was written for timestamp {self.map.timestamp:#x}, the image has "
                                       f"{stamp:#x}: placement checks would examine another link")
        else:
            self.map_usable = True
            self.results.passed("map", f"written by the link that made the image (timestamp {stamp:#x})")

    # -- headers
    def check_headers(self):
        header = self.image.pe.FILE_HEADER
        optional = self.image.pe.OPTIONAL_HEADER
        self.results.expect(header.Machine == IMAGE_FILE_MACHINE_AMD64, "machine", "AMD64 (0x8664)",
                            f"machine {header.Machine:#x}, not AMD64 (0x8664)")
        self.results.expect(optional.Subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem", "native (1)",
                            f"subsystem {optional.Subsystem}, not native (1)")
        os_version = (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
        self.results.expect(os_version == (10, 0), "os-version", "10.0", "operating system version "
                            f"{os_version[0]}.{os_version[1]}, not 10.0")
        subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
        self.results.expect(subsystem_version == (10, 0), "subsystem-version", "10.0", "subsystem version "
                            f"{subsystem_version[0]}.{subsystem_version[1]}, not 10.0")

    def check_entry_point(self):
        entry = self.image.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        routines = [symbol for symbol in self.map.symbols if symbol.name == "DriverEntry"]
        if not routines:
            self.results.failed("entry-point", "the map has no DriverEntry")
        elif routines[0].rva != entry:
            names = ", ".join(self.map.at(entry)) or "no symbol"
            self.results.failed("entry-point", f"entry point RVA {entry:#x} ({names}) is not DriverEntry "
                                               f"({routines[0].rva:#x})")
        else:
            self.results.passed("entry-point", f"DriverEntry (RVA {entry:#x})")

    def check_imports(self):
        modules = [entry.dll.decode("ascii", "replace")
                   for entry in getattr(self.image.pe, "DIRECTORY_ENTRY_IMPORT", [])]
        delayed = [entry.dll.decode("ascii", "replace")
                   for entry in getattr(self.image.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        others = [name for name in modules + delayed if name.lower() != KERNEL_MODULE]
        if not modules:
            self.results.failed("imports", "the image imports nothing: it cannot even call the kernel")
        elif others:
            self.results.failed("imports", f"imports from {', '.join(others)}: a driver may import from "
                                           f"{KERNEL_MODULE} only")
        else:
            count = sum(len(entry.imports) for entry in self.image.pe.DIRECTORY_ENTRY_IMPORT)
            self.results.passed("imports", f"{count} routines and variables, all from {KERNEL_MODULE}")

    def check_import_table(self):
        """Every import must be vouched for by the table of imports, which says from which Windows release
        on it exists and where that is written down."""
        try:
            table = read_import_table(self.arguments.imports)
        except (OSError, ValueError) as problem:
            self.results.failed("import-table", f"cannot read {self.arguments.imports}: {problem}")
            return
        imported = [entry_import.name.decode("ascii", "replace") if entry_import.name else f"ordinal {entry_import.ordinal}"
                    for entry in getattr(self.image.pe, "DIRECTORY_ENTRY_IMPORT", []) for entry_import in entry.imports]
        unknown = [name for name in imported if name not in table]
        if unknown:
            self.results.failed("import-table", f"imports not in {self.arguments.imports.name}: {', '.join(unknown)} "
                                                "(add each with the first release that has it and the document)")
            return
        undocumented = sorted(name for name in imported if table[name].since == "-")  # no release given
        documented = [table[name].since for name in imported if table[name].since != "-"]
        newest = max(documented, key=RELEASE_ORDER.index) if documented else "-"
        self.results.passed("import-table", f"all {len(imported)} imports are in {self.arguments.imports.name}; the "
                                            f"ones documented with a release need Windows {newest} or later; no release given: "
                                            f"{', '.join(undocumented) or 'none'}")

    # -- sections
    def check_sections(self):
        names = [section.name for section in self.image.sections]
        duplicates = sorted({name for name in names if names.count(name) > 1})
        self.results.expect(not duplicates, "section-names", f"no duplicates among {', '.join(names)}",
                            f"duplicate section names: {', '.join(duplicates)} (lld keeps same-named input sections "
                            "apart when their flags differ)")

        init = self.image.section_named("INIT")
        if not init:
            self.results.failed("init-section", "no INIT section: start-up code stays resident")
        else:
            wanted = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_DISCARDABLE
            flags = init[0].flags
            self.results.expect(flags & wanted == wanted and not flags & IMAGE_SCN_MEM_WRITE, "init-section",
                                f"INIT is discardable, readable, executable code ({flags:#010x})",
                                f"INIT flags {flags:#010x}: it must be code, readable, executable and discardable "
                                "(/section:INIT,ERD), and not writable")

        page = self.image.section_named("PAGE")
        pageable = [name for name in PAGEABLE_ROUTINES if self.map.functions(name)]
        if not page:
            if pageable:
                self.results.failed("page-section", f"{', '.join(pageable)} exist but the image has no PAGE "
                                                    "section")
            else:
                self.results.skipped("page-section", "no pageable routine in the image yet")
        else:
            flags = page[0].flags
            wanted = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ
            unwanted = IMAGE_SCN_MEM_DISCARDABLE | IMAGE_SCN_MEM_WRITE
            self.results.expect(flags & wanted == wanted and not flags & unwanted, "page-section",
                                f"PAGE is readable, executable code that outlives start-up ({flags:#010x})",
                                f"PAGE flags {flags:#010x}: it must be readable, executable code, neither "
                                "discardable nor writable")

    # -- what memory integrity (HVCI) and Driver Verifier's code-integrity option require of the layout
    def check_memory_integrity(self):
        writable_code = [section.name for section in self.image.sections
                         if section.flags & IMAGE_SCN_MEM_EXECUTE and section.flags & IMAGE_SCN_MEM_WRITE]
        self.results.expect(not writable_code, "wx-sections", "no section is both writable and executable",
                            f"writable and executable: {', '.join(writable_code)} (memory integrity refuses to load "
                            "such an image)")

        alignment = self.image.pe.OPTIONAL_HEADER.SectionAlignment
        unaligned = [f"{section.name} at RVA {section.start:#x}" for section in self.image.sections
                     if section.start % PAGE_SIZE]
        problems = []
        if alignment != PAGE_SIZE:
            problems.append(f"section alignment {alignment:#x}, not {PAGE_SIZE:#x}")
        if unaligned:
            problems.append("sections not on a page boundary: " + ", ".join(unaligned))
        self.results.expect(not problems, "section-alignment",
                            f"section alignment {PAGE_SIZE:#x}, every section starts on a page",
                            "; ".join(problems) + " (page protections cannot separate code from data)")

        iat_rva, iat_size = self.image.directory(IMAGE_DIRECTORY_ENTRY_IAT)
        if not iat_size:
            self.results.failed("iat-section", "no import address table directory")
        else:
            holders = {section.name: section for section in self.image.sections
                       if section.start < iat_rva + iat_size and iat_rva < section.end}
            executable = [name for name, section in holders.items() if section.executable]
            self.results.expect(holders and not executable, "iat-section",
                                f"the import address table is in {', '.join(holders)}, which is not executable",
                                f"the import address table (RVA {iat_rva:#x}) lies in "
                                f"{', '.join(executable) or 'no section'}: it must be in a non-executable section")

    def check_dll_characteristics(self):
        flags = self.image.pe.OPTIONAL_HEADER.DllCharacteristics
        missing = [name for bit, name in ((IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "NX_COMPAT"),
                                          (IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "DYNAMIC_BASE")) if not flags & bit]
        self.results.expect(not missing, "dll-characteristics", f"NX_COMPAT and DYNAMIC_BASE set ({flags:#06x})",
                            f"DllCharacteristics {flags:#06x} lacks {', '.join(missing)}")

        load_config_rva, load_config_size = self.image.directory(IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG)
        if not flags & IMAGE_DLLCHARACTERISTICS_GUARD_CF:
            self.results.passed("guard-cf", "no control-flow guard claimed")
            return
        guard_flags = 0
        guard_table = 0
        if load_config_size:
            config = getattr(self.image.pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
            if config is not None:
                guard_flags = getattr(config.struct, "GuardFlags", 0) or 0
                guard_table = getattr(config.struct, "GuardCFFunctionTable", 0) or 0
        self.results.expect(load_config_size and guard_flags and guard_table, "guard-cf",
                            f"GUARD_CF backed by the load configuration (guard flags {guard_flags:#x})",
                            "GUARD_CF is set but the load configuration carries no guard data (directory "
                            f"{load_config_rva:#x}+{load_config_size:#x}, guard flags {guard_flags:#x}): the image "
                            "claims control-flow guard it does not have")

    # -- version resource
    def check_version_resource(self):
        pe = self.image.pe
        problems = []
        fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
        parts = [int(part) for part in self.arguments.version.split(".")]
        version_ms, version_ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
        if not fixed:
            self.results.failed("version-resource", "no VS_VERSION_INFO resource")
            return
        fixed = fixed[0]
        if (fixed.FileVersionMS, fixed.FileVersionLS) != (version_ms, version_ls):
            problems.append(f"FILEVERSION {fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}."
                            f"{fixed.FileVersionLS >> 16}.{fixed.FileVersionLS & 0xFFFF}")
        if (fixed.ProductVersionMS, fixed.ProductVersionLS) != (version_ms, version_ls):
            problems.append(f"PRODUCTVERSION {fixed.ProductVersionMS >> 16}.{fixed.ProductVersionMS & 0xFFFF}."
                            f"{fixed.ProductVersionLS >> 16}.{fixed.ProductVersionLS & 0xFFFF}")
        if fixed.FileType != VFT_DRV:
            problems.append(f"FILETYPE {fixed.FileType}, not VFT_DRV ({VFT_DRV})")
        if fixed.FileSubtype != VFT2_DRV_SYSTEM:
            problems.append(f"FILESUBTYPE {fixed.FileSubtype}, not VFT2_DRV_SYSTEM ({VFT2_DRV_SYSTEM})")

        tables = {}
        translations = []
        for file_info in getattr(pe, "FileInfo", []):
            for entry in file_info:
                for table in getattr(entry, "StringTable", []):
                    tables[table.LangID.decode("ascii", "replace")] = {
                        key.decode("utf-8", "replace"): value.decode("utf-8", "replace")
                        for key, value in table.entries.items()}
                for var in getattr(entry, "Var", []):
                    value = var.entry.get(b"Translation")
                    if value:
                        translations.append(tuple(int(part, 16) for part in value.split()))
        strings = tables.get(STRING_TABLE)
        if strings is None:
            problems.append(f"no StringFileInfo block {STRING_TABLE} (found {', '.join(tables) or 'none'})")
        else:
            # The strings shown in Explorer's details carry a "V" before the numeric version.
            shown = f"V{self.arguments.version}"
            wanted = {"FileVersion": shown, "ProductVersion": shown,
                      "InternalName": IMAGE_NAME, "OriginalFilename": IMAGE_NAME}
            for key, value in wanted.items():
                if strings.get(key) != value:
                    problems.append(f"{key} {strings.get(key)!r}, not {value!r}")
            for key in ("CompanyName", "FileDescription", "ProductName", "LegalCopyright"):
                if not strings.get(key, "").strip():
                    problems.append(f"{key} missing or empty")
        if TRANSLATION not in translations:
            problems.append(f"VarFileInfo Translation {translations}, not 0x0409, 1200")
        self.results.expect(not problems, "version-resource",
                            f"{self.arguments.version} (strings V{self.arguments.version}), VFT_DRV/VFT2_DRV_SYSTEM, "
                            f"{STRING_TABLE} strings, "
                            "translation 0x0409/1200", "; ".join(problems))

    # -- checksum, debug record, signature
    def check_checksum(self):
        stored = self.image.pe.OPTIONAL_HEADER.CheckSum
        computed = self.image.pe.generate_checksum()
        self.results.expect(stored != 0 and stored == computed, "checksum", f"{stored:#010x} is correct",
                            f"stored {stored:#010x}, computed {computed:#010x}: a driver image must carry its "
                            "correct checksum")

    def check_codeview(self):
        records = [entry for entry in getattr(self.image.pe, "DIRECTORY_ENTRY_DEBUG", [])
                   if entry.struct.Type == IMAGE_DEBUG_TYPE_CODEVIEW]
        if len(records) != 1:
            self.results.failed("codeview", f"{len(records)} CodeView debug entries, not 1")
            return
        entry = records[0].struct
        raw = self.image.pe.__data__[entry.PointerToRawData:entry.PointerToRawData + entry.SizeOfData]
        if raw[:4] != b"RSDS" or len(raw) < 25:
            self.results.failed("codeview", f"the CodeView record is not RSDS ({bytes(raw[:4])!r})")
            return
        data1, data2, data3 = struct.unpack_from("<IHH", raw, 4)
        tail = raw[12:20]
        image_guid = (f"{{{data1:08X}-{data2:04X}-{data3:04X}-{tail[0]:02X}{tail[1]:02X}-"
                      + "".join(f"{byte:02X}" for byte in tail[2:]) + "}")
        image_age = struct.unpack_from("<I", raw, 20)[0]
        image_path = bytes(raw[24:]).split(b"\0", 1)[0].decode("utf-8", "replace")

        status, output = run_tool([self.arguments.pdbutil, "dump", "--summary", str(self.arguments.pdb)])
        guid = re.search(r"GUID: (\{[0-9A-F-]+\})", output)
        age = re.search(r"\bAge: (\d+)", output)
        if status != 0 or not guid or not age:
            self.results.failed("codeview", f"cannot read the PDB's identity:\n{output}")
            return
        problems = []
        if image_guid != guid.group(1):
            problems.append(f"GUID {image_guid} in the image, {guid.group(1)} in the PDB")
        if image_age != int(age.group(1)):
            problems.append(f"age {image_age} in the image, {age.group(1)} in the PDB")
        recorded = Path(image_path.replace("\\", "/"))
        pdb = Path(self.arguments.pdb)
        if recorded.name.lower() != pdb.name.lower() or (recorded.is_absolute() and recorded.exists()
                                                         and not recorded.samefile(pdb)):
            problems.append(f"the image names {image_path}, not {pdb}")
        self.results.expect(not problems, "codeview", f"RSDS {image_guid} age {image_age} {image_path} matches "
                                                      "the PDB", "; ".join(problems))

    def check_cet_compat(self):
        """Kernel CET shadow stacks load only images that say they are compatible, in an extended
        DLL-characteristics debug entry. Readers of the image's identity (this driver's own reader among
        them) take the first debug entry, so that must stay the CodeView one."""
        entries = list(getattr(self.image.pe, "DIRECTORY_ENTRY_DEBUG", []))
        types = [entry.struct.Type for entry in entries]
        extended = [entry.struct for entry in entries if entry.struct.Type == IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS]
        problems = []
        if not types or types[0] != IMAGE_DEBUG_TYPE_CODEVIEW:
            problems.append(f"the first debug entry is of type {types[0] if types else 'none'}, not CodeView (2)")
        if len(extended) != 1:
            problems.append(f"{len(extended)} extended DLL-characteristics (type 20) entries, not 1")
        else:
            raw = self.image.pe.__data__[extended[0].PointerToRawData:extended[0].PointerToRawData + 4]
            value = struct.unpack("<I", raw)[0] if extended[0].SizeOfData >= 4 and len(raw) == 4 else 0
            if not value & IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT:
                problems.append(f"extended DLL characteristics {value:#x} lack CET_COMPAT ({IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT:#x})")
        self.results.expect(not problems, "cet-compat", "CET_COMPAT in a type-20 debug entry after the CodeView entry",
                            "; ".join(problems))

    def check_signature(self):
        _, size = self.image.directory(IMAGE_DIRECTORY_ENTRY_SECURITY)
        if not size:
            self.results.failed("signature", "no Authenticode signature (empty security directory)")
            return
        status, output = run_tool([self.arguments.osslsigncode, "verify", "-CAfile", str(self.arguments.cafile),
                                   "-in", str(self.arguments.image)])
        verified = status == 0 and "Signature verification: ok" in output
        digest = re.search(r"Message digest algorithm\s*:\s*(\S+)", output)
        summary = " ".join(line.strip() for line in output.splitlines()
                           if "verification" in line.lower() or "mismatch" in line.lower() or "error" in line.lower())
        self.results.expect(verified, "signature", f"Authenticode ({digest.group(1) if digest else '?'}) verified "
                                                   f"against {self.arguments.cafile}",
                            f"osslsigncode verify failed: {summary or output.strip()[-300:]}")

    # -- placement
    def section_of_routine(self, name):
        found = self.map.functions(name)
        return [(symbol, self.image.section_at(symbol.rva)) for symbol in found]

    def check_placement(self):
        for name in INIT_ROUTINES:
            self.expect_placement("placement-init", name, lambda section: section == "INIT", "in INIT")
        for name in PAGEABLE_ROUTINES:
            self.expect_placement("placement-page", name, lambda section: section == "PAGE", "in PAGE")
        for name in RESIDENT_ROUTINES:
            self.expect_placement("placement-resident", name, lambda section: section not in ("INIT", "PAGE"),
                                  "outside INIT and PAGE")

    def expect_placement(self, check, name, rule, wanted):
        placements = self.section_of_routine(name)
        if not placements:
            self.results.skipped(check, f"{name} is not in the image yet")
            return
        for symbol, section in placements:
            where = section.name if section else "no section"
            self.results.expect(section is not None and rule(section.name), check,
                                f"{name} is in {where}", f"{name} ({symbol.name}) is in {where}, not {wanted}")

    def init_range(self):
        init = self.image.section_named("INIT")
        return (init[0].start, init[0].end) if init else None

    def code_references(self):
        """(instruction, target RVA, is_branch) for every direct branch and RIP-relative operand."""
        if self.references is not None:
            return self.references
        references = []
        for start, end in self.disassembler.ranges(self.map):
            for instruction in self.disassembler.disassemble(start, end):
                branch = instruction.branch_target
                if branch is not None:
                    references.append((instruction, branch - self.image.base, True))
                memory = instruction.memory_target
                if memory is not None:
                    references.append((instruction, memory - self.image.base, False))
        self.references = references
        return references

    def describe(self, rva):
        """The routine (map symbol at or before rva in the same section) and offset, for messages."""
        section = self.image.section_at(rva)
        best = None
        for symbol in self.map.symbols:
            if symbol.rva <= rva and self.image.section_at(symbol.rva) is section and not symbol.name.startswith("$"):
                if best is None or symbol.rva > best.rva:
                    best = symbol
        if best is None:
            return f"RVA {rva:#x}"
        return f"{best.name}+{rva - best.rva:#x}"

    def check_init_references(self):
        init = self.init_range()
        if init is None:
            self.results.skipped("init-references", "no INIT section")
            return
        inside = lambda rva: init[0] <= rva < init[1]
        offenders = []
        for instruction, target, _ in self.code_references():
            if not inside(instruction.rva) and inside(target):
                offenders.append(f"{self.describe(instruction.rva)} ({instruction.mnemonic}) refers to "
                                 f"{self.describe(target)}")
        for location, target in self.image.base_relocations():
            if not inside(location) and inside(target):
                offenders.append(f"absolute address at {self.describe(location)} points to {self.describe(target)}")
        self.results.expect(not offenders, "init-references",
                            "no code or relocated pointer outside INIT refers into it",
                            "INIT is discarded after start-up, yet: " + "; ".join(offenders[:8])
                            + (f" (and {len(offenders) - 8} more)" if len(offenders) > 8 else ""))

    def check_init_texts(self):
        """Read-only data whose address only INIT code takes is start-up's own text: it belongs in INIT."""
        init = self.init_range()
        if init is None or not self.map.functions("DriverEntry"):
            self.results.skipped("init-texts", "no INIT code")
            return
        inside = lambda rva: init[0] <= rva < init[1]
        excluded = [self.image.directory(IMAGE_DIRECTORY_ENTRY_IAT)]
        excluded.append(self.image.directory(1))  # the import directory

        def read_only_data(rva):
            section = self.image.section_at(rva)
            if section is None or section.executable or section.flags & IMAGE_SCN_MEM_WRITE:
                return False
            return not any(start <= rva < start + size for start, size in excluded if size)

        init_only = {}
        referenced_elsewhere = set()
        for instruction, target, is_branch in self.code_references():
            if is_branch or not read_only_data(target):
                continue
            # A load (a constant-pool entry, a .refptr slot) is the compiler's business; an address taken
            # with lea is a text or table handed to someone.
            if inside(instruction.rva) and instruction.mnemonic == "leaq":
                init_only.setdefault(target, instruction)
            elif not inside(instruction.rva):
                referenced_elsewhere.add(target)
        for location, target in self.image.base_relocations():
            if not inside(location):
                referenced_elsewhere.add(target)

        misplaced = []
        for target in sorted(set(init_only) - referenced_elsewhere):
            names = [name for name in self.map.at(target) if not name.startswith(".refptr.")]
            misplaced.append(f"{names[0] if names else self.preview(target)} in "
                             f"{self.image.section_at(target).name}, used by {self.describe(init_only[target].rva)}")
        self.results.expect(not misplaced, "init-texts",
                            "every text that only start-up code uses is in INIT",
                            "only INIT code uses these, so they belong in INIT (INIT_TEXT): " + "; ".join(misplaced))

    def preview(self, rva):
        """An unnamed text as a literal, so that the message points at the source line that wrote it."""
        data = self.image.read(rva, 96)
        wide = len(data) > 3 and data[1] == 0 and data[3] == 0
        text = (data.decode("utf-16-le", "replace") if wide else data.decode("latin-1")).split("\0", 1)[0]
        shown = text.encode("unicode_escape").decode("ascii")
        if not text or not all(character.isprintable() or character in "\t\r\n" for character in text):
            return f"unnamed data at RVA {rva:#x}"
        return f'unnamed {"u" if wide else ""}"{shown}" at RVA {rva:#x}'

    # -- exception scopes
    def check_guarded_routines(self):
        blocks = read_line_blocks(self.arguments.pdbutil, self.arguments.pdb, self.image)
        handlers = {symbol.rva for symbol in self.map.symbols if symbol.name == "__C_specific_handler"}
        for name in GUARDED_ROUTINES:
            routines = self.map.functions(name)
            if not routines:
                self.results.skipped("seh", f"{name} is not in the image yet")
                continue
            for symbol in routines:
                self.check_guarded_routine(name, symbol, blocks, handlers)

    def check_guarded_routine(self, name, symbol, blocks, handlers):
        block = next((block for block in blocks if block.start == symbol.rva and block.lines), None)
        if block is None:
            self.results.failed("seh", f"{name}: the PDB has no line table for it")
            return
        if not Path(block.source).is_file():
            self.results.failed("seh", f"{name}: its source {block.source} is not readable here")
            return
        try_lines = try_blocks(block.source, block.lines[0][1])
        if try_lines is None:
            self.results.failed("seh", f"{name}: cannot find its body in {block.source}")
            return
        if not try_lines:
            self.results.passed("seh", f"{name} has no __try of its own (guarded work goes through RunGuarded)")
            return

        entry = self.image.runtime_function(symbol.rva)
        if entry is None:
            self.results.failed("seh", f"{name} has a __try but no RUNTIME_FUNCTION: no handler can be found "
                                       "for it")
            return
        begin, end, unwind = entry
        info = self.image.unwind_info(unwind)
        source = Path(block.source).name
        instructions = self.disassembler.disassemble(begin, end)
        problems = []
        guarded_calls = []
        for first, last in try_lines:
            calls = [instruction for instruction in instructions if instruction.is_call
                     and first <= self.line_at(block, instruction.rva) <= last]
            if not calls:
                problems.append(f"the __try at {source}:{first} contains no call; clang covers only faults raised "
                                "inside called functions, so it protects nothing")
            guarded_calls += calls
        if guarded_calls and (not info.flags & UNW_FLAG_EHANDLER or info.handler not in handlers):
            problems.append(f"its unwind information names no __C_specific_handler (flags {info.flags:#x}, "
                            f"handler RVA {info.handler:#x})")
        else:
            for call in guarded_calls:
                # The dispatcher looks the frame's return address up in the scope table.
                if not any(scope_begin <= call.rva and call.end < scope_end and target != 0
                           for scope_begin, scope_end, _, target in info.scopes):
                    problems.append(f"the call at {self.describe(call.rva)} ({source} line "
                                    f"{self.line_at(block, call.rva)}) is in no __except scope")
        ranges = ", ".join(f"[{scope_begin:#x},{scope_end:#x})->{target:#x}"
                           for scope_begin, scope_end, _, target in info.scopes)
        self.results.expect(not problems, "seh",
                            f"{name}: {len(guarded_calls)} guarded calls, all inside its scope table ({ranges})",
                            f"{name}: " + "; ".join(problems) + f" (scope table: {ranges or 'empty'})")

    # -- stack budget of the bug-check path, from the image's own unwind data
    def check_stack_budget(self):
        roots = self.map.functions(BUGCHECK_ROOT)
        if not roots:
            self.results.skipped("stack-frames", f"{BUGCHECK_ROOT} is not in the image yet")
            self.results.skipped("stack-depth", f"{BUGCHECK_ROOT} is not in the image yet")
            return
        ranges = dict(self.disassembler.ranges(self.map))
        iat_rva, iat_size = self.image.directory(IMAGE_DIRECTORY_ENTRY_IAT)
        callees = {}
        # A call through a register reaches a routine whose address the path took (RunGuarded calls what its
        # callers hand it): every routine whose address a reachable routine takes counts as a callee of every
        # reachable routine that calls through a register. More than the truth, never less.
        taken = set()
        through_register = set()
        unbounded = []
        pending = [roots[0].rva]
        while pending:
            while pending:
                start = pending.pop()
                if start in callees:
                    continue
                callees[start] = set()
                for instruction in self.disassembler.disassemble(start, ranges.get(start, start)):
                    branch = instruction.branch_target
                    memory = instruction.memory_target
                    if branch is not None:
                        target = branch - self.image.base
                        # A jump to another routine's start is a tail call; jumps inside the routine are not.
                        inside = start <= target < ranges[start]
                        if target in ranges and target != start and (instruction.is_call or not inside):
                            callees[start].add(target)
                            pending.append(target)
                        elif instruction.is_call:
                            unbounded.append(f"{self.describe(instruction.rva)} calls {target:#x}, no routine start")
                    elif instruction.mnemonic == "leaq" and memory is not None and memory - self.image.base in ranges:
                        taken.add(memory - self.image.base)
                    elif instruction.is_call or (instruction.mnemonic.startswith("jmp") and "*" in instruction.operands):
                        through_iat = memory is not None and iat_rva <= memory - self.image.base < iat_rva + iat_size
                        if not through_iat and memory is None:
                            through_register.add(start)
                        elif not through_iat:
                            unbounded.append(f"{self.describe(instruction.rva)} ({instruction.mnemonic} "
                                             f"{instruction.operands}) calls through a pointer in memory")
            for start in through_register:
                for target in taken - callees[start]:
                    callees[start].add(target)
                    pending.append(target)

        frames = {}
        for start in callees:
            entry = self.image.runtime_function(start)
            frames[start] = self.image.frame_size(entry[2]) if entry else 8
        names = {start: plain_name(self.describe(start).split("+")[0]) for start in callees}
        large = [f"{names[start]} ({size} bytes)" for start, size in frames.items() if size >= PAGE_SIZE]
        largest = max(callees, key=frames.get)
        self.results.expect(not large, "stack-frames",
                            f"{len(callees)} routines reachable from {BUGCHECK_ROOT}, the largest frame "
                            f"{frames[largest]} bytes ({names[largest]})",
                            f"frames of a page or more, which skip the guard page without a probe: {', '.join(large)}")

        deepest = {}
        cycle = []

        def depth(start, path):
            if start in path:
                cycle.append(" > ".join(names[node] for node in path[path.index(start):] + [start]))
                return 0, []
            if start not in deepest:
                best = (0, [])
                for callee in callees[start]:
                    below = depth(callee, path + [start])
                    if below[0] > best[0]:
                        best = below
                deepest[start] = (frames[start] + best[0], [start] + best[1])
            return deepest[start]

        total, chain = depth(roots[0].rva, [])
        shown = " > ".join(f"{names[start]} {frames[start]}" for start in chain)
        problems = []
        if cycle:
            problems.append(f"recursion has no bound: {cycle[0]}")
        if unbounded:
            problems.append("calls whose target the image does not say: " + "; ".join(unbounded[:4]))
        if total > STACK_CHAIN_BUDGET:
            problems.append(f"the deepest chain takes {total} bytes, over {STACK_CHAIN_BUDGET}: {shown}")
        self.results.expect(not problems, "stack-depth",
                            f"deepest chain of the driver's own frames from {BUGCHECK_ROOT}: {total} bytes of "
                            f"{STACK_CHAIN_BUDGET} ({shown})", "; ".join(problems))

    @staticmethod
    def line_at(block, rva):
        index = bisect.bisect_right([address for address, _ in block.lines], rva) - 1
        return block.lines[index][1] if index >= 0 else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--image", required=True, type=Path, help="the signed HesTolvaneDrv.sys")
    parser.add_argument("--map", required=True, type=Path, help="lld-link's /map output for the image")
    parser.add_argument("--pdb", required=True, type=Path, help="the image's PDB")
    parser.add_argument("--cafile", required=True, type=Path, help="CA certificates to verify the signature with")
    parser.add_argument("--version", required=True, help="expected file and product version, a.b.c.d")
    parser.add_argument("--imports", type=Path, default=IMPORT_TABLE, help="the table of imports the driver may use")
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    arguments = parser.parse_args()
    for path in (arguments.image, arguments.map, arguments.pdb, arguments.cafile):
        if not path.is_file():
            sys.exit(f"check_driver_image: {path} does not exist")

    results = Results()
    ImageChecks(arguments, results).run()
    counts = results.counts
    print(f"{arguments.image.name}: {counts['PASS']} passed, {counts['FAIL']} failed, {counts['SKIP']} skipped")
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
