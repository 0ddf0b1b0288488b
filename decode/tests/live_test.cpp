// Live sources, each fed by the test: a TCP serial server that drops the line and comes back, a
// pseudo-terminal standing in for a serial device, a capture file that grows and is replaced. Waits are
// bounded and wait for what the decoder emits, never for time to pass; idle timeouts are set far beyond
// any pause except in the test of the idle timeout itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "decode_test_support.h"
#include "live.h"

namespace hestolvane::decode {
namespace {

using namespace std::chrono_literals;
using testing::Lines;

constexpr auto WaitLimit = 20s;

std::string BootText(int Minute) {
    return Lines(
        {"HesTolvaneDrv ver: 3, Load: 2026-12-08 06:" + std::to_string(10 + Minute) + ":00:1", "normal boot."});
}

std::string ReportText(const std::string& Code) {
    return Lines(
        {"VQN Dump Begin.", "CRASHED ON: 2026-12-08 06:30:00:1",
         "Dump:", "start    end    module    pdb    path    guid",
         "FFFFF80400000000 FFFFF80400100000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
         "7E118A3C-9452-4D1B-A26F-0E359C41D708",
         "VQN: BUGCHECK CODE " + Code + ": 0000000000000001 0000000000000002 0000000000000003 0000000000000004",
         "VQN Dump End."});
}

std::string FirstHalf(const std::string& Text) {
    return Text.substr(0, Text.size() / 2);
}

LiveOptions TestOptions() {
    LiveOptions Options;
    Options.IdleTimeout = 600s;
    Options.FirstBackoff = 10ms;
    Options.LongestBackoff = 100ms;
    Options.FollowInterval = 10ms;
    return Options;
}

// A sink shared between the reading thread and the test.
class SharedSink : public CaptureSink {
public:
    void OnBoot(const Boot& Decoded) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Boots.push_back(Decoded);
        Changed.notify_all();
    }
    void OnReport(const Report& Decoded) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Reports.push_back(Decoded);
        Changed.notify_all();
    }
    bool WaitForReports(size_t Count) {
        std::unique_lock<std::mutex> Hold(Lock);
        return Changed.wait_for(Hold, WaitLimit, [&] { return Reports.size() >= Count; });
    }
    std::vector<Report> ReportsSoFar() {
        std::lock_guard<std::mutex> Hold(Lock);
        return Reports;
    }
    std::vector<Boot> BootsSoFar() {
        std::lock_guard<std::mutex> Hold(Lock);
        return Boots;
    }

private:
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<Boot> Boots;
    std::vector<Report> Reports;
};

// One live source read on a thread of its own until the test has seen enough and stops it.
class LiveRun {
public:
    using Source = std::function<ReadOutcome(CaptureReader&, const StopSignal&)>;

    explicit LiveRun(Source Run) : Thread([this, Run] { Outcome = Run(Reader, Stop); }) {}
    ~LiveRun() { StopAndJoin(); }

    ReadOutcome StopAndJoin() {
        if (Thread.joinable()) {
            Stop.Trigger();
            Thread.join();
        }
        return Outcome;
    }

    SharedSink Sink;

private:
    CaptureReader Reader{Sink};
    StopSignal Stop;
    ReadOutcome Outcome;
    std::thread Thread;
};

void ExpectReports(const std::vector<Report>& Reports,
                   const std::vector<std::pair<uint64_t, std::optional<Truncation>>>& Expected) {
    ASSERT_EQ(Reports.size(), Expected.size());
    for (size_t Index = 0; Index < Expected.size(); Index++) {
        SCOPED_TRACE("report " + std::to_string(Index + 1));
        ASSERT_TRUE(Reports[Index].Check.has_value() || Expected[Index].second);
        if (Reports[Index].Check) {
            EXPECT_EQ(Reports[Index].Check->Code, Expected[Index].first);
        }
        EXPECT_EQ(Reports[Index].CutBy, Expected[Index].second);
        EXPECT_EQ(Reports[Index].End, Expected[Index].second ? ReportEnd::Truncated : ReportEnd::EndMarker);
    }
}

