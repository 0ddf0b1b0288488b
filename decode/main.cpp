// hestolvane-decode: reads what COM1 captured from HesTolvaneDrv, from a file, standard input or a live
// source, and prints its boots and crash reports as a listing or as JSON Lines.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "live.h"
#include "output.h"

namespace {

using namespace hestolvane::decode;

constexpr const char* Usage =
    "usage: hestolvane-decode [--json] [FILE | -]\n"
    "       hestolvane-decode [--json] [--idle-timeout S] (--follow FILE | --tcp HOST:PORT |\n"
    "                                                       --serial DEVICE[:BAUD]) [--backoff S]\n"
    "Reads what HesTolvaneDrv wrote to COM1 and prints each boot and crash report.\n"
    "  FILE, -                a capture file, or standard input (the default)\n"
    "  --follow FILE          a capture that is still growing; followed from its new start when it is\n"
    "                         truncated or replaced\n"
    "  --tcp HOST:PORT        a TCP serial server, reconnected with back-off when it goes away\n"
    "  --serial DEVICE[:BAUD] a serial device, raw 8N1 at BAUD (default 115200)\n"
    "  --json                 JSON Lines: one object per boot and per report (see decode/README.md)\n"
    "  --idle-timeout S       live modes: cut off a report that gets no bytes for S seconds (default 30)\n"
    "  --backoff S            live modes: first delay before reconnecting, doubling to 8 s (default 0.25)\n"
    "  --help                 this text\n"
    "Exit status: 0 every report decoded without warnings; 1 warnings (unreadable lines, truncated reports);\n"
    "3 no report found; 4 the input cannot be read; 2 a bad command line. The first that applies of 4, 3, 1\n"
    "is given. Ctrl-C ends a live mode; the status then covers the reports that were complete.\n";

enum class Mode { Stream, Follow, Tcp, Serial };

struct Options {
    Mode Source = Mode::Stream;
    std::string Target = "-";
    bool Json = false;
    LiveOptions Live;
};

std::optional<std::chrono::milliseconds> ParseSeconds(const std::string& Text) {
    char* End = nullptr;
    errno = 0;
    const double Seconds = std::strtod(Text.c_str(), &End);
    if (Text.empty() || *End != '\0' || errno != 0 || !(Seconds > 0) || Seconds > 1e6) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::llround(Seconds * 1000));
}

// Empty when the command line is wrong; the message is then already printed.
std::optional<Options> ParseOptions(const std::vector<std::string>& Arguments) {
    Options Parsed;
    bool SourceGiven = false;
    auto SetSource = [&](Mode Source, const std::string& Target) {
        if (SourceGiven) {
            std::cerr << "hestolvane-decode: give one input only\n";
            return false;
        }
        SourceGiven = true;
        Parsed.Source = Source;
        Parsed.Target = Target;
        return true;
    };
    for (size_t Index = 0; Index < Arguments.size(); Index++) {
        const std::string& Argument = Arguments[Index];
        const bool HasValue = Index + 1 < Arguments.size();
        if (Argument == "--json") {
            Parsed.Json = true;
        } else if ((Argument == "--follow" || Argument == "--tcp" || Argument == "--serial") && HasValue) {
            const Mode Source = Argument == "--follow" ? Mode::Follow : Argument == "--tcp" ? Mode::Tcp : Mode::Serial;
            const std::string& Target = Arguments[++Index];
            if (Source == Mode::Tcp && !ParseTcpTarget(Target)) {
                std::cerr << "hestolvane-decode: --tcp needs HOST:PORT\n";
                return std::nullopt;
            }
            if (Source == Mode::Serial && !ParseSerialTarget(Target)) {
                std::cerr << "hestolvane-decode: the terminal interface has no speed " << Target << "\n";
                return std::nullopt;
            }
            if (!SetSource(Source, Target)) {
                return std::nullopt;
            }
        } else if ((Argument == "--idle-timeout" || Argument == "--backoff") && HasValue) {
            auto Duration = ParseSeconds(Arguments[++Index]);
            if (!Duration) {
                std::cerr << "hestolvane-decode: " << Argument << " needs a positive number of seconds\n";
                return std::nullopt;
            }
            (Argument == "--idle-timeout" ? Parsed.Live.IdleTimeout : Parsed.Live.FirstBackoff) = *Duration;
        } else if (Argument == "-" || (!Argument.empty() && Argument[0] != '-')) {
            if (!SetSource(Mode::Stream, Argument)) {
                return std::nullopt;
            }
        } else {
            std::cerr << "hestolvane-decode: unknown option or missing value: " << Argument << "\n";
            return std::nullopt;
        }
    }
    Parsed.Live.LongestBackoff = std::max(Parsed.Live.LongestBackoff, Parsed.Live.FirstBackoff);
    return Parsed;
}

