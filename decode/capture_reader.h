// The capture reader: follows the driver's output line by line, from load banners to crash reports, and
// hands each boot and each report to a sink as soon as it is complete. It keeps going through whatever
// else shares the line, and says in a report's warnings whatever it could not take as part of it.
#pragma once

#include <optional>
#include <string_view>

#include "line_assembler.h"
#include "line_forms.h"
#include "model.h"

namespace hestolvane::decode {

class CaptureReader {
public:
    // KeepRawText: each report carries its lines as read (Report::RawText), which only the crash index needs.
    explicit CaptureReader(CaptureSink& Sink, bool KeepRawText = true);
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    void Feed(std::string_view Bytes);

    // The input ended: a last line without a line end is still read; an open report is truncated.
    void Finish();

    // The source went quiet, went away or started over: a partial line is cut off, an open report is
    // truncated, and a boot still waiting for its boot-state line goes out.
    void Cut(Truncation Cause);

    // Stopped by the user: what is complete goes out; an open report is dropped. Returns the begin line of
    // the dropped report, if there was one.
    std::optional<uint64_t> Abandon();

    // The source has no bytes waiting: passed on to the sink.
    void Quiet() { Sink.OnQuiet(); }

    // Whether a partial line, an open report or a waiting boot would be cut by an idle timeout.
    bool HasUnfinishedWork() const;

private:
    enum class Stage {
        Begun,
        CrashTime,
        TableHeading,
        TableHeader,
        Rows,
        BugCheck,
        ContextHead,
        Registers,
        Frames,
        WalkEnded,
    };

    void OnPiece(std::string_view Text, PieceKind Kind, uint64_t Line);
    void OnLine(std::string_view Text, uint64_t Line);
    void OnCutPiece(std::string_view Text, uint64_t Line);
    // The form's texts are moved into the report.
    void OnForm(LineForm& Form, std::string_view Text, uint64_t Line);
    void OnReportForm(LineForm& Form, std::string_view Text, uint64_t Line);

    void StartBoot(const form::Banner& Banner, uint64_t Line, std::string_view Text);
    void EmitPendingBoot();
    void BeginReport(uint64_t Line);
    void EndReport(uint64_t Line);
    void Truncate(Truncation Cause, uint64_t Line);
    void CompleteReport();

    bool TakeRegister(const form::RegisterLine& Entry);
    void WarnShortContext(uint64_t Line, std::string_view Text);
    void Warn(uint64_t Line, std::string Message, std::string_view Text);
    void WarnUnexpected(uint64_t Line, std::string_view Text);
    std::string ExpectedHere() const;

    CaptureSink& Sink;
    bool KeepRawText;
    LineAssembler Lines;
    uint64_t LastLine = 0;

    unsigned BootsSeen = 0;
    unsigned ReportsSeen = 0;
    std::optional<unsigned> CurrentBoot;
    std::optional<Boot> PendingBoot;  // banner read, boot-state line not yet

    std::optional<Report> Open;
    Stage At = Stage::Begun;
    size_t NextRegister = 0;
    std::optional<ReportEnd> WalkEnd;
};

// Ties each frame to the module row it lies in: a raw address to the newest row containing it; a module
// and offset to the newest row of that name large enough to hold the offset, which gives its address.
void AttributeFrames(Report& Decoded);

}  // namespace hestolvane::decode
