// Where a capture's bytes come from: a file or standard input read to its end, or a live source (a growing
// file, a TCP serial server, a serial device) followed until stopped. Each feeds one CaptureReader.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture_reader.h"

namespace hestolvane::decode {

struct LiveOptions {
    // How long a report, a partial line or a banner may wait for more bytes before it is cut off.
    std::chrono::milliseconds IdleTimeout{30000};
    // Back-off between attempts to reach a source that went away, doubling up to the longest.
    std::chrono::milliseconds FirstBackoff{250};
    std::chrono::milliseconds LongestBackoff{8000};
    // How often a followed file is looked at for growth, truncation or replacement.
    std::chrono::milliseconds FollowInterval{100};
    // Told, for people, when a source's state changes: the connection is refused, it is back.
    std::function<void(const std::string&)> Notice;
};

// A pipe whose read end wakes the reading loops: triggered from a signal handler or another thread. The
// read loops never drain it, so once triggered it stays triggered.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Trigger() const noexcept;  // async-signal-safe
    bool Triggered() const;
    int WaitDescriptor() const { return ReadEnd; }

private:
    int ReadEnd = -1;
    int WriteEnd = -1;
};

struct ReadOutcome {
    bool Readable = true;  // false: the input could not be opened or read; Error says why
    bool Stopped = false;  // the stop signal ended the reading
    std::string Error;
};

// Reads a descriptor to its end (a file, standard input). The caller finishes or abandons the reader.
// With Idle, unfinished work that gets no bytes for its idle timeout is cut off, as in the live modes.
ReadOutcome ReadToEnd(int Descriptor, CaptureReader& Reader, const StopSignal& Stop,
                      const LiveOptions* Idle = nullptr);

// Live sources: they read until stopped, cutting reports off on idle time, disconnection or a restarted
// file; the caller then abandons the reader. A named pipe given to FollowFile is read as a stream, held
// open across writers.
ReadOutcome FollowFile(const std::string& Path, CaptureReader& Reader, const LiveOptions& Options,
                       const StopSignal& Stop);

struct TcpTarget {
    std::string Host;
    std::string Port;
};
// "HOST:PORT" or "[IPv6]:PORT", the port a number from 1 to 65535.
std::optional<TcpTarget> ParseTcpTarget(std::string_view Text);
ReadOutcome FollowTcp(const TcpTarget& Target, CaptureReader& Reader, const LiveOptions& Options,
                      const StopSignal& Stop);

struct SerialTarget {
    std::string Device;
    unsigned Baud = 115200;
};
// "DEVICE[:BAUD]": only a last colon followed by nothing but digits gives a speed, since device names
// under /dev/serial/by-path/ hold colons of their own. Empty for a speed the terminal interface lacks.
std::optional<SerialTarget> ParseSerialTarget(std::string_view Text);
ReadOutcome FollowSerial(const SerialTarget& Target, CaptureReader& Reader, const LiveOptions& Options,
                         const StopSignal& Stop);

}  // namespace hestolvane::decode
