// Reading loops over POSIX descriptors. Each waits in poll() on its source and the stop pipe at once, so
// that a stop or an idle timeout is seen at once however quiet the source is.
#include "live.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace hestolvane::decode {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t ChunkSize = size_t{256} * 1024;
constexpr milliseconds ConnectTimeout{5000};

class UniqueDescriptor {
public:
    UniqueDescriptor() = default;
    explicit UniqueDescriptor(int Descriptor) : Descriptor(Descriptor) {}
    ~UniqueDescriptor() { Reset(); }
    UniqueDescriptor(UniqueDescriptor&& Other) noexcept : Descriptor(Other.Descriptor) { Other.Descriptor = -1; }
    UniqueDescriptor& operator=(UniqueDescriptor&& Other) noexcept {
        if (this != &Other) {
            Reset();
            Descriptor = Other.Descriptor;
            Other.Descriptor = -1;
        }
        return *this;
    }

    int Get() const { return Descriptor; }
    bool Valid() const { return Descriptor >= 0; }
    void Reset() {
        if (Descriptor >= 0) {
            close(Descriptor);
            Descriptor = -1;
        }
    }

private:
    int Descriptor = -1;
};

ReadOutcome StoppedByUser() {
    return ReadOutcome{true, true, ""};
}

ReadOutcome Unreadable(std::string Error) {
    return ReadOutcome{false, false, std::move(Error)};
}

std::string ErrorText(const std::string& What, int Error) {
    return What + ": " + std::strerror(Error);
}

enum class Wake { Ready, Stopped, TimedOut };

// Waits until Descriptor (when not -1) has something for Events, the stop signal fires, or Limit passes.
Wake WaitFor(int Descriptor, short Events, milliseconds Limit, const StopSignal& Stop) {
    std::array<pollfd, 2> Watched{{{Stop.WaitDescriptor(), POLLIN, 0}, {Descriptor, Events, 0}}};
    const int Timeout = Limit.count() < 0 ? -1 : static_cast<int>(std::min<long long>(Limit.count(), 1 << 30));
    for (;;) {
        const int Count = poll(Watched.data(), Descriptor >= 0 ? 2 : 1, Timeout);
        if (Count < 0 && errno == EINTR) {
            continue;
        }
        if (Watched[0].revents != 0) {
            return Wake::Stopped;
        }
        return Count > 0 ? Wake::Ready : Wake::TimedOut;
    }
}

// WaitFor, telling the reader first when nothing is there yet: the input is quiet, the moment to make
// what was recorded durable. A regular file is never quiet until its end.
Wake WaitQuietly(int Descriptor, short Events, milliseconds Limit, const StopSignal& Stop, CaptureReader& Reader) {
    const Wake Already = WaitFor(Descriptor, Events, milliseconds(0), Stop);
    if (Already != Wake::TimedOut || Limit.count() == 0) {
        return Already;
    }
    Reader.Quiet();
    return WaitFor(Descriptor, Events, Limit, Stop);
}

// Tracks the time since the last byte and cuts the reader's unfinished work off when it has waited long
// enough. Wait limits come from here, so no loop sleeps through a deadline.
class IdleWatch {
public:
    IdleWatch(CaptureReader& Reader, const LiveOptions& Options) : Reader(Reader), Options(Options) {}

    void Touch() { LastData = Clock::now(); }

    // How long the next wait may last when nothing else bounds it: -1 for ever.
    milliseconds Limit(milliseconds Other = milliseconds(-1)) const {
        if (!Reader.HasUnfinishedWork()) {
            return Other;
        }
        const auto Left = std::chrono::duration_cast<milliseconds>(LastData + Options.IdleTimeout - Clock::now());
        const milliseconds Idle = std::max(Left, milliseconds(0));
        return Other.count() < 0 ? Idle : std::min(Idle, Other);
    }

    void CutIfIdle() {
        if (Reader.HasUnfinishedWork() && Clock::now() - LastData >= Options.IdleTimeout) {
            Reader.Cut(Truncation::IdleTimeout);
        }
    }

private:
    CaptureReader& Reader;
    const LiveOptions& Options;
    Clock::time_point LastData = Clock::now();
};

