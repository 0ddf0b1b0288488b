// Re-signing a stored report. The raw text is the report as the capture gave it, so it is read by the same
// reader as a capture, closed with an end marker (the index keeps the lines before it); the stored document
// supplies what only the whole capture knew.
#include "rebucket.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "capture_reader.h"
#include "line_forms.h"
#include "output.h"

namespace hestolvane::decode {

namespace {

using Json = nlohmann::ordered_json;

struct OneReport : CaptureSink {
    std::vector<Report> Reports;
    void OnBoot(const Boot&) override {}
    void OnReport(const Report& Decoded) override { Reports.push_back(Decoded); }
};

// A member of a stored object, or null: a stored document is read, not trusted.
const Json& Member(const Json& Object, const char* Name) {
    static const Json Missing;
    if (!Object.is_object()) {
        return Missing;
    }
    const auto Found = Object.find(Name);
    return Found == Object.end() ? Missing : *Found;
}

std::string StringOr(const Json& Value, const std::string& Otherwise) {
    return Value.is_string() ? Value.get<std::string>() : Otherwise;
}

// The documents carry capture text as Latin-1 made UTF-8; the model holds the bytes.
std::string Utf8ToLatin1(const std::string& Text) {
    std::string Bytes;
    Bytes.reserve(Text.size());
    for (size_t Index = 0; Index < Text.size(); Index++) {
        const auto Lead = static_cast<unsigned char>(Text[Index]);
        if ((Lead == 0xC2 || Lead == 0xC3) && Index + 1 < Text.size()) {
            Bytes.push_back(static_cast<char>(((Lead & 0x03) << 6) | (static_cast<unsigned char>(Text[++Index]) & 0x3F)));
        } else {
            Bytes.push_back(Text[Index]);
        }
    }
    return Bytes;
}

std::optional<std::string> OptionalText(const Json& Value) {
    return Value.is_string() ? std::optional(Utf8ToLatin1(Value.get<std::string>())) : std::nullopt;
}

std::optional<uint32_t> OptionalLine(const Json& Value) {
    return Value.is_number_unsigned() ? std::optional(Value.get<uint32_t>()) : std::nullopt;
}

// Takes a frame's names from its stored form.
void NameFrom(const Json& Stored, Frame& Walked) {
    Walked.Function = OptionalText(Member(Stored, "function"));
    if (const Json& Offset = Member(Stored, "function_offset"); Offset.is_string()) {
        Walked.FunctionOffset = std::strtoull(Offset.get<std::string>().c_str(), nullptr, 16);
    }
    Walked.SourceFile = OptionalText(Member(Stored, "source_file"));
    Walked.SourceLine = OptionalLine(Member(Stored, "source_line"));
    Walked.Inlined.clear();
    if (const Json& Calls = Member(Stored, "inlined"); Calls.is_array()) {
        for (const Json& Call : Calls) {
            Walked.Inlined.push_back(InlinedCall{StringOr(Member(Call, "function"), ""),
                                                 OptionalText(Member(Call, "source_file")),
                                                 OptionalLine(Member(Call, "source_line"))});
        }
    }
}

// Symbols found before and missing now: the stored names of that module's frames stand.
void KeepEarlierNames(const Json& Stored, Report& Decoded) {
    const Json& Modules = Member(Stored, "modules");
    const Json& Frames = Member(Stored, "frames");
    if (!Modules.is_array() || Modules.size() != Decoded.Modules.size() || !Frames.is_array() ||
        Frames.size() != Decoded.Frames.size()) {
        return;
    }
    for (size_t Row = 0; Row < Decoded.Modules.size(); Row++) {
        const Json& Symbols = Member(Modules[Row], "symbols");
        ModuleRow& Module = Decoded.Modules[Row];
        if (StringOr(Member(Symbols, "state"), "") != "found" ||
            (Module.Symbols && Module.Symbols->State == SymbolState::Found)) {
            continue;
        }
        Module.Symbols = SymbolOrigin{SymbolState::Found, StringOr(Member(Symbols, "file"), ""),
                                      StringOr(Member(Symbols, "detail"), "")};
        for (size_t Index = 0; Index < Decoded.Frames.size(); Index++) {
            Frame& Walked = Decoded.Frames[Index];
            if (Walked.Module && Walked.Module->Row == Row && Member(Frames[Index], "module_row") == Row) {
                NameFrom(Frames[Index], Walked);
            }
        }
    }
}

}  // namespace

SignedWith SigningOf(const Triage& With) {
    return SignedWith{With.Rules.Identity(), With.Qualifiers.Identity()};
}

std::optional<Resigned> ResignStored(const std::string& Raw, const std::string& Document, SymbolResolver& Resolver,
                                     const Triage& With) {
    OneReport Read;
    CaptureReader Reader(Read);
    Reader.Feed(Raw);
    Reader.Feed(std::string(EndMarkerText) + "\n");
    Reader.Finish();
    if (Read.Reports.size() != 1) {
        return std::nullopt;
    }
    Report& Decoded = Read.Reports.front();
    const Json Stored = Json::parse(Document, nullptr, false);
    Resolver.Resolve(Decoded);
    if (Stored.is_object()) {
        KeepEarlierNames(Stored, Decoded);
    }
    Decoded.Signature = ComputeSignature(Decoded, With);
    Resigned Again;
    Again.Signature = *Decoded.Signature;
    Again.Document = ReportJson(Decoded);
    Json Rebuilt = Json::parse(Again.Document, nullptr, false);
    if (Stored.is_object() && Rebuilt.is_object()) {
        for (const char* Field : {"report", "boot", "line", "end", "truncation", "warnings"}) {
            if (const auto Found = Stored.find(Field); Found != Stored.end()) {
                Rebuilt[Field] = *Found;
            }
        }
        Again.Document = Rebuilt.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    return Again;
}

RebucketCounts RebucketIndex(CrashIndex& Index, SymbolResolver& Resolver, const Triage& With, bool OnlyUnsigned) {
    return Index.Resign(
        [&](const std::string& Raw, const std::string& Document) {
            return ResignStored(Raw, Document, Resolver, With);
        },
        SigningOf(With), OnlyUnsigned);
}

std::string RebucketSummary(const RebucketCounts& Counts) {
    std::string Text = std::to_string(Counts.Reports) + (Counts.Reports == 1 ? " report: " : " reports: ") +
                       std::to_string(Counts.BucketsBefore) + (Counts.BucketsBefore == 1 ? " bucket" : " buckets") +
                       " before, " + std::to_string(Counts.BucketsAfter) + " after; " + std::to_string(Counts.Moved) +
                       (Counts.Moved == 1 ? " report moved" : " reports moved");
    if (Counts.Unreadable > 0) {
        Text += "; " + std::to_string(Counts.Unreadable) + " could not be read again and were left as they were";
    }
    return Text;
}

}  // namespace hestolvane::decode
