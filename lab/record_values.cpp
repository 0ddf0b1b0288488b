// Values both stores of the lab's record compute the same way.
#include "record_values.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

#include "signature.h"
#include "store.h"

namespace hestolvane::lab {

std::string RawHash(const std::string& Raw) {
    char Text[20];
    std::snprintf(Text, sizeof(Text), "%016llx", static_cast<unsigned long long>(decode::Fnv1a64(Raw)));
    return Text;
}

std::string EncodeTags(const std::map<std::string, std::string>& Tags) {
    std::string Text;
    for (const auto& [Key, Value] : Tags) {
        Text += "\n";
        Text += Key;
        Text += "=";
        Text += Value;
    }
    return Tags.empty() ? "" : Text + "\n";
}

std::map<std::string, std::string> DecodeTags(const std::string& Text) {
    std::map<std::string, std::string> Tags;
    std::istringstream Lines(Text);
    std::string Line;
    while (std::getline(Lines, Line)) {
        const size_t Equals = Line.find('=');
        if (Equals != std::string::npos) {
            Tags[Line.substr(0, Equals)] = Line.substr(Equals + 1);
        }
    }
    return Tags;
}

std::vector<std::string> WindowDays() {
    std::vector<std::string> Days;
    const std::time_t Now = std::time(nullptr);
    for (int Back = static_cast<int>(SparklineDays) - 1; Back >= 0; --Back) {
        const std::time_t Then = Now - static_cast<std::time_t>(Back) * 86400;
        std::tm Utc{};
        gmtime_r(&Then, &Utc);
        char Text[16];
        Days.emplace_back(std::strftime(Text, sizeof(Text), "%Y-%m-%d", &Utc) > 0 ? Text : "");
    }
    return Days;
}

std::string IsoDaysAgo(int Days) {
    const std::time_t Then = std::time(nullptr) - static_cast<std::time_t>(Days) * 86400;
    std::tm Utc{};
    gmtime_r(&Then, &Utc);
    char Text[32];
    return std::strftime(Text, sizeof(Text), "%Y-%m-%dT%H:%M:%S.000Z", &Utc) > 0 ? Text : "";
}

void AddToDaily(std::vector<unsigned>& Daily, const std::vector<std::string>& Days, const std::string& Day,
                unsigned Count) {
    for (size_t Index = 0; Index < Days.size(); ++Index) {
        if (Days[Index] == Day) {
            Daily[Index] += Count;
        }
    }
}

std::string CanonicalOf(const std::string& Document) {
    const nlohmann::json Parsed = nlohmann::json::parse(Document, nullptr, false);
    if (Parsed.is_discarded() || !Parsed.contains("signature") || !Parsed["signature"].is_object()) {
        return "";
    }
    const nlohmann::json& Canonical = Parsed["signature"]["canonical"];
    return Canonical.is_string() ? Canonical.get<std::string>() : "";
}

}  // namespace hestolvane::lab
