// The collector's event loop: sockets and serial devices by readiness, followed files and watched
// directories on a 100 ms timer, signals through a signalfd. Nothing here waits on the record.
#include "collector.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <iostream>
#include <thread>

#include "capture_reader.h"

namespace hestolvane::lab {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto TickInterval = std::chrono::milliseconds(100);
constexpr unsigned TicksPerScan = 10;        // watched directories and last-bytes times, once a second
constexpr size_t ReadChunk = size_t{64} * 1024;
constexpr size_t ReadsPerWake = 4;           // then the other machines get their turn
constexpr auto ShortestTurn = std::chrono::milliseconds(20);
// A serial line's bytes come a few dozen at a time; they go to the raw log in pieces of up to this size,
// or once a tick, instead of one piece per read.
constexpr size_t RawPieceBytes = size_t{16} * 1024;
constexpr size_t FileBytesPerTick = 1 << 20;

std::optional<speed_t> BaudConstant(unsigned Baud) {
    static const std::array<std::pair<unsigned, speed_t>, 12> Speeds = {{
        {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
        {500000, B500000},
    }};
    for (const auto& [Rate, Constant] : Speeds) {
        if (Rate == Baud) {
            return Constant;
        }
    }
    return std::nullopt;
}

std::string Errno(const char* What) {
    return std::string(What) + ": " + std::strerror(errno);
}

std::string FileKeyOf(const struct stat& Status) {
    return std::to_string(Status.st_dev) + ":" + std::to_string(Status.st_ino);
}

}  // namespace

// Boots and reports of one machine, handed to the recorder with the boot each report belongs to.
class Collector::MachineSink : public decode::CaptureSink {
public:
    MachineSink(Recorder& Record, std::string Name) : Record(Record), Name(std::move(Name)) {}
    void OnBoot(const decode::Boot& Decoded) override {
        Boots[Decoded.Number] = Decoded;
        LastBootLine = Decoded.Line;
        Record.Boot(Name, Decoded);
    }
    void OnReport(const decode::Report& Decoded) override {
        std::optional<decode::Boot> LoadedBy;
        if (Decoded.Boot) {
            if (const auto Found = Boots.find(*Decoded.Boot); Found != Boots.end()) {
                LoadedBy = Found->second;
            }
        }
        Record.Report(Name, Decoded, LoadedBy);
    }
    void Forget() {
        Boots.clear();
        LastBootLine.reset();
    }
    std::optional<uint64_t> LastBootLine;

private:
    Recorder& Record;
    std::string Name;
    std::map<unsigned, decode::Boot> Boots;
};

struct Collector::Machine {
    MachineConfig Config;
    std::string WatchDirectory;  // empty for a machine of the configuration
    std::unique_ptr<MachineSink> Sink;
    std::unique_ptr<decode::CaptureReader> Reader;
    int Descriptor = -1;
    bool Connecting = false;
    bool Open = false;
    bool Paused = false;  // not read while the recorder is backlogged
    Clock::time_point NextAttempt = Clock::now();
    Clock::time_point LastBytes = Clock::now();
    std::chrono::milliseconds Backoff{0};
    bool Touched = false;

    // Followed files: the file's identity, how far it was read, how far its bytes were logged, and
    // where reading would start again (a point where nothing was unfinished, or the running boot's banner).
    std::string FileKey;
    uint64_t Offset = 0;
    uint64_t LoggedTo = 0;
    uint64_t Safe = 0;
    uint64_t SavedSafe = UINT64_MAX;
    uint64_t SavedLogged = 0;
    std::optional<uint64_t> BootOffset;                    // where the running boot's banner began
    uint64_t LinesFed = 0;                                 // lines the current reader has been given
    bool AtLineStart = true;
    std::deque<std::pair<uint64_t, uint64_t>> LineStarts;  // line number -> offset, the last few

    size_t OpenBytes = 0;  // bytes fed since the reader last had nothing unfinished
    LiveState State;
    std::string RawPending;  // read from a stream, not yet handed to the raw log