StopSignal* ActiveStop = nullptr;

void OnStopSignal(int) {
    if (ActiveStop != nullptr) {
        ActiveStop->Trigger();
    }
}

void CatchStopSignals(StopSignal& Stop) {
    ActiveStop = &Stop;
    struct sigaction Action {};
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    sigaction(SIGINT, &Action, nullptr);
    sigaction(SIGTERM, &Action, nullptr);
}

ReadOutcome ReadStream(const std::string& Target, CaptureReader& Reader, const StopSignal& Stop) {
    if (Target == "-") {
        return ReadToEnd(STDIN_FILENO, Reader, Stop);
    }
    const int Descriptor = open(Target.c_str(), O_RDONLY | O_CLOEXEC);
    if (Descriptor < 0) {
        return ReadOutcome{false, false, "cannot open " + Target + ": " + std::strerror(errno)};
    }
    ReadOutcome Outcome = ReadToEnd(Descriptor, Reader, Stop);
    close(Descriptor);
    return Outcome;
}

ReadOutcome Run(const Options& Chosen, CaptureReader& Reader, const StopSignal& Stop) {
    switch (Chosen.Source) {
    case Mode::Stream:
        return ReadStream(Chosen.Target, Reader, Stop);
    case Mode::Follow:
        return FollowFile(Chosen.Target, Reader, Chosen.Live, Stop);
    case Mode::Tcp:
        return FollowTcp(*ParseTcpTarget(Chosen.Target), Reader, Chosen.Live, Stop);
    case Mode::Serial:
        return FollowSerial(*ParseSerialTarget(Chosen.Target), Reader, Chosen.Live, Stop);
    }
    return ReadOutcome{false, false, "no input"};
}

}  // namespace

int main(int Count, char** Values) {
    std::vector<std::string> Arguments(Values + 1, Values + Count);
    for (const std::string& Argument : Arguments) {
        if (Argument == "--help") {
            std::cout << Usage;
            return ExitClean;
        }
    }
    const std::optional<Options> Chosen = ParseOptions(Arguments);
    if (!Chosen) {
        std::cerr << Usage;
        return ExitUsage;
    }

    std::ios::sync_with_stdio(false);
    std::unique_ptr<CaptureSink> Writer;
    if (Chosen->Json) {
        Writer = std::make_unique<JsonLinesWriter>(std::cout);
    } else {
        Writer = std::make_unique<ListingWriter>(std::cout);
    }
    Tally Counted(*Writer);
    CaptureReader Reader(Counted);
    StopSignal Stop;
    CatchStopSignals(Stop);

    const ReadOutcome Outcome = Run(*Chosen, Reader, Stop);
    if (!Outcome.Readable) {
        std::cerr << "hestolvane-decode: " << Outcome.Error << "\n";
    }
    if (Outcome.Stopped) {
        if (auto Dropped = Reader.Abandon()) {
            std::cerr << "hestolvane-decode: stopped; the report begun at line " << *Dropped
                      << " was not complete and is not shown\n";
        }
    } else {
        Reader.Finish();
    }
    std::cout.flush();
    return StatusFor(Outcome.Readable, Counted);
}
