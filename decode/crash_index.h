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
    RecordResult Record(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                        const std::string& Document);

    struct Summary {
        std::vector<BucketSummary> Buckets;  // most reports first
        std::string Error;
    };
    Summary Buckets();

private:
    explicit CrashIndex(sqlite3* Database) : Database(Database) {}
    RecordResult RecordOnce(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                            const std::string& Document);
    std::optional<Recorded> Write(const std::string& Source, const Report& Decoded,
                                  const std::optional<Boot>& LoadedBy, const std::string& Document, std::string& Error);
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