enum class ReadResult { Data, Again, End, Failed };

ReadResult ReadChunk(int Descriptor, std::vector<char>& Buffer, CaptureReader& Reader, IdleWatch* Idle) {
    const ssize_t Count = read(Descriptor, Buffer.data(), Buffer.size());
    if (Count > 0) {
        Reader.Feed(std::string_view(Buffer.data(), static_cast<size_t>(Count)));
        if (Idle != nullptr) {
            Idle->Touch();
        }
        return ReadResult::Data;
    }
    if (Count == 0) {
        return ReadResult::End;
    }
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? ReadResult::Again : ReadResult::Failed;
}

// Waits out a back-off, still honouring the stop signal and the idle timeout. False when stopped.
bool Pause(milliseconds Delay, CaptureReader& Reader, IdleWatch& Idle, const StopSignal& Stop) {
    const auto Until = Clock::now() + Delay;
    for (auto Now = Clock::now(); Now < Until; Now = Clock::now()) {
        if (WaitQuietly(-1, 0, Idle.Limit(std::chrono::duration_cast<milliseconds>(Until - Now)), Stop, Reader) ==
            Wake::Stopped) {
            return false;
        }
        Idle.CutIfIdle();
    }
    return true;
}

class Backoff {
public:
    explicit Backoff(const LiveOptions& Options) : Options(Options), Next(Options.FirstBackoff) {}
    milliseconds Take() {
        const milliseconds Delay = Next;
        Next = std::min(Next * 2, Options.LongestBackoff);
        return Delay;
    }
    void Reset() { Next = Options.FirstBackoff; }

private:
    const LiveOptions& Options;
    milliseconds Next;
};

// Reads a connected stream until it ends or fails (the source went away) or the stop signal fires.
// True when stopped.
bool ReadUntilGone(int Descriptor, CaptureReader& Reader, IdleWatch& Idle, const StopSignal& Stop) {
    std::vector<char> Buffer(ChunkSize);
    for (;;) {
        const Wake Woken = WaitQuietly(Descriptor, POLLIN, Idle.Limit(), Stop, Reader);
        if (Woken == Wake::Stopped) {
            return true;
        }
        if (Woken == Wake::TimedOut) {
            Idle.CutIfIdle();
            continue;
        }
        const ReadResult Result = ReadChunk(Descriptor, Buffer, Reader, &Idle);
        if (Result == ReadResult::End || Result == ReadResult::Failed) {
            Reader.Cut(Truncation::Disconnected);
            return false;
        }
    }
}

// Empty when the connection failed; Error is then the errno that says why.
std::optional<UniqueDescriptor> Connect(const addrinfo* Address, const StopSignal& Stop, int& Error) {
    UniqueDescriptor Socket(
        socket(Address->ai_family, Address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, Address->ai_protocol));
    if (!Socket.Valid()) {
        Error = errno;
        return std::nullopt;
    }
    if (connect(Socket.Get(), Address->ai_addr, Address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            Error = errno;
            return std::nullopt;
        }
        if (WaitFor(Socket.Get(), POLLOUT, ConnectTimeout, Stop) != Wake::Ready) {
            Error = ETIMEDOUT;
            return std::nullopt;
        }
        socklen_t Length = sizeof(Error);
        if (getsockopt(Socket.Get(), SOL_SOCKET, SO_ERROR, &Error, &Length) != 0 || Error != 0) {
            return std::nullopt;
        }
    }
    return Socket;
}

std::string SecondsText(milliseconds Delay) {
    char Text[32];
    std::snprintf(Text, sizeof(Text), "%g s", static_cast<double>(Delay.count()) / 1000);
    return Text;
}

