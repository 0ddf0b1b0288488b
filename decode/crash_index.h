// The crash index: an SQLite database of every report decoded with --db, and the bucket summary that
// `hestolvane-decode buckets` prints. Several processes may write one database at once.
#pragma once

#include <map>
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

    ~CrashIndex();
    CrashIndex(const CrashIndex&) = delete;
    CrashIndex& operator=(const CrashIndex&) = delete;

    enum class Recorded { Added, AlreadyKnown };
    struct RecordResult {
        std::optional<Recorded> Outcome;  // empty when Error says why
        std::string Error;
    };
    // A report already recorded (same source, crash time and raw text) is not added again; its bucket,
    // signature and document are brought up to date, since symbols may have appeared since.
    RecordResult Record(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                        const std::string& Document);

    // Commits stop waiting for the disk: what is committed still survives the process being killed, but
    // not the machine losing power (SQLite's synchronous=NORMAL in write-ahead-log mode). For a collector
    // that records thousands of reports a second.
    bool SkipSyncOnCommit();

    struct Summary {
        std::vector<BucketSummary> Buckets;  // most reports first
        std::string Error;
    };
    Summary Buckets();

private:
    explicit CrashIndex(sqlite3* Database) : Database(Database) {}
    RecordResult RecordOnce(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                            const std::string& Document);
    sqlite3* Database;
};

// Records each report on its way to the next sink. Errors are kept, not thrown: the decoding goes on.
class IndexingSink : public CaptureSink {
public:
    IndexingSink(CrashIndex& Index, std::string Source, CaptureSink& Next)
        : Index(Index), Source(std::move(Source)), Next(Next) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;

    const std::vector<std::string>& Errors() const { return Failures; }

private:
    CrashIndex& Index;
    std::string Source;
    CaptureSink& Next;
    std::map<unsigned, Boot> Boots;
    std::vector<std::string> Failures;
};

}  // namespace hestolvane::decode
