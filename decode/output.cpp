// Listing and JSON Lines output. Capture texts are bytes in the machine's ANSI code page; JSON gets them
// as Latin-1 turned into UTF-8, which keeps every byte, and the listing escapes control bytes.
#include "output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "bugcheck_names.h"

namespace hestolvane::decode {

namespace {

using Json = nlohmann::ordered_json;

std::string Hex(uint64_t Value, int Digits = 0) {
    char Text[32];
    std::snprintf(Text, sizeof(Text), "0x%0*llX", Digits, static_cast<unsigned long long>(Value));
    return Text;
}

std::string Address(uint64_t Value) {
    return Hex(Value, 16);
}

std::string Latin1ToUtf8(std::string_view Text) {
    std::string Utf8;
    Utf8.reserve(Text.size());
    for (char Character : Text) {
        const auto Byte = static_cast<unsigned char>(Character);
        if (Byte < 0x80) {
            Utf8.push_back(Character);
        } else {
            Utf8.push_back(static_cast<char>(0xC0 | (Byte >> 6)));
            Utf8.push_back(static_cast<char>(0x80 | (Byte & 0x3F)));
        }
    }
    return Utf8;
}

Json Text(const std::optional<std::string>& Value) {
    return Value ? Json(Latin1ToUtf8(*Value)) : Json(nullptr);
}

Json WarningsJson(const std::vector<Warning>& Warnings) {
    Json List = Json::array();
    for (const Warning& Each : Warnings) {
        List.push_back({{"line", Each.Line}, {"message", Each.Message}, {"text", Latin1ToUtf8(Each.Text)}});
    }
    return List;
}

Json InlinedJson(const std::vector<InlinedCall>& Calls) {
    Json List = Json::array();
    for (const InlinedCall& Call : Calls) {
        List.push_back({{"function", Call.Function},
                        {"source_file", Text(Call.SourceFile)},
                        {"source_line", Call.SourceLine ? Json(*Call.SourceLine) : Json(nullptr)}});
    }
    return List;
}

Json SymbolsJson(const std::optional<SymbolOrigin>& Origin) {
    if (!Origin) {
        return nullptr;
    }
    return {{"state", SymbolStateName(Origin->State)},
            {"file", Origin->File.empty() ? Json(nullptr) : Json(Origin->File)},
            {"detail", Origin->Detail}};
}

Json SignatureJson(const std::optional<CrashSignature>& Signature) {
    if (!Signature) {
        return nullptr;
    }
    return {{"bucket", Latin1ToUtf8(Signature->Bucket)},
            {"hash", Signature->Hash},
            {"culprit_frame", Signature->CulpritFrame ? Json(*Signature->CulpritFrame) : Json(nullptr)},
            {"canonical", Latin1ToUtf8(Signature->Canonical)}};
}

Json FrameJson(size_t Index, const Frame& Walked) {
    Json Words = Json::array();
    for (uint64_t Word : Walked.StackWords) {
        Words.push_back(Address(Word));
    }
    Json Object = {
        {"index", Index},
        {"stack_pointer", Address(Walked.StackPointer)},
        {"stack_words", Words},
        {"printed", Walked.Printed == AddressForm::Raw ? "raw" : "module_offset"},
        {"address", Walked.Address ? Json(Address(*Walked.Address)) : Json(nullptr)},
        {"module", Walked.Module ? Text(Walked.Module->Name) : Json(nullptr)},
        {"offset", Walked.Module ? Json(Hex(Walked.Module->Offset)) : Json(nullptr)},
        {"module_row", Walked.Module && Walked.Module->Row ? Json(*Walked.Module->Row) : Json(nullptr)},
        {"function", Text(Walked.Function)},
        {"function_offset", Walked.FunctionOffset ? Json(Hex(*Walked.FunctionOffset)) : Json(nullptr)},
        {"source_file", Text(Walked.SourceFile)},
        {"source_line", Walked.SourceLine ? Json(*Walked.SourceLine) : Json(nullptr)},
        {"inlined", InlinedJson(Walked.Inlined)},
    };
    return Object;
}

// Control bytes in capture text would act on the terminal; they are shown as \xNN instead.
std::string Printable(std::string_view Text) {
    std::string Shown;
    Shown.reserve(Text.size());
    for (char Character : Text) {
        const auto Byte = static_cast<unsigned char>(Character);
        if (Byte < 0x20 || Byte == 0x7F) {
            char Escape[8];
            std::snprintf(Escape, sizeof(Escape), "\\x%02X", Byte);
            Shown += Escape;
        } else {
            Shown.push_back(Character);
        }
    }
    return Shown;
}

std::string NameOrNull(const std::optional<std::string>& Name) {
    return Name ? Printable(*Name) : "(null)";
}

std::string SourcePlace(const std::optional<std::string>& File, const std::optional<uint32_t>& Line) {
    if (!File) {
        return "";
    }
    return " [" + Printable(*File) + (Line ? " @ " + std::to_string(*Line) : "") + "]";
}

// "module!Function+0x1A [file.cpp @ 123]" with symbols, "module+0x1234" without, the address outside every row.
std::string FrameTarget(const Frame& Walked) {
    if (Walked.Module && Walked.Function) {
        return NameOrNull(Walked.Module->Name) + "!" + Printable(*Walked.Function) + "+" +
               Hex(Walked.FunctionOffset.value_or(0)) + SourcePlace(Walked.SourceFile, Walked.SourceLine);
    }
    if (Walked.Module) {
        return NameOrNull(Walked.Module->Name) + "+" + Hex(Walked.Module->Offset);
    }
    return Address(Walked.Address.value_or(0));
}

std::string SymbolSummary(const SymbolOrigin& Origin) {
    switch (Origin.State) {
    case SymbolState::Found:
        return Origin.Detail;
    case SymbolState::Mismatch:
        return Origin.Detail + " (" + Origin.File + ")";
    case SymbolState::Unreadable:
        return Origin.File + ": " + Origin.Detail;
    case SymbolState::NotFound:
    case SymbolState::NoIdentity:
        return "no symbols: " + Origin.Detail;
    }
    return "";
}

// "driver version 3, loaded 2026-12-08 06:03:03.917 UTC, normal boot."
std::string BootSummary(const Boot& Decoded) {
    std::string Summary =
        "driver version " + (Decoded.DriverVersion ? std::to_string(*Decoded.DriverVersion) : "unknown");
    if (Decoded.LoadTime) {
        Summary += ", loaded " + FormatTimestamp(*Decoded.LoadTime) + " UTC";
    }
    Summary += Decoded.State ? ", " + std::string(BootStateLine(*Decoded.State)) : ", no boot-state line";
    return Summary;
}

void ListWarnings(std::ostream& Out, const std::vector<Warning>& Warnings) {
    if (Warnings.empty()) {
        return;
    }
    Out << "  Warnings:\n";
    for (const Warning& Each : Warnings) {
        Out << "    line " << Each.Line << ": " << Each.Message;
        if (!Each.Text.empty()) {
            Out << ": \"" << Printable(Each.Text) << "\"";
        }
        Out << "\n";
    }
}

}  // namespace

void ListingWriter::OnBoot(const Boot& Decoded) {
    LastBoot = Decoded;
    Out << "Boot " << Decoded.Number << " (line " << Decoded.Line << "): " << BootSummary(Decoded) << "\n";
    ListWarnings(Out, Decoded.Warnings);
    Out << "\n";
    Out.flush();
}

void ListingWriter::OnReport(const Report& Decoded) {
    Out << "Report " << Decoded.Number << " (line " << Decoded.Line << (Decoded.Damaged ? ", begin marker missing" : "")
        << ")\n";
    Out << "  Crashed:     " << (Decoded.CrashTime ? FormatTimestamp(*Decoded.CrashTime) + " UTC" : "unknown") << "\n";
    const bool Known = Decoded.Boot && LastBoot && LastBoot->Number == *Decoded.Boot;
    Out << "  Boot:        "
        << (Known ? std::to_string(LastBoot->Number) + ", " + BootSummary(*LastBoot) : "no load banner before the report")
        << "\n";
    if (Decoded.Check) {
        const std::string_view Name = BugCheckName(Decoded.Check->Code);
        Out << "  Bug check:   " << Hex(Decoded.Check->Code) << (Name.empty() ? "" : " ") << Name << "\n";
        Out << "  Parameters: ";
        for (uint64_t Parameter : Decoded.Check->Parameters) {
            Out << " " << Address(Parameter);
        }
        Out << "\n";
    } else {
        Out << "  Bug check:   unknown\n";
    }
    Out << "  Modules:     "
        << (Decoded.HasModuleTable ? std::to_string(Decoded.Modules.size()) + " rows" : "not collected") << "\n";
    if (!Decoded.Frames.empty()) {
        Out << "  Frames:\n";
        for (size_t Index = 0; Index < Decoded.Frames.size(); Index++) {
            char Number[24];
            std::snprintf(Number, sizeof(Number), "#%02zu", Index);
            Out << "    " << Number << " " << FrameTarget(Decoded.Frames[Index]) << "\n";
            for (const InlinedCall& Call : Decoded.Frames[Index].Inlined) {
                Out << "        inlined " << Printable(Call.Function) << SourcePlace(Call.SourceFile, Call.SourceLine)
                    << "\n";
            }
        }
    }
    ListSymbolsAndSignature(Decoded);
    Out << "  Ended:       ";
    switch (Decoded.End) {
    case ReportEnd::EndMarker:
        Out << "end marker\n";
        break;
    case ReportEnd::AfterControlPc:
        Out << "end marker, after \"ControlPc\"\n";
        break;
    case ReportEnd::AfterPrintStack:
        Out << "end marker, after \"PrintStack\" (the walk faulted)\n";
        break;
    case ReportEnd::Truncated:
        Out << "truncated: " << (Decoded.CutBy ? TruncationText(*Decoded.CutBy) : "") << "\n";
        break;
    }
    ListWarnings(Out, Decoded.Warnings);
    Out << "\n";
    Out.flush();
}

void ListingWriter::ListSymbolsAndSignature(const Report& Decoded) {
    bool Heading = false;
    for (const ModuleRow& Row : Decoded.Modules) {
        if (!Row.Symbols || Row.Symbols->State == SymbolState::NoIdentity) {
            continue;
        }
        if (!Heading) {
            Out << "  Symbols:\n";
            Heading = true;
        }
        Out << "    " << NameOrNull(Row.Name) << ": " << Printable(SymbolSummary(*Row.Symbols)) << "\n";
    }
    if (!Decoded.Signature) {
        return;
    }
    const CrashSignature& Signature = *Decoded.Signature;
    Out << "  Bucket:      " << Printable(Signature.Bucket);
    if (Signature.CulpritFrame) {
        Out << " (frame #" << (*Signature.CulpritFrame < 10 ? "0" : "") << *Signature.CulpritFrame << ")";
    }
    Out << "\n  Signature:   " << Signature.Hash << "\n";
    if (Verbose) {
        Out << "  Canonical text hashed (FNV-1a 64):\n";
        size_t Start = 0;
        while (Start < Signature.Canonical.size()) {
            const size_t End = Signature.Canonical.find('\n', Start);
            Out << "    " << Printable(Signature.Canonical.substr(Start, End - Start)) << "\n";
            Start = End == std::string::npos ? End : End + 1;
        }
    }
}

std::string BootJson(const Boot& Decoded) {
    Json Object = {
        {"kind", "boot"},
        {"schema", JsonSchemaVersion},
        {"boot", Decoded.Number},
        {"line", Decoded.Line},
        {"driver_version", Decoded.DriverVersion ? Json(*Decoded.DriverVersion) : Json(nullptr)},
        {"load_time", Decoded.LoadTime ? Json(FormatIsoTimestamp(*Decoded.LoadTime)) : Json(nullptr)},
        {"state", Decoded.State ? Json(BootStateName(*Decoded.State)) : Json(nullptr)},
        {"warnings", WarningsJson(Decoded.Warnings)},
    };
    return Object.dump();
}

std::string ReportJson(const Report& Decoded) {
    Json Check = nullptr;
    if (Decoded.Check) {
        const std::string_view Name = BugCheckName(Decoded.Check->Code);
        Json Parameters = Json::array();
        for (uint64_t Parameter : Decoded.Check->Parameters) {
            Parameters.push_back(Address(Parameter));
        }
        Check = {{"code", Hex(Decoded.Check->Code)},
                 {"name", Name.empty() ? Json(nullptr) : Json(Name)},
                 {"parameters", Parameters}};
    }
    Json Modules = Json::array();
    for (const ModuleRow& Row : Decoded.Modules) {
        Modules.push_back({{"start", Address(Row.Start)},
                           {"end", Address(Row.End)},
                           {"name", Text(Row.Name)},
                           {"pdb_path", Text(Row.PdbPath)},
                           {"path", Text(Row.Path)},
                           {"guid", Row.Guid},
                           {"has_identity", Row.HasIdentity()},
                           {"symbols", SymbolsJson(Row.Symbols)}});
    }
    Json Context = nullptr;
    if (Decoded.Context) {
        Json Registers = Json::object();
        for (const Register& Entry : Decoded.Context->Registers) {
            Registers[Entry.Name] = Hex(Entry.Value);
        }
        Context = {{"address", Decoded.Context->Address ? Json(Address(*Decoded.Context->Address)) : Json(nullptr)}, {"registers", Registers}};
    }
    Json Frames = Json::array();
    for (size_t Index = 0; Index < Decoded.Frames.size(); Index++) {
        Frames.push_back(FrameJson(Index, Decoded.Frames[Index]));
    }
    Json Object = {
        {"kind", "report"},
        {"schema", JsonSchemaVersion},
        {"report", Decoded.Number},
        {"boot", Decoded.Boot ? Json(*Decoded.Boot) : Json(nullptr)},
        {"line", Decoded.Line},
        {"crash_time", Decoded.CrashTime ? Json(FormatIsoTimestamp(*Decoded.CrashTime)) : Json(nullptr)},
        {"bug_check", Check},
        {"module_table", Decoded.HasModuleTable},
        {"modules", Modules},
        {"context", Context},
        {"frames", Frames},
        {"signature", SignatureJson(Decoded.Signature)},
        {"end", ReportEndName(Decoded.End)},
        {"truncation", Decoded.CutBy ? Json(TruncationName(*Decoded.CutBy)) : Json(nullptr)},
        {"damaged", Decoded.Damaged},
        {"warnings", WarningsJson(Decoded.Warnings)},
    };
    return Object.dump();
}

void WriteBucketListing(std::ostream& Out, const std::vector<BucketSummary>& Buckets) {
    Out << "reports  first crash               last crash                bucket\n";
    for (const BucketSummary& Each : Buckets) {
        char Count[16];
        std::snprintf(Count, sizeof(Count), "%7u", Each.Count);
        const std::string First = Each.FirstSeen.empty() ? "unknown" : Each.FirstSeen;
        const std::string Last = Each.LastSeen.empty() ? "unknown" : Each.LastSeen;
        Out << Count << "  " << First << std::string(First.size() < 24 ? 26 - First.size() : 2, ' ') << Last
            << std::string(Last.size() < 24 ? 26 - Last.size() : 2, ' ') << Printable(Each.Bucket) << "\n";
        Out << "         sources:";
        for (size_t Index = 0; Index < Each.Sources.size(); Index++) {
            Out << (Index == 0 ? " " : ", ") << Printable(Each.Sources[Index]);
        }
        Out << "\n";
    }
}

std::string BucketJson(const BucketSummary& Bucket) {
    Json Sources = Json::array();
    for (const std::string& Source : Bucket.Sources) {
        Sources.push_back(Latin1ToUtf8(Source));
    }
    Json Object = {
        {"kind", "bucket"},
        {"schema", JsonSchemaVersion},
        {"bucket", Latin1ToUtf8(Bucket.Bucket)},
        {"count", Bucket.Count},
        {"first_crash", Bucket.FirstSeen.empty() ? Json(nullptr) : Json(Bucket.FirstSeen)},
        {"last_crash", Bucket.LastSeen.empty() ? Json(nullptr) : Json(Bucket.LastSeen)},
        {"sources", Sources},
    };
    return Object.dump();
}

void JsonLinesWriter::OnBoot(const Boot& Decoded) {
    Out << BootJson(Decoded) << "\n";
    Out.flush();
}

void JsonLinesWriter::OnReport(const Report& Decoded) {
    Out << ReportJson(Decoded) << "\n";
    Out.flush();
}

void Tally::OnBoot(const Boot& Decoded) {
    Warned = Warned || !Decoded.Warnings.empty();
    Next.OnBoot(Decoded);
}

void Tally::OnReport(const Report& Decoded) {
    ReportCount++;
    Warned = Warned || !Decoded.Warnings.empty();
    Next.OnReport(Decoded);
}

ExitStatus StatusFor(bool InputReadable, const Tally& Counted) {
    if (!InputReadable) {
        return ExitUnreadableInput;
    }
    if (Counted.Reports() == 0) {
        return ExitNoReport;
    }
    return Counted.AnyWarnings() ? ExitWarnings : ExitClean;
}

}  // namespace hestolvane::decode
