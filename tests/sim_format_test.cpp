// Simulated kernel: sprintf_s with the kernel CRT's conversions, DbgPrint reaching the debugger, and
// RtlInitUnicodeString.
#include <cstring>
#include <string>

#include "kernel_test.h"

namespace {

class KernelFormatter : public KernelTest {
protected:
    // Formats into a generous buffer; Result keeps what sprintf_s returned.
    template <typename... Values>
    std::string Format(const char* Text, Values... Arguments) {
        char Buffer[256];
        memset(Buffer, 'X', sizeof(Buffer));
        Result = sprintf_s(Buffer, sizeof(Buffer), Text, Arguments...);
        return std::string(Buffer);
    }

    int Result = 0;
};

TEST_F(KernelFormatter, PointerIsSixteenUppercaseHexDigits) {
    EXPECT_EQ(Format("%p", (void*)0x1234), "0000000000001234");
    EXPECT_EQ(Result, 16);
}

TEST_F(KernelFormatter, KernelPointerKeepsEverySignificantDigit) {
    EXPECT_EQ(Format("%p", (void*)0xFFFFF80012345678ull), "FFFFF80012345678");
}

TEST_F(KernelFormatter, NullPointerIsSixteenZeros) {
    EXPECT_EQ(Format("[%p]", (void*)nullptr), "[0000000000000000]");
}

TEST_F(KernelFormatter, PointerWidthPadsWithSpaces) {
    EXPECT_EQ(Format("%18p|%-18p|", (void*)0xAB, (void*)0xCD), "  00000000000000AB|00000000000000CD  |");
}

TEST_F(KernelFormatter, LongLongHexIsUnpadded) {
    EXPECT_EQ(Format("%llX %llx", 0xFFFFF80012345678ull, 0xABCull), "FFFFF80012345678 abc");
}

TEST_F(KernelFormatter, ZeroFlagPadsToWidth) {
    EXPECT_EQ(Format("%016llX", 0x1234ull), "0000000000001234");
    EXPECT_EQ(Format("%02X %04X %08X", 0xAu, 0xBEEFu, 0x1234u), "0A BEEF 00001234");
}

TEST_F(KernelFormatter, ValueWiderThanTheFieldIsNotCut) {
    EXPECT_EQ(Format("%02X", 0x12345u), "12345");
}

TEST_F(KernelFormatter, LongModifierReadsThirtyTwoBitsAsOnWindows) {
    // Windows is LLP64: %lx takes a ULONG, so only the low half of a 64-bit argument slot is printed.
    EXPECT_EQ(Format("%lx", 0x1122334455667788ull), "55667788");
    EXPECT_EQ(Format("%lu", 4294967295ull), "4294967295");
}

TEST_F(KernelFormatter, ShortModifiersTruncateToTheirWidth) {
    EXPECT_EQ(Format("%hX %hhX", 0x12345, 0x1FF), "2345 FF");
    EXPECT_EQ(Format("%hd %hhd", 0xFFFF, 0x80), "-1 -128");
}

TEST_F(KernelFormatter, MicrosoftSizeModifiers) {
    EXPECT_EQ(Format("%I64X", 0x123456789ABCDEF0ull), "123456789ABCDEF0");
    EXPECT_EQ(Format("%I64d", -5000000000ll), "-5000000000");
    EXPECT_EQ(Format("%I32X", 0xDEADBEEFu), "DEADBEEF");
    EXPECT_EQ(Format("%Iu", (SIZE_T)18446744073709551615ull), "18446744073709551615");
}

TEST_F(KernelFormatter, SizeTModifierReadsSixtyFourBits) {
    EXPECT_EQ(Format("%zu %zx", (SIZE_T)10000000000ull, (SIZE_T)0x100000000ull), "10000000000 100000000");
}

TEST_F(KernelFormatter, SignedDecimal) {
    EXPECT_EQ(Format("%d %i %d", -42, 42, 0), "-42 42 0");
    EXPECT_EQ(Format("%d", (int)0x80000000u), "-2147483648");
    EXPECT_EQ(Format("%lld", (long long)0x8000000000000000ull), "-9223372036854775808");
}

TEST_F(KernelFormatter, ZeroPaddedNegativeKeepsSignFirst) {
    EXPECT_EQ(Format("%04d|%04d", 7, -7), "0007|-007");
}

TEST_F(KernelFormatter, WidthAlignsRightUnlessMinus) {
    EXPECT_EQ(Format("%5d|%-5d|%-05d|", 42, 42, 42), "   42|42   |42   |");
}

TEST_F(KernelFormatter, UnsignedDecimal) {
    EXPECT_EQ(Format("%u %u", 4294967295u, -1), "4294967295 4294967295");
}

TEST_F(KernelFormatter, SignAndAlternateFlags) {
    EXPECT_EQ(Format("%+d % d %+d", 5, 5, -5), "+5  5 -5");
    EXPECT_EQ(Format("%#x %#X %#x", 255u, 255u, 0u), "0xff 0XFF 0");
}

TEST_F(KernelFormatter, IntegerPrecisionIsMinimumDigitsAndCancelsZeroFlag) {
    EXPECT_EQ(Format("%.3d|%08.3d|%.0d|", 7, 7, 0), "007|     007||");
}

TEST_F(KernelFormatter, StarTakesWidthAndPrecisionFromArguments) {
    EXPECT_EQ(Format("%*d|%*d|%.*s|", 5, 42, -5, 42, 3, "abcdef"), "   42|42   |abc|");
}

TEST_F(KernelFormatter, Characters) {
    EXPECT_EQ(Format("%c%c%3c", 'o', 'k', 'x'), "ok  x");
}

TEST_F(KernelFormatter, NarrowStrings) {
    EXPECT_EQ(Format("<%s>", "text"), "<text>");
    EXPECT_EQ(Format("%.2s|%5s|%-5s|", "abc", "ab", "ab"), "ab|   ab|ab   |");
}

TEST_F(KernelFormatter, ZeroFlagPadsStringsWithZeros) {
    EXPECT_EQ(Format("%05s", "ab"), "000ab");
}

TEST_F(KernelFormatter, NullNarrowStringPrintsNullInParentheses) {
    EXPECT_EQ(Format("%s", (const char*)nullptr), "(null)");
}

TEST_F(KernelFormatter, WideStringsInEverySpelling) {
    EXPECT_EQ(Format("%S|%ws|%ls", u"abc", u"def", u"ghi"), "abc|def|ghi");
}

TEST_F(KernelFormatter, NullWideStringPrintsNullInParentheses) {
    EXPECT_EQ(Format("%S %ws", (const char16_t*)nullptr, (const char16_t*)nullptr), "(null) (null)");
}

TEST_F(KernelFormatter, WideStringPrecisionCountsCharacters) {
    EXPECT_EQ(Format("%.2ws|%4S|", u"abc", u"ab"), "ab|  ab|");
}

TEST_F(KernelFormatter, HModifierMakesCapitalSNarrow) {
    EXPECT_EQ(Format("%hS", "narrow"), "narrow");
}

TEST_F(KernelFormatter, WideCharacters) {
    EXPECT_EQ(Format("%C%wc", (int)u'Z', (int)u'z'), "Zz");
}

TEST_F(KernelFormatter, LatinOneWideCharacterBecomesItsByte) {
    EXPECT_EQ(Format("%ws", u"caf\u00E9"), "caf\xE9");
}

TEST_F(KernelFormatter, WideCharacterWithoutAByteFailsTheCall) {
    EXPECT_EQ(Format("name %ws", u"\u4E2D"), "");
    EXPECT_EQ(Result, -1);
}

TEST_F(KernelFormatter, PercentSign) {
    EXPECT_EQ(Format("100%%"), "100%");
}

TEST_F(KernelFormatter, UnsupportedConversionFailsTheCall) {
    EXPECT_EQ(Format("%f", 1.5), "");
    EXPECT_EQ(Result, -1);
    EXPECT_EQ(Format("%n", &Result), "");
    EXPECT_EQ(Result, -1);
    EXPECT_EQ(Format("trailing %"), "");
    EXPECT_EQ(Result, -1);
}

TEST_F(KernelFormatter, ResultOfBufferSizeMinusOneFits) {
    const std::string Text(1023, 'x');
    char Buffer[1024 + 1];
    Buffer[1024] = 0x5A;
    EXPECT_EQ(sprintf_s(Buffer, 1024, "%s", Text.c_str()), 1023);
    EXPECT_EQ(std::string(Buffer), Text);
    EXPECT_EQ(Buffer[1023], '\0');
    EXPECT_EQ(Buffer[1024], 0x5A);
}

TEST_F(KernelFormatter, ResultOfBufferSizeEmptiesTheBufferAndFails) {
    const std::string Text(1024, 'x');
    char Buffer[1024 + 1];
    memset(Buffer, 'A', sizeof(Buffer));
    Buffer[1024] = 0x5A;
    EXPECT_EQ(sprintf_s(Buffer, 1024, "%s", Text.c_str()), -1);
    EXPECT_EQ(Buffer[0], '\0');
    EXPECT_EQ(Buffer[1024], 0x5A);
}

TEST_F(KernelFormatter, OverflowByPaddingWritesNothingPastTheBuffer) {
    char Buffer[8 + 1];
    Buffer[8] = 0x5A;
    EXPECT_EQ(sprintf_s(Buffer, 8, "%100d", 1), -1);
    EXPECT_EQ(Buffer[0], '\0');
    EXPECT_EQ(Buffer[8], 0x5A);
}

TEST_F(KernelFormatter, ZeroSizedBufferIsRejectedUntouched) {
    char Buffer[1] = {0x5A};
    EXPECT_EQ(sprintf_s(Buffer, 0, "x"), -1);
    EXPECT_EQ(Buffer[0], 0x5A);
}

TEST_F(KernelFormatter, MissingBufferOrFormatIsRejected) {
    char Buffer[4] = "abc";
    EXPECT_EQ(sprintf_s(nullptr, 16, "x"), -1);
    EXPECT_EQ(sprintf_s(Buffer, sizeof(Buffer), nullptr), -1);
    EXPECT_EQ(Buffer[0], '\0');
}

TEST_F(KernelFormatter, NarrowConversionsWorkAtDispatchLevel) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    const KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    const std::string Text = Format("%s %p %u", "ok", (void*)0x10, 3u);
    KeReleaseSpinLock(&Lock, Previous);
    EXPECT_EQ(Text, "ok 0000000000000010 3");
}

