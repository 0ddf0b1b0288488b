// Shared by the lab's tests: a temporary directory, captures from hestolvane-sim, and a running
// hestolvane-lab process with its HTTP address.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "capture_reader.h"
#include "model.h"

namespace hestolvane::lab::testing {

class TempDirectory {
public:
    TempDirectory() {
        std::string Pattern = (std::filesystem::temp_directory_path() / "hestolvane-lab-XXXXXX").string();
        Where = mkdtemp(Pattern.data()) != nullptr ? Pattern : "";
    }
    ~TempDirectory() {
        std::error_code Ignored;
        std::filesystem::remove_all(Where, Ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return Where; }

private:
    std::string Where;
};

// What hestolvane-sim writes to COM1 with these arguments.
inline std::string SimOutput(const std::string& Arguments) {
    const std::string Command = std::string(HESTOLVANE_SIM) + " " + Arguments + " 2>/dev/null";
    std::string Output;
    FILE* Pipe = popen(Command.c_str(), "r");
    if (Pipe == nullptr) {
        return Output;
    }
    char Buffer[4096];
    size_t Read = 0;
    while ((Read = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0) {
        Output.append(Buffer, Read);
    }
    pclose(Pipe);
    return Output;
}

struct Decoded : decode::CaptureSink {
    std::vector<decode::Boot> Boots;
    std::vector<decode::Report> Reports;
    void OnBoot(const decode::Boot& Boot) override { Boots.push_back(Boot); }
    void OnReport(const decode::Report& Report) override { Reports.push_back(Report); }
};

inline Decoded DecodeSim(const std::string& Arguments) {
    Decoded Sink;
    decode::CaptureReader Reader(Sink);
    Reader.Feed(SimOutput(Arguments));
    Reader.Finish();
    return Sink;
}

// Polls until Done holds or about 60 s have passed; the result says which.
inline bool Eventually(const std::function<bool()>& Done) {
    for (int Attempt = 0; Attempt < 1200; ++Attempt) {
        if (Done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Done();
}

}  // namespace hestolvane::lab::testing
