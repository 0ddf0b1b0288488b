// Property test: captures written from random models by a small reference writer, in the driver's
// formats, read back as those models.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <random>

#include "decode_test_support.h"

namespace hestolvane::decode {
namespace {

class RandomModel {
public:
    explicit RandomModel(unsigned Seed) : Engine(Seed) {}

    uint64_t Word() { return std::uniform_int_distribution<uint64_t>()(Engine); }
    uint64_t Below(uint64_t Limit) { return std::uniform_int_distribution<uint64_t>(0, Limit - 1)(Engine); }
    bool Chance(unsigned Percent) { return Below(100) < Percent; }

    // Texts with single blanks inside but none at either end and never two together, so that splitting a
    // row on two blanks is unambiguous.
    std::string Text(size_t MaxLength) {
        static const std::string Alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-\\:$~ ";
        std::string Made;
        const size_t Length = Below(MaxLength + 1);
        while (Made.size() < Length) {
            const char Next = Alphabet[Below(Alphabet.size())];
            if (Next == ' ' && (Made.empty() || Made.back() == ' ' || Made.size() + 1 == Length)) {
                continue;
            }
            Made.push_back(Next);
        }
        return Made;
    }

    std::string Guid() {
        if (Chance(20)) {
            return "00000000-0000-0000-0000-000000000000";
        }
        char Text[40];
        std::snprintf(Text, sizeof(Text), "%08llX-%04llX-%04llX-%04llX-%012llX",
                      static_cast<unsigned long long>(Below(1ull << 32)),
                      static_cast<unsigned long long>(Below(1 << 16)), static_cast<unsigned long long>(Below(1 << 16)),
                      static_cast<unsigned long long>(Below(1 << 16)),
                      static_cast<unsigned long long>(Below(1ull << 48)));
        return Text;
    }

    // A time a clock can show: the driver's clock never prints 30 February, and the reader refuses it.
    Timestamp Time() {
        const int Year = static_cast<int>(1601 + Below(8399));
        const int Month = static_cast<int>(1 + Below(12));
        const bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
        const int Days = Month == 2 ? (Leap ? 29 : 28) : Month == 4 || Month == 6 || Month == 9 || Month == 11 ? 30 : 31;
        return Timestamp{Year,                                     Month,
                         static_cast<int>(1 + Below(static_cast<unsigned>(Days))), static_cast<int>(Below(24)),
                         static_cast<int>(Below(60)),          static_cast<int>(Below(60)),
                         static_cast<int>(Below(1000))};
    }

private:
    std::mt19937_64 Engine;
};

// Rows lie one after another in their own ranges with names made unique by their index, and raw frames
// point either into a row or above them all, so the model says unambiguously where each frame belongs.
Report MakeReport(RandomModel& Random, unsigned Number, unsigned BootNumber, uint64_t Line) {
    Report Made;
    Made.Number = Number;
    Made.Boot = BootNumber;
    Made.Line = Line;
    Made.CrashTime = Random.Time();
    Made.Check = BugCheck{Random.Below(1ull << 32), {Random.Word(), Random.Word(), Random.Word(), Random.Word()}};
    Made.HasModuleTable = Random.Chance(80);
    Made.End = ReportEnd::EndMarker;
    if (!Made.HasModuleTable) {
        return Made;
    }
    uint64_t Next = 0xFFFFF80000000000 + Random.Below(1 << 20) * 0x1000;
    const size_t RowCount = Random.Below(12);
    for (size_t Index = 0; Index < RowCount; Index++) {
        ModuleRow Row;
        Row.Start = Next;
        Row.End = Next + 0x1000 + Random.Below(1 << 24);
        Next = Row.End + Random.Below(1 << 16);
        if (!Random.Chance(10)) {
            Row.Name = Random.Text(30) + "_" + std::to_string(Index) + ".sys";
        }
        if (!Random.Chance(10)) {
            Row.PdbPath = Random.Text(60);
        }
        if (!Random.Chance(10)) {
            Row.Path = Random.Text(80);
        }
        Row.Guid = Random.Guid();
        Made.Modules.push_back(Row);
    }
    Made.Context = RegisterContext{Random.Word(), {}};
    for (const RegisterLayout& Layout : ContextRegisters) {
        Made.Context->Registers.push_back(Register{
            std::string(Layout.Name), Layout.Digits == 16 ? Random.Word() : Random.Below(1ull << (4 * Layout.Digits))});
    }
    const size_t FrameCount = Random.Below(21);
    for (size_t Index = 0; Index < FrameCount; Index++) {
        Frame Walked;
        Walked.StackPointer = Random.Word();
        for (uint64_t& Word : Walked.StackWords) {
            Word = Random.Word();
        }
        const size_t Row = RowCount == 0 ? 0 : Random.Below(RowCount);
        const uint64_t Offset = RowCount == 0 ? 0 : Random.Below(Made.Modules[Row].Size());
        if (RowCount > 0 && Made.Modules[Row].Name && Random.Chance(60)) {
            Walked.Printed = AddressForm::ModuleOffset;
        } else {
            Walked.Printed = AddressForm::Raw;
        }
        if (RowCount > 0 && Random.Chance(70)) {
            Walked.Address = Made.Modules[Row].Start + Offset;
            Walked.Module = ModuleLocation{Made.Modules[Row].Name, Offset, Row};
        } else {
            Walked.Printed = AddressForm::Raw;
            Walked.Address = Next + Random.Below(1ull << 40);
        }
        Made.Frames.push_back(Walked);
    }
    const uint64_t Ending = Random.Below(3);
    Made.End = Ending == 0   ? ReportEnd::EndMarker
               : Ending == 1 ? ReportEnd::AfterControlPc
                             : ReportEnd::AfterPrintStack;
    return Made;
}

// The reference writer: the driver's formats, line for line.
class Writer {
public:
    std::string Text;
    uint64_t Lines = 0;

