// The decoded form of a COM1 capture: the boots announced by the driver's load banner and the crash
// reports it wrote, each as plain data that the listing, the JSON writer and later symbol resolution share.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hestolvane::decode {

// A time as the driver prints it: UTC calendar fields, milliseconds unpadded.
struct Timestamp {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;

    bool operator==(const Timestamp& Other) const;
};

// "2026-12-08 06:03:03.917": the driver's fields, with the milliseconds padded as a reader expects.
std::string FormatTimestamp(const Timestamp& Time);
// "2026-12-08T06:03:03.917Z": the same in ISO 8601, as JSON and the crash index carry it.
std::string FormatIsoTimestamp(const Timestamp& Time);

// A line the reader could not take as what it should be at that point. Line numbers count from 1 over
// everything read in this run.
struct Warning {
    uint64_t Line = 0;
    std::string Message;
    std::string Text;

    bool operator==(const Warning& Other) const;
};

// What the driver said about the boot before this one.
enum class BootState { Normal, LastBsod, LastBsodNewVersion };
std::string_view BootStateName(BootState State);  // "normal", "last_bsod", "last_bsod_new_version"
std::string_view BootStateLine(BootState State);  // the line as the driver prints it, without its line end

// One start of the driver, from its load banner. A banner cut off by a bug check leaves the fields it
// did not reach empty, with a warning.
struct Boot {
    unsigned Number = 0;  // 1 for the first banner in the capture
    uint64_t Line = 0;
    std::optional<int> DriverVersion;
    std::optional<Timestamp> LoadTime;
    std::optional<BootState> State;
    std::vector<Warning> Warnings;
};

struct BugCheck {
    uint64_t Code = 0;
    std::array<uint64_t, 4> Parameters{};

    bool operator==(const BugCheck& Other) const;
};

// Where a module's symbols came from, or why it has none. A module without symbols is an answer, not an
// error: its frames stay module + offset.
enum class SymbolState {
    Found,        // a program database whose GUID is the row's, or the binary named with --image
    Mismatch,     // a file of the right name whose GUID is not the row's
    NotFound,     // nothing in any directory or on any server
    NoIdentity,   // the row carries no GUID to look for
    Unreadable,   // a file that matched by name could not be read as a program database or binary
};
std::string_view SymbolStateName(SymbolState State);  // "found", "mismatch", "not_found", ...

struct SymbolOrigin {
    SymbolState State = SymbolState::NotFound;
    std::string File;    // the file the symbols were read from, or the one refused
    std::string Detail;  // for people: "downloaded from URL", "symbols do not match: its GUID is ..."
};

// One row of the report's module table. Texts the driver had no buffer for print as "(null)" and are
// empty optionals here; a module without program-database identity has an empty PDB path and a GUID of
// zeros.
struct ModuleRow {
    uint64_t Start = 0;  // first address of the image
    uint64_t End = 0;    // first address past the image
    std::optional<std::string> Name;
    std::optional<std::string> PdbPath;  // empty for a module without identity, null when printed "(null)"
    std::optional<std::string> Path;
    std::string Guid;  // as printed: 8-4-4-4-12 uppercase hexadecimal digits

    // Left empty by the reader; symbol resolution says where the module's symbols came from or why none.
    std::optional<SymbolOrigin> Symbols = std::nullopt;

    uint64_t Size() const { return End > Start ? End - Start : 0; }
    bool Contains(uint64_t Address) const { return Start <= Address && Address < End; }
    bool HasIdentity() const;
    bool operator==(const ModuleRow& Other) const;
};

struct Register {
    std::string Name;
    uint64_t Value = 0;

    bool operator==(const Register& Other) const;
};

// The register context block: the address of the walk's CONTEXT record (empty when its line was damaged)
// and the registers in printed order.
struct RegisterContext {
    std::optional<uint64_t> Address;
    std::vector<Register> Registers;

    std::optional<uint64_t> Find(std::string_view Name) const;
    bool operator==(const RegisterContext& Other) const;
};

// The registers of the block, in the order and with the digit counts the driver prints them.
struct RegisterLayout {
    std::string_view Name;
    int Digits;
};
extern const std::array<RegisterLayout, 24> ContextRegisters;

// Where a return address lies: a module and the offset into its image. Row is the module's index in
// the report's table when a row was found for it.
struct ModuleLocation {
    std::optional<std::string> Name;
    uint64_t Offset = 0;
    std::optional<size_t> Row;

    bool operator==(const ModuleLocation& Other) const;
};

// A call the compiler inlined into a frame's function, as the program database records it.
struct InlinedCall {
    std::string Function;
    std::optional<std::string> SourceFile;
    std::optional<uint32_t> SourceLine;
};

// How the driver printed a frame's return address: resolved by its own lookup, or as a raw address.
enum class AddressForm { ModuleOffset, Raw };