    void NewReader() {
        Sink->Forget();
        Reader = std::make_unique<decode::CaptureReader>(*Sink);
        LinesFed = 0;
        AtLineStart = true;
        LineStarts.clear();
        BootOffset.reset();
        OpenBytes = 0;
    }
};

Collector::Collector(std::string ConfigPath, LabConfig Config, Recorder& Record)
    : ConfigPath(std::move(ConfigPath)), Config(std::move(Config)), Record(Record) {}

Collector::~Collector() {
    for (auto& [Name, Each] : Machines) {
        if (Each->Descriptor >= 0) {
            close(Each->Descriptor);
        }
    }
    for (const int Descriptor : {Epoll, Signals, Timer}) {
        if (Descriptor >= 0) {
            close(Descriptor);
        }
    }
}

void Collector::BlockSignals() {
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGHUP);
    sigaddset(&Set, SIGINT);
    sigaddset(&Set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Set, nullptr);
    // A serial server that goes away mid-write must not end the collector; the loop only reads, but
    // the web server writes to browsers that may leave.
    struct sigaction Ignore {};
    Ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &Ignore, nullptr);
}

std::map<std::string, LiveState> Collector::Live() const {
    std::lock_guard<std::mutex> Hold(LiveLock);
    return Shown;
}

uint64_t Collector::LiveChanges() const {
    std::lock_guard<std::mutex> Hold(LiveLock);
    return Changes;
}

void Collector::Publish(const Machine& Each) {
    std::lock_guard<std::mutex> Hold(LiveLock);
    LiveState& Current = Shown[Each.Config.Name];
    if (Current.Connected != Each.State.Connected || Current.Problem != Each.State.Problem || Current.Since.empty()) {
        ++Changes;
    }
    Current = Each.State;
}

bool Collector::Run() {
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, SIGHUP);
    sigaddset(&Set, SIGINT);
    sigaddset(&Set, SIGTERM);
    Epoll = epoll_create1(EPOLL_CLOEXEC);
    Signals = signalfd(-1, &Set, SFD_NONBLOCK | SFD_CLOEXEC);
    Timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (Epoll < 0 || Signals < 0 || Timer < 0) {
        Failure = Errno("setting up the event loop");
        return false;
    }
    itimerspec Every{};
    Every.it_interval.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(TickInterval).count();
    Every.it_value = Every.it_interval;
    timerfd_settime(Timer, 0, &Every, nullptr);
    for (const int Descriptor : {Signals, Timer}) {
        epoll_event Event{};
        Event.events = EPOLLIN;
        Event.data.fd = Descriptor;
        epoll_ctl(Epoll, EPOLL_CTL_ADD, Descriptor, &Event);
    }
    Apply(Config);
    ScanWatches();
    Tick();

    std::array<epoll_event, 64> Ready{};
    bool Running = true;
    Clock::time_point LastWake = Clock::now();
    while (Running) {
        // Under load, a short pause between turns lets each socket gather more bytes for one read: a
        // thousand machines at line rate otherwise cost a read call per few dozen bytes.
        std::this_thread::sleep_until(LastWake + ShortestTurn);
        const int Count = epoll_wait(Epoll, Ready.data(), static_cast<int>(Ready.size()), -1);
        LastWake = Clock::now();
        WakeIso.clear();
        if (Count < 0 && errno != EINTR) {
            Failure = Errno("epoll_wait");
            return false;
        }
        for (int Index = 0; Index < Count; ++Index) {
            const int Descriptor = Ready[static_cast<size_t>(Index)].data.fd;
            const uint32_t Events = Ready[static_cast<size_t>(Index)].events;
            if (Descriptor == Timer) {
                uint64_t Expired = 0;
                while (read(Timer, &Expired, sizeof(Expired)) > 0) {
                }
                Tick();
            } else if (Descriptor == Signals) {
                signalfd_siginfo Info{};
                while (read(Signals, &Info, sizeof(Info)) == static_cast<ssize_t>(sizeof(Info))) {
                    if (Info.ssi_signo == SIGHUP) {
                        const LoadedConfig Next = LoadConfig(ConfigPath);
                        if (Next.Config) {
                            std::cerr << "hestolvane-lab: configuration read again\n";
                            Apply(*Next.Config);
                        } else {
                            std::cerr << "hestolvane-lab: configuration not changed: " << Next.Error << "\n";
                        }
                    } else {
                        Running = false;
                    }
                }
            } else if (const auto Found = ByDescriptor.find(Descriptor); Found != ByDescriptor.end()) {
                Machine& Each = *Found->second;
                if (Each.Connecting) {
                    int Error = 0;
                    socklen_t Size = sizeof(Error);
                    getsockopt(Descriptor, SOL_SOCKET, SO_ERROR, &Error, &Size);
                    if (Error != 0) {
                        errno = Error;
                        Lost(Each, Errno("connect"));
                    } else {
                        Connected(Each);
                    }
                } else if ((Events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    OnReadable(Each);
                }
            }
        }
    }
    // What is complete has been handed over; a report still open is left out, as the decoder does, and
    // a followed file's resume point lies before it, so the next start reads it again.
    for (auto& [Name, Each] : Machines) {
        FlushRaw(*Each);
        if (const auto Dropped = Each->Reader->Abandon()) {
            std::cerr << "hestolvane-lab: " << Name << ": the report begun at line " << *Dropped
                      << " was not complete and is left out\n";
        }
    }
    return true;
}

