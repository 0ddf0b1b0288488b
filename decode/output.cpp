// Listing and JSON Lines output. Capture texts are bytes in the machine's ANSI code page; JSON gets them
// as Latin-1 turned into UTF-8, which keeps every byte, and the listing escapes control bytes.
#include "output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "bugcheck_names.h"
#include "json_writer.h"

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

void WarningsJson(JsonWriter& Out, const std::vector<Warning>& Warnings) {
    Out.OpenArray();
    for (const Warning& Each : Warnings) {
        Out.Open().Key("line").Number(Each.Line).Key("message").Utf8(Each.Message).Key("text").Latin1(Each.Text).Close();
    }
    Out.CloseArray();
}

void InlinedJson(JsonWriter& Out, const std::vector<InlinedCall>& Calls) {
    Out.OpenArray();
    for (const InlinedCall& Call : Calls) {
        Out.Open().Key("function").Utf8(Call.Function).Key("source_file").Latin1OrNull(Call.SourceFile);
        Out.Key("source_line");
        if (Call.SourceLine) {
            Out.Number(*Call.SourceLine);
        } else {
            Out.Null();
        }
        Out.Close();
    }
    Out.CloseArray();
}

void SymbolsJson(JsonWriter& Out, const std::optional<SymbolOrigin>& Origin) {
    if (!Origin) {
        Out.Null();
        return;
    }
    Out.Open().Key("state").Utf8(SymbolStateName(Origin->State)).Key("file");
    if (Origin->File.empty()) {
        Out.Null();
    } else {
        Out.Utf8(Origin->File);
    }
    Out.Key("detail").Utf8(Origin->Detail).Close();
}

void TextOrNull(JsonWriter& Out, const std::string& Text) {
    if (Text.empty()) {
        Out.Null();
    } else {
        Out.Latin1(Text);
    }
}

void SignatureJson(JsonWriter& Out, const std::optional<CrashSignature>& Signature) {
    if (!Signature) {
        Out.Null();
        return;
    }
    Out.Open().Key("bucket").Latin1(Signature->Bucket).Key("hash").Utf8(Signature->Hash).Key("culprit_frame");
    if (Signature->CulpritFrame) {
        Out.Number(*Signature->CulpritFrame);
    } else {
        Out.Null();
    }
    Out.Key("qualifier");
    TextOrNull(Out, Signature->Qualifier);
    Out.Key("qualifier_reason").Latin1(Signature->QualifierReason);
    Out.Key("bucket_function").Latin1(Signature->FunctionBucket);
    Out.Key("bucket_module").Latin1(Signature->ModuleBucket);
    Out.Key("owner").Latin1OrNull(Signature->Owner);
    Out.Key("decision").Latin1(Signature->Decision);
    Out.Key("explain").OpenArray();
    for (const ExplainedFrame& Step : Signature->Explanation) {
        Out.Open().Key("frame").Number(Step.Frame).Key("verdict").Utf8(FrameVerdictName(Step.Verdict)).Key("rule");
        TextOrNull(Out, Step.Rule);
        Out.Key("origin");
        TextOrNull(Out, Step.Origin);
        Out.Key("chosen").Bool(Step.Chosen).Close();
    }
    Out.CloseArray();
    Out.Key("canonical").Latin1(Signature->Canonical).Close();
}