void SendInOddChunks(int Descriptor, const std::string& Text) {
    static const size_t Sizes[] = {7, 13, 1, 29, 64, 3};
    size_t Sent = 0;
    for (size_t Round = 0; Sent < Text.size(); Round++) {
        const size_t Size = std::min(Sizes[Round % 6], Text.size() - Sent);
        ASSERT_EQ(write(Descriptor, Text.data() + Sent, Size), static_cast<ssize_t>(Size));
        Sent += Size;
        if (Round % 8 == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }
}

class Listener {
public:
    Listener() {
        Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof(Address);
        EXPECT_EQ(bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)), 0);
        EXPECT_EQ(listen(Socket, 4), 0);
        getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length);
        Port = ntohs(Address.sin_port);
    }
    ~Listener() { close(Socket); }
    int Accept() const { return accept(Socket, nullptr, nullptr); }

    int Socket = -1;
    unsigned Port = 0;
};

// The server sends a boot, a report and half of another in odd chunks with pauses, drops the connection,
// and after the decoder reconnects sends a new boot and a report.
TEST(DecodeLive, TcpServerThatDropsTheLineAndComesBack) {
    Listener Server;
    std::promise<void> Done;
    std::thread Serving([&] {
        const int First = Server.Accept();
        SendInOddChunks(First, BootText(1) + ReportText("50") + FirstHalf(ReportText("1E")));
        close(First);
        const int Second = Server.Accept();
        SendInOddChunks(Second, BootText(2) + ReportText("D1"));
        Done.get_future().wait();
        close(Second);
    });
    LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) {
        return FollowTcp(TcpTarget{"127.0.0.1", std::to_string(Server.Port)}, Reader, TestOptions(), Stop);
    });

    EXPECT_TRUE(Run.Sink.WaitForReports(3));
    const ReadOutcome Outcome = Run.StopAndJoin();
    Done.set_value();
    Serving.join();
    EXPECT_TRUE(Outcome.Readable);
    EXPECT_TRUE(Outcome.Stopped);
    ExpectReports(Run.Sink.ReportsSoFar(),
                  {{0x50, std::nullopt}, {0x1E, Truncation::Disconnected}, {0xD1, std::nullopt}});
    EXPECT_EQ(Run.Sink.BootsSoFar().size(), 2u);
}

// A report whose sender falls silent is cut off by the idle timeout, without the connection closing.
TEST(DecodeLive, IdleTimeoutCutsASilentReport) {
    Listener Server;
    std::promise<void> Done;
    std::thread Serving([&] {
        const int Connection = Server.Accept();
        SendInOddChunks(Connection, BootText(1) + FirstHalf(ReportText("50")));
        Done.get_future().wait();
        close(Connection);
    });
    LiveOptions Options = TestOptions();
    Options.IdleTimeout = 200ms;
    LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) {
        return FollowTcp(TcpTarget{"127.0.0.1", std::to_string(Server.Port)}, Reader, Options, Stop);
    });

    EXPECT_TRUE(Run.Sink.WaitForReports(1));
    Run.StopAndJoin();
    Done.set_value();
    Serving.join();
    ExpectReports(Run.Sink.ReportsSoFar(), {{0x50, Truncation::IdleTimeout}});
}

// A pseudo-terminal's slave side stands in for the serial device; the test writes to its master side. A
// reboot's banner cuts the second report off.
TEST(DecodeLive, SerialDevice) {
    const int Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(Master, 0);
    ASSERT_EQ(grantpt(Master), 0);
    ASSERT_EQ(unlockpt(Master), 0);
    const std::string Device = ptsname(Master);
    // Held open and raw from the start, so that nothing written before the decoder opens the device is
    // echoed or translated.
    const int Slave = open(Device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(Slave, 0);
    termios Raw{};
    tcgetattr(Slave, &Raw);
    cfmakeraw(&Raw);
    tcsetattr(Slave, TCSANOW, &Raw);

    const auto Target = ParseSerialTarget(Device + ":115200");
    ASSERT_TRUE(Target.has_value());
    LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) {
        return FollowSerial(*Target, Reader, TestOptions(), Stop);
    });
    SendInOddChunks(Master, std::string("\xFF\0", 2) + BootText(1) + ReportText("50") + FirstHalf(ReportText("1E")) +
                                BootText(2) + ReportText("D1"));

    EXPECT_TRUE(Run.Sink.WaitForReports(3));
    EXPECT_TRUE(Run.StopAndJoin().Readable);
    close(Slave);
    close(Master);
    ExpectReports(Run.Sink.ReportsSoFar(), {{0x50, std::nullopt}, {0x1E, Truncation::Reboot}, {0xD1, std::nullopt}});
}

