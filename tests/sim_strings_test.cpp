// The simulated kernel's string conversions: what RtlUnicodeStringToAnsiString hands back and where it
// allocates it, the failures it injects, and what RtlFreeAnsiString accepts.
#include <cstring>
#include <string>

#include "kernel_test.h"
#include "sim_loader.h"

namespace {

class StringConversion : public KernelTest {
protected:
    // A counted string over Text's characters; Text must outlive it.
    static UNICODE_STRING Counted(const std::u16string& Text) {
        UNICODE_STRING String;
        String.Buffer = const_cast<PWSTR>(Text.c_str());
        String.Length = (USHORT)(Text.size() * sizeof(WCHAR));
        String.MaximumLength = (USHORT)String.Length;
        return String;
    }
};

struct GuardedConversion {
    UNICODE_STRING* Source;
    ANSI_STRING Destination;
    NTSTATUS Status;
};

void ConvertAllocating(PVOID Context) {
    auto* Conversion = (GuardedConversion*)Context;
    Conversion->Status = RtlUnicodeStringToAnsiString(&Conversion->Destination, Conversion->Source, TRUE);
}

TEST_F(StringConversion, AllocatingConversionTakesPagedPoolUnderTheKernelsTag) {
    const std::u16string Text = u"\\SystemRoot\\nt.exe";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;

    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));

    EXPECT_STREQ("\\SystemRoot\\nt.exe", Converted.Buffer);
    EXPECT_EQ(18, Converted.Length);
    EXPECT_EQ(19, Converted.MaximumLength);
    std::vector<sim::PoolBlock> Blocks = sim::OutstandingPool();
    ASSERT_EQ(1u, Blocks.size());
    EXPECT_EQ((void*)Converted.Buffer, Blocks[0].Address);
    EXPECT_EQ(0, std::memcmp(&Blocks[0].Tag, "Strg", 4));
    EXPECT_EQ(PagedPool, Blocks[0].Type);
    EXPECT_EQ(19u, Blocks[0].Size);
    EXPECT_EQ(1u, sim::OutstandingAnsiStrings());

    RtlFreeAnsiString(&Converted);
}

TEST_F(StringConversion, FreeGivesTheBlockBackAndEmptiesTheString) {
    const std::u16string Text = u"hal.dll";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));

    RtlFreeAnsiString(&Converted);

    EXPECT_EQ(nullptr, Converted.Buffer);
    EXPECT_EQ(0, Converted.Length);
    EXPECT_EQ(0, Converted.MaximumLength);
    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(StringConversion, FreeOfAnEmptyStringDoesNothing) {
    ANSI_STRING Empty = {0, 0, nullptr};
    RtlFreeAnsiString(&Empty);
    EXPECT_EQ(nullptr, Empty.Buffer);
}

TEST_F(StringConversion, CharactersOutsideAsciiBecomeQuestionMarks) {
    const std::u16string Text = u"caf\u00E9\u4E2D.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));
    EXPECT_STREQ("caf??.sys", Converted.Buffer);
    EXPECT_EQ(9, Converted.Length);
    RtlFreeAnsiString(&Converted);
}

TEST_F(StringConversion, OnlyTheCountedCharactersAreConverted) {
    const std::u16string Text = u"abcdef";
    UNICODE_STRING Source = Counted(Text);
    Source.Length = 3 * sizeof(WCHAR);
    ANSI_STRING Converted;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));
    EXPECT_EQ(0, std::memcmp(Converted.Buffer, "abc", 4));
    EXPECT_EQ(3, Converted.Length);
    EXPECT_EQ(4, Converted.MaximumLength);
    RtlFreeAnsiString(&Converted);
}

TEST_F(StringConversion, ConversionIntoTheCallersBufferAllocatesNothing) {
    const std::u16string Text = u"ab";
    UNICODE_STRING Source = Counted(Text);
    char Buffer[8];
    std::memset(Buffer, 'X', sizeof(Buffer));
    ANSI_STRING Converted = {0, sizeof(Buffer), Buffer};

    EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, FALSE));

    EXPECT_EQ(0, std::memcmp(Buffer, "ab\0XXXXX", 8));
    EXPECT_EQ(2, Converted.Length);
    EXPECT_EQ(8, Converted.MaximumLength);
    EXPECT_EQ(0u, sim::AllocationCount());
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(StringConversion, CallersBufferTooSmallTakesWhatFitsAndOverflows) {
    const std::u16string Text = u"abcdefghij";
    UNICODE_STRING Source = Counted(Text);
    char Buffer[5];
    ANSI_STRING Converted = {0, sizeof(Buffer), Buffer};

    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUnicodeStringToAnsiString(&Converted, &Source, FALSE));

    EXPECT_EQ(0, std::memcmp(Buffer, "abcd", 5));
    EXPECT_EQ(4, Converted.Length);
}

