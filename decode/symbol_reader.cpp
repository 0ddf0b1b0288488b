// Running hestolvane-symbol-reader: a child process on a socket pair, one JSON request and one JSON answer
// per line. Every wait for an answer also watches the deadline and the stop descriptor, so neither a
// stalled reader nor Ctrl-C can leave the decoder waiting.
#include "symbol_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

namespace hestolvane::decode {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::string Seconds(std::chrono::milliseconds Duration) {
    const long long Milliseconds = Duration.count();
    if (Milliseconds % 1000 == 0) {
        return std::to_string(Milliseconds / 1000) + " s";
    }
    return std::to_string(Milliseconds) + " ms";
}

bool SendAll(int Descriptor, const std::string& Text) {
    for (size_t Sent = 0; Sent < Text.size();) {
        const ssize_t Count = send(Descriptor, Text.data() + Sent, Text.size() - Sent, MSG_NOSIGNAL);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            return false;
        }
        Sent += static_cast<size_t>(Count);
    }
    return true;
}

std::optional<SymbolLookup> LookupFrom(const json& Answer) {
    SymbolLookup Found;
    if (!Answer.contains("function")) {
        return Found;
    }
    Found.Function = Answer.at("function").get<std::string>();
    Found.FunctionOffset = Answer.at("offset").get<uint64_t>();
    if (Answer.contains("file")) {
        Found.SourceFile = Answer.at("file").get<std::string>();
    }
    if (Answer.contains("line")) {
        Found.SourceLine = Answer.at("line").get<uint32_t>();
    }
    for (const json& Each : Answer.value("inlined", json::array())) {
        InlinedCall Call{Each.at("function").get<std::string>(), std::nullopt, std::nullopt};
        if (Each.contains("file")) {
            Call.SourceFile = Each.at("file").get<std::string>();
        }
        if (Each.contains("line")) {
            Call.SourceLine = Each.at("line").get<uint32_t>();
        }
        Found.Inlined.push_back(std::move(Call));
    }
    return Found;
}

}  // namespace

std::string DefaultSymbolReaderProgram() {
    std::error_code Failed;
    const std::filesystem::path Self = std::filesystem::read_symlink("/proc/self/exe", Failed);
    if (!Failed) {
        const std::filesystem::path Beside = Self.parent_path() / "hestolvane-symbol-reader";
        if (access(Beside.c_str(), X_OK) == 0) {
            return Beside.string();
        }
    }
    return HESTOLVANE_SYMBOL_READER;
}

SymbolReaderProcess::SymbolReaderProcess(std::string ProgramIn, ReaderLimits LimitsIn, int StopDescriptorIn)
    : Program(std::move(ProgramIn)), Limits(LimitsIn), StopDescriptor(StopDescriptorIn) {}

SymbolReaderProcess::~SymbolReaderProcess() {
    Kill();
}

bool SymbolReaderProcess::Stopped() const {
    if (StopDescriptor < 0) {
        return false;
    }
    pollfd Watched{StopDescriptor, POLLIN, 0};
    return poll(&Watched, 1, 0) > 0 && Watched.revents != 0;
}

// Everything the child runs between fork and exec is async-signal-safe, since the decoder's tests fork
// with other threads running. The worker gets its own process group, so that Ctrl-C at a terminal
// reaches only the decoder, which ends the worker itself; and it dies with the decoder.
bool SymbolReaderProcess::Start(std::string& Error) {
    std::array<int, 2> Ends{};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Ends.data()) != 0) {
        Error = std::string("cannot start the symbol reader: ") + std::strerror(errno);
        return false;
    }
    const int Null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const std::string Limit = std::to_string(Limits.MemoryBytes);
    const std::array<char*, 3> Arguments{const_cast<char*>(Program.c_str()), const_cast<char*>(Limit.c_str()),
                                         nullptr};
    const pid_t Parent = getpid();
    const pid_t Child = fork();
    if (Child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != Parent) {
            _exit(127);
        }
        setpgid(0, 0);
        if (dup2(Ends[1], STDIN_FILENO) < 0 || dup2(Ends[1], STDOUT_FILENO) < 0 ||
            (Null >= 0 && dup2(Null, STDERR_FILENO) < 0)) {
            _exit(127);
        }
        close_range(3, ~0U, 0);
        execv(Program.c_str(), Arguments.data());
        _exit(127);
    }
    const int ForkError = errno;
    close(Ends[1]);
    if (Null >= 0) {
        close(Null);
    }
    if (Child < 0) {
        close(Ends[0]);
        Error = std::string("cannot start the symbol reader: ") + std::strerror(ForkError);
        return false;
    }
    Worker = Child;
    Channel = Ends[0];
    Received.clear();
    Generation++;
    Started++;
    return true;
}

void SymbolReaderProcess::Kill() {
    if (Worker > 0) {
        kill(Worker, SIGKILL);
        waitpid(Worker, nullptr, 0);
        Worker = -1;
    }
    if (Channel >= 0) {
        close(Channel);
        Channel = -1;
    }
}