TEST(DecodeLive, SerialAndTcpTargets) {
    const std::string ByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
    EXPECT_EQ(ParseSerialTarget(ByPath)->Device, ByPath);
    EXPECT_EQ(ParseSerialTarget(ByPath)->Baud, 115200u);
    EXPECT_EQ(ParseSerialTarget(ByPath + ":9600")->Device, ByPath);
    EXPECT_EQ(ParseSerialTarget(ByPath + ":9600")->Baud, 9600u);
    EXPECT_FALSE(ParseSerialTarget("/dev/ttyUSB0:1234").has_value());
    EXPECT_EQ(ParseTcpTarget("[::1]:4555")->Host, "::1");
    EXPECT_EQ(ParseTcpTarget("localhost:4555")->Port, "4555");
    EXPECT_FALSE(ParseTcpTarget("localhost").has_value());
    EXPECT_FALSE(ParseTcpTarget("localhost:99999").has_value());  // not 34463, its remainder
    EXPECT_FALSE(ParseTcpTarget("localhost:0").has_value());
    EXPECT_FALSE(ParseTcpTarget("localhost:telnet").has_value());
    EXPECT_EQ(ParseTcpTarget("localhost:65535")->Port, "65535");
}

// A capture file that grows, is replaced (the old report never ends), then truncated in place.
TEST(DecodeLive, FollowedFileGrowsAndIsReplaced) {
    char Template[] = "/tmp/hestolvane-follow-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    const std::string Directory = Template;
    const std::string Path = Directory + "/capture.txt";
    LiveRun Run(
        [&](CaptureReader& Reader, const StopSignal& Stop) { return FollowFile(Path, Reader, TestOptions(), Stop); });

    const int Growing = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(Growing, 0);
    SendInOddChunks(Growing, BootText(1) + ReportText("50"));
    EXPECT_TRUE(Run.Sink.WaitForReports(1));
    SendInOddChunks(Growing, FirstHalf(ReportText("1E")));
    close(Growing);

    std::ofstream(Directory + "/next.txt") << BootText(2) + ReportText("D1");
    ASSERT_EQ(std::rename((Directory + "/next.txt").c_str(), Path.c_str()), 0);
    EXPECT_TRUE(Run.Sink.WaitForReports(3));

    std::ofstream(Path, std::ios::trunc) << BootText(3) +
                                                "VQN Dump Begin.\nVQN: BUGCHECK CODE E2: "
                                                "0000000000000000 0000000000000000 0000000000000000 0000000000000000\n"
                                                "VQN Dump End.\n";
    EXPECT_TRUE(Run.Sink.WaitForReports(4));
    Run.StopAndJoin();
    std::system(("rm -rf " + Directory).c_str());

    const auto Reports = Run.Sink.ReportsSoFar();
    ASSERT_EQ(Reports.size(), 4u);
    ExpectReports({Reports.begin(), Reports.begin() + 3},
                  {{0x50, std::nullopt}, {0x1E, Truncation::CaptureRestarted}, {0xD1, std::nullopt}});
    EXPECT_EQ(Reports[3].Check->Code, 0xE2u);
    EXPECT_EQ(Reports[3].Boot, 3u);
    EXPECT_EQ(Run.Sink.BootsSoFar().size(), 3u);
}

// The file is truncated and written again, larger than before, while the decoder is busy with the first
// report (as during a slow symbol look-up): the sink itself rewrites it, so the race is the same on every
// run. The old boot's unfinished report must be cut off as restarted, and the new boot read from its start.
class RewritingSink : public CaptureSink {
public:
    RewritingSink(std::string PathIn, const StopSignal& StopIn) : Path(std::move(PathIn)), Stop(StopIn) {}
    void OnBoot(const Boot& Decoded) override { Boots.push_back(Decoded); }
    void OnReport(const Report& Decoded) override {
        Reports.push_back(Decoded);
        if (Reports.size() == 1) {
            std::ofstream(Path, std::ios::trunc) << BootText(2) + ReportText("D1") + ReportText("D2");
        }
        if (Decoded.Check && Decoded.Check->Code == 0xD2) {
            Stop.Trigger();
        }
    }
    std::vector<Boot> Boots;
    std::vector<Report> Reports;

private:
    std::string Path;
    const StopSignal& Stop;
};

