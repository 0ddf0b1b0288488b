// A JSON text built by appending to a string, compact as nlohmann's dump() writes it: what JSON Lines
// output needs at the speed of reading, without a tree of values for every report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hestolvane::decode {

class JsonWriter {
public:
    JsonWriter& Open();
    JsonWriter& Close();
    JsonWriter& OpenArray();
    JsonWriter& CloseArray();
    // Member names are the writer's own, plain ASCII: written as they are.
    JsonWriter& Key(std::string_view Name);

    // Capture text: bytes in the machine's ANSI code page, carried as Latin-1 made UTF-8.
    JsonWriter& Latin1(std::string_view Text);
    JsonWriter& Latin1OrNull(const std::optional<std::string>& Text);
    // Text that is UTF-8 already (names of files on this machine, messages).
    JsonWriter& Utf8(std::string_view Text);
    JsonWriter& Number(uint64_t Value);
    JsonWriter& Signed(int64_t Value);
    JsonWriter& Bool(bool Value);
    JsonWriter& Null();
    // "0x" and uppercase hexadecimal digits, at least Digits of them, as a string.
    JsonWriter& Hex(uint64_t Value, int Digits = 1);
    JsonWriter& HexOrNull(const std::optional<uint64_t>& Value, int Digits = 1);

    void Reserve(size_t Bytes) { Out.reserve(Bytes); }
    const std::string& Text() const { return Out; }

private:
    void BeforeValue();
    void Escaped(unsigned char Byte);

    std::string Out;
    bool NeedComma = false;
};

}  // namespace hestolvane::decode
