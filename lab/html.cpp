// Escaping, query encoding and sparklines for the dashboard's pages.
#include "html.h"

#include <algorithm>
#include <cstdio>

namespace hestolvane::lab {

std::string Latin1ToUtf8(std::string_view Text) {
    std::string Utf8;
    Utf8.reserve(Text.size());
    for (const char Each : Text) {
        const auto Byte = static_cast<unsigned char>(Each);
        if (Byte < 0x80) {
            Utf8.push_back(Each);
        } else {
            Utf8.push_back(static_cast<char>(0xC0 | (Byte >> 6)));
            Utf8.push_back(static_cast<char>(0x80 | (Byte & 0x3F)));
        }
    }
    return Utf8;
}

std::string Utf8ToLatin1(std::string_view Utf8) {
    std::string Bytes;
    Bytes.reserve(Utf8.size());
    for (size_t Index = 0; Index < Utf8.size(); ++Index) {
        const auto Lead = static_cast<unsigned char>(Utf8[Index]);
        if (Lead < 0x80) {
            Bytes.push_back(static_cast<char>(Lead));
            continue;
        }
        size_t Extra = Lead >= 0xF0 ? 3 : Lead >= 0xE0 ? 2 : 1;
        unsigned Code = Lead & (Extra == 1 ? 0x1FU : Extra == 2 ? 0x0FU : 0x07U);
        for (; Extra > 0 && Index + 1 < Utf8.size(); --Extra) {
            Code = (Code << 6) | (static_cast<unsigned char>(Utf8[++Index]) & 0x3FU);
        }
        Bytes.push_back(Code < 0x100 ? static_cast<char>(Code) : '?');
    }
    return Bytes;
}

std::string Escape(std::string_view Utf8) {
    std::string Out;
    Out.reserve(Utf8.size() + Utf8.size() / 8);
    for (const char Each : Utf8) {
        switch (Each) {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        case '\'':
            Out += "&#39;";
            break;
        default:
            if ((static_cast<unsigned char>(Each) < 0x20 && Each != '\t' && Each != '\n' && Each != '\r') || Each == 0x7F) {
                Out += "\xEF\xBF\xBD";
            } else {
                Out.push_back(Each);
            }
        }
    }
    return Out;
}

std::string EscapeBytes(std::string_view Latin1) {
    return Escape(Latin1ToUtf8(Latin1));
}

std::string UrlEncode(std::string_view Text) {
    std::string Out;
    for (const char Each : Text) {
        const auto Byte = static_cast<unsigned char>(Each);
        if ((Byte >= 'A' && Byte <= 'Z') || (Byte >= 'a' && Byte <= 'z') || (Byte >= '0' && Byte <= '9') || Byte == '-' ||
            Byte == '_' || Byte == '.' || Byte == '~') {
            Out.push_back(Each);
        } else {
            char Hex[4];
            std::snprintf(Hex, sizeof(Hex), "%%%02X", Byte);
            Out += Hex;
        }
    }
    return Out;
}

std::string Sparkline(const std::vector<unsigned>& Daily) {
    constexpr int Step = 6;
    constexpr int Height = 18;
    const unsigned Highest = std::max(1U, Daily.empty() ? 1U : *std::max_element(Daily.begin(), Daily.end()));
    unsigned Total = 0;
    std::string Points;
    for (size_t Day = 0; Day < Daily.size(); ++Day) {
        Total += Daily[Day];
        const int Y = Height - 1 - static_cast<int>((Daily[Day] * (Height - 2)) / Highest);
        Points += std::to_string(static_cast<int>(Day) * Step + 1) + "," + std::to_string(Y) + " ";
    }
    const int Width = static_cast<int>(Daily.size()) * Step;
    return "<svg class=\"spark\" width=\"" + std::to_string(Width) + "\" height=\"" + std::to_string(Height) +
           "\" viewBox=\"0 0 " + std::to_string(Width) + " " + std::to_string(Height) +
           "\" role=\"img\"><title>" + std::to_string(Total) + " reports in the last " + std::to_string(Daily.size()) +
           " days</title><polyline fill=\"none\" stroke=\"#b03030\" stroke-width=\"1.5\" points=\"" + Points +
           "\"/></svg>";
}

}  // namespace hestolvane::lab
