// Crash signatures: which frame is to blame, the bucket named after it, and a hash that stays the same
// across load addresses and, where symbols name the functions, across rebuilds that move code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"

namespace hestolvane::decode {

// The kernel's bug-check, trap and exception-dispatch routines, which sit between the reporter's frames
// and the code that failed. A pattern is a shell glob over the function name, or over "module!function"
// when it holds a "!".
const std::vector<std::string>& DefaultSkipPatterns();

// The trap handlers: the frame after one of these holds the faulting instruction itself, not a return
// address.
bool IsTrapHandler(std::string_view Function);

// ntoskrnl.exe under any of the names the kernel's builds use.
bool IsKernelModule(std::string_view Module);

// FNV-1a, 64 bits.
uint64_t Fnv1a64(std::string_view Text);

// Reads the frames as symbol resolution left them (names where it found them).
CrashSignature ComputeSignature(const Report& Decoded, const std::vector<std::string>& SkipPatterns);

}  // namespace hestolvane::decode
