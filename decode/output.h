// The two ways decoded boots and reports leave the tool: a listing for people and JSON Lines for
// programs, each a sink that writes every boot and report as it arrives.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "crash_index.h"
#include "model.h"

namespace hestolvane::decode {

// Version of the JSON Lines objects' layout; raised when a field changes meaning or goes away.
constexpr int JsonSchemaVersion = 2;

class ListingWriter : public CaptureSink {
public:
    // Verbose adds each signature's canonical text; Explain what the owner rules made of each frame.
    explicit ListingWriter(std::ostream& Out, bool Verbose = false, bool Explain = false)
        : Out(Out), Verbose(Verbose), Explain(Explain) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;

private:
    void ListSymbolsAndSignature(const Report& Decoded);
    void ListExplanation(const Report& Decoded);

    std::ostream& Out;
    bool Verbose;
    bool Explain;
    // For the boot state shown with each report: a report belongs to the last boot announced before it,
    // so that is the only one kept.
    std::optional<Boot> LastBoot;
};

class JsonLinesWriter : public CaptureSink {
public:
    explicit JsonLinesWriter(std::ostream& Out) : Out(Out) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;

private:
    std::ostream& Out;
};

// One JSON object each, as the writer prints them on one line.
std::string BootJson(const Boot& Decoded);
std::string ReportJson(const Report& Decoded);

// The crash index's buckets: a listing, most reports first, and one JSON object each.
void WriteBucketListing(std::ostream& Out, const std::vector<BucketSummary>& Buckets, BucketKey By);
std::string BucketJson(const BucketSummary& Bucket, BucketKey By);
std::string_view BucketKeyName(BucketKey By);  // "bucket", "function", "module"

// Counts what went by on its way to another sink, for the exit status.
class Tally : public CaptureSink {
public:
    explicit Tally(CaptureSink& Next) : Next(Next) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;
    void OnQuiet() override { Next.OnQuiet(); }

    unsigned Reports() const { return ReportCount; }
    bool AnyWarnings() const { return Warned; }

private:
    CaptureSink& Next;
    unsigned ReportCount = 0;
    bool Warned = false;
};

// The command's exit status, most serious first.
enum ExitStatus : int {
    ExitClean = 0,
    ExitWarnings = 1,
    ExitUsage = 2,
    ExitNoReport = 3,
    ExitUnreadableInput = 4,
    ExitIndexFailed = 5,
};
ExitStatus StatusFor(bool InputReadable, const Tally& Counted);

}  // namespace hestolvane::decode
