// Simulated kernel: port I/O against the 16550 model at the four COM bases, read as register scripts.
#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kernel_test.h"

namespace sim {

// Failure messages then read like the register script: "in 0x3FD -> 0x60", "out 0x3F8 <- 0x68".
void PrintTo(const PortAccess& Access, std::ostream* Out) {
    *Out << (Access.Write ? "out 0x" : "in 0x") << std::hex << std::uppercase << Access.Port
         << (Access.Write ? " <- 0x" : " -> 0x") << (unsigned)Access.Value;
}

}  // namespace sim

namespace {

constexpr USHORT Com1Data = 0x3F8;
constexpr USHORT Com1LineStatus = 0x3FD;
constexpr USHORT Com2Data = 0x2F8;
constexpr USHORT Com2LineStatus = 0x2FD;
constexpr USHORT Com3Data = 0x3E8;
constexpr USHORT Com4Data = 0x2E8;

constexpr UCHAR Ready = 0x60;
constexpr UCHAR Busy = 0x00;

std::vector<UCHAR> ReadTimes(USHORT Port, int Times) {
    std::vector<UCHAR> Values;
    for (int Read = 0; Read < Times; Read++) {
        Values.push_back(__inbyte(Port));
    }
    return Values;
}

class KernelUart : public KernelTest {};

TEST_F(KernelUart, LineStatusIsReadyAfterBoot) {
    EXPECT_EQ(ReadTimes(Com1LineStatus, 3), (std::vector<UCHAR>{Ready, Ready, Ready}));
}

TEST_F(KernelUart, AlwaysReadyStaysReadyAfterWrites) {
    sim::SetLineStatus(sim::LineStatusScript::AlwaysReady);
    __outbyte(Com1Data, 'a');
    EXPECT_EQ(__inbyte(Com1LineStatus), Ready);
}

TEST_F(KernelUart, NeverReadyNeverReportsTheTransmitterEmpty) {
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    EXPECT_EQ(ReadTimes(Com1LineStatus, 4), (std::vector<UCHAR>{Busy, Busy, Busy, Busy}));
}

TEST_F(KernelUart, ReadyAfterIsReadyBeforeTheFirstByte) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 2);
    EXPECT_EQ(__inbyte(Com1LineStatus), Ready);
}

TEST_F(KernelUart, ReadyAfterHoldsEachByteForTheScriptedReads) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 2);
    __outbyte(Com1Data, 'a');
    EXPECT_EQ(ReadTimes(Com1LineStatus, 4), (std::vector<UCHAR>{Busy, Busy, Ready, Ready}));
    __outbyte(Com1Data, 'b');
    EXPECT_EQ(ReadTimes(Com1LineStatus, 3), (std::vector<UCHAR>{Busy, Busy, Ready}));
}

TEST_F(KernelUart, ReadyAfterDelaysOnlyThePortThatWasWritten) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 1);
    __outbyte(Com1Data, 'a');
    EXPECT_EQ(__inbyte(Com2LineStatus), Ready);
    EXPECT_EQ(__inbyte(Com1LineStatus), Busy);
}

TEST_F(KernelUart, FloatingBusReadsAllOnesOnEveryRegister) {
    sim::SetLineStatus(sim::LineStatusScript::Floating);
    EXPECT_EQ(__inbyte(Com1LineStatus), 0xFF);
    EXPECT_EQ(__inbyte(Com1Data + 1), 0xFF);
}

TEST_F(KernelUart, FloatingBusReceivesNothing) {
    sim::SetLineStatus(sim::LineStatusScript::Floating);
    __outbyte(Com1Data, 'a');
    EXPECT_EQ(sim::ComTranscript(1), "");
}

TEST_F(KernelUart, OtherRegistersReadZero) {
    for (USHORT Offset : {0, 1, 2, 3, 4, 6, 7}) {
        EXPECT_EQ(__inbyte(Com1Data + Offset), 0) << "register " << Offset;
    }
}

TEST_F(KernelUart, PortsOutsideTheComRangesReadAllOnes) {
    EXPECT_EQ(__inbyte(0x80), 0xFF);
    EXPECT_EQ(__inbyte(0x3F7), 0xFF);
    EXPECT_EQ(__inbyte(0x400), 0xFF);
}

TEST_F(KernelUart, AccessLogKeepsEveryAccessInOrder) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 1);
    __inbyte(Com1LineStatus);
    __outbyte(Com1Data, 'h');
    __inbyte(Com1LineStatus);
    __inbyte(Com1LineStatus);
    __outbyte(Com1Data, 'i');
    __inbyte(0x80);
    const std::vector<sim::PortAccess> Expected = {
        {0x3FD, false, 0x60}, {0x3F8, true, 'h'}, {0x3FD, false, 0x00},
        {0x3FD, false, 0x60}, {0x3F8, true, 'i'}, {0x80, false, 0xFF},
    };
    EXPECT_EQ(sim::PortAccesses(), Expected);
    EXPECT_EQ(sim::PortAccessCount(), 6u);
}

