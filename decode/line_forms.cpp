// Line parser: each form is recognised by its fixed text and fixed-width numbers, as the driver's
// formats print them, and read without copying more than the texts it keeps.
#include "line_forms.h"

#include <algorithm>
#include <array>

namespace hestolvane::decode {

namespace {

constexpr std::string_view TableHeaderText = "start    end    module    pdb    path    guid";
constexpr std::string_view CrashTimePrefix = "CRASHED ON: ";
constexpr std::string_view BugCheckPrefix = "VQN: BUGCHECK CODE ";
constexpr std::string_view ContextPrefix = "CONTEXT (";
constexpr std::string_view RegisterIndent = "         ";
constexpr std::string_view NullText = "(null)";
constexpr size_t AddressDigits = 16;
constexpr size_t GuidLength = 36;

// A table, since every address and stack word of every frame and row goes through here: 16 digits a number,
// most of a capture's bytes.
constexpr std::array<signed char, 256> HexDigitValues = [] {
    std::array<signed char, 256> Values{};
    for (signed char& Value : Values) {
        Value = -1;
    }
    for (int Digit = 0; Digit < 10; Digit++) {
        Values['0' + Digit] = static_cast<signed char>(Digit);
    }
    for (int Digit = 0; Digit < 6; Digit++) {
        Values['A' + Digit] = static_cast<signed char>(10 + Digit);
        Values['a' + Digit] = static_cast<signed char>(10 + Digit);
    }
    return Values;
}();

int HexValue(char Digit) {
    return HexDigitValues[static_cast<unsigned char>(Digit)];
}

// A cursor over one line: each Read either consumes what it read or reports failure.
class Cursor {
public:
    explicit Cursor(std::string_view Text) : Rest(Text) {}

    bool Literal(std::string_view Expected) {
        if (Rest.substr(0, Expected.size()) != Expected) {
            return false;
        }
        Rest.remove_prefix(Expected.size());
        return true;
    }

    // Between MinDigits and MaxDigits hexadecimal digits, as many as there are.
    std::optional<uint64_t> Hex(size_t MinDigits, size_t MaxDigits) {
        uint64_t Value = 0;
        size_t Count = 0;
        while (Count < Rest.size() && Count < MaxDigits && HexValue(Rest[Count]) >= 0) {
            Value = (Value << 4) | static_cast<uint64_t>(HexValue(Rest[Count]));
            Count++;
        }
        if (Count < MinDigits || (Count < Rest.size() && HexValue(Rest[Count]) >= 0)) {
            return std::nullopt;
        }
        Rest.remove_prefix(Count);
        return Value;
    }

    std::optional<uint64_t> Address() { return Hex(AddressDigits, AddressDigits); }

    std::optional<int> Decimal(size_t MinDigits, size_t MaxDigits) {
        size_t Count = 0;
        int Value = 0;
        while (Count < Rest.size() && Count < MaxDigits && Rest[Count] >= '0' && Rest[Count] <= '9') {
            Value = Value * 10 + (Rest[Count] - '0');
            Count++;
        }
        if (Count < MinDigits || (Count < Rest.size() && Rest[Count] >= '0' && Rest[Count] <= '9')) {
            return std::nullopt;
        }
        Rest.remove_prefix(Count);
        return Value;
    }

