// Line assembly. A line is handed on straight from the caller's buffer when it lies whole in one chunk;
// otherwise its parts collect in Pending, which never grows past MaxLineLength plus one chunk.
#include "line_assembler.h"

#include <algorithm>
#include <cstring>

#include "line_forms.h"

namespace hestolvane::decode {

namespace {

// Two memchr passes: find_first_of would look each byte up in the set of two, one call per byte, which
// was most of the reader's time.
bool HasNoiseBytes(std::string_view Bytes) {
    return std::memchr(Bytes.data(), '\0', Bytes.size()) != nullptr ||
           std::memchr(Bytes.data(), 0xFF, Bytes.size()) != nullptr;
}

std::string WithoutNoiseBytes(std::string_view Bytes) {
    std::string Clean;
    Clean.reserve(Bytes.size());
    for (char Byte : Bytes) {
        if (Byte != '\0' && Byte != '\xFF') {
            Clean.push_back(Byte);
        }
    }
    return Clean;
}

// CR before LF, and the blanks and tabs some capture programs add at the end of every line: no line of
// the driver ends in one.
std::string_view WithoutLineEndJunk(std::string_view Line) {
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' ' || Line.back() == '\t')) {
        Line.remove_suffix(1);
    }
    return Line;
}

// What a marker search carries over from one look at a long line to the next: a marker that starts in
// it was not yet whole at the last look.
constexpr size_t MarkerCarryOver = std::max(BeginMarkerText.size(), BannerPrefix.size());

}  // namespace

LineAssembler::LineAssembler(PieceHandler HandlerIn) : Handler(std::move(HandlerIn)) {}

void LineAssembler::Feed(std::string_view Bytes) {
    std::string Clean;
    if (HasNoiseBytes(Bytes)) {
        Clean = WithoutNoiseBytes(Bytes);
        Bytes = Clean;
    }
    while (!Bytes.empty()) {
        const size_t LineEnd = Bytes.find('\n');
        if (LineEnd == std::string_view::npos) {
            Append(Bytes);
            return;
        }
        std::string_view Head = Bytes.substr(0, LineEnd);
        if (Pending.empty() && !InOverlongLine && Head.size() <= MaxLineLength) {
            Emit(WithoutLineEndJunk(Head), PieceKind::Line);
        } else {
            Append(Head);
            EndLine();
        }
        LineNumber++;
        Bytes.remove_prefix(LineEnd + 1);
    }
}

void LineAssembler::Flush(bool Complete) {
    if (!HasPartialLine()) {
        return;
    }
    if (Complete) {
        EndLine();
    } else {
        if (!InOverlongLine && !Pending.empty()) {
            Emit(WithoutLineEndJunk(Pending), PieceKind::Cut);
        }
        Pending.clear();
        InOverlongLine = false;
    }
    LineNumber++;
}

void LineAssembler::Append(std::string_view Bytes) {
    Pending.append(Bytes.data(), Bytes.size());
    if (Pending.size() > MaxLineLength) {
        SpillLongPending();
    }
}

// Pending has outgrown any real line. Markers inside it still count: every piece up to the last marker
// goes out now, and a tail too long to be a line goes out as Overlong and is dropped but for the bytes
// a marker split across the next chunk could start in. Each byte is searched a bounded number of times.
void LineAssembler::SpillLongPending() {
    std::string_view Text = Pending;
    CutScanner Scanner(Text);
    size_t PieceStart = 0;
    for (size_t Cut = Scanner.NextAfter(0); Cut != std::string_view::npos; Cut = Scanner.NextAfter(Cut)) {
        std::string_view Piece = Text.substr(PieceStart, Cut - PieceStart);
        // The start of a line whose head went out as Overlong has been reported already.
        if (!(PieceStart == 0 && InOverlongLine)) {
            Emit(Piece, Piece.size() > MaxLineLength ? PieceKind::Overlong : PieceKind::Cut);
        }
        InOverlongLine = false;
        PieceStart = Cut;
    }
    std::string_view Tail = Text.substr(PieceStart);
    if (Tail.size() > MaxLineLength / 2) {
        if (!(PieceStart == 0 && InOverlongLine)) {
            Emit(Tail, PieceKind::Overlong);
        }
        InOverlongLine = true;
        Pending.erase(0, Pending.size() - MarkerCarryOver);
    } else {
        Pending.erase(0, PieceStart);
    }
}

void LineAssembler::EndLine() {
    if (InOverlongLine) {
        // The line's head has gone out already; what follows it matters only from a marker on.
        const size_t Marker = std::min(Pending.find(BeginMarkerText), Pending.find(BannerPrefix));
        InOverlongLine = false;
        if (Marker == std::string::npos) {
            Pending.clear();
            return;
        }
        Pending.erase(0, Marker);
    }
    if (Pending.size() > MaxLineLength) {
        SpillLongPending();
        if (InOverlongLine) {
            InOverlongLine = false;
            Pending.clear();
            return;
        }
    }
    Emit(WithoutLineEndJunk(Pending), PieceKind::Line);
    Pending.clear();
}

void LineAssembler::Emit(std::string_view Text, PieceKind Kind) {
    if (Kind == PieceKind::Overlong) {
        Text = Text.substr(0, OverlongHeadLength);
    }
    Handler(Text, Kind, LineNumber);
}

}  // namespace hestolvane::decode