void FrameJson(JsonWriter& Out, size_t Index, const Frame& Walked) {
    Out.Open().Key("index").Number(Index).Key("stack_pointer").Hex(Walked.StackPointer, 16);
    Out.Key("stack_words").OpenArray();
    for (uint64_t Word : Walked.StackWords) {
        Out.Hex(Word, 16);
    }
    Out.CloseArray();
    Out.Key("printed").Utf8(Walked.Printed == AddressForm::Raw ? "raw" : "module_offset");
    Out.Key("address").HexOrNull(Walked.Address, 16);
    if (Walked.Module) {
        Out.Key("module").Latin1OrNull(Walked.Module->Name).Key("offset").Hex(Walked.Module->Offset);
        Out.Key("module_row");
        if (Walked.Module->Row) {
            Out.Number(*Walked.Module->Row);
        } else {
            Out.Null();
        }
    } else {
        Out.Key("module").Null().Key("offset").Null().Key("module_row").Null();
    }
    Out.Key("function").Latin1OrNull(Walked.Function);
    Out.Key("function_offset").HexOrNull(Walked.FunctionOffset);
    Out.Key("source_file").Latin1OrNull(Walked.SourceFile);
    Out.Key("source_line");
    if (Walked.SourceLine) {
        Out.Number(*Walked.SourceLine);
    } else {
        Out.Null();
    }
    Out.Key("inlined");
    InlinedJson(Out, Walked.Inlined);
    Out.Close();
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
    if (Signature.Owner) {
        Out << "\n  Owner:       " << Printable(*Signature.Owner);
    }
    Out << "\n  Signature:   " << Signature.Hash << "\n";
    if (Explain) {
        ListExplanation(Decoded);
    }
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

// Frame by frame, what the owner rules made of it, then why the culprit is the culprit, the qualifier and
// the alternative keys.
void ListingWriter::ListExplanation(const Report& Decoded) {
    const CrashSignature& Signature = *Decoded.Signature;
    Out << "  Why this frame:\n";
    for (const ExplainedFrame& Step : Signature.Explanation) {
        char Number[24];
        std::snprintf(Number, sizeof(Number), "#%02zu", Step.Frame);
        Out << "    " << (Step.Chosen ? "> " : "  ") << Number << " " << FrameTarget(Decoded.Frames[Step.Frame]) << ": ";
        const std::string ByRule = Printable(Step.Rule) + " (" + Printable(Step.Origin) + ")";
        switch (Step.Verdict) {
        case FrameVerdict::OutsideModules:
            Out << "outside every module, passed over";
            break;
        case FrameVerdict::KernelWithoutSymbols:
            Out << "the kernel without symbols, passed over";
            break;
        case FrameVerdict::NoRule:
            Out << "no rule";
            break;
        case FrameVerdict::Ignored:
            Out << "ignored by " << ByRule;
            break;
        case FrameVerdict::Maybe:
            Out << "a maybe_ owner by " << ByRule;
            break;
        case FrameVerdict::Last:
            Out << "a last_ owner by " << ByRule;
            break;
        case FrameVerdict::Owner:
            Out << "owned by " << ByRule;
            break;
        }
        Out << "\n";
    }
    Out << "    Culprit: " << Printable(Signature.Decision) << "\n";
    Out << "    Qualifier: " << Printable(Signature.QualifierReason) << "\n";
    Out << "    Without the qualifier: " << Printable(Signature.FunctionBucket) << "\n";
    Out << "    By module: " << Printable(Signature.ModuleBucket) << "\n";
}

std::string BootJson(const Boot& Decoded) {
    JsonWriter Out;
    Out.Open().Key("kind").Utf8("boot").Key("schema").Number(JsonSchemaVersion);
    Out.Key("boot").Number(Decoded.Number).Key("line").Number(Decoded.Line).Key("driver_version");
    if (Decoded.DriverVersion) {
        Out.Signed(*Decoded.DriverVersion);
    } else {
        Out.Null();
    }
    Out.Key("load_time");
    if (Decoded.LoadTime) {
        Out.Utf8(FormatIsoTimestamp(*Decoded.LoadTime));
    } else {
        Out.Null();
    }
    Out.Key("state");
    if (Decoded.State) {
        Out.Utf8(BootStateName(*Decoded.State));
    } else {
        Out.Null();
    }
    Out.Key("warnings");
    WarningsJson(Out, Decoded.Warnings);
    Out.Close();
    return Out.Text();
}

// Written member by member, in the order the schema gives: a report of 300 rows is a few hundred
// kilobytes of JSON, and building a tree of values for it first cost four times the reading.
std::string ReportJson(const Report& Decoded) {
    JsonWriter Out;
    Out.Reserve(2048 + 512 * (Decoded.Modules.size() + Decoded.Frames.size()));
    Out.Open().Key("kind").Utf8("report").Key("schema").Number(JsonSchemaVersion);
    Out.Key("report").Number(Decoded.Number).Key("boot");
    if (Decoded.Boot) {
        Out.Number(*Decoded.Boot);
    } else {
        Out.Null();
    }
    Out.Key("line").Number(Decoded.Line).Key("crash_time");
    if (Decoded.CrashTime) {
        Out.Utf8(FormatIsoTimestamp(*Decoded.CrashTime));
    } else {
        Out.Null();
    }
    Out.Key("bug_check");
    if (Decoded.Check) {
        const std::string_view Name = BugCheckName(Decoded.Check->Code);
        Out.Open().Key("code").Hex(Decoded.Check->Code).Key("name");
        if (Name.empty()) {
            Out.Null();
        } else {
            Out.Utf8(Name);
        }
        Out.Key("parameters").OpenArray();
        for (uint64_t Parameter : Decoded.Check->Parameters) {
            Out.Hex(Parameter, 16);
        }
        Out.CloseArray().Close();
    } else {
        Out.Null();
    }
    Out.Key("module_table").Bool(Decoded.HasModuleTable);
    Out.Key("modules").OpenArray();
    for (const ModuleRow& Row : Decoded.Modules) {
        Out.Open().Key("start").Hex(Row.Start, 16).Key("end").Hex(Row.End, 16);
        Out.Key("name").Latin1OrNull(Row.Name).Key("pdb_path").Latin1OrNull(Row.PdbPath).Key("path").Latin1OrNull(Row.Path);
        Out.Key("guid").Latin1(Row.Guid).Key("has_identity").Bool(Row.HasIdentity()).Key("symbols");
        SymbolsJson(Out, Row.Symbols);
        Out.Close();
    }
    Out.CloseArray();
    Out.Key("context");
    if (Decoded.Context) {
        Out.Open().Key("address").HexOrNull(Decoded.Context->Address, 16).Key("registers").Open();
        for (const Register& Entry : Decoded.Context->Registers) {
            Out.Key(Entry.Name).Hex(Entry.Value);
        }
        Out.Close().Close();
    } else {
        Out.Null();
    }
    Out.Key("frames").OpenArray();
    for (size_t Index = 0; Index < Decoded.Frames.size(); Index++) {
        FrameJson(Out, Index, Decoded.Frames[Index]);
    }
    Out.CloseArray();
    Out.Key("signature");
    SignatureJson(Out, Decoded.Signature);
    Out.Key("end").Utf8(ReportEndName(Decoded.End)).Key("truncation");
    if (Decoded.CutBy) {
        Out.Utf8(TruncationName(*Decoded.CutBy));
    } else {
        Out.Null();
    }
    Out.Key("damaged").Bool(Decoded.Damaged);
    Out.Key("warnings");
    WarningsJson(Out, Decoded.Warnings);
    Out.Close();
    return Out.Text();
}

std::string_view BucketKeyName(BucketKey By) {
    switch (By) {
    case BucketKey::Bucket:
        return "bucket";
    case BucketKey::Function:
        return "function";
    case BucketKey::Module:
        return "module";
    }
    return "";
}

void WriteBucketListing(std::ostream& Out, const std::vector<BucketSummary>& Buckets, BucketKey By) {
    Out << "reports  first crash               last crash                " << BucketKeyName(By) << "\n";
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
        if (!Each.Owners.empty()) {
            Out << "         owners:";
            for (size_t Index = 0; Index < Each.Owners.size(); Index++) {
                Out << (Index == 0 ? " " : ", ") << Printable(Each.Owners[Index]);
            }
            Out << "\n";
        }
    }
}

std::string BucketJson(const BucketSummary& Bucket, BucketKey By) {
    Json Sources = Json::array();
    for (const std::string& Source : Bucket.Sources) {
        Sources.push_back(Latin1ToUtf8(Source));
    }
    Json Owners = Json::array();
    for (const std::string& Owner : Bucket.Owners) {
        Owners.push_back(Latin1ToUtf8(Owner));
    }
    Json Object = {
        {"kind", "bucket"},
        {"schema", JsonSchemaVersion},
        {"by", BucketKeyName(By)},
        {"bucket", Latin1ToUtf8(Bucket.Bucket)},
        {"count", Bucket.Count},
        {"first_crash", Bucket.FirstSeen.empty() ? Json(nullptr) : Json(Bucket.FirstSeen)},
        {"last_crash", Bucket.LastSeen.empty() ? Json(nullptr) : Json(Bucket.LastSeen)},
        {"sources", Sources},
        {"owners", Owners},
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