    void Line(const char* Format, ...) __attribute__((format(printf, 2, 3))) {
        char Buffer[2048];
        va_list Arguments;
        va_start(Arguments, Format);
        std::vsnprintf(Buffer, sizeof(Buffer), Format, Arguments);
        va_end(Arguments);
        Text += Buffer;
        Text += '\n';
        Lines++;
    }

    static const char* OrNull(const std::optional<std::string>& Value) { return Value ? Value->c_str() : "(null)"; }

    void WriteBoot(const Boot& Made) {
        const Timestamp& Time = *Made.LoadTime;
        Line("HesTolvaneDrv ver: %d, Load: %04d-%02d-%02d %02d:%02d:%02d:%d", *Made.DriverVersion, Time.Year,
             Time.Month, Time.Day, Time.Hour, Time.Minute, Time.Second, Time.Millisecond);
        Line("%s", std::string(BootStateLine(*Made.State)).c_str());
    }

    void WriteReport(const Report& Made) {
        using ULL = unsigned long long;
        Line("VQN Dump Begin.");
        const Timestamp& Time = *Made.CrashTime;
        Line("CRASHED ON: %04d-%02d-%02d %02d:%02d:%02d:%d", Time.Year, Time.Month, Time.Day, Time.Hour, Time.Minute,
             Time.Second, Time.Millisecond);
        if (Made.HasModuleTable) {
            Line("Dump:");
            Line("start    end    module    pdb    path    guid");
            for (const ModuleRow& Row : Made.Modules) {
                Line("%016llX %016llX  %s  %s  %s  %s", ULL(Row.Start), ULL(Row.End), OrNull(Row.Name),
                     OrNull(Row.PdbPath), OrNull(Row.Path), Row.Guid.c_str());
            }
        }
        const auto& Parameters = Made.Check->Parameters;
        Line("VQN: BUGCHECK CODE %llX: %016llX %016llX %016llX %016llX", ULL(Made.Check->Code), ULL(Parameters[0]),
             ULL(Parameters[1]), ULL(Parameters[2]), ULL(Parameters[3]));
        if (Made.HasModuleTable) {
            Line("CONTEXT (%016llX):", ULL(*Made.Context->Address));
            for (const Register& Entry : Made.Context->Registers) {
                const int Digits = Entry.Name.size() == 2 && Entry.Name[0] != 'R' ? 4 : Entry.Name == "EFLAGS" ? 8 : 16;
                Line("         %s%s %0*llX", Entry.Name.c_str(), Entry.Name == "RSI" ? "=" : " =", Digits,
                     ULL(Entry.Value));
            }
            for (const Frame& Walked : Made.Frames) {
                const auto& Words = Walked.StackWords;
                if (Walked.Printed == AddressForm::ModuleOffset) {
                    Line("%016llX  (%016llX  %016llX  %016llX  %016llX) %s + %016llX", ULL(Walked.StackPointer),
                         ULL(Words[0]), ULL(Words[1]), ULL(Words[2]), ULL(Words[3]), OrNull(Walked.Module->Name),
                         ULL(Walked.Module->Offset));
                } else {
                    Line("%016llX  (%016llX  %016llX  %016llX  %016llX) %016llX", ULL(Walked.StackPointer),
                         ULL(Words[0]), ULL(Words[1]), ULL(Words[2]), ULL(Words[3]), ULL(*Walked.Address));
                }
            }
            if (Made.End == ReportEnd::AfterControlPc) {
                Line("ControlPc");
            } else if (Made.End == ReportEnd::AfterPrintStack) {
                Line("PrintStack");
            }
        }
        Line("VQN Dump End.");
    }
};

TEST(DecodeRoundTrip, RandomModelsReadBackAsWritten) {
    for (unsigned Seed = 1; Seed <= 200; Seed++) {
        SCOPED_TRACE("seed " + std::to_string(Seed));
        RandomModel Random(Seed);
        Writer Written;
        std::vector<Boot> Boots;
        std::vector<Report> Reports;
        const size_t BootCount = 1 + Random.Below(3);
        for (unsigned BootNumber = 1; BootNumber <= BootCount; BootNumber++) {
            Boot Made;
            Made.Number = BootNumber;
            Made.Line = Written.Lines + 1;
            Made.DriverVersion = static_cast<int>(Random.Below(10));
            Made.LoadTime = Random.Time();
            Made.State = static_cast<BootState>(Random.Below(3));
            Written.WriteBoot(Made);
            Boots.push_back(Made);
            if (Random.Chance(75)) {
                Reports.push_back(
                    MakeReport(Random, static_cast<unsigned>(Reports.size() + 1), BootNumber, Written.Lines + 1));
                Written.WriteReport(Reports.back());
            }
        }

        const auto Decoded = testing::Decode(Written.Text);
        ASSERT_EQ(Decoded.Boots.size(), Boots.size());
        for (size_t Index = 0; Index < Boots.size(); Index++) {
            EXPECT_EQ(Decoded.Boots[Index].Number, Boots[Index].Number);
            EXPECT_EQ(Decoded.Boots[Index].Line, Boots[Index].Line);
            EXPECT_EQ(Decoded.Boots[Index].DriverVersion, Boots[Index].DriverVersion);
            EXPECT_EQ(Decoded.Boots[Index].LoadTime, Boots[Index].LoadTime);
            EXPECT_EQ(Decoded.Boots[Index].State, Boots[Index].State);
            EXPECT_TRUE(Decoded.Boots[Index].Warnings.empty());
        }
        ASSERT_EQ(Decoded.Reports.size(), Reports.size());
        for (size_t Index = 0; Index < Reports.size(); Index++) {
            const Report& Got = Decoded.Reports[Index];
            const Report& Made = Reports[Index];
            EXPECT_EQ(Got.Number, Made.Number);
            EXPECT_EQ(Got.Boot, Made.Boot);
            EXPECT_EQ(Got.Line, Made.Line);
            EXPECT_EQ(Got.CrashTime, Made.CrashTime);
            EXPECT_EQ(Got.Check, Made.Check);
            EXPECT_EQ(Got.HasModuleTable, Made.HasModuleTable);
            EXPECT_EQ(Got.Modules, Made.Modules);
            EXPECT_EQ(Got.Context, Made.Context);
            EXPECT_EQ(Got.Frames, Made.Frames);
            EXPECT_EQ(Got.End, Made.End);
            EXPECT_TRUE(Got.Warnings.empty()) << Got.Warnings.front().Message << ": " << Got.Warnings.front().Text;
        }
    }
}

}  // namespace
}  // namespace hestolvane::decode
