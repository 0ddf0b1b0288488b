// Capture reading: a small state machine over the line forms. Outside a report only banners, boot-state
// lines and begin markers matter; inside one, each form is taken where the driver writes it, and
// anything else becomes a warning that names what was expected.
#include "capture_reader.h"

#include <string>

namespace hestolvane::decode {

namespace {

template <typename Form>
bool Is(const LineForm& Parsed) {
    return std::holds_alternative<Form>(Parsed);
}

bool StartsWith(std::string_view Text, std::string_view Prefix) {
    return Text.substr(0, Prefix.size()) == Prefix;
}

// Lines no other writer prints: met with no report open, they mean a report whose begin marker was lost.
bool OnlyInAReport(const LineForm& Parsed) {
    return Is<form::CrashTime>(Parsed) || Is<form::TableHeader>(Parsed) || Is<form::Row>(Parsed) ||
           Is<form::BugCheckLine>(Parsed) || Is<form::ContextHead>(Parsed) || Is<form::FrameLine>(Parsed) ||
           Is<form::EndMarker>(Parsed);
}

// A terminal's escape sequences (colour, cursor moves) that a capture program let in before or inside a
// line: CSI sequences and two-byte escapes. They are no part of any line's form.
std::string WithoutEscapes(std::string_view Text) {
    std::string Clean;
    Clean.reserve(Text.size());
    for (size_t Index = 0; Index < Text.size(); Index++) {
        if (Text[Index] != '\x1b') {
            Clean.push_back(Text[Index]);
            continue;
        }
        if (Index + 1 < Text.size() && Text[Index + 1] == '[') {
            Index += 2;
            while (Index < Text.size() && !(Text[Index] >= '@' && Text[Index] <= '~')) {
                Index++;
            }
        } else {
            Index++;
        }
    }
    return Clean;
}

}  // namespace

CaptureReader::CaptureReader(CaptureSink& SinkIn, bool KeepRawTextIn)
    : Sink(SinkIn),
      KeepRawText(KeepRawTextIn),
      Lines([this](std::string_view Text, PieceKind Kind, uint64_t Line) { OnPiece(Text, Kind, Line); }) {}

void CaptureReader::Feed(std::string_view Bytes) {
    Lines.Feed(Bytes);
}

void CaptureReader::Finish() {
    Lines.Flush(true);
    if (Open) {
        Truncate(Truncation::EndOfInput, LastLine);
    }
    EmitPendingBoot();
    Sink.OnQuiet();
}

void CaptureReader::Cut(Truncation Cause) {
    Lines.Flush(false);
    if (Open) {
        Truncate(Cause, LastLine);
    }
    EmitPendingBoot();
}

std::optional<uint64_t> CaptureReader::Abandon() {
    Lines.Flush(false);
    EmitPendingBoot();
    std::optional<uint64_t> Dropped;
    if (Open) {
        Dropped = Open->Line;
        Open.reset();
    }
    Sink.OnQuiet();
    return Dropped;
}

bool CaptureReader::HasUnfinishedWork() const {
    return Open.has_value() || PendingBoot.has_value() || Lines.HasPartialLine();
}

void CaptureReader::OnPiece(std::string_view Text, PieceKind Kind, uint64_t Line) {
    LastLine = Line;
    switch (Kind) {
    case PieceKind::Line:
        OnLine(Text, Line);
        break;
    case PieceKind::Cut:
        OnCutPiece(Text, Line);
        break;
    case PieceKind::Overlong:
        if (Open) {
            Warn(Line, "overlong line, dropped", Text);
        }
        break;
    }
    if (Open && KeepRawText) {
        Open->RawText.append(Text);
        Open->RawText.push_back('\n');
    }
}

// A line that fits no form may hold the start of other text partway along: read the part before it as a
// cut-off line, then what starts there.
void CaptureReader::OnLine(std::string_view Original, uint64_t Line) {
    std::string Clean;
    std::string_view Text = Original;
    if (Text.find('\x1b') != std::string_view::npos) {
        Clean = WithoutEscapes(Text);
        Text = Clean;
    }
    CutScanner Scanner(Text);
    size_t Start = 0;
    for (;;) {
        std::string_view Rest = Text.substr(Start);
        LineForm Parsed = ParseLine(Rest);
        const auto* Banner = std::get_if<form::Banner>(&Parsed);
        if (Is<form::Unknown>(Parsed) || (Banner && !Banner->Complete)) {
            const size_t Cut = Scanner.NextAfter(Start);
            if (Cut != std::string_view::npos) {
                OnCutPiece(Text.substr(Start, Cut - Start), Line);
                Start = Cut;
                continue;
            }
        }
        OnForm(Parsed, Rest, Line);
        return;
    }
}

// The start of a line whose end never came. Only texts that are whole at their start are taken from it:
// markers, and a banner as far as it got.
void CaptureReader::OnCutPiece(std::string_view Text, uint64_t Line) {
    if (Text == BeginMarkerText) {
        BeginReport(Line);
    } else if (Text == EndMarkerText) {
        if (Open) {
            EndReport(Line);
        }
    } else if (StartsWith(Text, BannerPrefix)) {
        StartBoot(ParseBanner(Text), Line, Text);
    } else if (Open && !Text.empty()) {
        Warn(Line, "line cut off", Text);
    }
}

void CaptureReader::OnForm(LineForm& Parsed, std::string_view Text, uint64_t Line) {
    if (Is<form::BeginMarker>(Parsed)) {
        BeginReport(Line);
    } else if (const auto* Banner = std::get_if<form::Banner>(&Parsed)) {
        StartBoot(*Banner, Line, Text);
    } else if (Open) {
        OnReportForm(Parsed, Text, Line);
    } else if (OnlyInAReport(Parsed)) {
        BeginReport(Line);
        Open->Damaged = true;
        Warn(Line, "report without its begin marker: recognised from this line", "");
        OnReportForm(Parsed, Text, Line);
    } else if (const auto* State = std::get_if<form::BootStateLine>(&Parsed)) {
        // Other text may come between the banner and its boot-state line; a second state line is not the
        // driver's.
        if (PendingBoot && !PendingBoot->State) {
            PendingBoot->State = State->State;
            EmitPendingBoot();
        }
    }
}

// Each form is taken at its place or any later one, so that a damaged line costs that line only: the
// next line of a known form puts the reader back in step. A row means there is a table even when "Dump:"
// and the header were lost; registers and frames count even when the line before them was damaged.
// Rows and frames are moved out of the parsed form: they are most of a capture's bytes.
void CaptureReader::OnReportForm(LineForm& Parsed, std::string_view Text, uint64_t Line) {
    Report& Current = *Open;
    if (const auto* Time = std::get_if<form::CrashTime>(&Parsed); Time && At == Stage::Begun) {
        Current.CrashTime = Time->Time;
        if (!Time->Time) {
            Warn(Line, "crash time is no real date or time", Text);
        }
        At = Stage::CrashTime;
    } else if (Is<form::TableHeading>(Parsed) && At < Stage::TableHeading) {
        Current.HasModuleTable = true;
        At = Stage::TableHeading;
    } else if (Is<form::TableHeader>(Parsed) && At < Stage::TableHeader) {
        Current.HasModuleTable = true;
        At = Stage::TableHeader;
    } else if (auto* Row = std::get_if<form::Row>(&Parsed); Row && At <= Stage::Rows) {
        Current.HasModuleTable = true;
        Current.Modules.push_back(std::move(Row->Module));
        At = Stage::Rows;
    } else if (const auto* Misshapen = std::get_if<form::MisshapenRow>(&Parsed); Misshapen && At <= Stage::Rows) {
        Current.HasModuleTable = true;
        At = Stage::Rows;
        Warn(Line,
             "module row with " + std::to_string(Misshapen->TextFields) +
                 " texts between two blanks where name, PDB path and path are expected",
             Text);
    } else if (const auto* Check = std::get_if<form::BugCheckLine>(&Parsed); Check && At < Stage::BugCheck) {
        Current.Check = Check->Check;
        At = Stage::BugCheck;
    } else if (const auto* Head = std::get_if<form::ContextHead>(&Parsed); Head && At < Stage::ContextHead) {
        Current.Context = RegisterContext{Head->Address, {}};
        At = Stage::ContextHead;
    } else if (const auto* Entry = std::get_if<form::RegisterLine>(&Parsed); Entry && At < Stage::Frames && TakeRegister(*Entry)) {
        At = Stage::Registers;
    } else if (auto* Walked = std::get_if<form::FrameLine>(&Parsed); Walked && At < Stage::WalkEnded) {
        if (At != Stage::Frames) {
            WarnShortContext(Line, Text);
        }
        Current.Frames.push_back(std::move(Walked->Value));
        At = Stage::Frames;
    } else if ((Is<form::ControlPc>(Parsed) || Is<form::PrintStack>(Parsed)) && At >= Stage::BugCheck &&
               At < Stage::WalkEnded) {
        WalkEnd = Is<form::ControlPc>(Parsed) ? ReportEnd::AfterControlPc : ReportEnd::AfterPrintStack;
        At = Stage::WalkEnded;
    } else if (Is<form::EndMarker>(Parsed)) {
        EndReport(Line);
    } else {
        WarnUnexpected(Line, Text);
    }
}

// The register due, or a later one when the lines between were damaged or lost: those stay missing.
bool CaptureReader::TakeRegister(const form::RegisterLine& Entry) {
    for (size_t Index = NextRegister; Index < ContextRegisters.size(); Index++) {
        if (Entry.Value.Name == ContextRegisters[Index].Name) {
            if (Entry.Digits != ContextRegisters[Index].Digits) {
                return false;
            }
            if (!Open->Context) {
                Open->Context = RegisterContext{std::nullopt, {}};
            }
            Open->Context->Registers.push_back(Entry.Value);
            NextRegister = Index + 1;
            return true;
        }
    }
    return false;
}

void CaptureReader::WarnShortContext(uint64_t Line, std::string_view Text) {
    if (Open->Context && Open->Context->Registers.size() < ContextRegisters.size()) {
        Warn(Line,
             "register context ends after " + std::to_string(Open->Context->Registers.size()) + " of 24 registers", Text);
    }
}

void CaptureReader::StartBoot(const form::Banner& Banner, uint64_t Line, std::string_view Text) {
    if (Open) {
        Truncate(Truncation::Reboot, Line);
    }
    EmitPendingBoot();
    Boot Started;
    Started.Number = ++BootsSeen;
    Started.Line = Line;
    Started.DriverVersion = Banner.DriverVersion;
    Started.LoadTime = Banner.LoadTime;
    if (Banner.ImpossibleTime) {
        Started.Warnings.push_back(Warning{Line, "load time is no real date or time", std::string(Text)});
    } else if (!Banner.Complete) {
        Started.Warnings.push_back(Warning{Line, "load banner incomplete or unreadable", std::string(Text)});
    }
    CurrentBoot = Started.Number;
    PendingBoot = std::move(Started);
}

void CaptureReader::EmitPendingBoot() {
    if (PendingBoot) {
        Sink.OnBoot(*PendingBoot);
        PendingBoot.reset();
    }
}

void CaptureReader::BeginReport(uint64_t Line) {
    if (Open) {
        Truncate(Truncation::NestedReport, Line);
    }
    EmitPendingBoot();
    Open = Report{};
    Open->Number = ++ReportsSeen;
    Open->Line = Line;
    Open->Boot = CurrentBoot;
    At = Stage::Begun;
    NextRegister = 0;
    WalkEnd.reset();
}

void CaptureReader::EndReport(uint64_t Line) {
    Report& Current = *Open;
    if (!Current.CrashTime) {
        Warn(Line, "report has no crash time", "");
    }
    if (!Current.Check) {
        Warn(Line, "report has no bug-check line", "");
    }
    if (At == Stage::ContextHead || At == Stage::Registers) {
        WarnShortContext(Line, "");
    }
    Current.End = WalkEnd.value_or(ReportEnd::EndMarker);
    CompleteReport();
}

void CaptureReader::Truncate(Truncation Cause, uint64_t Line) {
    Open->End = ReportEnd::Truncated;
    Open->CutBy = Cause;
    Warn(Line, "report cut off: " + std::string(TruncationText(Cause)), "");
    CompleteReport();
}

void CaptureReader::CompleteReport() {
    AttributeFrames(*Open);
    Sink.OnReport(*Open);
    Open.reset();
}

void CaptureReader::Warn(uint64_t Line, std::string Message, std::string_view Text) {
    Open->Warnings.push_back(Warning{Line, std::move(Message), std::string(Text)});
}

void CaptureReader::WarnUnexpected(uint64_t Line, std::string_view Text) {
    Warn(Line, "expected " + ExpectedHere(), Text);
}

std::string CaptureReader::ExpectedHere() const {
    switch (At) {
    case Stage::Begun:
        return "the crash time";
    case Stage::CrashTime:
        return "\"Dump:\" or the bug-check line";
    case Stage::TableHeading:
        return "the module table's header";
    case Stage::TableHeader:
    case Stage::Rows:
        return "a module row or the bug-check line";
    case Stage::BugCheck:
        return "the register context or the end marker";
    case Stage::ContextHead:
    case Stage::Registers:
        if (NextRegister < ContextRegisters.size()) {
            return "register " + std::string(ContextRegisters[NextRegister].Name) + " with " +
                   std::to_string(ContextRegisters[NextRegister].Digits) + " digits";
        }
        return "a frame line, \"ControlPc\", \"PrintStack\" or the end marker";
    case Stage::Frames:
        return "a frame line, \"ControlPc\", \"PrintStack\" or the end marker";
    case Stage::WalkEnded:
        return "the end marker";
    }
    return "";
}

void AttributeFrames(Report& Decoded) {
    const std::vector<ModuleRow>& Rows = Decoded.Modules;
    for (Frame& Walked : Decoded.Frames) {
        if (Walked.Printed == AddressForm::Raw) {
            for (size_t Index = Rows.size(); Index-- > 0;) {
                if (Rows[Index].Contains(*Walked.Address)) {
                    Walked.Module = ModuleLocation{Rows[Index].Name, *Walked.Address - Rows[Index].Start, Index};
                    break;
                }
            }
            continue;
        }
        ModuleLocation& Location = *Walked.Module;
        for (size_t Index = Rows.size(); Index-- > 0;) {
            if (Rows[Index].Name == Location.Name && Rows[Index].Size() > Location.Offset) {
                Location.Row = Index;
                Walked.Address = Rows[Index].Start + Location.Offset;
                break;
            }
        }
    }
}

}  // namespace hestolvane::decode
