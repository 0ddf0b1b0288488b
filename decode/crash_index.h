// The crash index: an SQLite file or a PostgreSQL database of every report decoded with --db, the bucket
// summary that `hestolvane-decode buckets` prints, and the re-signing of stored reports (`rebucket`, and the
// upgrade of an index written by an earlier version). Several processes may write one index at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model.h"

namespace hestolvane::decode {

// The layout of the index's tables, kept in SQLite's user_version or PostgreSQL's index_layout table; raised
// when a column changes meaning or goes away. An index of an earlier version is upgraded when opened, its reports re-signed.
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

// Frames in SQLite's write-ahead log past which a commit copies it into the database itself, even when
// another connection is meant to: 64 MiB at SQLite's default page size, 256 MiB at the 16 KiB pages of a
// record the lab created (SQLite's own default is 1000 pages).
constexpr int CheckpointBackstopPages = 16384;
// The pragma that leaves a connection's checkpoints to another, short of that backstop.
inline std::string LeaveCheckpointsPragma() {
    return "PRAGMA wal_autocheckpoint=" + std::to_string(CheckpointBackstopPages);
}

// One interface over both stores. Where an index is named, a postgresql:// or postgres:// URI is a
// PostgreSQL database, passed to libpq as it is; anything else is an SQLite file.
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
    // For reading only: a file that does not exist, or a database without an index, is an error, and
    // nothing is created.
    static Opened OpenReadOnly(const std::string& Path);

    static bool IsPostgresUri(const std::string& Path);
    // The URI as errors may show it: without its password.
    static std::string RedactedUri(const std::string& Uri);

    virtual ~CrashIndex() = default;
    CrashIndex(const CrashIndex&) = delete;
    CrashIndex& operator=(const CrashIndex&) = delete;

    enum class Recorded { Added, AlreadyKnown };
    struct RecordResult {
        std::optional<Recorded> Outcome;  // empty when Error says why
        std::string Error;
        // The row that now holds this reading, its raw text and document as given: set when it was added
        // or replaced the stored one, in SQLite's index (the lab's record there points at it).
        std::optional<int64_t> Row;
    };
    // A crash already recorded (same source, boot load time and crash time) is not added again: a reading
    // at least as complete replaces the stored one (bucket, signature and document too, since symbols may
    // have appeared since); a truncated reading of a crash stored whole changes nothing.
    // Records go into a batch, one transaction opened by the first of them and ended by Commit, so that a
    // run of reports costs one disk sync instead of one each. The batch holds the database's write lock.
    virtual RecordResult Record(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                                const std::string& Document, const SignedWith& Signing) = 0;
    // Empty when the batch is on disk (or none was open); else why not, and the batch's records are lost.
    virtual std::string Commit() = 0;
    bool BatchOpen() const { return InBatch; }

    // Commits stop waiting for the disk: what is committed still survives the process being killed, but
    // not the machine losing power (SQLite's synchronous=NORMAL in write-ahead-log mode). For a collector
    // that records thousands of reports a second. On PostgreSQL, synchronous_commit=off: a crash of the
    // server may lose the last moments' commits.
    virtual bool SkipSyncOnCommit() = 0;
    // Another connection of the process copies SQLite's write-ahead log into the database (the lab's
    // checkpointer), so this one's commits stop doing it, short of the log growing past
    // CheckpointBackstopPages. Nothing to do on PostgreSQL.
    virtual void LeaveCheckpointsToOthers() {}

    struct Summary {
        std::vector<BucketSummary> Buckets;  // most reports first
        std::string Error;
    };
    // Owner, when given, keeps only the reports of that owner.
    virtual Summary Buckets(BucketKey By, const std::optional<std::string>& Owner = std::nullopt) = 0;

    // Whether some report was recorded by an earlier version and has not been signed by this one.
    virtual bool NeedsResigning() = 0;
    // The layout the index is in; below IndexSchemaVersion, Open upgrades it.
    virtual int SchemaVersion() = 0;

    // Signs the stored reports again, all of them or only those an earlier version signed, in one
    // transaction (an open batch is committed first): Sign gets each report's raw text and stored document and gives its new signature and
    // document, or nothing when the raw text does not read as a report. A report whose signature,
    // document and signing are unchanged is not written.
    using Signer = std::function<std::optional<Resigned>(const std::string& Raw, const std::string& Document)>;
    virtual RebucketCounts Resign(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned) = 0;

protected:
    CrashIndex() = default;
    static Opened OpenSqlite(const std::string& Path);
    static Opened OpenSqliteReadOnly(const std::string& Path);
    static Opened OpenPostgres(const std::string& Uri, bool ReadOnly);
    bool InBatch = false;
};

// Records each report on its way to the next sink. Errors are kept, not thrown: the decoding goes on. A
// batch is committed when it is BatchTime old at its next report, and whenever the input goes quiet, so
// an archive is recorded at reading speed and a live source's report is on disk as soon as it is read.
class IndexingSink : public CaptureSink {
public:
    static constexpr std::chrono::milliseconds BatchTime{100};

    IndexingSink(CrashIndex& Index, std::string Source, SignedWith Signing, CaptureSink& Next)
        : Index(Index), Source(std::move(Source)), Signing(std::move(Signing)), Next(Next) {}
    void OnBoot(const Boot& Decoded) override;
    void OnReport(const Report& Decoded) override;
    void OnQuiet() override;

    const std::vector<std::string>& Errors() const { return Failures; }

private:
    void BatchEnded(const std::string& Error);

    CrashIndex& Index;
    std::string Source;
    SignedWith Signing;
    CaptureSink& Next;
    // A report belongs to the last boot announced before it, so that is the only one kept: a reader that
    // runs for months sees thousands of boots.
    std::optional<Boot> LastBoot;
    std::vector<std::string> Failures;
    std::vector<unsigned> Batched;  // the reports in the open batch
    std::chrono::steady_clock::time_point BatchStarted;
};

}  // namespace hestolvane::decode
