// Turns the bytes of a serial capture, in chunks of any size, into lines: drops the NUL and 0xFF bytes of
// a port coming up, strips CR and trailing blanks before LF, and keeps memory and work bounded on lines that never end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace hestolvane::decode {

enum class PieceKind {
    Line,      // a whole line, its line end removed
    Cut,       // the start of a line that something else cut off: a marker mid-line, or the source's end
    Overlong,  // the head of a line longer than any the driver writes; the rest of it is dropped
};

class LineAssembler {
public:
    // Longer than any line the driver writes (its format buffer holds 1024 bytes).
    static constexpr size_t MaxLineLength = 4096;
    // How much of an overlong line is kept to show in a warning.
    static constexpr size_t OverlongHeadLength = 160;

    using PieceHandler = std::function<void(std::string_view Text, PieceKind Kind, uint64_t LineNumber)>;

    explicit LineAssembler(PieceHandler Handler);

    void Feed(std::string_view Bytes);
    // The source ended or went away mid-line: what there is of the line goes out as Cut when Complete is
    // false, or as a whole Line when the input simply ended without a final line end.
    void Flush(bool Complete);
    bool HasPartialLine() const { return !Pending.empty() || InOverlongLine; }

private:
    void Append(std::string_view Bytes);
    void EndLine();
    void SpillLongPending();
    void Emit(std::string_view Text, PieceKind Kind);

    PieceHandler Handler;
    std::string Pending;
    bool InOverlongLine = false;  // the head of the current line has gone out as Overlong
    uint64_t LineNumber = 1;
};

}  // namespace hestolvane::decode