TEST_F(StringConversion, CallersBufferOfNoBytesIsLeftAlone) {
    const std::u16string Text = u"a";
    UNICODE_STRING Source = Counted(Text);
    char Buffer[1] = {'X'};
    ANSI_STRING Converted = {0, 0, Buffer};
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUnicodeStringToAnsiString(&Converted, &Source, FALSE));
    EXPECT_EQ('X', Buffer[0]);
}

TEST_F(StringConversion, InjectedFailureHitsOnlyTheNthConversion) {
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING First, Second, Third;
    sim::FailStringConversion(2);

    EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&First, &Source, TRUE));
    EXPECT_EQ(STATUS_NO_MEMORY, RtlUnicodeStringToAnsiString(&Second, &Source, TRUE));
    EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Third, &Source, TRUE));

    EXPECT_EQ(2u, sim::OutstandingAnsiStrings());
    EXPECT_EQ(2u, sim::AllocationCount());
    RtlFreeAnsiString(&First);
    RtlFreeAnsiString(&Third);
}

TEST_F(StringConversion, InjectedFailureAnswersTheStatusAskedFor) {
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;
    sim::FailStringConversion(1, (NTSTATUS)0xC00000F0);
    EXPECT_EQ((NTSTATUS)0xC00000F0, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));
    EXPECT_EQ(0u, sim::AllocationCount());
}

TEST_F(StringConversion, FailedPoolAllocationFailsTheConversion) {
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted = {7, 9, (PCHAR)0x1234};
    sim::FailAllocation(1);

    EXPECT_EQ(STATUS_NO_MEMORY, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));

    EXPECT_EQ((PCHAR)0x1234, Converted.Buffer);
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(StringConversion, FaultOnTheSourceInsideAGuardLeavesNothingAllocated) {
    auto* Text = (WCHAR*)sim::MapRegion(sim::PageSize);
    std::memcpy(Text, u"beep.sys", 18);
    UNICODE_STRING Source = {16, 18, Text};
    sim::SetPageState(Text, sim::PageSize, sim::PageState::Faulting);
    GuardedConversion Conversion = {&Source, {0, 0, nullptr}, STATUS_SUCCESS};

    EXPECT_TRUE(RunGuarded(ConvertAllocating, &Conversion));

    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(0u, sim::OutstandingAnsiStrings());
}

TEST_F(StringConversion, PageChangesStateAfterTheNextSuccessfulConversionOnly) {
    void* Page = sim::MapRegion(sim::PageSize);
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Failed, Converted;
    sim::ChangePageStateAfterNextConversion(Page, sim::PageSize, sim::PageState::Invalid);
    sim::FailStringConversion(1);

    ASSERT_EQ(STATUS_NO_MEMORY, RtlUnicodeStringToAnsiString(&Failed, &Source, TRUE));
    EXPECT_TRUE(MmIsAddressValid(Page));
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));
    EXPECT_FALSE(MmIsAddressValid(Page));

    RtlFreeAnsiString(&Converted);
}

TEST_F(StringConversion, ConvertedStringNeverFreedIsATeardownProblem) {
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;
    ASSERT_EQ(STATUS_SUCCESS, RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE));

    std::vector<std::string> Problems = sim::TeardownProblems();

    ASSERT_EQ(1u, Problems.size());
    EXPECT_NE(std::string::npos, Problems[0].find("tag 'Strg' PagedPool 6 bytes never freed")) << Problems[0];
    RtlFreeAnsiString(&Converted);
}

using StringConversionDeathTest = StringConversion;

TEST_F(StringConversionDeathTest, FreeOfAStringTheKernelDidNotConvertStops) {
    char Own[4] = "abc";
    ANSI_STRING NotConverted = {3, 4, Own};
    EXPECT_DEATH(RtlFreeAnsiString(&NotConverted),
                 "STOP 0x000000C2 BAD_POOL_CALLER RtlFreeAnsiString of .*, which RtlUnicodeStringToAnsiString "
                 "did not allocate");
}

TEST_F(StringConversionDeathTest, ConversionAtDispatchLevelStops) {
    const std::u16string Text = u"a.sys";
    UNICODE_STRING Source = Counted(Text);
    ANSI_STRING Converted;
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&Lock);
            RtlUnicodeStringToAnsiString(&Converted, &Source, TRUE);
        },
        "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL RtlUnicodeStringToAnsiString at IRQL 2");
}

}  // namespace