// One line of the stack walk.
struct Frame {
    uint64_t StackPointer = 0;
    std::array<uint64_t, 4> StackWords{};
    AddressForm Printed = AddressForm::Raw;
    std::optional<uint64_t> Address;       // the return address, when printed raw or its row is known
    std::optional<ModuleLocation> Module;  // empty when the address lies in no module of the table

    // Left empty by the reader; symbol resolution fills them.
    std::optional<std::string> Function;
    std::optional<uint64_t> FunctionOffset;
    std::optional<std::string> SourceFile;
    std::optional<uint32_t> SourceLine;
    std::vector<InlinedCall> Inlined;  // innermost first: the calls inlined at this frame's address

    bool operator==(const Frame& Other) const;
};

enum class ReportEnd { EndMarker, AfterControlPc, AfterPrintStack, Truncated };
std::string_view ReportEndName(ReportEnd End);  // "end_marker", "control_pc", "print_stack", "truncated"

// What cut a truncated report off.
enum class Truncation { NestedReport, Reboot, IdleTimeout, Disconnected, CaptureRestarted, EndOfInput };
std::string_view TruncationName(Truncation Cause);  // "nested_report", "reboot", ...
std::string_view TruncationText(Truncation Cause);  // a phrase for people: "a nested report began", ...

// What the owner rules made of one frame on the way to the culprit.
enum class FrameVerdict {
    OutsideModules,        // a raw address in no row: the reporter's own frame
    KernelWithoutSymbols,  // the kernel without symbols: its bug-check routines cannot be told apart
    NoRule,                // no rule matches: passed over, kept as the culprit if no rule names one
    Ignored,               // a rule says ignore
    Maybe,                 // a maybe_ owner: the culprit if no definite owner is found lower down
    Last,                  // a last_ owner: the culprit if no definite or maybe_ owner is found
    Owner,                 // a definite owner: the search ends here
};
std::string_view FrameVerdictName(FrameVerdict Verdict);  // "outside_modules", "kernel_without_symbols", ...

struct ExplainedFrame {
    size_t Frame = 0;
    FrameVerdict Verdict = FrameVerdict::NoRule;
    std::string Rule;    // the rule as written, empty when none applied
    std::string Origin;  // where the rule was read: "FILE:LINE"
    bool Chosen = false;

    bool operator==(const ExplainedFrame& Other) const;
};

// What groups crashes: the culprit frame (chosen by the owner rules past the reporter's raw frames and the
// kernel's bug-check and trap routines), the bucket named after it and the bug check's qualifier, and a
// hash of the canonical text.
struct CrashSignature {
    std::optional<size_t> CulpritFrame;  // empty when every frame was passed over
    std::string Bucket;                  // "0xD1_W_mydriver!Function", "0xD1_W_IMAGE_mydriver.sys" or "0xD1_W"
    std::string Qualifier;               // "W", "c0000005", "3"; empty when the bug check has none
    std::string QualifierReason;         // what was read to find it, or why there is none
    std::string FunctionBucket;          // the bucket without the qualifier: "0xD1_mydriver!Function"
    std::string ModuleBucket;            // the bucket by module alone: "0xD1_IMAGE_mydriver.sys"
    std::optional<std::string> Owner;    // from the rule that chose the culprit
    std::string Decision;                // why the culprit is the culprit, for people
    std::vector<ExplainedFrame> Explanation;  // frame by frame, top down, as far as the search went
    std::string Canonical;               // the text hashed
    std::string Hash;                    // 16 lowercase hexadecimal digits
};

struct Report {
    unsigned Number = 0;           // 1 for the first report in the capture
    uint64_t Line = 0;             // the begin marker's line
    std::optional<unsigned> Boot;  // the boot whose banner precedes the report, if one was read
    std::optional<Timestamp> CrashTime;
    std::optional<BugCheck> Check;
    bool HasModuleTable = false;  // false in the short report of a boot without module collection
    std::vector<ModuleRow> Modules;
    std::optional<RegisterContext> Context;
    std::vector<Frame> Frames;
    ReportEnd End = ReportEnd::Truncated;
    std::optional<Truncation> CutBy;
    bool Damaged = false;  // its begin marker was not read: it was recognised by lines only a report has
    std::vector<Warning> Warnings;  // a truncated report always has one saying so

    // The report's lines as read, from the begin marker to the line before the end marker: what tells one
    // report from another in the crash index, whatever symbols later add.
    std::string RawText;
    std::optional<CrashSignature> Signature;  // filled with the symbols
};

// Receives boots and reports in capture order, each as soon as it is complete: a boot before any report
// tied to it.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    virtual void OnBoot(const Boot& Decoded) = 0;
    virtual void OnReport(const Report& Decoded) = 0;
    // The input has nothing more for now (or for good): the moment to make durable what was recorded.
    virtual void OnQuiet() {}
};

}  // namespace hestolvane::decode
