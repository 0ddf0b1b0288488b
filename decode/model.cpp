// Small behaviour of the capture model: names of its enumerations, time formatting, comparisons.
#include "model.h"

#include <cstdio>
#include <tuple>

namespace hestolvane::decode {

const std::array<RegisterLayout, 24> ContextRegisters = {{
    {"GS", 4},   {"FS", 4},   {"ES", 4},   {"DS", 4},   {"SS", 4},   {"CS", 4},   {"EFLAGS", 8}, {"RSI", 16},
    {"RDI", 16}, {"RAX", 16}, {"RBX", 16}, {"RCX", 16}, {"RDX", 16}, {"RIP", 16}, {"RSP", 16},   {"RBP", 16},
    {"R8", 16},  {"R9", 16},  {"R10", 16}, {"R11", 16}, {"R12", 16}, {"R13", 16}, {"R14", 16},   {"R15", 16},
}};

bool Timestamp::operator==(const Timestamp& Other) const {
    return std::tie(Year, Month, Day, Hour, Minute, Second, Millisecond) ==
           std::tie(Other.Year, Other.Month, Other.Day, Other.Hour, Other.Minute, Other.Second, Other.Millisecond);
}

std::string FormatTimestamp(const Timestamp& Time) {
    char Text[64];
    std::snprintf(Text, sizeof(Text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", Time.Year, Time.Month, Time.Day, Time.Hour,
                  Time.Minute, Time.Second, Time.Millisecond);
    return Text;
}

std::string FormatIsoTimestamp(const Timestamp& Time) {
    std::string Formatted = FormatTimestamp(Time);
    Formatted[10] = 'T';
    return Formatted + "Z";
}

bool Warning::operator==(const Warning& Other) const {
    return std::tie(Line, Message, Text) == std::tie(Other.Line, Other.Message, Other.Text);
}

std::string_view BootStateName(BootState State) {
    switch (State) {
    case BootState::Normal:
        return "normal";
    case BootState::LastBsod:
        return "last_bsod";
    case BootState::LastBsodNewVersion:
        return "last_bsod_new_version";
    }
    return "";
}

std::string_view BootStateLine(BootState State) {
    switch (State) {
    case BootState::Normal:
        return "normal boot.";
    case BootState::LastBsod:
        return "last bsod.";
    case BootState::LastBsodNewVersion:
        return "last bsod, but new version.";
    }
    return "";
}

std::string_view SymbolStateName(SymbolState State) {
    switch (State) {
    case SymbolState::Found:
        return "found";
    case SymbolState::Mismatch:
        return "mismatch";
    case SymbolState::NotFound:
        return "not_found";
    case SymbolState::NoIdentity:
        return "no_identity";
    case SymbolState::Unreadable:
        return "unreadable";
    }
    return "";
}

bool BugCheck::operator==(const BugCheck& Other) const {
    return Code == Other.Code && Parameters == Other.Parameters;
}

bool ModuleRow::HasIdentity() const {
    for (char Digit : Guid) {
        if (Digit != '0' && Digit != '-') {
            return true;
        }
    }
    return false;
}

bool ModuleRow::operator==(const ModuleRow& Other) const {
    return std::tie(Start, End, Name, PdbPath, Path, Guid) ==
           std::tie(Other.Start, Other.End, Other.Name, Other.PdbPath, Other.Path, Other.Guid);
}

bool Register::operator==(const Register& Other) const {
    return Name == Other.Name && Value == Other.Value;
}

std::optional<uint64_t> RegisterContext::Find(std::string_view Name) const {
    for (const Register& Entry : Registers) {
        if (Entry.Name == Name) {
            return Entry.Value;
        }
    }
    return std::nullopt;
}

bool RegisterContext::operator==(const RegisterContext& Other) const {
    return Address == Other.Address && Registers == Other.Registers;
}

bool ModuleLocation::operator==(const ModuleLocation& Other) const {
    return std::tie(Name, Offset, Row) == std::tie(Other.Name, Other.Offset, Other.Row);
}

bool Frame::operator==(const Frame& Other) const {
    return std::tie(StackPointer, StackWords, Printed, Address, Module, Function, FunctionOffset, SourceFile,
                    SourceLine) == std::tie(Other.StackPointer, Other.StackWords, Other.Printed, Other.Address,
                                            Other.Module, Other.Function, Other.FunctionOffset, Other.SourceFile,
                                            Other.SourceLine);
}

std::string_view FrameVerdictName(FrameVerdict Verdict) {
    switch (Verdict) {
    case FrameVerdict::OutsideModules:
        return "outside_modules";
    case FrameVerdict::KernelWithoutSymbols:
        return "kernel_without_symbols";
    case FrameVerdict::NoRule:
        return "no_rule";
    case FrameVerdict::Ignored:
        return "ignore";
    case FrameVerdict::Maybe:
        return "maybe";
    case FrameVerdict::Last:
        return "last";
    case FrameVerdict::Owner:
        return "owner";
    }
    return "";
}

bool ExplainedFrame::operator==(const ExplainedFrame& Other) const {
    return std::tie(Frame, Verdict, Rule, Origin, Chosen) ==
           std::tie(Other.Frame, Other.Verdict, Other.Rule, Other.Origin, Other.Chosen);
}

std::string_view ReportEndName(ReportEnd End) {
    switch (End) {
    case ReportEnd::EndMarker:
        return "end_marker";
    case ReportEnd::AfterControlPc:
        return "control_pc";
    case ReportEnd::AfterPrintStack:
        return "print_stack";
    case ReportEnd::Truncated:
        return "truncated";
    }
    return "";
}

std::string_view TruncationName(Truncation Cause) {
    switch (Cause) {
    case Truncation::NestedReport:
        return "nested_report";
    case Truncation::Reboot:
        return "reboot";
    case Truncation::IdleTimeout:
        return "idle_timeout";
    case Truncation::Disconnected:
        return "disconnected";
    case Truncation::CaptureRestarted:
        return "capture_restarted";
    case Truncation::EndOfInput:
        return "end_of_input";
    }
    return "";
}

std::string_view TruncationText(Truncation Cause) {
    switch (Cause) {
    case Truncation::NestedReport:
        return "a nested report began";
    case Truncation::Reboot:
        return "the machine rebooted (a load banner)";
    case Truncation::IdleTimeout:
        return "the line went idle";
    case Truncation::Disconnected:
        return "the source disconnected";
    case Truncation::CaptureRestarted:
        return "the capture file was truncated or replaced";
    case Truncation::EndOfInput:
        return "the input ended";
    }
    return "";
}

}  // namespace hestolvane::decode
