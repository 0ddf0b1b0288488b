// What a rule set or a qualifier table was read from, named for the crash index: an FNV-1a 64 hash of every
// text added, in order, followed by where each came from. Two runs that read the same texts name them alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace hestolvane::decode {

class TextSources {
public:
    void Add(std::string_view Text, const std::string& Origin) {
        for (const char Character : Text) {
            Digest = (Digest ^ static_cast<unsigned char>(Character)) * 0x100000001B3ULL;
        }
        Origins.push_back(Origin);
    }

    std::string Identity() const {
        char Hash[24];
        std::snprintf(Hash, sizeof(Hash), "%016llx", static_cast<unsigned long long>(Digest));
        std::string Text = Hash;
        for (const std::string& Origin : Origins) {
            Text += " " + Origin;
        }
        return Text;
    }

private:
    uint64_t Digest = 0xCBF29CE484222325ULL;
    std::vector<std::string> Origins;
};

}  // namespace hestolvane::decode