    bool AtEnd() const { return Rest.empty(); }
    std::string_view Remaining() const { return Rest; }

private:
    std::string_view Rest;
};

// "%04d-%02d-%02d %02d:%02d:%02d:%d". Years are read up to six digits, milliseconds up to three.
std::optional<Timestamp> ReadTimestamp(Cursor& At) {
    auto Year = At.Decimal(4, 6);
    if (!Year || !At.Literal("-")) {
        return std::nullopt;
    }
    auto Month = At.Decimal(2, 2);
    if (!Month || !At.Literal("-")) {
        return std::nullopt;
    }
    auto Day = At.Decimal(2, 2);
    if (!Day || !At.Literal(" ")) {
        return std::nullopt;
    }
    auto Hour = At.Decimal(2, 2);
    if (!Hour || !At.Literal(":")) {
        return std::nullopt;
    }
    auto Minute = At.Decimal(2, 2);
    if (!Minute || !At.Literal(":")) {
        return std::nullopt;
    }
    auto Second = At.Decimal(2, 2);
    if (!Second || !At.Literal(":")) {
        return std::nullopt;
    }
    auto Millisecond = At.Decimal(1, 3);
    if (!Millisecond) {
        return std::nullopt;
    }
    return Timestamp{*Year, *Month, *Day, *Hour, *Minute, *Second, *Millisecond};
}

bool IsLeapYear(int Year) {
    return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

// Whether a clock can show the time: a real day of a real month, hours, minutes and seconds in range
// (a leap second allowed).
bool IsPossible(const Timestamp& Time) {
    static constexpr int DaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Time.Month < 1 || Time.Month > 12 || Time.Day < 1) {
        return false;
    }
    const int Days = DaysIn[Time.Month - 1] + (Time.Month == 2 && IsLeapYear(Time.Year) ? 1 : 0);
    return Time.Day <= Days && Time.Hour < 24 && Time.Minute < 60 && Time.Second <= 60;
}

std::optional<std::string> TextOrNull(std::string_view Text) {
    if (Text == NullText) {
        return std::nullopt;
    }
    return std::string(Text);
}

bool IsGuid(std::string_view Text) {
    if (Text.size() != GuidLength) {
        return false;
    }
    for (size_t Index = 0; Index < Text.size(); Index++) {
        const bool Dash = Index == 8 || Index == 13 || Index == 18 || Index == 23;
        if (Dash ? Text[Index] != '-' : HexValue(Text[Index]) < 0) {
            return false;
        }
    }
    return true;
}

// "%p %p  %s  %s  %s  GUID": anchored on the two addresses and the trailing GUID; the texts between
// are split on exactly two blanks, since a text may hold single blanks and may be empty.
LineForm ParseRow(std::string_view Line) {
    Cursor At(Line);
    auto Start = At.Address();
    if (!Start || !At.Literal(" ")) {
        return form::Unknown{};
    }
    auto End = At.Address();
    if (!End || !At.Literal("  ")) {
        return form::Unknown{};
    }
    std::string_view Rest = At.Remaining();
    if (Rest.size() < GuidLength + 2 || !IsGuid(Rest.substr(Rest.size() - GuidLength)) ||
        Rest.substr(Rest.size() - GuidLength - 2, 2) != "  ") {
        return form::Unknown{};
    }
    std::string_view Texts = Rest.substr(0, Rest.size() - GuidLength - 2);
    std::string_view Fields[3];
    size_t Count = 0;
    for (;;) {
        const size_t Separator = Texts.find("  ");
        if (Count < 3) {
            Fields[Count] = Texts.substr(0, Separator);
        }
        Count++;
        if (Separator == std::string_view::npos) {
            break;
        }
        Texts.remove_prefix(Separator + 2);
    }
    if (Count != 3) {
        return form::MisshapenRow{Count};
    }
    form::Row Parsed;
    Parsed.Module.Start = *Start;
    Parsed.Module.End = *End;
    Parsed.Module.Name = TextOrNull(Fields[0]);
    Parsed.Module.PdbPath = TextOrNull(Fields[1]);
    Parsed.Module.Path = TextOrNull(Fields[2]);
    Parsed.Module.Guid = std::string(Rest.substr(Rest.size() - GuidLength));
    return Parsed;
}

// "%p  (%016llX  %016llX  %016llX  %016llX) " then "%s + %016llX" or "%016llX".
LineForm ParseFrame(std::string_view Line) {
    Cursor At(Line);
    form::FrameLine Parsed;
    auto StackPointer = At.Address();
    if (!StackPointer || !At.Literal("  (")) {
        return form::Unknown{};
    }
    Parsed.Value.StackPointer = *StackPointer;
    for (size_t Index = 0; Index < Parsed.Value.StackWords.size(); Index++) {
        if (Index > 0 && !At.Literal("  ")) {
            return form::Unknown{};
        }
        auto Word = At.Address();
        if (!Word) {
            return form::Unknown{};
        }
        Parsed.Value.StackWords[Index] = *Word;
    }
    if (!At.Literal(") ")) {
        return form::Unknown{};
    }
    std::string_view Target = At.Remaining();
    Cursor Raw(Target);
    if (auto Address = Raw.Address(); Address && Raw.AtEnd()) {
        Parsed.Value.Printed = AddressForm::Raw;
        Parsed.Value.Address = *Address;
        return Parsed;
    }
    constexpr std::string_view Plus = " + ";
    if (Target.size() < Plus.size() + AddressDigits ||
        Target.substr(Target.size() - AddressDigits - Plus.size(), Plus.size()) != Plus) {
        return form::Unknown{};
    }
    Cursor OffsetText(Target.substr(Target.size() - AddressDigits));
    auto Offset = OffsetText.Address();
    if (!Offset) {
        return form::Unknown{};
    }
    Parsed.Value.Printed = AddressForm::ModuleOffset;
    Parsed.Value.Module = ModuleLocation{TextOrNull(Target.substr(0, Target.size() - AddressDigits - Plus.size())),
                                         *Offset, std::nullopt};
    return Parsed;
}

LineForm ParseBugCheck(std::string_view Line) {
    Cursor At(Line);
    At.Literal(BugCheckPrefix);
    form::BugCheckLine Parsed;
    auto Code = At.Hex(1, 16);
    if (!Code || !At.Literal(":")) {
        return form::Unknown{};
    }
    Parsed.Check.Code = *Code;
    for (uint64_t& Parameter : Parsed.Check.Parameters) {
        auto Value = At.Literal(" ") ? At.Address() : std::nullopt;
        if (!Value) {
            return form::Unknown{};
        }
        Parameter = *Value;
    }
    return At.AtEnd() ? LineForm(Parsed) : LineForm(form::Unknown{});
}

// Nine blanks, the name, "= " or " = ", the value. Which register is due is the reader's business; the
// digits count is kept so that it can check the width too.
LineForm ParseRegister(std::string_view Line) {
    std::string_view Rest = Line.substr(RegisterIndent.size());
    const size_t Equals = Rest.find('=');
    if (Equals == std::string_view::npos || Equals == 0) {
        return form::Unknown{};
    }
    std::string_view Name = Rest.substr(0, Equals);
    if (Name.back() == ' ') {
        Name.remove_suffix(1);
    }
    if (Name.empty() || !std::all_of(Name.begin(), Name.end(), [](char Character) {
            return (Character >= 'A' && Character <= 'Z') || (Character >= '0' && Character <= '9');
        })) {
        return form::Unknown{};
    }
    Cursor At(Rest.substr(Equals + 1));
    if (!At.Literal(" ")) {
        return form::Unknown{};
    }
    const size_t Digits = At.Remaining().size();
    auto Value = At.Hex(1, 16);
    if (!Value || !At.AtEnd()) {
        return form::Unknown{};
    }
    return form::RegisterLine{Register{std::string(Name), *Value}, static_cast<int>(Digits)};
}

bool StartsWith(std::string_view Text, std::string_view Prefix) {
    return Text.substr(0, Prefix.size()) == Prefix;
}

}  // namespace

form::Banner ParseBanner(std::string_view Line) {
    form::Banner Parsed;
    Cursor At(Line);
    if (!At.Literal(BannerPrefix)) {
        return Parsed;
    }
    const bool Negative = At.Literal("-");
    Parsed.DriverVersion = At.Decimal(1, 9);
    if (Parsed.DriverVersion && Negative) {
        *Parsed.DriverVersion = -*Parsed.DriverVersion;
    }
    if (Parsed.DriverVersion && At.Literal(", Load: ")) {
        Parsed.LoadTime = ReadTimestamp(At);
        if (Parsed.LoadTime && !IsPossible(*Parsed.LoadTime)) {
            Parsed.LoadTime.reset();
            Parsed.ImpossibleTime = true;
        }
    }
    Parsed.Complete = Parsed.DriverVersion && Parsed.LoadTime && At.AtEnd();
    return Parsed;
}

LineForm ParseLine(std::string_view Line) {
    if (Line.empty()) {
        return form::Unknown{};
    }
    switch (Line[0]) {
    case 'V':
        if (Line == BeginMarkerText) {
            return form::BeginMarker{};
        }
        if (Line == EndMarkerText) {
            return form::EndMarker{};
        }
        if (StartsWith(Line, BugCheckPrefix)) {
            return ParseBugCheck(Line);
        }
        return form::Unknown{};
    case 'C':
        if (Line == "ControlPc") {
            return form::ControlPc{};
        }
        if (StartsWith(Line, CrashTimePrefix)) {
            Cursor At(Line.substr(CrashTimePrefix.size()));
            auto Time = ReadTimestamp(At);
            if (!Time || !At.AtEnd()) {
                return form::Unknown{};
            }
            return form::CrashTime{IsPossible(*Time) ? Time : std::nullopt};
        }
        if (StartsWith(Line, ContextPrefix)) {
            Cursor At(Line.substr(ContextPrefix.size()));
            auto Address = At.Address();
            return Address && At.Literal("):") && At.AtEnd() ? LineForm(form::ContextHead{*Address})
                                                             : LineForm(form::Unknown{});
        }
        break;  // C and D also open addresses
    case 'D':
        if (Line == "Dump:") {
            return form::TableHeading{};
        }
        break;
    case 's':
        return Line == TableHeaderText ? LineForm(form::TableHeader{}) : LineForm(form::Unknown{});
    case 'P':
        return Line == "PrintStack" ? LineForm(form::PrintStack{}) : LineForm(form::Unknown{});
    case 'H':
        return StartsWith(Line, BannerPrefix) ? LineForm(ParseBanner(Line)) : LineForm(form::Unknown{});
    case 'n':
    case 'l':
        for (BootState State : {BootState::Normal, BootState::LastBsod, BootState::LastBsodNewVersion}) {
            if (Line == BootStateLine(State)) {
                return form::BootStateLine{State};
            }
        }
        return form::Unknown{};
    case ' ':
        return StartsWith(Line, RegisterIndent) ? ParseRegister(Line) : LineForm(form::Unknown{});
    default:
        break;
    }
    // Module rows and frame lines both open with a 16-digit address; the separator after it tells them apart.
    if (Line.size() > AddressDigits + 1 && Line[AddressDigits] == ' ') {
        if (Line[AddressDigits + 1] == ' ') {
            return ParseFrame(Line);
        }
        return ParseRow(Line);
    }
    return form::Unknown{};
}

size_t CutScanner::NextAfter(size_t Position) {
    if (NextBegin != std::string_view::npos && NextBegin <= Position) {
        NextBegin = Text.find(BeginMarkerText, Position + 1);
    }
    if (NextBanner != std::string_view::npos && NextBanner <= Position) {
        NextBanner = Text.find(BannerPrefix, Position + 1);
    }
    return std::min(NextBegin, NextBanner);
}

}  // namespace hestolvane::decode
