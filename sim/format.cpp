// Simulated kernel: the kernel CRT's formatter (sprintf_s), debugger output (DbgPrint) and RtlInitUnicodeString.
// The formatter is our own rather than glibc's, whose %p, 'l' and %S mean something else than on Windows.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "sim_internal.h"

namespace {

// Writes at most Capacity characters but counts every one, so an overflow is detected without a byte
// landing past the caller's buffer.
class BoundedOutput {
public:
    BoundedOutput(char* Destination, size_t Capacity) : Destination(Destination), Capacity(Capacity) {}

    void Put(char Character) {
        if (Count < Capacity) {
            Destination[Count] = Character;
        }
        Count++;
    }

    void Repeat(char Character, size_t Times) {
        for (size_t Index = 0; Index < Times; Index++) {
            Put(Character);
        }
    }

    void PutText(const char* Text) {
        for (; *Text != '\0'; Text++) {
            Put(*Text);
        }
    }

    size_t Length() const { return Count; }

private:
    char* Destination;
    size_t Capacity;
    size_t Count = 0;
};

// A va_list cannot portably be passed by reference; a wrapped copy lets each helper take its arguments in turn.
struct Arguments {
    va_list List;
};

// Windows is LLP64: 'l' and 'I32' read 32 bits like a plain int; 'll', 'I64', 'I', 'z', 'j' and 't' read 64.
enum class IntegerSize { Char, Short, Int, Long64 };
enum class TextWidth { Default, Narrow, Wide };

struct Conversion {
    bool LeftAlign = false;
    bool ZeroPad = false;
    bool ForceSign = false;
    bool SpaceSign = false;
    bool Alternate = false;
    size_t Width = 0;
    int Precision = -1;  // none given
    IntegerSize Size = IntegerSize::Int;
    TextWidth Text = TextWidth::Default;
    char Type = '\0';
};

bool IsDigit(char Character) {
    return Character >= '0' && Character <= '9';
}

int ParseNumber(const char*& Cursor) {
    int Value = 0;
    while (IsDigit(*Cursor)) {
        Value = Value * 10 + (*Cursor - '0');
        Cursor++;
    }
    return Value;
}

void ParseFlags(const char*& Cursor, Conversion& Spec) {
    for (;; Cursor++) {
        switch (*Cursor) {
        case '-': Spec.LeftAlign = true; break;
        case '0': Spec.ZeroPad = true; break;
        case '+': Spec.ForceSign = true; break;
        case ' ': Spec.SpaceSign = true; break;
        case '#': Spec.Alternate = true; break;
        default: return;
        }
    }
}

// A '*' width taken from a negative argument means left alignment, as in C.
void ParseWidth(const char*& Cursor, Arguments& Args, Conversion& Spec) {
    if (*Cursor != '*') {
        Spec.Width = (size_t)ParseNumber(Cursor);
        return;
    }
    Cursor++;
    const int Width = va_arg(Args.List, int);
    if (Width < 0) {
        Spec.LeftAlign = true;
        Spec.Width = (size_t)(-(long long)Width);
    } else {
        Spec.Width = (size_t)Width;
    }
}

// A lone '.' is precision 0; a negative '*' precision counts as none given.
void ParsePrecision(const char*& Cursor, Arguments& Args, Conversion& Spec) {
    if (*Cursor != '.') {
        return;
    }
    Cursor++;
    if (*Cursor == '*') {
        Cursor++;
        const int Precision = va_arg(Args.List, int);
        Spec.Precision = Precision < 0 ? -1 : Precision;
    } else {
        Spec.Precision = ParseNumber(Cursor);
    }
}

bool StartsWith(const char* Text, const char* Prefix) {
    for (; *Prefix != '\0'; Text++, Prefix++) {
        if (*Text != *Prefix) {
            return false;
        }
    }
    return true;
}

void ParseLengthModifier(const char*& Cursor, Conversion& Spec) {
    if (StartsWith(Cursor, "I64")) {
        Spec.Size = IntegerSize::Long64;
        Cursor += 3;
    } else if (StartsWith(Cursor, "I32")) {
        Cursor += 3;
    } else if (StartsWith(Cursor, "ll")) {
        Spec.Size = IntegerSize::Long64;
        Cursor += 2;
    } else if (StartsWith(Cursor, "hh")) {
        Spec.Size = IntegerSize::Char;
        Spec.Text = TextWidth::Narrow;
        Cursor += 2;
    } else if (*Cursor == 'h') {
        Spec.Size = IntegerSize::Short;
        Spec.Text = TextWidth::Narrow;
        Cursor++;
    } else if (*Cursor == 'l' || *Cursor == 'w') {
        Spec.Text = TextWidth::Wide;
        Cursor++;
    } else if (*Cursor == 'I' || *Cursor == 'z' || *Cursor == 'j' || *Cursor == 't') {
        Spec.Size = IntegerSize::Long64;
        Cursor++;
    }
}

// Parses one conversion after its '%'. False for a conversion the kernel CRT rejects or that this
// formatter does not know (floating point, %n, %Z and the like): the caller fails the whole call.
bool ParseConversion(const char*& Cursor, Arguments& Args, Conversion& Spec) {
    ParseFlags(Cursor, Spec);
    ParseWidth(Cursor, Args, Spec);
    ParsePrecision(Cursor, Args, Spec);
    ParseLengthModifier(Cursor, Spec);
    switch (*Cursor) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'p': case 'c': case 'C': case 's': case 'S': case '%':
        Spec.Type = *Cursor;
        Cursor++;
        return true;
    default:
        return false;
    }
}

