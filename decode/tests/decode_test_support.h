// Shared by the decoder's tests: a sink that keeps what it is given, and a one-call decode of a capture.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "capture_reader.h"
#include "model.h"

namespace hestolvane::decode {

// Warnings as GoogleTest shows them in a failure.
inline void PrintTo(const Warning& Shown, std::ostream* Out) {
    *Out << "{line " << Shown.Line << ", \"" << Shown.Message << "\", \"" << Shown.Text << "\"}";
}

inline void PrintTo(const Frame& Shown, std::ostream* Out) {
    *Out << std::hex << "{sp " << Shown.StackPointer << ", address ";
    if (Shown.Address) {
        *Out << *Shown.Address;
    } else {
        *Out << "none";
    }
    if (Shown.Module) {
        *Out << ", module " << Shown.Module->Name.value_or("(null)") << " + " << Shown.Module->Offset << std::dec
             << " row " << (Shown.Module->Row ? std::to_string(*Shown.Module->Row) : "none");
    }
    *Out << std::dec << "}";
}

inline void PrintTo(const ModuleRow& Shown, std::ostream* Out) {
    *Out << std::hex << "{" << Shown.Start << "-" << Shown.End << std::dec << " \"" << Shown.Name.value_or("(null)")
         << "\" \"" << Shown.PdbPath.value_or("(null)") << "\" \"" << Shown.Path.value_or("(null)") << "\" " << Shown.Guid << "}";
}

}  // namespace hestolvane::decode

namespace hestolvane::decode::testing {

struct Collected : CaptureSink {
    std::vector<Boot> Boots;
    std::vector<Report> Reports;
    void OnBoot(const Boot& Decoded) override { Boots.push_back(Decoded); }
    void OnReport(const Report& Decoded) override { Reports.push_back(Decoded); }
};

// Standard output of a command, run through the shell; standard error is left alone.
std::string CommandOutput(const std::string& Command, int* ExitStatus = nullptr);

inline Collected Decode(std::string_view Capture) {
    Collected Sink;
    CaptureReader Reader(Sink);
    Reader.Feed(Capture);
    Reader.Finish();
    return Sink;
}

// Lines joined with LF, each line ended.
inline std::string Lines(std::initializer_list<std::string_view> Each) {
    std::string Joined;
    for (std::string_view Line : Each) {
        Joined.append(Line);
        Joined.push_back('\n');
    }
    return Joined;
}

}  // namespace hestolvane::decode::testing
