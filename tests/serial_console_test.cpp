// The serial console as the UART sees it: which ports are read and written, in what order, with what.
#include "kernel_test.h"

namespace {

using sim::PortAccess;

constexpr USHORT Com1Data = 0x3F8;
constexpr USHORT Com1LineStatus = 0x3FD;

PortAccess StatusRead(UCHAR Value) {
    return PortAccess{Com1LineStatus, false, Value};
}

PortAccess DataWrite(UCHAR Value) {
    return PortAccess{Com1Data, true, Value};
}

class SerialConsole : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        SerialPortBase = 0x3F8;
    }
};

TEST_F(SerialConsole, EachByteWaitsForAnEmptyTransmitterThenIsWrittenInOrder) {
    SerialWriteText("Hi\n");

    const std::vector<PortAccess> Expected = {
        StatusRead(0x60), DataWrite('H'), StatusRead(0x60), DataWrite('i'), StatusRead(0x60), DataWrite(0x0A),
    };
    EXPECT_EQ(sim::PortAccesses(), Expected);
    EXPECT_EQ(sim::ComTranscript(1), "Hi\n");
}

TEST_F(SerialConsole, StatusIsPolledAgainUntilTheTransmitterEmpties) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 2);

    SerialWrite("ab", 2);

    const std::vector<PortAccess> Expected = {
        StatusRead(0x60), DataWrite('a'), StatusRead(0x00), StatusRead(0x00), StatusRead(0x60), DataWrite('b'),
    };
    EXPECT_EQ(sim::PortAccesses(), Expected);
}

TEST_F(SerialConsole, TheTerminatingNulIsNeverSent) {
    SerialWriteText("ab");
    EXPECT_EQ(sim::ComTranscript(1), std::string("ab"));
    EXPECT_EQ(sim::PortAccessCount(), 4u);
}

TEST_F(SerialConsole, LineFeedIsSentAsOneByteWithoutCarriageReturn) {
    SerialWriteText("\n\n");
    EXPECT_EQ(sim::ComTranscript(1), std::string("\x0A\x0A"));
}

TEST_F(SerialConsole, DisabledConsoleTouchesNoPort) {
    SerialPortBase = 0;
    SerialWrite("ignored text", 12);
    EXPECT_EQ(sim::PortAccessCount(), 0u);
}

TEST_F(SerialConsole, ZeroLengthTouchesNoPort) {
    SerialWrite("text", 0);
    EXPECT_EQ(sim::PortAccessCount(), 0u);
}

TEST_F(SerialConsole, FloatingBusReadsAsReadySoEveryByteIsWritten) {
    sim::SetLineStatus(sim::LineStatusScript::Floating);
    SerialWriteText("ok");
    const std::vector<PortAccess> Expected = {StatusRead(0xFF), DataWrite('o'), StatusRead(0xFF), DataWrite('k')};
    EXPECT_EQ(sim::PortAccesses(), Expected);
}

TEST_F(SerialConsole, StuckTransmitterCostsTheFullBoundOnceThenAShortOneUntilAByteGoesThrough) {
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    std::string Text(1000, 'x');

    SerialWrite(Text.data(), Text.size());
    EXPECT_EQ(sim::PortAccessCount(), 10000u);
    EXPECT_EQ(sim::ComTranscript(1), "");

    // Taken for dead: the next line waits 100 reads, and a report still runs to its end.
    SerialWrite(Text.data(), Text.size());
    EXPECT_EQ(sim::PortAccessCount(), 10100u);

    // A byte that goes through brings the full bound back.
    sim::SetLineStatus(sim::LineStatusScript::AlwaysReady);
    SerialWrite("y", 1);
    EXPECT_EQ(sim::PortAccessCount(), 10102u);
    sim::SetLineStatus(sim::LineStatusScript::NeverReady);
    SerialWrite("z", 1);
    EXPECT_EQ(sim::PortAccessCount(), 20102u);
    EXPECT_EQ(sim::ComTranscript(1), "y");
}

// Only the holding register's bit counts: the transmitter may still be shifting the last byte out.
TEST_F(SerialConsole, HoldingRegisterEmptyWithTheTransmitterBusyLetsEachByteGoAfterOneRead) {
    sim::SetFixedLineStatus(0x20);
    SerialWriteText("ok");
    const std::vector<PortAccess> Expected = {StatusRead(0x20), DataWrite('o'), StatusRead(0x20), DataWrite('k')};
    EXPECT_EQ(sim::PortAccesses(), Expected);
}

TEST_F(SerialConsole, EveryStatusBitButHoldingRegisterEmptyNeverGetsAByte) {
    sim::SetFixedLineStatus(0xDF);
    SerialWriteText("ok");
    EXPECT_EQ(sim::PortAccessCount(), 10000u);
    EXPECT_EQ(sim::ComTranscript(1), "");
}

TEST_F(SerialConsole, TransmitterThatRecoversLateStillGetsTheByte) {
    sim::SetLineStatus(sim::LineStatusScript::ReadyAfter, 9999);
    SerialWrite("ab", 2);
    EXPECT_EQ(sim::ComTranscript(1), "ab");
    EXPECT_EQ(sim::PortAccessCount(), 1u + 1u + 10000u + 1u);
}

TEST(ComPortTable, HoldsTheStandardBasesWithNoPortAtZero) {
    EXPECT_EQ(ComPortTable[0], 0u);
    EXPECT_EQ(ComPortTable[1], 0x3F8u);
    EXPECT_EQ(ComPortTable[2], 0x2F8u);
    EXPECT_EQ(ComPortTable[3], 0x3E8u);
    EXPECT_EQ(ComPortTable[4], 0x2E8u);
}

TEST(PoolTag, ReadsHesTInMemory) {
    ULONG Tag = HesTolvanePoolTag;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&Tag), 4), "HesT");
}

TEST(KernelSpaceRule, TopSixteenBitsDecide) {
    EXPECT_TRUE(AddressHasKernelSpaceBits(0xFFFFF80012345678ull));
    EXPECT_TRUE(AddressHasKernelSpaceBits(0x0001000000000000ull));
    EXPECT_FALSE(AddressHasKernelSpaceBits(0x00007FFFFFFFFFFFull));
    EXPECT_FALSE(AddressHasKernelSpaceBits(0));
}

}  // namespace