// The analyzer does not carry the va_copy in FormatInto into these helpers, which take the list through
// Args, and reports it uninitialised.
// NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
LONG64 SignedArgument(Arguments& Args, IntegerSize Size) {
    switch (Size) {
    case IntegerSize::Char: return (signed char)va_arg(Args.List, int);
    case IntegerSize::Short: return (short)va_arg(Args.List, int);
    case IntegerSize::Int: return va_arg(Args.List, int);
    case IntegerSize::Long64: return va_arg(Args.List, long long);
    }
    return 0;
}

ULONG64 UnsignedArgument(Arguments& Args, IntegerSize Size) {
    switch (Size) {
    case IntegerSize::Char: return (unsigned char)va_arg(Args.List, unsigned int);
    case IntegerSize::Short: return (unsigned short)va_arg(Args.List, unsigned int);
    case IntegerSize::Int: return va_arg(Args.List, unsigned int);
    case IntegerSize::Long64: return va_arg(Args.List, unsigned long long);
    }
    return 0;
}
// NOLINTEND(clang-analyzer-valist.Uninitialized)

size_t FieldPadding(const Conversion& Spec, size_t Length) {
    return Spec.Width > Length ? Spec.Width - Length : 0;
}

// Text fields pad with the '0' flag's zeros too: the Microsoft CRT applies that flag to every conversion.
void PadBeforeText(BoundedOutput& Out, const Conversion& Spec, size_t Length) {
    if (!Spec.LeftAlign) {
        Out.Repeat(Spec.ZeroPad ? '0' : ' ', FieldPadding(Spec, Length));
    }
}

void PadAfterText(BoundedOutput& Out, const Conversion& Spec, size_t Length) {
    if (Spec.LeftAlign) {
        Out.Repeat(' ', FieldPadding(Spec, Length));
    }
}

// Layout: [spaces] [sign] [0x] [zeros from '0' flag or precision] digits [spaces when left-aligned].
// A precision cancels the '0' flag, as in C.
void PutInteger(BoundedOutput& Out, const Conversion& Spec, ULONG64 Magnitude, char Sign) {
    const bool Hex = Spec.Type == 'x' || Spec.Type == 'X' || Spec.Type == 'p';
    const unsigned Base = Hex ? 16 : 10;
    const char* DigitSet = Spec.Type == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    char Digits[24];
    size_t DigitCount = 0;
    for (ULONG64 Rest = Magnitude; Rest != 0; Rest /= Base) {
        Digits[DigitCount++] = DigitSet[Rest % Base];
    }
    const size_t MinimumDigits = Spec.Precision < 0 ? 1 : (size_t)Spec.Precision;
    const size_t PrecisionZeros = MinimumDigits > DigitCount ? MinimumDigits - DigitCount : 0;
    const char* Prefix = "";
    if (Spec.Alternate && Magnitude != 0 && (Spec.Type == 'x' || Spec.Type == 'X')) {
        Prefix = Spec.Type == 'x' ? "0x" : "0X";
    }
    const size_t PrefixLength = Prefix[0] == '\0' ? 0 : 2;
    const size_t Length = (Sign != '\0' ? 1 : 0) + PrefixLength + PrecisionZeros + DigitCount;
    const size_t Padding = FieldPadding(Spec, Length);
    const bool PadWithZeros = Spec.ZeroPad && !Spec.LeftAlign && Spec.Precision < 0;

    if (!Spec.LeftAlign && !PadWithZeros) {
        Out.Repeat(' ', Padding);
    }
    if (Sign != '\0') {
        Out.Put(Sign);
    }
    Out.PutText(Prefix);
    if (PadWithZeros) {
        Out.Repeat('0', Padding);
    }
    Out.Repeat('0', PrecisionZeros);
    while (DigitCount > 0) {
        Out.Put(Digits[--DigitCount]);
    }
    if (Spec.LeftAlign) {
        Out.Repeat(' ', Padding);
    }
}

