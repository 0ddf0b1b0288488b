// What both stores of the crash index write the same way into a report's row: the identity of its crash,
// its bug-check code as text, and the time it was recorded.
#pragma once

#include <optional>
#include <string>

#include "model.h"

namespace hestolvane::decode::index_rows {

// Its boot's load time and its crash time; "raw " and its text for a report without a crash time.
std::string Identity(const Report& Decoded, const std::optional<Boot>& LoadedBy);
// "0x50"; empty when the bug check was not read.
std::string Code(const Report& Decoded);
// Now, ISO 8601 UTC to the second.
std::string Now();

}  // namespace hestolvane::decode::index_rows