void Collector::Apply(const LabConfig& Next) {
    std::vector<std::string> Gone;
    for (const auto& [Name, Each] : Machines) {
        bool Kept = false;
        if (Each->WatchDirectory.empty()) {
            for (const MachineConfig& Wanted : Next.Machines) {
                Kept = Kept || (Wanted.Name == Name && Wanted.Source == Each->Config.Source);
            }
        } else {
            for (const WatchConfig& Wanted : Next.Watches) {
                Kept = Kept || Wanted.Directory == Each->WatchDirectory;
            }
        }
        if (!Kept) {
            Gone.push_back(Name);
        }
    }
    for (const std::string& Name : Gone) {
        RemoveMachine(Name);
    }
    for (const MachineConfig& Wanted : Next.Machines) {
        const auto Found = Machines.find(Wanted.Name);
        if (Found == Machines.end()) {
            AddMachine(Wanted, "");
        } else if (Found->second->Config.Tags != Wanted.Tags) {
            Found->second->Config.Tags = Wanted.Tags;
            Record.Machine(Wanted, true);
        }
    }
    // Symbols and the index stay as they were at start: the recorder's thread holds them.
    const decode::SymbolOptions Symbols = Config.Symbols;
    const std::string Index = Config.Index;
    Config = Next;
    Config.Symbols = Symbols;
    Config.Index = Index;
}

void Collector::AddMachine(const MachineConfig& Wanted, const std::string& WatchDirectory) {
    auto Each = std::make_unique<Machine>();
    Each->Config = Wanted;
    Each->WatchDirectory = WatchDirectory;
    Each->Sink = std::make_unique<MachineSink>(Record, Wanted.Name);
    Each->NewReader();
    Each->Backoff = Config.FirstBackoff;
    Each->State.Since = NowIso();
    Record.Machine(Wanted, true);
    Publish(*Each);
    Machines[Wanted.Name] = std::move(Each);
}

void Collector::RemoveMachine(const std::string& Name) {
    const auto Found = Machines.find(Name);
    if (Found == Machines.end()) {
        return;
    }
    Machine& Each = *Found->second;
    Each.Reader->Abandon();
    FlushRaw(Each);
    Unwatch(Each);
    Record.Machine(Each.Config, false);
    Machines.erase(Found);
    std::lock_guard<std::mutex> Hold(LiveLock);
    Shown.erase(Name);
    ++Changes;
}

void Collector::ScanWatches() {
    for (const WatchConfig& Watch : Config.Watches) {
        DIR* Directory = opendir(Watch.Directory.c_str());
        if (Directory == nullptr) {
            continue;
        }
        while (const dirent* Entry = readdir(Directory)) {
            const std::string File = Entry->d_name;
            if (File.size() <= Watch.Suffix.size() || File.compare(File.size() - Watch.Suffix.size(), Watch.Suffix.size(), Watch.Suffix) != 0) {
                continue;
            }
            const std::string Name = File.substr(0, File.size() - Watch.Suffix.size());
            if (Machines.count(Name) != 0) {
                continue;
            }
            MachineConfig Found;
            Found.Name = Name;
            Found.Tags = Watch.Tags;
            Found.Source.Type = SourceSpec::Kind::File;
            Found.Source.Path = Watch.Directory + "/" + File;
            Found.SourceUrl = "file://" + Found.Source.Path;
            AddMachine(Found, Watch.Directory);
        }
        closedir(Directory);
    }
}