using KernelFormatterDeathTest = KernelFormatter;

TEST_F(KernelFormatterDeathTest, WideConversionAbovePassiveLevelStopsTheSystem) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK Lock;
            KeInitializeSpinLock(&Lock);
            KeAcquireSpinLockRaiseToDpc(&Lock);
            char Buffer[16];
            sprintf_s(Buffer, sizeof(Buffer), "%ws", u"abc");
        },
        "STOP 0x");
}

class KernelDebugger : public KernelTest {};

TEST_F(KernelDebugger, DbgPrintReachesTheDebuggerFormatted) {
    EXPECT_EQ(DbgPrint("Loaded %s at %p\n", "hes.sys", (void*)0xFFFFF80000001000ull), (ULONG)STATUS_SUCCESS);
    ASSERT_EQ(sim::DebuggerMessages().size(), 1u);
    EXPECT_EQ(sim::DebuggerMessages()[0], "Loaded hes.sys at FFFFF80000001000\n");
}

TEST_F(KernelDebugger, MessagesKeepTheirOrder) {
    DbgPrint("one %d\n", 1);
    DbgPrint("two\n");
    EXPECT_EQ(sim::DebuggerMessages(), (std::vector<std::string>{"one 1\n", "two\n"}));
}

TEST_F(KernelDebugger, MessageIsCutAt512Bytes) {
    const std::string Long(600, 'a');
    DbgPrint("%s", Long.c_str());
    ASSERT_EQ(sim::DebuggerMessages().size(), 1u);
    EXPECT_EQ(sim::DebuggerMessages()[0], std::string(512, 'a'));
}