TEST_F(KernelUart, WritesToOtherRegistersAreOnlyLogged) {
    __outbyte(Com1Data + 3, 0x80);
    __outbyte(0x80, 0x12);
    EXPECT_EQ(sim::ComTranscript(1), "");
    const std::vector<sim::PortAccess> Expected = {{0x3FB, true, 0x80}, {0x80, true, 0x12}};
    EXPECT_EQ(sim::PortAccesses(), Expected);
}

TEST_F(KernelUart, EachPortKeepsItsOwnTranscript) {
    for (char Byte : std::string("ab")) {
        __outbyte(Com1Data, (UCHAR)Byte);
    }
    __outbyte(Com2Data, 'c');
    __outbyte(Com3Data, 'd');
    __outbyte(Com4Data, 'e');
    EXPECT_EQ(sim::ComTranscript(1), "ab");
    EXPECT_EQ(sim::ComTranscript(2), "c");
    EXPECT_EQ(sim::ComTranscript(3), "d");
    EXPECT_EQ(sim::ComTranscript(4), "e");
}

TEST_F(KernelUart, TranscriptDefaultsToCom1) {
    __outbyte(Com1Data, 'x');
    EXPECT_EQ(sim::ComTranscript(), "x");
}

TEST_F(KernelUart, TranscriptOfAMissingPortIsAnError) {
    EXPECT_THROW(sim::ComTranscript(0), std::invalid_argument);
    EXPECT_THROW(sim::ComTranscript(5), std::invalid_argument);
}

TEST_F(KernelUart, CountContinuesWhileRecordingIsOff) {
    sim::RecordPortAccesses(false);
    __inbyte(Com1LineStatus);
    __outbyte(Com1Data, 'q');
    __inbyte(0x80);
    EXPECT_TRUE(sim::PortAccesses().empty());
    EXPECT_EQ(sim::PortAccessCount(), 3u);
    EXPECT_EQ(sim::ComTranscript(1), "q");
}

TEST_F(KernelUart, ClearingTheLogKeepsTheCountAndTheLineStatus) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 2);
    __outbyte(Com1Data, 'a');
    __outbyte(Com2Data, 'b');
    __inbyte(Com1LineStatus);

    sim::ClearUartLog();

    EXPECT_TRUE(sim::PortAccesses().empty());
    EXPECT_EQ(sim::ComTranscript(1), "");
    EXPECT_EQ(sim::ComTranscript(2), "");
    EXPECT_EQ(sim::PortAccessCount(), 3u);
    EXPECT_EQ(ReadTimes(Com1LineStatus, 2), (std::vector<UCHAR>{Busy, Ready}));
}

std::string SinkBytes;

void CollectSinkByte(UCHAR Byte) {
    SinkBytes.push_back((char)Byte);
}

TEST_F(KernelUart, Com1SinkSeesOnlyBytesWrittenToCom1) {
    SinkBytes.clear();
    sim::SetCom1Sink(CollectSinkByte);
    __outbyte(Com1Data, 'o');
    __outbyte(Com2Data, 'x');
    __outbyte(Com1Data + 1, 'y');
    __outbyte(Com1Data, 'k');
    EXPECT_EQ(SinkBytes, "ok");
}

TEST_F(KernelUart, ResetReturnsToAnIdleReadyUart) {
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    sim::RecordPortAccesses(false);
    SinkBytes.clear();
    sim::SetCom1Sink(CollectSinkByte);
    __outbyte(Com1Data, 'a');

    sim::Reset();
    EXPECT_EQ(sim::ComTranscript(1), "");
    EXPECT_EQ(sim::PortAccessCount(), 0u);
    EXPECT_EQ(__inbyte(Com1LineStatus), Ready);
    __outbyte(Com1Data, 'b');
    EXPECT_EQ(sim::PortAccesses().size(), 2u);
    EXPECT_EQ(SinkBytes, "a");
}

TEST_F(KernelUart, ConcurrentWritersLoseNoByte) {
    auto Writer = [](char Byte) {
        for (int Count = 0; Count < 1000; Count++) {
            __outbyte(Com1Data, (UCHAR)Byte);
        }
    };
    std::thread First(Writer, 'a');
    std::thread Second(Writer, 'b');
    First.join();
    Second.join();
    const std::string Transcript = sim::ComTranscript(1);
    EXPECT_EQ(Transcript.size(), 2000u);
    EXPECT_EQ(std::count(Transcript.begin(), Transcript.end(), 'a'), 1000);
    EXPECT_EQ(sim::PortAccessCount(), 2000u);
    EXPECT_EQ(sim::PortAccesses().size(), 2000u);
}

}  // namespace