void Collector::Tick() {
    ++Ticks;
    const auto Now = Clock::now();
    const bool Backlogged = Record.Backlogged();
    const bool Scan = Ticks % TicksPerScan == 0;
    if (Scan) {
        ScanWatches();
    }
    for (auto& [Name, Each] : Machines) {
        FlushRaw(*Each);
        if (Backlogged) {
            // Nothing is read now, so nothing can be idle.
            Each->LastBytes = Now;
            continue;
        }
        if (Each->Paused && Each->Descriptor >= 0) {
            Watch(*Each, EPOLLIN);
        }
        Each->Paused = false;
        if (Each->Config.Source.Type == SourceSpec::Kind::File) {
            PollFile(*Each);
        } else if (Each->Descriptor < 0 && Now >= Each->NextAttempt) {
            Attempt(*Each);
        }
        if (Each->Reader->HasUnfinishedWork() && Now - Each->LastBytes > Config.IdleTimeout) {
            Each->Reader->Cut(decode::Truncation::IdleTimeout);
            Each->OpenBytes = 0;
        }
        if (Scan && Each->Touched) {
            Each->Touched = false;
            Record.Touch(Name, Each->State.LastBytes);
        }
    }
}

void Collector::Watch(Machine& Each, uint32_t Events) {
    epoll_event Event{};
    Event.events = Events;
    Event.data.fd = Each.Descriptor;
    if (epoll_ctl(Epoll, EPOLL_CTL_MOD, Each.Descriptor, &Event) != 0) {
        epoll_ctl(Epoll, EPOLL_CTL_ADD, Each.Descriptor, &Event);
    }
    ByDescriptor[Each.Descriptor] = &Each;
}

void Collector::Unwatch(Machine& Each) {
    if (Each.Descriptor >= 0) {
        if (Each.Config.Source.Type != SourceSpec::Kind::File) {
            epoll_ctl(Epoll, EPOLL_CTL_DEL, Each.Descriptor, nullptr);
        }
        ByDescriptor.erase(Each.Descriptor);
        close(Each.Descriptor);
        Each.Descriptor = -1;
    }
    Each.Paused = false;
}

void Collector::Attempt(Machine& Each) {
    const SourceSpec& Source = Each.Config.Source;
    if (Source.Type == SourceSpec::Kind::Serial) {
        Each.Descriptor = open(Source.Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios Settings{};
        const auto Speed = BaudConstant(Source.Baud);
        if (Each.Descriptor < 0 || tcgetattr(Each.Descriptor, &Settings) != 0 || !Speed) {
            Lost(Each, Speed ? Errno(Source.Path.c_str()) : "no such speed: " + std::to_string(Source.Baud));
            return;
        }
        cfmakeraw(&Settings);
        Settings.c_cflag |= CLOCAL | CREAD;
        Settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS);
        cfsetispeed(&Settings, *Speed);
        cfsetospeed(&Settings, *Speed);
        if (tcsetattr(Each.Descriptor, TCSANOW, &Settings) != 0) {
            Lost(Each, Errno(Source.Path.c_str()));
            return;
        }
        Watch(Each, EPOLLIN);
        Connected(Each);
        return;
    }
    sockaddr_storage Address{};
    socklen_t Length = 0;
    int Family = AF_UNIX;
    if (Source.Type == SourceSpec::Kind::Unix) {
        sockaddr_un Local{};
        Local.sun_family = AF_UNIX;
        if (Source.Path.size() >= sizeof(Local.sun_path)) {
            Lost(Each, "socket path too long");
            return;
        }
        std::memcpy(Local.sun_path, Source.Path.c_str(), Source.Path.size() + 1);
        std::memcpy(&Address, &Local, sizeof(Local));
        Length = sizeof(Local);
    } else {
        addrinfo Hints{};
        Hints.ai_family = AF_UNSPEC;
        Hints.ai_socktype = SOCK_STREAM;
        addrinfo* Found = nullptr;
        if (const int Error = getaddrinfo(Source.Host.c_str(), Source.Port.c_str(), &Hints, &Found); Error != 0) {
            Lost(Each, std::string("cannot resolve ") + Source.Host + ": " + gai_strerror(Error));
            return;
        }
        std::memcpy(&Address, Found->ai_addr, Found->ai_addrlen);
        Length = Found->ai_addrlen;
        Family = Found->ai_family;
        freeaddrinfo(Found);
    }
    Each.Descriptor = socket(Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Each.Descriptor < 0) {
        Lost(Each, Errno("socket"));
        return;
    }
    if (connect(Each.Descriptor, reinterpret_cast<const sockaddr*>(&Address), Length) == 0) {
        Watch(Each, EPOLLIN);
        Connected(Each);
    } else if (errno == EINPROGRESS) {
        Each.Connecting = true;
        Watch(Each, EPOLLOUT);
    } else {
        Lost(Each, Errno("connect"));
    }
}

