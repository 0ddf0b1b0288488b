// The forms a line of the driver's COM1 output can take, and the parser that tells which one a line is.
// It looks at one line alone; where a line may stand is the capture reader's business.
#pragma once

#include <string_view>
#include <variant>

#include "model.h"

namespace hestolvane::decode {

constexpr std::string_view BeginMarkerText = "VQN Dump Begin.";
constexpr std::string_view EndMarkerText = "VQN Dump End.";
constexpr std::string_view BannerPrefix = "HesTolvaneDrv ver: ";

namespace form {

struct BeginMarker {};
struct EndMarker {};
struct Banner {
    std::optional<int> DriverVersion;
    std::optional<Timestamp> LoadTime;
    bool Complete = false;       // both fields read and nothing after them
    bool ImpossibleTime = false;  // a load time in the right form that no clock shows (2026-02-30)
};
struct BootStateLine {
    BootState State;
};
// Time is empty when the line has the form but no clock shows that time (2026-02-30).
struct CrashTime {
    std::optional<Timestamp> Time;
};
struct TableHeading {};  // "Dump:"
struct TableHeader {};   // the column names
struct Row {
    ModuleRow Module;
};
// Anchored like a row but its texts do not split into name, PDB path and path.
struct MisshapenRow {
    size_t TextFields = 0;
};
struct BugCheckLine {
    BugCheck Check;
};
struct ContextHead {
    uint64_t Address = 0;
};
struct RegisterLine {
    Register Value;
    int Digits = 0;
};
struct FrameLine {
    Frame Value;
};
struct ControlPc {};
struct PrintStack {};
struct Unknown {};

}  // namespace form

using LineForm =
    std::variant<form::Unknown, form::BeginMarker, form::EndMarker, form::Banner, form::BootStateLine, form::CrashTime,
                 form::TableHeading, form::TableHeader, form::Row, form::MisshapenRow, form::BugCheckLine,
                 form::ContextHead, form::RegisterLine, form::FrameLine, form::ControlPc, form::PrintStack>;

// The form of one line, given without its line end.
LineForm ParseLine(std::string_view Line);

// The banner part of a line that starts with BannerPrefix, as far as it can be read.
form::Banner ParseBanner(std::string_view Line);

// Finds where a begin marker or a load banner starts inside a line: a bug check that interrupts a report,
// or a reset, starts its text wherever the line it cuts had got to. Positions asked for must not go back,
// so that a line full of markers is searched once, not once per marker.
class CutScanner {
public:
    explicit CutScanner(std::string_view Text) : Text(Text) {}

    // The first cut point after Position, or npos.
    size_t NextAfter(size_t Position);

private:
    std::string_view Text;
    size_t NextBegin = 0;
    size_t NextBanner = 0;
};

}  // namespace hestolvane::decode
