// Symbolic names of the common bug-check codes, from the public bug-check code reference.
#pragma once

#include <cstdint>
#include <string_view>

namespace hestolvane::decode {

// The name of a bug-check code, or an empty view for a code not in the table.
std::string_view BugCheckName(uint64_t Code);

}  // namespace hestolvane::decode