void Collector::Connected(Machine& Each) {
    if (Each.Connecting) {
        Each.Connecting = false;
        Watch(Each, EPOLLIN);
    }
    Each.Open = true;
    Each.Backoff = Config.FirstBackoff;
    Each.LastBytes = Clock::now();
    Each.State.Connected = true;
    Each.State.Since = NowIso();
    Each.State.Problem.clear();
    Publish(Each);
}

void Collector::Lost(Machine& Each, const std::string& Why) {
    const bool WasOpen = Each.Open;
    FlushRaw(Each);
    Unwatch(Each);
    Each.Connecting = false;
    Each.Open = false;
    if (WasOpen) {
        // A machine that powers off closes its serial server: the boot then running was seen to stop.
        Each.Reader->Cut(decode::Truncation::Disconnected);
        Each.OpenBytes = 0;
        if (Each.Config.Source.Type != SourceSpec::Kind::File) {
            Record.Stopped(Each.Config.Name);
        }
    }
    Each.NextAttempt = Clock::now() + Each.Backoff;
    Each.Backoff = std::min(Each.Backoff * 2, Config.LongestBackoff);
    if (Each.State.Connected || Each.State.Problem != Why) {
        Each.State.Connected = false;
        Each.State.Since = NowIso();
        Each.State.Problem = Why;
        Publish(Each);
    }
}

