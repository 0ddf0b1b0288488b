// The crash index: an SQLite database of every report decoded with --db, and the bucket summary that
// `hestolvane-decode buckets` prints. Several processes may write one database at once.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

struct sqlite3;

namespace hestolvane::decode {

struct BucketSummary {
    std::string Bucket;
    unsigned Count = 0;
    std::string FirstSeen;  // crash times, ISO 8601 UTC; empty when no report of the bucket had one
    std::string LastSeen;
    std::vector<std::string> Sources;  // sorted
};

class CrashIndex {
public:
    // Empty Index when Error says why.
    struct Opened {
        std::unique_ptr<CrashIndex> Index;
        std::string Error;
    };
    static Opened Open(const std::string& Path);
    // For reading only: a file that does not exist is an error, and nothing is created.
    static Opened OpenReadOnly(const std::string& Path);

    ~CrashIndex();
    CrashIndex(const CrashIndex&) = delete;
    CrashIndex& operator=(const CrashIndex&) = delete;

    enum class Recorded { Added, AlreadyKnown };
    struct RecordResult {
        std::optional<Recorded> Outcome;  // empty when Error says why
        std::string Error;
    };
    // A crash already recorded (same source, boot load time and crash time) is not added again: a reading
    // at least as complete replaces the stored one (bucket, signature and document too, since symbols may
    // have appeared since); a truncated reading of a crash stored whole changes nothing.
    // Records go into a batch, one transaction opened by the first of them and ended by Commit, so that a
    // run of reports costs one disk sync instead of one each. The batch holds the database's write lock.
    RecordResult Record(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                        const std::string& Document);
    // Empty when the batch is on disk (or none was open); else why not, and the batch's records are lost.
    std::string Commit();
    bool BatchOpen() const { return InBatch; }

    struct Summary {
        std::vector<BucketSummary> Buckets;  // most reports first
        std::string Error;
    };
    Summary Buckets();

private:
    explicit CrashIndex(sqlite3* Database) : Database(Database) {}
    std::optional<Recorded> Write(const std::string& Source, const Report& Decoded,
                                  const std::optional<Boot>& LoadedBy, const std::string& Document, std::string& Error);
    sqlite3* Database;
    bool InBatch = false;
};

// Records each report on its way to the next sink. Errors are kept, not thrown: the decoding goes on. A
// batch is committed when it is BatchTime old at its next report, and whenever the input goes quiet, so
// an archive is recorded at reading speed and a live source's report is on disk as soon as it is read.
class IndexingSink : public CaptureSink {
public:
    static constexpr std::chrono::milliseconds BatchTime{100};

    IndexingSink(CrashIndex& Index, std::string Source, CaptureSink& Next)
        : Index(Index), Source(std::move(Source)), Next(Next) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;
    void OnQuiet() override;

    const std::vector<std::string>& Errors() const { return Failures; }

private:
    void BatchEnded(const std::string& Error);

    CrashIndex& Index;
    std::string Source;
    CaptureSink& Next;
    // A report belongs to the last boot announced before it, so that is the only one kept: a reader that
    // runs for months sees thousands of boots.
    std::optional<Boot> LastBoot;
    std::vector<std::string> Failures;
    std::vector<unsigned> Batched;  // the reports in the open batch
    std::chrono::steady_clock::time_point BatchStarted;
};

}  // namespace hestolvane::decode
