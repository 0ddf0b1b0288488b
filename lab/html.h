// The small pieces every page is printed with: escaping of untrusted text, query encoding, and the SVG
// sparkline drawn on the server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hestolvane::lab {

// Bytes from a capture are the machine's ANSI code page, carried as Latin-1: each byte kept, as UTF-8.
std::string Latin1ToUtf8(std::string_view Text);
// Back again: a character beyond Latin-1, which Latin1ToUtf8 never makes, becomes '?'.
std::string Utf8ToLatin1(std::string_view Utf8);

// Text for an element's content or a quoted attribute: & < > " ' escaped, control bytes but tab and line
// ends shown as U+FFFD. Utf8 text passes through; Latin-1 text is converted first.
std::string Escape(std::string_view Utf8);
std::string EscapeBytes(std::string_view Latin1);

// A query value: everything but unreserved characters percent-encoded.
std::string UrlEncode(std::string_view Text);

// An inline SVG line of daily counts, oldest first, with the total in its title.
std::string Sparkline(const std::vector<unsigned>& Daily);

}  // namespace hestolvane::lab