std::optional<speed_t> SpeedFor(unsigned Baud) {
    static const std::array<std::pair<unsigned, speed_t>, 18> Speeds = {{
        {1200, B1200},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
        {230400, B230400},
        {460800, B460800},
        {500000, B500000},
        {576000, B576000},
        {921600, B921600},
        {1000000, B1000000},
        {1152000, B1152000},
        {1500000, B1500000},
        {2000000, B2000000},
        {3000000, B3000000},
    }};
    for (const auto& [Rate, Speed] : Speeds) {
        if (Rate == Baud) {
            return Speed;
        }
    }
    return std::nullopt;
}

// Raw 8N1 at the given speed, no flow control, modem lines ignored: the dying machine sends blind.
std::optional<UniqueDescriptor> OpenSerial(const SerialTarget& Target, std::string& Error) {
    UniqueDescriptor Device(open(Target.Device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Device.Valid()) {
        Error = ErrorText("cannot open " + Target.Device, errno);
        return std::nullopt;
    }
    termios Settings{};
    if (tcgetattr(Device.Get(), &Settings) != 0) {
        Error = ErrorText(Target.Device + " is not a terminal", errno);
        return std::nullopt;
    }
    cfmakeraw(&Settings);
    Settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    Settings.c_cflag |= CS8 | CLOCAL | CREAD;
    Settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
    const speed_t Speed = *SpeedFor(Target.Baud);
    if (cfsetispeed(&Settings, Speed) != 0 || cfsetospeed(&Settings, Speed) != 0 ||
        tcsetattr(Device.Get(), TCSANOW, &Settings) != 0) {
        Error = ErrorText("cannot set " + Target.Device + " to raw 8N1", errno);
        return std::nullopt;
    }
    return Device;
}

bool SameFile(const struct stat& Left, const struct stat& Right) {
    return Left.st_dev == Right.st_dev && Left.st_ino == Right.st_ino;
}

// Where a followed file has been read to, and what it held there: its first bytes and the bytes just
// before the offset. A file truncated and written again (QEMU restarting a VM over its -serial file, cp
// over it) may be larger than before by the next look, so its size alone does not tell; its content
// does, since a new boot's banner and times differ from the old ones.
class ReadPosition {
public:
    static constexpr size_t Kept = 256;

    // Whether the file still holds, at 0 and just before the offset, what was read there.
    bool StillThere(int Descriptor) const {
        return Holds(Descriptor, 0, Head) && Holds(Descriptor, Offset - static_cast<off_t>(Tail.size()), Tail);
    }

    ReadResult ReadFrom(int Descriptor, std::vector<char>& Buffer, CaptureReader& Reader, IdleWatch& Idle) {
        const ssize_t Count = pread(Descriptor, Buffer.data(), Buffer.size(), Offset);
        if (Count < 0) {
            return errno == EINTR || errno == EAGAIN ? ReadResult::Again : ReadResult::Failed;
        }
        if (Count == 0) {
            return ReadResult::End;
        }
        const std::string_view Chunk(Buffer.data(), static_cast<size_t>(Count));
        if (Head.size() < Kept) {
            Head.append(Chunk.substr(0, Kept - Head.size()));
        }
        Tail.append(Chunk.substr(Chunk.size() > Kept ? Chunk.size() - Kept : 0));
        if (Tail.size() > Kept) {
            Tail.erase(0, Tail.size() - Kept);
        }
        Offset += Count;
        Reader.Feed(Chunk);
        Idle.Touch();
        return ReadResult::Data;
    }

private:
    static bool Holds(int Descriptor, off_t At, const std::string& Expected) {
        if (Expected.empty()) {
            return true;
        }
        std::string Found(Expected.size(), '\0');
        return pread(Descriptor, Found.data(), Found.size(), At) == static_cast<ssize_t>(Found.size()) &&
               Found == Expected;
    }

    off_t Offset = 0;
    std::string Head;
    std::string Tail;
};

}  // namespace