TEST_F(KernelDebugger, UnsupportedConversionIsRejectedAndNotDelivered) {
    EXPECT_EQ(DbgPrint("%f\n", 2.0), (ULONG)STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::DebuggerMessages().empty());
}

TEST_F(KernelDebugger, EchoCopiesMessagesToStderrMarkedAsTheDebuggers) {
    sim::EchoDebuggerMessages(true);
    testing::internal::CaptureStderr();
    DbgPrint("echo %u\n", 7u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "DbgPrint: echo 7\n");
}

TEST_F(KernelDebugger, SilentByDefault) {
    testing::internal::CaptureStderr();
    DbgPrint("quiet\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(sim::DebuggerMessages().size(), 1u);
}

TEST_F(KernelDebugger, ResetForgetsMessages) {
    DbgPrint("before reset\n");
    sim::Reset();
    EXPECT_TRUE(sim::DebuggerMessages().empty());
}

class KernelUnicodeString : public KernelTest {};

TEST_F(KernelUnicodeString, LengthExcludesTheTerminatorAndMaximumIncludesIt) {
    UNICODE_STRING String;
    const char16_t* Source = u"abc";
    RtlInitUnicodeString(&String, Source);
    EXPECT_EQ(String.Length, 6);
    EXPECT_EQ(String.MaximumLength, 8);
    EXPECT_EQ(String.Buffer, Source);
}

TEST_F(KernelUnicodeString, EmptyTextStillCountsItsTerminator) {
    UNICODE_STRING String;
    RtlInitUnicodeString(&String, u"");
    EXPECT_EQ(String.Length, 0);
    EXPECT_EQ(String.MaximumLength, 2);
}

TEST_F(KernelUnicodeString, NullSourceGivesAnEmptyDescriptor) {
    UNICODE_STRING String = {5, 5, (PWSTR)u"x"};
    RtlInitUnicodeString(&String, nullptr);
    EXPECT_EQ(String.Length, 0);
    EXPECT_EQ(String.MaximumLength, 0);
    EXPECT_EQ(String.Buffer, nullptr);
}

TEST_F(KernelUnicodeString, TextTooLongForAUShortLengthIsCut) {
    const std::u16string Long(40000, u'a');
    UNICODE_STRING String;
    RtlInitUnicodeString(&String, Long.c_str());
    EXPECT_EQ(String.Length, 0xFFFC);
    EXPECT_EQ(String.MaximumLength, 0xFFFE);
}

}  // namespace