char SignFor(const Conversion& Spec, bool Negative) {
    if (Negative) {
        return '-';
    }
    if (Spec.ForceSign) {
        return '+';
    }
    return Spec.SpaceSign ? ' ' : '\0';
}

void PutSigned(BoundedOutput& Out, const Conversion& Spec, LONG64 Value) {
    // Negating in unsigned arithmetic keeps the most negative value representable.
    const ULONG64 Magnitude = Value < 0 ? 0 - (ULONG64)Value : (ULONG64)Value;
    PutInteger(Out, Spec, Magnitude, SignFor(Spec, Value < 0));
}

// The x64 kernel prints a pointer as exactly 16 uppercase hex digits, zero-padded, without "0x".
void PutPointer(BoundedOutput& Out, Conversion Spec, const void* Pointer) {
    Spec.Type = 'p';
    Spec.Precision = 16;
    PutInteger(Out, Spec, (ULONG64)Pointer, '\0');
}

template <typename Unit>
size_t BoundedLength(const Unit* Text, int Precision) {
    size_t Length = 0;
    while ((Precision < 0 || Length < (size_t)Precision) && Text[Length] != 0) {
        Length++;
    }
    return Length;
}

void PutNarrowText(BoundedOutput& Out, const Conversion& Spec, const char* Text) {
    if (Text == NULL) {
        Text = "(null)";
    }
    const size_t Length = BoundedLength(Text, Spec.Precision);
    PadBeforeText(Out, Spec, Length);
    for (size_t Index = 0; Index < Length; Index++) {
        Out.Put(Text[Index]);
    }
    PadAfterText(Out, Spec, Length);
}

// The CRT's "C" locale converts a UTF-16 unit to the byte of the same value; a unit above 0xFF has no
// byte and fails the whole call instead of printing something else.
bool IsConvertible(const char16_t* Text, size_t Length) {
    for (size_t Index = 0; Index < Length; Index++) {
        if (Text[Index] > 0xFF) {
            return false;
        }
    }
    return true;
}

// The kernel converts 16-bit text with pageable code and tables, so a Unicode conversion above
// PASSIVE_LEVEL may touch a paged-out page and stop the system.
bool PutWideText(BoundedOutput& Out, const Conversion& Spec, const char16_t* Text, const char* Service) {
    sim::RequirePassiveLevel(Service);
    if (Text == NULL) {
        PutNarrowText(Out, Spec, NULL);
        return true;
    }
    const size_t Length = BoundedLength(Text, Spec.Precision);
    if (!IsConvertible(Text, Length)) {
        return false;
    }
    PadBeforeText(Out, Spec, Length);
    for (size_t Index = 0; Index < Length; Index++) {
        Out.Put((char)Text[Index]);
    }
    PadAfterText(Out, Spec, Length);
    return true;
}

bool PutCharacter(BoundedOutput& Out, const Conversion& Spec, bool Wide, unsigned Unit, const char* Service) {
    if (Wide) {
        sim::RequirePassiveLevel(Service);
        if ((char16_t)Unit > 0xFF) {
            return false;
        }
    }
    PadBeforeText(Out, Spec, 1);
    Out.Put((char)Unit);
    PadAfterText(Out, Spec, 1);
    return true;
}

// %S and %C are 16-bit unless 'h' narrows them; %s and %c are 8-bit unless 'l' or 'w' widens them.
bool IsWideText(const Conversion& Spec) {
    if (Spec.Type == 'S' || Spec.Type == 'C') {
        return Spec.Text != TextWidth::Narrow;
    }
    return Spec.Text == TextWidth::Wide;
}

bool PutConversion(BoundedOutput& Out, const Conversion& Spec, Arguments& Args, const char* Service) {
    switch (Spec.Type) {
    case 'd':
    case 'i':
        PutSigned(Out, Spec, SignedArgument(Args, Spec.Size));
        return true;
    case 'u':
    case 'x':
    case 'X':
        PutInteger(Out, Spec, UnsignedArgument(Args, Spec.Size), '\0');
        return true;
    case 'p':
        PutPointer(Out, Spec, va_arg(Args.List, const void*));
        return true;
    case 'c':
    case 'C':
        return PutCharacter(Out, Spec, IsWideText(Spec), va_arg(Args.List, unsigned int), Service);
    case 's':
    case 'S':
        if (IsWideText(Spec)) {
            return PutWideText(Out, Spec, va_arg(Args.List, const char16_t*), Service);
        }
        PutNarrowText(Out, Spec, va_arg(Args.List, const char*));
        return true;
    case '%':
        Out.Put('%');
        return true;
    default:
        return false;
    }
}