void Collector::OnReadable(Machine& Each) {
    if (Record.Backlogged()) {
        // Out of the epoll set until the recorder catches up: the bytes wait in the socket, and the
        // sender is held back by its own buffers filling.
        epoll_ctl(Epoll, EPOLL_CTL_DEL, Each.Descriptor, nullptr);
        Each.Paused = true;
        return;
    }
    ReadBuffer.resize(ReadChunk);
    for (size_t Reads = 0; Reads < ReadsPerWake; ++Reads) {
        const ssize_t Got = read(Each.Descriptor, ReadBuffer.data(), ReadBuffer.size());
        if (Got > 0) {
            Feed(Each, std::string_view(ReadBuffer.data(), static_cast<size_t>(Got)), 0);
            // A short read emptied the socket: epoll says when more arrives, so asking again now would
            // only cost a call that finds nothing.
            if (static_cast<size_t>(Got) < ReadBuffer.size()) {
                return;
            }
            continue;
        }
        if (Got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (Got < 0 && errno == EINTR) {
            continue;
        }
        Lost(Each, Got == 0 ? "the source closed the connection" : Errno("read"));
        return;
    }
}

void Collector::PollFile(Machine& Each) {
    const std::string& Path = Each.Config.Source.Path;
    struct stat Named {};
    const bool Exists = stat(Path.c_str(), &Named) == 0;
    if (Each.Descriptor >= 0) {
        struct stat Held {};
        fstat(Each.Descriptor, &Held);
        if (!Exists || FileKeyOf(Named) != Each.FileKey || Held.st_size < static_cast<off_t>(Each.Offset)) {
            // Replaced or truncated: the rest of the old file is read first when it was replaced.
            if (Exists && FileKeyOf(Named) != Each.FileKey) {
                PollFileBytes(Each);
            }
            Each.Reader->Cut(decode::Truncation::CaptureRestarted);
            Unwatch(Each);
            Each.Open = false;
            Each.FileKey.clear();
        }
    }
    if (Each.Descriptor < 0) {
        if (!Exists) {
            if (Each.State.Connected || Each.State.Problem.empty()) {
                Each.State.Connected = false;
                Each.State.Since = NowIso();
                Each.State.Problem = "waiting for " + Path;
                Publish(Each);
            }
            return;
        }
        Each.Descriptor = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (Each.Descriptor < 0) {
            Lost(Each, Errno(Path.c_str()));
            return;
        }
        struct stat Held {};
        fstat(Each.Descriptor, &Held);
        Each.FileKey = FileKeyOf(Held);
        Each.NewReader();
        Each.Offset = 0;
        Each.LoggedTo = 0;
        if (const auto Point = Record.LoadResume(Each.Config.Name, Each.FileKey);
            Point && Point->Offset <= static_cast<uint64_t>(Held.st_size)) {
            Each.Offset = Point->Offset;
            Each.LoggedTo = Point->LoggedTo;
        }
        Each.Safe = Each.Offset;
        Each.SavedSafe = Each.Offset;
        Each.SavedLogged = Each.LoggedTo;
        Connected(Each);
    }
    PollFileBytes(Each);
}

void Collector::PollFileBytes(Machine& Each) {
    ReadBuffer.resize(ReadChunk);
    size_t Total = 0;
    while (Total < FileBytesPerTick) {
        const ssize_t Got = pread(Each.Descriptor, ReadBuffer.data(), ReadBuffer.size(), static_cast<off_t>(Each.Offset));
        if (Got <= 0) {
            break;
        }
        const uint64_t At = Each.Offset;
        Each.Offset += static_cast<uint64_t>(Got);
        Total += static_cast<size_t>(Got);
        Feed(Each, std::string_view(ReadBuffer.data(), static_cast<size_t>(Got)), At);
    }
    SaveResume(Each);
}

void Collector::SaveResume(Machine& Each) {
    const uint64_t Point = Each.BootOffset.value_or(Each.Safe);
    if (Point != Each.SavedSafe || Each.LoggedTo != Each.SavedLogged) {
        Each.SavedSafe = Point;
        Each.SavedLogged = Each.LoggedTo;
        Record.Resume(Each.Config.Name, Each.FileKey, ResumePoint{Point, Each.LoggedTo});
    }
}

void Collector::FlushRaw(Machine& Each) {
    if (Each.RawPending.empty()) {
        return;
    }
    const size_t Size = Each.RawPending.size();
    if (!Record.Raw(Each.Config.Name, std::move(Each.RawPending), Config.BufferLimit)) {
        Each.State.Dropped += Size;
    }
    Each.RawPending.clear();
}

const std::string& Collector::WakeTime() {
    if (WakeIso.empty()) {
        WakeIso = NowIso();
    }
    return WakeIso;
}

// Feeds line by line, so that the points where the reader has nothing unfinished are known: a followed
// file is read again from there after a restart. At is the file offset of the first byte (files only).
void Collector::Feed(Machine& Each, std::string_view Bytes, uint64_t At) {
    const bool File = Each.Config.Source.Type == SourceSpec::Kind::File;
    Each.LastBytes = Clock::now();
    Each.State.LastBytes = WakeTime();
    Each.State.Bytes += Bytes.size();
    Each.Touched = true;
    if (!File) {
        Each.RawPending.append(Bytes);
        if (Each.RawPending.size() >= RawPieceBytes) {
            FlushRaw(Each);
        }
    } else if (At + Bytes.size() > Each.LoggedTo) {
        // A file's bytes are logged as read, so that its resume point never claims bytes still held here.
        const std::string_view Fresh = At < Each.LoggedTo ? Bytes.substr(Each.LoggedTo - At) : Bytes;
        if (!Record.Raw(Each.Config.Name, std::string(Fresh), Config.BufferLimit)) {
            Each.State.Dropped += Fresh.size();
        }
        Each.LoggedTo = At + Bytes.size();
    }
    size_t Position = 0;
    while (Position < Bytes.size()) {
        const size_t End = Bytes.find('\n', Position);
        const size_t Stop = End == std::string_view::npos ? Bytes.size() : End + 1;
        if (Each.AtLineStart) {
            Each.LineStarts.emplace_back(Each.LinesFed + 1, At + Position);
            if (Each.LineStarts.size() > 8) {
                Each.LineStarts.pop_front();
            }
        }
        const std::optional<uint64_t> BootBefore = Each.Sink->LastBootLine;
        Each.Reader->Feed(Bytes.substr(Position, Stop - Position));
        Each.OpenBytes += Stop - Position;
        Each.AtLineStart = End != std::string_view::npos;
        if (Each.Sink->LastBootLine != BootBefore) {
            Each.BootOffset.reset();
            for (const auto& [Line, Offset] : Each.LineStarts) {
                if (Line == *Each.Sink->LastBootLine) {
                    Each.BootOffset = Offset;
                }
            }
        }
        if (Each.AtLineStart) {
            ++Each.LinesFed;
            if (!Each.Reader->HasUnfinishedWork()) {
                Each.OpenBytes = 0;
                Each.Safe = At + Stop;
            }
        }
        if (Each.OpenBytes > Config.BufferLimit) {
            // A report or a line that never ends: it costs this machine its unfinished report, nothing more.
            Each.Reader->Abandon();
            Each.State.Dropped += Each.OpenBytes;
            Each.State.Problem = "an unfinished report passed the buffer limit of " + std::to_string(Config.BufferLimit) +
                                 " bytes and was dropped";
            Each.NewReader();
            Each.Safe = At + Stop;
        }
        Position = Stop;
    }
    Publish(Each);
}

}  // namespace hestolvane::lab