StopSignal::StopSignal() {
    int Ends[2];
    if (pipe2(Ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        ReadEnd = Ends[0];
        WriteEnd = Ends[1];
    }
}

StopSignal::~StopSignal() {
    if (ReadEnd >= 0) {
        close(ReadEnd);
        close(WriteEnd);
    }
}

void StopSignal::Trigger() const noexcept {
    const char Byte = 1;
    [[maybe_unused]] const ssize_t Written = write(WriteEnd, &Byte, 1);
}

bool StopSignal::Triggered() const {
    return WaitFor(-1, 0, milliseconds(0), *this) == Wake::Stopped;
}

ReadOutcome ReadToEnd(int Descriptor, CaptureReader& Reader, const StopSignal& Stop, const LiveOptions* Idle) {
    std::vector<char> Buffer(ChunkSize);
    std::optional<IdleWatch> Watch;
    if (Idle != nullptr) {
        Watch.emplace(Reader, *Idle);
    }
    for (;;) {
        const Wake Woken = WaitQuietly(Descriptor, POLLIN, Watch ? Watch->Limit() : milliseconds(-1), Stop, Reader);
        if (Woken == Wake::Stopped) {
            return StoppedByUser();
        }
        if (Woken == Wake::TimedOut) {
            Watch->CutIfIdle();
            continue;
        }
        switch (ReadChunk(Descriptor, Buffer, Reader, Watch ? &*Watch : nullptr)) {
        case ReadResult::Data:
        case ReadResult::Again:
            break;
        case ReadResult::End:
            return ReadOutcome{};
        case ReadResult::Failed:
            return Unreadable(ErrorText("read failed", errno));
        }
    }
}

ReadOutcome FollowFile(const std::string& Path, CaptureReader& Reader, const LiveOptions& Options,
                       const StopSignal& Stop) {
    IdleWatch Idle(Reader, Options);
    std::vector<char> Buffer(ChunkSize);
    UniqueDescriptor File;
    struct stat Opened {};
    ReadPosition Position;
    for (;;) {
        if (!File.Valid()) {
            File = UniqueDescriptor(open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            if (!File.Valid() && errno != ENOENT) {
                return Unreadable(ErrorText("cannot open " + Path, errno));
            }
            if (File.Valid()) {
                fstat(File.Get(), &Opened);
                Position = ReadPosition{};
            }
            if (File.Valid() && S_ISFIFO(Opened.st_mode)) {
                // Held open for writing too, so that one writer going away is no end: the next one goes on.
                UniqueDescriptor Pipe(open(Path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
                if (!Pipe.Valid()) {
                    return Unreadable(ErrorText("cannot open " + Path, errno));
                }
                return ReadUntilGone(Pipe.Get(), Reader, Idle, Stop) ? StoppedByUser()
                                                                     : Unreadable("cannot read " + Path);
            }
        }
        if (File.Valid()) {
            struct stat Now {};
            if (stat(Path.c_str(), &Now) != 0 || !SameFile(Now, Opened)) {
                // Replaced or removed: what the old file got last is read first; the new one starts afresh.
                while (Position.ReadFrom(File.Get(), Buffer, Reader, Idle) == ReadResult::Data) {
                }
                File.Reset();
                Reader.Cut(Truncation::CaptureRestarted);
                continue;
            }
            // Checked before every chunk, so that a rewrite while the reader was busy (a slow symbol
            // look-up) is not read as the old capture's continuation.
            ReadResult Result = ReadResult::Data;
            while (Result == ReadResult::Data) {
                if (!Position.StillThere(File.Get())) {
                    Position = ReadPosition{};
                    Reader.Cut(Truncation::CaptureRestarted);
                }
                Result = Position.ReadFrom(File.Get(), Buffer, Reader, Idle);
            }
            if (Result == ReadResult::Failed) {
                return Unreadable(ErrorText("cannot read " + Path, errno));
            }
        }
        if (WaitQuietly(-1, 0, Idle.Limit(Options.FollowInterval), Stop, Reader) == Wake::Stopped) {
            return StoppedByUser();
        }
        Idle.CutIfIdle();
    }
}

std::optional<TcpTarget> ParseTcpTarget(std::string_view Text) {
    const size_t Colon = Text.rfind(':');
    if (Colon == std::string_view::npos || Colon == 0 || Colon + 1 == Text.size()) {
        return std::nullopt;
    }
    std::string_view Host = Text.substr(0, Colon);
    if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']') {
        Host = Host.substr(1, Host.size() - 2);
    }
    const std::string_view Port = Text.substr(Colon + 1);
    if (Port.size() > 5 || Port.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const unsigned long Number = std::stoul(std::string(Port));
    if (Number < 1 || Number > 65535) {
        return std::nullopt;
    }
    return TcpTarget{std::string(Host), std::to_string(Number)};
}

ReadOutcome FollowTcp(const TcpTarget& Target, CaptureReader& Reader, const LiveOptions& Options,
                      const StopSignal& Stop) {
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* Found = nullptr;
    if (const int Error = getaddrinfo(Target.Host.c_str(), Target.Port.c_str(), &Hints, &Found); Error != 0) {
        return Unreadable("cannot resolve " + Target.Host + ":" + Target.Port + ": " + gai_strerror(Error));
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> Addresses(Found, &freeaddrinfo);
    IdleWatch Idle(Reader, Options);
    Backoff Delays(Options);
    const std::string Name = Target.Host + ":" + Target.Port;
    std::string LastState;  // told once per change, not once per attempt
    auto Tell = [&](const std::string& State, const std::string& Text) {
        if (State != LastState && Options.Notice) {
            Options.Notice(Text);
        }
        LastState = State;
    };
    for (;;) {
        std::optional<UniqueDescriptor> Socket;
        int Error = 0;
        for (const addrinfo* Address = Addresses.get(); Address != nullptr && !Socket; Address = Address->ai_next) {
            Socket = Connect(Address, Stop, Error);
        }
        if (Stop.Triggered()) {
            return StoppedByUser();
        }
        if (Socket) {
            if (!LastState.empty()) {
                Tell("connected", Name + ": connected");
            }
            LastState = "connected";
            Delays.Reset();
            if (ReadUntilGone(Socket->Get(), Reader, Idle, Stop)) {
                return StoppedByUser();
            }
        }
        const milliseconds Delay = Delays.Take();
        if (Socket) {
            Tell("gone", Name + ": the connection ended; connecting again in " + SecondsText(Delay));
        } else {
            Tell(std::to_string(Error), Name + ": " + std::strerror(Error) + "; trying again in " + SecondsText(Delay) +
                                            ", then at longer intervals up to " + SecondsText(Options.LongestBackoff));
        }
        if (!Pause(Delay, Reader, Idle, Stop)) {
            return StoppedByUser();
        }
    }
}

std::optional<SerialTarget> ParseSerialTarget(std::string_view Text) {
    SerialTarget Target{std::string(Text), 115200};
    const size_t Colon = Text.rfind(':');
    if (Colon == std::string_view::npos || Colon + 1 == Text.size()) {
        return Target;
    }
    std::string_view Speed = Text.substr(Colon + 1);
    if (Speed.find_first_not_of("0123456789") != std::string_view::npos || Speed.size() > 9) {
        return Target;
    }
    Target.Device = std::string(Text.substr(0, Colon));
    Target.Baud = static_cast<unsigned>(std::stoul(std::string(Speed)));
    if (!SpeedFor(Target.Baud)) {
        return std::nullopt;
    }
    return Target;
}

ReadOutcome FollowSerial(const SerialTarget& Target, CaptureReader& Reader, const LiveOptions& Options,
                         const StopSignal& Stop) {
    std::string Error;
    std::optional<UniqueDescriptor> Device = OpenSerial(Target, Error);
    if (!Device) {
        return Unreadable(Error);
    }
    IdleWatch Idle(Reader, Options);
    Backoff Delays(Options);
    for (;;) {
        if (Device) {
            Delays.Reset();
            if (ReadUntilGone(Device->Get(), Reader, Idle, Stop)) {
                return StoppedByUser();
            }
        }
        // A USB adapter pulled out and plugged in again comes back under the same name.
        if (!Pause(Delays.Take(), Reader, Idle, Stop)) {
            return StoppedByUser();
        }
        Device = OpenSerial(Target, Error);
    }
}

}  // namespace hestolvane::decode