// Formats the whole of Format into Out; false when the call must fail (an unknown or unconvertible
// conversion), in which case what reached Out is meaningless.
bool FormatInto(BoundedOutput& Out, const char* Service, const char* Format, va_list List) {
    Arguments Args;
    va_copy(Args.List, List);
    bool Valid = true;
    for (const char* Cursor = Format; Valid && *Cursor != '\0';) {
        if (*Cursor != '%') {
            Out.Put(*Cursor++);
            continue;
        }
        Cursor++;
        Conversion Spec;
        Valid = ParseConversion(Cursor, Args, Spec) && PutConversion(Out, Spec, Args, Service);
    }
    va_end(Args.List);
    return Valid;
}

// The debugger side of DbgPrint: every message in order, for tests to read back.
struct DebuggerState {
    std::mutex Lock;
    std::vector<std::string> Messages;
    bool Echo = false;
};

DebuggerState& Debugger() {
    static DebuggerState State;
    return State;
}

// One DbgPrint call carries at most 512 bytes to the debugger; the rest of a longer message is lost.
constexpr size_t DebuggerMessageLimit = 512;

// The largest UNICODE_STRING Length that still leaves room for the terminator in a USHORT MaximumLength.
constexpr size_t MaximumUnicodeStringLength = 0xFFFC;

}  // namespace

// Follows the Microsoft CRT: the result never reaches past SizeOfBuffer. When it does not fit with its
// terminator, or the format cannot be honoured, the buffer becomes the empty string and the result is -1.
extern "C" int sprintf_s(char* Buffer, SIZE_T SizeOfBuffer, const char* Format, ...) {
    if (Buffer == NULL || SizeOfBuffer == 0) {
        return -1;
    }
    if (Format == NULL) {
        Buffer[0] = '\0';
        return -1;
    }
    BoundedOutput Out(Buffer, SizeOfBuffer - 1);
    va_list List;
    va_start(List, Format);
    const bool Valid = FormatInto(Out, "sprintf_s", Format, List);
    va_end(List);
    if (!Valid || Out.Length() >= SizeOfBuffer) {
        Buffer[0] = '\0';
        return -1;
    }
    Buffer[Out.Length()] = '\0';
    return (int)Out.Length();
}

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    if (Format == NULL) {
        return (ULONG)STATUS_INVALID_PARAMETER;
    }
    char Message[DebuggerMessageLimit];
    BoundedOutput Out(Message, sizeof(Message));
    va_list List;
    va_start(List, Format);
    const bool Valid = FormatInto(Out, "DbgPrint", Format, List);
    va_end(List);
    if (!Valid) {
        return (ULONG)STATUS_INVALID_PARAMETER;
    }
    const size_t Length = Out.Length() < sizeof(Message) ? Out.Length() : sizeof(Message);

    DebuggerState& State = Debugger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Messages.emplace_back(Message, Length);
    if (State.Echo) {
        // Marked, so that a reader of hestolvane-sim's output never takes a debugger line for COM1's.
        // NOLINTNEXTLINE(cert-err33-c): an echo that cannot reach standard error has nowhere to report it.
        fprintf(stderr, "DbgPrint: %.*s", (int)Length, Message);
    }
    return (ULONG)STATUS_SUCCESS;
}

// Text longer than a UNICODE_STRING can describe is cut to the longest length that fits.
extern "C" void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t Bytes = BoundedLength(SourceString, -1) * sizeof(WCHAR);
    if (Bytes > MaximumUnicodeStringLength) {
        Bytes = MaximumUnicodeStringLength;
    }
    DestinationString->Length = (USHORT)Bytes;
    DestinationString->MaximumLength = (USHORT)(Bytes + sizeof(WCHAR));
}

namespace sim {

const std::vector<std::string>& DebuggerMessages() {
    return Debugger().Messages;
}

void EchoDebuggerMessages(bool ToStderr) {
    DebuggerState& State = Debugger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Echo = ToStderr;
}

void ResetDebugger() {
    DebuggerState& State = Debugger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Messages.clear();
    State.Echo = false;
}

}  // namespace sim
