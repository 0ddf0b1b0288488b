// The JSON writer: a comma goes before every value or member that follows another in the same object or
// array; strings are escaped as nlohmann escapes them (the two-character escapes, \u00XX for the other
// control bytes, everything else as it is).
#include "json_writer.h"

#include <charconv>

namespace hestolvane::decode {

namespace {

constexpr char Digits[] = "0123456789ABCDEF";

// Printable ASCII that needs no escape: taken over in runs.
bool IsPlain(unsigned char Byte) {
    return Byte >= 0x20 && Byte < 0x80 && Byte != '"' && Byte != '\\';
}

}  // namespace

void JsonWriter::BeforeValue() {
    if (NeedComma) {
        Out.push_back(',');
    }
    NeedComma = true;
}

JsonWriter& JsonWriter::Open() {
    BeforeValue();
    Out.push_back('{');
    NeedComma = false;
    return *this;
}

JsonWriter& JsonWriter::Close() {
    Out.push_back('}');
    NeedComma = true;
    return *this;
}

JsonWriter& JsonWriter::OpenArray() {
    BeforeValue();
    Out.push_back('[');
    NeedComma = false;
    return *this;
}

JsonWriter& JsonWriter::CloseArray() {
    Out.push_back(']');
    NeedComma = true;
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view Name) {
    BeforeValue();
    Out.push_back('"');
    Out.append(Name);
    Out.append("\":");
    NeedComma = false;
    return *this;
}

void JsonWriter::Escaped(unsigned char Byte) {
    switch (Byte) {
    case '"':
        Out.append("\\\"");
        return;
    case '\\':
        Out.append("\\\\");
        return;
    case '\b':
        Out.append("\\b");
        return;
    case '\f':
        Out.append("\\f");
        return;
    case '\n':
        Out.append("\\n");
        return;
    case '\r':
        Out.append("\\r");
        return;
    case '\t':
        Out.append("\\t");
        return;
    default:
        break;
    }
    if (Byte < 0x20) {
        Out.append("\\u00");
        Out.push_back(static_cast<char>(Digits[Byte >> 4] | 0x20));
        Out.push_back(static_cast<char>(Digits[Byte & 0xF] | 0x20));
    } else {
        Out.push_back(static_cast<char>(Byte));
    }
}

JsonWriter& JsonWriter::Latin1(std::string_view Text) {
    BeforeValue();
    Out.push_back('"');
    size_t Plain = 0;
    for (size_t Index = 0; Index < Text.size(); Index++) {
        const auto Byte = static_cast<unsigned char>(Text[Index]);
        if (IsPlain(Byte)) {
            continue;
        }
        Out.append(Text.data() + Plain, Index - Plain);
        Plain = Index + 1;
        if (Byte >= 0x80) {
            const char Pair[2] = {static_cast<char>(0xC0 | (Byte >> 6)), static_cast<char>(0x80 | (Byte & 0x3F))};
            Out.append(Pair, 2);
        } else {
            Escaped(Byte);
        }
    }
    Out.append(Text.data() + Plain, Text.size() - Plain);
    Out.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::Latin1OrNull(const std::optional<std::string>& Text) {
    return Text ? Latin1(*Text) : Null();
}

JsonWriter& JsonWriter::Utf8(std::string_view Text) {
    BeforeValue();
    Out.push_back('"');
    size_t Plain = 0;
    for (size_t Index = 0; Index < Text.size(); Index++) {
        const auto Byte = static_cast<unsigned char>(Text[Index]);
        if (IsPlain(Byte) || Byte >= 0x80) {
            continue;
        }
        Out.append(Text.data() + Plain, Index - Plain);
        Plain = Index + 1;
        Escaped(Byte);
    }
    Out.append(Text.data() + Plain, Text.size() - Plain);
    Out.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::Number(uint64_t Value) {
    BeforeValue();
    char Text[24];
    const auto Written = std::to_chars(Text, Text + sizeof(Text), Value);
    Out.append(Text, Written.ptr);
    return *this;
}

JsonWriter& JsonWriter::Signed(int64_t Value) {
    BeforeValue();
    char Text[24];
    const auto Written = std::to_chars(Text, Text + sizeof(Text), Value);
    Out.append(Text, Written.ptr);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool Value) {
    BeforeValue();
    Out.append(Value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    Out.append("null");
    return *this;
}

JsonWriter& JsonWriter::Hex(uint64_t Value, int MinimumDigits) {
    BeforeValue();
    // Filled from the end: the closing quote, the digits, then "0x and the opening quote before them.
    char Text[21];
    size_t First = sizeof(Text);
    Text[--First] = '"';
    int Count = 0;
    do {
        Text[--First] = Digits[Value & 0xF];
        Value >>= 4;
        Count++;
    } while (Value != 0);
    for (; Count < MinimumDigits && Count < 16; Count++) {
        Text[--First] = '0';
    }
    Text[--First] = 'x';
    Text[--First] = '0';
    Text[--First] = '"';
    Out.append(Text + First, sizeof(Text) - First);
    return *this;
}

JsonWriter& JsonWriter::HexOrNull(const std::optional<uint64_t>& Value, int MinimumDigits) {
    return Value ? Hex(*Value, MinimumDigits) : Null();
}

}  // namespace hestolvane::decode
