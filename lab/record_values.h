// Values both stores of the lab's record compute the same way: the key that tells reports apart, the
// text tags are kept as, the sparkline's days, and the canonical text read back from a report's document.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace hestolvane::lab {

// What tells two reports of one machine apart beside their crash time: a hash of the raw text, kept
// short so that the uniqueness index stays small.
std::string RawHash(const std::string& Raw);

// Tags as one text, "\nkey=value\n" per tag, so that a filter finds "key=value" or a value by searching it.
std::string EncodeTags(const std::map<std::string, std::string>& Tags);
std::map<std::string, std::string> DecodeTags(const std::string& Text);

// The days of the sparkline's window, oldest first, as "YYYY-MM-DD".
std::vector<std::string> WindowDays();
std::string IsoDaysAgo(int Days);
void AddToDaily(std::vector<unsigned>& Daily, const std::vector<std::string>& Days, const std::string& Day,
                unsigned Count);

// The canonical text the signature hashes, from the decoder's JSON object of a report.
std::string CanonicalOf(const std::string& Document);

}  // namespace hestolvane::lab
