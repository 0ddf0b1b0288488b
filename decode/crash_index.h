// The crash index: an SQLite database of every report decoded with --db, the bucket summary that
// `hestolvane-decode buckets` prints, and the re-signing of stored reports (`rebucket`, and the upgrade of
// an index written by an earlier version). Several processes may write one database at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

struct sqlite3;

namespace hestolvane::decode {

// The layout of the index's tables, kept in SQLite's user_version; raised when a column changes meaning or
// goes away. An index of an earlier version is upgraded when opened, its reports re-signed.
constexpr int IndexSchemaVersion = 2;

// Which key the bucket summary groups on: the full bucket, the bucket without its qualifier, or the module.
enum class BucketKey { Bucket, Function, Module };

struct BucketSummary {
    std::string Bucket;  // the key grouped on
    unsigned Count = 0;
    std::string FirstSeen;  // crash times, ISO 8601 UTC; empty when no report of the bucket had one
    std::string LastSeen;
    std::vector<std::string> Sources;  // sorted
    std::vector<std::string> Owners;   // sorted; reports without an owner add none
};

// What a report was signed with, as TriageRules::Identity and QualifierTable::Identity name them.
struct SignedWith {
    std::string Rules;
    std::string Qualifiers;
};

// A stored report signed again.
struct Resigned {
    CrashSignature Signature;
    std::string Document;
};

// What a re-signing of the index changed.
struct RebucketCounts {
    unsigned Reports = 0;  // re-signed
    unsigned BucketsBefore = 0;
    unsigned BucketsAfter = 0;
    unsigned Moved = 0;      // reports whose bucket changed
    unsigned Unreadable = 0; // reports whose raw text no longer reads as a report; left as they were
    std::string Error;       // empty when the index was rewritten
};

class CrashIndex {
public:
    // Empty Index when Error says why.
    struct Opened {
        std::unique_ptr<CrashIndex> Index;
        std::string Error;
    };
    // Creates the index, or upgrades one of an earlier version in place (its reports then need re-signing:
    // see NeedsResigning). An index of a later version is refused.
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
                        const std::string& Document, const SignedWith& Signing);

    struct Summary {
        std::vector<BucketSummary> Buckets;  // most reports first
        std::string Error;
    };
    // Owner, when given, keeps only the reports of that owner.
    Summary Buckets(BucketKey By, const std::optional<std::string>& Owner = std::nullopt);

    // Whether some report was recorded by an earlier version and has not been signed by this one.
    bool NeedsResigning();

    // Signs the stored reports again, all of them or only those an earlier version signed, in one
    // transaction: Sign gets each report's raw text and stored document and gives its new signature and
    // document, or nothing when the raw text does not read as a report. A report whose signature,
    // document and signing are unchanged is not written.
    using Signer = std::function<std::optional<Resigned>(const std::string& Raw, const std::string& Document)>;
    RebucketCounts Resign(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned);

private:
    explicit CrashIndex(sqlite3* Database) : Database(Database) {}
    RecordResult RecordOnce(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                            const std::string& Document, const SignedWith& Signing);
    RebucketCounts ResignOnce(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned);
    sqlite3* Database;
};

// Records each report on its way to the next sink. Errors are kept, not thrown: the decoding goes on.
class IndexingSink : public CaptureSink {
public:
    IndexingSink(CrashIndex& Index, std::string Source, SignedWith Signing, CaptureSink& Next)
        : Index(Index), Source(std::move(Source)), Signing(std::move(Signing)), Next(Next) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;

    const std::vector<std::string>& Errors() const { return Failures; }

private:
    CrashIndex& Index;
    std::string Source;
    SignedWith Signing;
    CaptureSink& Next;
    std::map<unsigned, Boot> Boots;
    std::vector<std::string> Failures;
};

}  // namespace hestolvane::decode
