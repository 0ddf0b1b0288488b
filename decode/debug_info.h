// Reading symbols out of a program database or a binary: the decoder's one door to LLVM's debug-info
// libraries, kept behind this header so that only debug_info.cpp pays for LLVM's headers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

namespace hestolvane::decode {

// What the symbols say about one address. A miss (no function covers it) is an empty Function.
struct SymbolLookup {
    std::optional<std::string> Function;  // the outermost function: the one the frame is in
    uint64_t FunctionOffset = 0;          // from the function's first instruction to the address
    std::optional<std::string> SourceFile;
    std::optional<uint32_t> SourceLine;
    std::vector<InlinedCall> Inlined;  // innermost first
};

class DebugInfo {
public:
    virtual ~DebugInfo() = default;
    // Rva is relative to the image base, as a report's module + offset is.
    virtual SymbolLookup Lookup(uint64_t Rva) = 0;
};

// A program database opened, or why it could not be. Guid is as a report prints it (8-4-4-4-12 uppercase).
struct OpenedDatabase {
    std::unique_ptr<DebugInfo> Reader;  // empty when Error says why
    std::string Guid;
    uint32_t Age = 0;
    std::string Error;
};
OpenedDatabase OpenProgramDatabase(const std::string& Path);

// A binary read through LLVM's symbolizer: a PE image (its program database found from its debug
// directory) or an ELF file with DWARF. Empty Reader when Error says why.
struct OpenedBinary {
    std::unique_ptr<DebugInfo> Reader;
    std::string Error;
};
OpenedBinary OpenBinary(const std::string& Path);

}  // namespace hestolvane::decode