TEST(DecodeLive, FollowedFileRewrittenLargerWhileBusyIsARestart) {
    char Template[] = "/tmp/hestolvane-follow-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    const std::string Path = std::string(Template) + "/capture.txt";
    std::ofstream(Path) << BootText(1) + ReportText("50") + FirstHalf(ReportText("1E"));
    StopSignal Stop;
    RewritingSink Sink(Path, Stop);
    CaptureReader Reader(Sink);
    std::promise<void> Done;
    std::thread Watchdog([&Stop, Finished = Done.get_future()] {
        if (Finished.wait_for(WaitLimit) != std::future_status::ready) {
            Stop.Trigger();
        }
    });
    const ReadOutcome Outcome = FollowFile(Path, Reader, TestOptions(), Stop);
    Done.set_value();
    Watchdog.join();
    std::system(("rm -rf " + std::string(Template)).c_str());

    EXPECT_TRUE(Outcome.Stopped);
    ExpectReports(Sink.Reports, {{0x50, std::nullopt}, {0x1E, Truncation::CaptureRestarted}, {0xD1, std::nullopt},
                                 {0xD2, std::nullopt}});
    ASSERT_EQ(Sink.Boots.size(), 2u);
    EXPECT_EQ(Sink.Reports[2].Boot, 2u);
}

// With nothing listening, the refusal is told once, however many attempts follow, and so is the
// connection when a server comes.
TEST(DecodeLive, RefusedConnectionIsToldOncePerChangeOfState) {
    unsigned Port = 0;
    {
        Listener Probe;
        Port = Probe.Port;
    }
    std::mutex Lock;
    std::vector<std::string> Notices;
    LiveOptions Options = TestOptions();
    Options.Notice = [&](const std::string& Text) {
        std::lock_guard<std::mutex> Hold(Lock);
        Notices.push_back(Text);
    };
    LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) {
        return FollowTcp(TcpTarget{"127.0.0.1", std::to_string(Port)}, Reader, Options, Stop);
    });
    std::this_thread::sleep_for(300ms);  // several attempts at 10 to 100 ms
    const int Server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int Reuse = 1;
    setsockopt(Server, SOL_SOCKET, SO_REUSEADDR, &Reuse, sizeof(Reuse));
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    ASSERT_EQ(bind(Server, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)), 0);
    ASSERT_EQ(listen(Server, 4), 0);
    const int Connection = accept(Server, nullptr, nullptr);
    SendInOddChunks(Connection, BootText(1) + ReportText("50"));
    EXPECT_TRUE(Run.Sink.WaitForReports(1));
    Run.StopAndJoin();
    close(Connection);
    close(Server);
    std::lock_guard<std::mutex> Hold(Lock);
    const std::string Where = "127.0.0.1:" + std::to_string(Port);
    ASSERT_EQ(Notices.size(), 2u);
    EXPECT_EQ(Notices[0], Where + ": Connection refused; trying again in 0.01 s, then at longer intervals up to 0.1 s");
    EXPECT_EQ(Notices[1], Where + ": connected");
}

// A named pipe and standard input are live sources too: a report whose writer falls silent is cut off
// by the idle timeout while the writer keeps the pipe open.
TEST(DecodeLive, PipesHonourTheIdleTimeout) {
    char Template[] = "/tmp/hestolvane-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    const std::string Fifo = std::string(Template) + "/com1";
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    LiveOptions Options = TestOptions();
    Options.IdleTimeout = 200ms;
    {
        LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) { return FollowFile(Fifo, Reader, Options, Stop); });
        const int Writer = open(Fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(Writer, 0);
        SendInOddChunks(Writer, BootText(1) + FirstHalf(ReportText("50")));
        EXPECT_TRUE(Run.Sink.WaitForReports(1));
        Run.StopAndJoin();
        close(Writer);
        ExpectReports(Run.Sink.ReportsSoFar(), {{0x50, Truncation::IdleTimeout}});
    }
    std::system(("rm -rf " + std::string(Template)).c_str());

    int Ends[2];
    ASSERT_EQ(pipe2(Ends, O_CLOEXEC), 0);
    LiveRun Run([&](CaptureReader& Reader, const StopSignal& Stop) { return ReadToEnd(Ends[0], Reader, Stop, &Options); });
    SendInOddChunks(Ends[1], BootText(1) + FirstHalf(ReportText("1E")));
    EXPECT_TRUE(Run.Sink.WaitForReports(1));
    Run.StopAndJoin();
    close(Ends[0]);
    close(Ends[1]);
    ExpectReports(Run.Sink.ReportsSoFar(), {{0x1E, Truncation::IdleTimeout}});
}

}  // namespace
}  // namespace hestolvane::decode