std::string SymbolReaderProcess::WhyItDied() {
    int Status = 0;
    const pid_t Reaped = waitpid(Worker, &Status, 0);
    Worker = -1;
    Kill();
    if (Reaped > 0 && WIFSIGNALED(Status)) {
        return "the symbol reader crashed on it (signal " + std::to_string(WTERMSIG(Status)) + ", " +
               strsignal(WTERMSIG(Status)) + ")";
    }
    if (Reaped > 0 && WIFEXITED(Status) && WEXITSTATUS(Status) == SymbolReaderOutOfMemory) {
        return "the symbol reader ran out of its " + std::to_string(Limits.MemoryBytes >> 20) + " MiB on it";
    }
    if (Reaped > 0 && WIFEXITED(Status) && WEXITSTATUS(Status) == 127) {
        return "cannot run the symbol reader " + Program;
    }
    if (Reaped > 0 && WIFEXITED(Status)) {
        // An uncaught exception, or a sanitizer's report in an instrumented build.
        return "the symbol reader crashed on it (exit status " + std::to_string(WEXITSTATUS(Status)) + ")";
    }
    return "the symbol reader went away";
}

// One request and its answer line. On any failure the worker is ended: the next request starts another.
std::optional<std::string> SymbolReaderProcess::Ask(const std::string& Request, std::string& Error) {
    if (Stopped()) {
        Error = "stopped before the symbol reader was asked";
        return std::nullopt;
    }
    if (Worker < 0 && !Start(Error)) {
        return std::nullopt;
    }
    if (!SendAll(Channel, Request + "\n")) {
        Error = WhyItDied();
        return std::nullopt;
    }
    const auto Deadline = Clock::now() + Limits.Timeout;
    for (;;) {
        if (const size_t End = Received.find('\n'); End != std::string::npos) {
            std::string Answer = Received.substr(0, End);
            Received.erase(0, End + 1);
            return Answer;
        }
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        if (Left.count() <= 0) {
            Kill();
            Error = "the symbol reader gave no answer on it within " + Seconds(Limits.Timeout);
            return std::nullopt;
        }
        std::array<pollfd, 2> Watched{{{Channel, POLLIN, 0}, {StopDescriptor, POLLIN, 0}}};
        const int Ready = poll(Watched.data(), StopDescriptor >= 0 ? 2 : 1, static_cast<int>(Left.count()));
        if (Ready < 0 && errno != EINTR) {
            Kill();
            Error = std::string("cannot wait for the symbol reader: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (Watched[1].revents != 0) {
            Kill();
            Error = "stopped while the symbol reader was reading it";
            return std::nullopt;
        }
        if (Watched[0].revents == 0) {
            continue;
        }
        std::array<char, 65536> Buffer{};
        const ssize_t Count = read(Channel, Buffer.data(), Buffer.size());
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Count <= 0) {
            Error = WhyItDied();
            return std::nullopt;
        }
        Received.append(Buffer.data(), static_cast<size_t>(Count));
    }
}

SymbolReaderProcess::Opened SymbolReaderProcess::Open(Kind What, const std::string& Path) {
    Opened Result;
    const unsigned Handle = NextHandle++;
    File Known{What, Path, 0};
    if (!Reopen(Handle, Known, Result.Error, &Result)) {
        return Result;
    }
    Files.emplace(Handle, Known);
    Result.Handle = Handle;
    return Result;
}

// Opens a file in the current worker, under its handle: the first time, or again in a worker started
// after another file ended the last one.
bool SymbolReaderProcess::Reopen(unsigned Handle, File& Known, std::string& Error, Opened* Identity) {
    const json Request = {{"op", Known.What == Kind::Database ? "open_pdb" : "open_binary"},
                          {"handle", Handle},
                          {"path", Known.Path}};
    const std::optional<std::string> Line =
        Ask(Request.dump(-1, ' ', false, json::error_handler_t::replace), Error);
    if (!Line) {
        return false;
    }
    const json Answer = json::parse(*Line, nullptr, false);
    if (Answer.is_discarded() || !Answer.value("ok", false)) {
        Error = Answer.is_discarded() ? "the symbol reader answered nonsense" : Answer.value("error", "");
        return false;
    }
    Known.Generation = Generation;
    if (Identity != nullptr) {
        Identity->Guid = Answer.value("guid", "");
        Identity->Age = Answer.value("age", 0U);
    }
    return true;
}

std::optional<SymbolLookup> SymbolReaderProcess::Lookup(unsigned Handle, uint64_t Rva, std::string& Error) {
    auto Known = Files.find(Handle);
    if (Known == Files.end()) {
        Error = "closed after the symbol reader failed on it";
        return std::nullopt;
    }
    if (Known->second.Generation != Generation || Worker < 0) {
        if (!Reopen(Handle, Known->second, Error, nullptr)) {
            Files.erase(Known);
            return std::nullopt;
        }
    }
    const json Request = {{"op", "lookup"}, {"handle", Handle}, {"rva", Rva}};
    const std::optional<std::string> Line = Ask(Request.dump(), Error);
    const json Answer = Line ? json::parse(*Line, nullptr, false) : json();
    if (!Line || Answer.is_discarded() || !Answer.value("ok", false)) {
        if (Line) {
            Error = "the symbol reader failed on it";
        }
        Files.erase(Handle);
        return std::nullopt;
    }
    try {
        return LookupFrom(Answer);
    } catch (const json::exception&) {
        Error = "the symbol reader answered nonsense";
        Files.erase(Handle);
        return std::nullopt;
    }
}

void SymbolReaderProcess::Close(unsigned Handle) {
    auto Known = Files.find(Handle);
    if (Known == Files.end()) {
        return;
    }
    if (Known->second.Generation == Generation && Worker >= 0) {
        std::string Ignored;
        Ask(json({{"op", "close"}, {"handle", Handle}}).dump(), Ignored);
    }
    Files.erase(Known);
}

}  // namespace hestolvane::decode
