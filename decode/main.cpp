// hestolvane-decode: reads what COM1 captured from HesTolvaneDrv, from a file, standard input or a live
// source, and prints its boots and crash reports as a listing or as JSON Lines, with symbols, crash
// signatures and, with --db, a crash index; `hestolvane-decode buckets` summarises that index and
// `hestolvane-decode rebucket` signs its reports again.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "crash_index.h"
#include "live.h"
#include "output.h"
#include "rebucket.h"
#include "signature.h"
#include "symbols.h"

namespace {

using namespace hestolvane::decode;

constexpr const char* Usage =
    "usage: hestolvane-decode [--json] [FILE | -]\n"
    "       hestolvane-decode [--json] [--idle-timeout S] (--follow FILE | --tcp HOST:PORT |\n"
    "                                                       --serial DEVICE[:BAUD]) [--backoff S]\n"
    "       hestolvane-decode buckets --db INDEX [--json] [--by bucket|function|module] [--owner NAME]\n"
    "       hestolvane-decode rebucket --db INDEX [--rules FILE] [--qualifiers FILE] [symbol options]\n"
    "Reads what HesTolvaneDrv wrote to COM1 and prints each boot and crash report.\n"
    "  FILE, -                a capture file, or standard input (the default)\n"
    "  --follow FILE          a capture that is still growing; followed from its new start when it is\n"
    "                         truncated, rewritten or replaced; a named pipe; - for standard input\n"
    "  --tcp HOST:PORT        a TCP serial server, reconnected with back-off when it goes away\n"
    "  --serial DEVICE[:BAUD] a serial device, raw 8N1 at BAUD (default 115200)\n"
    "  --json                 JSON Lines: one object per boot and per report (see decode/README.md)\n"
    "  --symbols DIR          program databases in DIR, flat or in symbol-store layout (repeatable);\n"
    "                         _NT_SYMBOL_PATH is read too\n"
    "  --symbol-server URL    a symbol server (repeatable); downloads go to --symbol-cache\n"
    "  --symbol-cache DIR     where --symbol-server downloads go (default ~/.cache/hestolvane/symbols)\n"
    "  --symbol-timeout S     the longest wait for one symbol-server request (default 20)\n"
    "  --image NAME=PATH      symbols of module NAME from the binary PATH (PE or ELF), not by identity\n"
    "  --rules FILE           owner rules in triage.ini format, read after the default rules (repeatable)\n"
    "  --no-default-rules     leave out the default rules (the kernel's bug-check and trap routines)\n"
    "  --qualifiers FILE      bucket qualifier rows added to the default table, replacing its rows of\n"
    "                         the same codes (repeatable)\n"
    "  --explain              show, frame by frame, which rule passed over, held or chose each frame\n"
    "  --verbose              show the text each crash signature hashes\n"
    "  --db INDEX             record every report in the crash index INDEX: an SQLite file, or a\n"
    "                         PostgreSQL database as a postgresql:// or postgres:// URI\n"
    "  --source LABEL         the source recorded with each report (default: the input's name)\n"
    "  --by KEY               buckets: group on the bucket, the bucket without its qualifier (function)\n"
    "                         or the module alone (module)\n"
    "  --owner NAME           buckets: only the reports whose culprit NAME owns\n"
    "  --idle-timeout S       live modes, and standard input when given: cut off a report that gets no\n"
    "                         bytes for S seconds (default 30)\n"
    "  --backoff S            live modes: first delay before reconnecting, doubling to 8 s (default 0.25)\n"
    "  --help                 this text\n"
    "Exit status: 0 every report decoded without warnings; 1 warnings (unreadable lines, truncated reports);\n"
    "3 no report found; 4 the input cannot be read; 5 a report could not be recorded in --db; 2 a bad\n"
    "command line. The first that applies of 5, 4, 3, 1 is given. Ctrl-C ends a live mode; the status then covers the reports that were complete.\n";

enum class Mode { Stream, Follow, Tcp, Serial };

enum class Command { Decode, Buckets, Rebucket };

struct Options {
    Command Run = Command::Decode;
    Mode Source = Mode::Stream;
    std::string Target = "-";
    bool Json = false;
    bool Verbose = false;
    bool Explain = false;
    LiveOptions Live;
    bool IdleTimeoutGiven = false;
    std::vector<std::string> SymbolDirectories;
    std::vector<std::string> SymbolServers;
    std::string SymbolCache = DefaultSymbolCache();
    std::chrono::milliseconds SymbolTimeout{std::chrono::seconds(20)};
    std::map<std::string, std::string> Images;
    std::vector<std::string> RulesFiles;
    bool DefaultRules = true;
    std::vector<std::string> QualifierFiles;
    std::string Database;
    std::string SourceLabel;
    BucketKey By = BucketKey::Bucket;
    std::optional<std::string> Owner;
};

std::string Lowercase(std::string Text) {
    for (char& Character : Text) {
        Character = static_cast<char>(std::tolower(static_cast<unsigned char>(Character)));
    }
    return Text;
}

// The options with a value that symbols, signing and the index use.
bool TakeSymbolOption(const std::string& Argument, const std::string& Value, Options& Parsed) {
    if (Argument == "--symbols") {
        Parsed.SymbolDirectories.push_back(Value);
    } else if (Argument == "--symbol-server") {
        Parsed.SymbolServers.push_back(Value);
    } else if (Argument == "--symbol-cache") {
        Parsed.SymbolCache = Value;
    } else if (Argument == "--rules") {
        Parsed.RulesFiles.push_back(Value);
    } else if (Argument == "--qualifiers") {
        Parsed.QualifierFiles.push_back(Value);
    } else if (Argument == "--db") {
        Parsed.Database = Value;
    } else if (Argument == "--source") {
        Parsed.SourceLabel = Value;
    } else {
        return false;
    }
    return true;
}

// About 31 years: longer than any wait means anything, short enough for the clocks' arithmetic.
constexpr double MaxSeconds = 1e9;
constexpr const char* SecondsExpected = "a number of seconds from 0.001 to 1000000000";

std::optional<std::chrono::milliseconds> ParseSeconds(const std::string& Text) {
    char* End = nullptr;
    errno = 0;
    const double Seconds = std::strtod(Text.c_str(), &End);
    if (Text.empty() || *End != '\0' || errno != 0 || !(Seconds >= 0.001) || Seconds > MaxSeconds) {
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
        if (Index == 0 && (Argument == "buckets" || Argument == "rebucket")) {
            Parsed.Run = Argument == "buckets" ? Command::Buckets : Command::Rebucket;
        } else if (Argument == "--json") {
            Parsed.Json = true;
        } else if (Argument == "--verbose") {
            Parsed.Verbose = true;
        } else if (Argument == "--explain") {
            Parsed.Explain = true;
        } else if (Argument == "--no-default-rules") {
            Parsed.DefaultRules = false;
        } else if (Argument == "--by" && HasValue) {
            const std::string& Key = Arguments[++Index];
            if (Key != "bucket" && Key != "function" && Key != "module") {
                std::cerr << "hestolvane-decode: --by takes bucket, function or module\n";
                return std::nullopt;
            }
            Parsed.By = Key == "function" ? BucketKey::Function : Key == "module" ? BucketKey::Module : BucketKey::Bucket;
        } else if (Argument == "--owner" && HasValue) {
            Parsed.Owner = Arguments[++Index];
        } else if (HasValue && TakeSymbolOption(Argument, Arguments[Index + 1], Parsed)) {
            Index++;
        } else if (Argument == "--image" && HasValue) {
            const std::string& Pair = Arguments[++Index];
            const size_t Equals = Pair.find('=');
            if (Equals == std::string::npos || Equals == 0 || Equals + 1 == Pair.size()) {
                std::cerr << "hestolvane-decode: --image needs NAME=PATH\n";
                return std::nullopt;
            }
            Parsed.Images[Lowercase(Pair.substr(0, Equals))] = Pair.substr(Equals + 1);
        } else if (Argument == "--symbol-timeout" && HasValue) {
            auto Duration = ParseSeconds(Arguments[++Index]);
            if (!Duration) {
                std::cerr << "hestolvane-decode: --symbol-timeout needs " << SecondsExpected << "\n";
                return std::nullopt;
            }
            Parsed.SymbolTimeout = *Duration;
        } else if ((Argument == "--follow" || Argument == "--tcp" || Argument == "--serial") && HasValue) {
            const Mode Source = Argument == "--follow" ? Mode::Follow : Argument == "--tcp" ? Mode::Tcp : Mode::Serial;
            const std::string& Target = Arguments[++Index];
            if (Source == Mode::Tcp && !ParseTcpTarget(Target)) {
                std::cerr << "hestolvane-decode: --tcp needs HOST:PORT with a port from 1 to 65535: " << Target << "\n";
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
                std::cerr << "hestolvane-decode: " << Argument << " needs " << SecondsExpected << "\n";
                return std::nullopt;
            }
            (Argument == "--idle-timeout" ? Parsed.Live.IdleTimeout : Parsed.Live.FirstBackoff) = *Duration;
            Parsed.IdleTimeoutGiven = Parsed.IdleTimeoutGiven || Argument == "--idle-timeout";
        } else if (Argument == "-" || (!Argument.empty() && Argument[0] != '-')) {
            if (!SetSource(Mode::Stream, Argument)) {
                return std::nullopt;
            }
        } else {
            std::cerr << "hestolvane-decode: unknown option or missing value: " << Argument << "\n";
            return std::nullopt;
        }
    }
    for (const std::string& Directory : Parsed.SymbolDirectories) {
        std::error_code Failed;
        if (!std::filesystem::is_directory(Directory, Failed)) {
            std::cerr << "hestolvane-decode: --symbols " << Directory << ": no such directory\n";
            return std::nullopt;
        }
    }
    for (const std::string& Url : Parsed.SymbolServers) {
        if (!IsServerUrl(Url)) {
            std::cerr << "hestolvane-decode: --symbol-server needs an http:// or https:// URL: " << Url << "\n";
            return std::nullopt;
        }
    }
    Parsed.Live.LongestBackoff = std::max(Parsed.Live.LongestBackoff, Parsed.Live.FirstBackoff);
    if (Parsed.Run != Command::Decode && (SourceGiven || Parsed.Database.empty())) {
        std::cerr << "hestolvane-decode: " << (Parsed.Run == Command::Buckets ? "buckets" : "rebucket")
                  << " takes --db INDEX and no input\n";
        return std::nullopt;
    }
    if (Parsed.Run != Command::Buckets && (Parsed.By != BucketKey::Bucket || Parsed.Owner)) {
        std::cerr << "hestolvane-decode: --by and --owner belong to buckets\n";
        return std::nullopt;
    }
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

ReadOutcome ReadStream(const Options& Chosen, CaptureReader& Reader, const StopSignal& Stop) {
    const std::string& Target = Chosen.Target;
    if (Target == "-") {
        // Standard input may be a live source (a pipe from nc or picocom): the idle timeout holds when given.
        return ReadToEnd(STDIN_FILENO, Reader, Stop,
                         Chosen.IdleTimeoutGiven || Chosen.Source == Mode::Follow ? &Chosen.Live : nullptr);
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
        return ReadStream(Chosen, Reader, Stop);
    case Mode::Follow:
        if (Chosen.Target == "-") {
            return ReadStream(Chosen, Reader, Stop);
        }
        return FollowFile(Chosen.Target, Reader, Chosen.Live, Stop);
    case Mode::Tcp:
        return FollowTcp(*ParseTcpTarget(Chosen.Target), Reader, Chosen.Live, Stop);
    case Mode::Serial:
        return FollowSerial(*ParseSerialTarget(Chosen.Target), Reader, Chosen.Live, Stop);
    }
    return ReadOutcome{false, false, "no input"};
}

SymbolOptions SymbolSettings(const Options& Chosen, const StopSignal& Stop) {
    SymbolOptions Settings;
    Settings.StopDescriptor = Stop.WaitDescriptor();
    Settings.Search.Directories = Chosen.SymbolDirectories;
    Settings.Search.Timeout = Chosen.SymbolTimeout;
    if (const char* Path = std::getenv("_NT_SYMBOL_PATH"); Path != nullptr) {
        AddSymbolPath(Path, DefaultSymbolCache(), Settings.Search);
    }
    for (const std::string& Url : Chosen.SymbolServers) {
        AddSymbolPath("srv*" + Chosen.SymbolCache + "*" + Url, Chosen.SymbolCache, Settings.Search);
    }
    Settings.Images = Chosen.Images;
    return Settings;
}

// A file is named by its canonical path, so that x.txt, ./x.txt and /dir/x.txt are one source; so is
// standard input redirected from a file. A pipe is "stdin".
std::string CanonicalFile(const std::string& Path) {
    std::error_code Failed;
    const std::filesystem::path Canonical = std::filesystem::weakly_canonical(Path, Failed);
    return Failed ? Path : Canonical.string();
}

std::string StandardInputLabel() {
    struct stat Input {};
    if (fstat(STDIN_FILENO, &Input) == 0 && S_ISREG(Input.st_mode)) {
        std::error_code Failed;
        const std::filesystem::path File = std::filesystem::read_symlink("/proc/self/fd/0", Failed);
        if (!Failed && File.is_absolute()) {
            return File.string();
        }
    }
    return "stdin";
}

std::string DefaultSourceLabel(const Options& Chosen) {
    switch (Chosen.Source) {
    case Mode::Stream:
    case Mode::Follow:
        return Chosen.Target == "-" ? StandardInputLabel() : CanonicalFile(Chosen.Target);
    case Mode::Tcp:
        return "tcp:" + Chosen.Target;
    case Mode::Serial:
        return "serial:" + Chosen.Target;
    }
    return Chosen.Target;
}

// The rules and qualifier table of this run. Empty when a file cannot be read; its lines that cannot be
// taken are warnings, and the rest applies.
std::optional<Triage> LoadTriage(const Options& Chosen) {
    std::vector<std::string> Warnings;
    std::string Error;
    std::optional<Triage> With =
        hestolvane::decode::LoadTriage(Chosen.RulesFiles, Chosen.DefaultRules, Chosen.QualifierFiles, Warnings, Error);
    if (!With) {
        std::cerr << "hestolvane-decode: " << Error << "\n";
        return std::nullopt;
    }
    for (const std::string& Warning : Warnings) {
        std::cerr << "hestolvane-decode: warning: " << Warning << "\n";
    }
    return With;
}

// Opens the index; one written by an earlier version is upgraded and its reports signed again with this
// run's rules, qualifiers and symbols.
std::unique_ptr<CrashIndex> OpenIndex(const Options& Chosen, SymbolResolver& Resolver, const Triage& With) {
    CrashIndex::Opened Opened = CrashIndex::Open(Chosen.Database);
    if (!Opened.Index) {
        std::cerr << "hestolvane-decode: " << Opened.Error << "\n";
        return nullptr;
    }
    if (Opened.Index->NeedsResigning()) {
        const RebucketCounts Counts = RebucketIndex(*Opened.Index, Resolver, With, true);
        if (!Counts.Error.empty()) {
            std::cerr << "hestolvane-decode: " << Chosen.Database << ": signing the reports of an earlier version: "
                      << Counts.Error << "\n";
            return nullptr;
        }
        std::cerr << "hestolvane-decode: " << Chosen.Database << ": upgraded to index schema " << IndexSchemaVersion
                  << ", " << RebucketSummary(Counts) << "\n";
    }
    return std::move(Opened.Index);
}

// Reads the index without creating one. An index of an earlier version is upgraded first, which writes it.
int ListBuckets(const Options& Chosen, SymbolResolver& Resolver, const Triage& With) {
    CrashIndex::Opened Reading = CrashIndex::OpenReadOnly(Chosen.Database);
    if (!Reading.Index) {
        std::cerr << "hestolvane-decode: " << Reading.Error << "\n";
        return ExitUnreadableInput;
    }
    std::unique_ptr<CrashIndex> Index = std::move(Reading.Index);
    if (Index->SchemaVersion() < IndexSchemaVersion) {
        Index.reset();
        Index = OpenIndex(Chosen, Resolver, With);
        if (!Index) {
            return ExitUnreadableInput;
        }
    }
    const CrashIndex::Summary Summary = Index->Buckets(Chosen.By, Chosen.Owner);
    if (!Summary.Error.empty()) {
        std::cerr << "hestolvane-decode: " << Chosen.Database << ": " << Summary.Error << "\n";
        return ExitUnreadableInput;
    }
    if (Chosen.Json) {
        for (const BucketSummary& Each : Summary.Buckets) {
            std::cout << BucketJson(Each, Chosen.By) << "\n";
        }
    } else {
        WriteBucketListing(std::cout, Summary.Buckets, Chosen.By);
    }
    return Summary.Buckets.empty() ? ExitNoReport : ExitClean;
}

int Rebucket(const Options& Chosen, SymbolResolver& Resolver, const Triage& With) {
    const std::unique_ptr<CrashIndex> Index = OpenIndex(Chosen, Resolver, With);
    if (!Index) {
        return ExitUnreadableInput;
    }
    const RebucketCounts Counts = RebucketIndex(*Index, Resolver, With, false);
    if (!Counts.Error.empty()) {
        std::cerr << "hestolvane-decode: " << Chosen.Database << ": " << Counts.Error << "\n";
        return ExitIndexFailed;
    }
    std::cout << RebucketSummary(Counts) << "\n";
    return ExitClean;
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
        std::cerr << "Try 'hestolvane-decode --help' for the options.\n";
        return ExitUsage;
    }

    std::ios::sync_with_stdio(false);
    const std::optional<Triage> With = LoadTriage(*Chosen);
    if (!With) {
        return ExitUsage;
    }
    StopSignal Stop;
    CatchStopSignals(Stop);
    SymbolResolver Resolver(SymbolSettings(*Chosen, Stop));
    if (Chosen->Run == Command::Buckets) {
        return ListBuckets(*Chosen, Resolver, *With);
    }
    if (Chosen->Run == Command::Rebucket) {
        return Rebucket(*Chosen, Resolver, *With);
    }
    std::unique_ptr<CaptureSink> Writer;
    if (Chosen->Json) {
        Writer = std::make_unique<JsonLinesWriter>(std::cout);
    } else {
        Writer = std::make_unique<ListingWriter>(std::cout, Chosen->Verbose, Chosen->Explain);
    }
    Tally Counted(*Writer);
    std::unique_ptr<CrashIndex> Index;
    std::unique_ptr<IndexingSink> Indexing;
    CaptureSink* AfterSymbols = &Counted;
    if (!Chosen->Database.empty()) {
        Index = OpenIndex(*Chosen, Resolver, *With);
        if (!Index) {
            return ExitIndexFailed;
        }
        const std::string Label = Chosen->SourceLabel.empty() ? DefaultSourceLabel(*Chosen) : Chosen->SourceLabel;
        Indexing = std::make_unique<IndexingSink>(*Index, Label, SigningOf(*With), Counted);
        AfterSymbols = Indexing.get();
    }
    SigningSink Signing(Resolver, *With, *AfterSymbols);
    CaptureReader Reader(Signing, Index != nullptr);
    Options Running = *Chosen;
    Running.Live.Notice = [](const std::string& Text) { std::cerr << "hestolvane-decode: " << Text << std::endl; };

    const ReadOutcome Outcome = Run(Running, Reader, Stop);
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
    if (Indexing && !Indexing->Errors().empty()) {
        for (const std::string& Error : Indexing->Errors()) {
            std::cerr << "hestolvane-decode: " << Chosen->Database << ": " << Error << "\n";
        }
        return ExitIndexFailed;
    }
    return StatusFor(Outcome.Readable, Counted);
}
