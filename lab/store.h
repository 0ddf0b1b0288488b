// The lab's record: machines, their boots, the reports linked to machine and boot, a size-capped log of
// each machine's raw bytes, and the fixed or regressed state of buckets. One interface over the embedded
// SQLite store and a shared PostgreSQL database; each page's data structure is filled here.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hestolvane::lab {

// Times are ISO 8601 UTC with milliseconds ("2026-12-08T17:30:00.123Z"), so that they sort as text.
std::string NowIso();
std::string IsoAfter(std::chrono::milliseconds Delay);  // the time that far from now

struct BootEntry {
    std::string LoadTime;  // the banner's time, ISO; what tells one boot from another
    std::optional<int> DriverVersion;
    std::optional<std::string> State;  // "normal", "last_bsod", "last_bsod_new_version"
    std::string Arrived;
};

// A report as the collector hands it over, already resolved and signed.
struct ReportEntry {
    std::optional<std::string> BootLoadTime;  // the boot it belongs to, when its banner was read
    std::string CrashTime;                    // ISO, empty when the report had none
    std::string Code;                         // "0x50", empty when the report had no bug-check line
    std::string Bucket;
    std::string Signature;
    std::string CulpritModule;    // empty when every frame was skipped
    std::string CulpritFunction;  // empty without symbols
    std::string CulpritSource;    // "file:line", empty without line information
    std::string Owner;            // the culprit's owner by the owner rules; empty when none names one
    bool Truncated = false;
    std::string Raw;       // the report's lines as read
    std::string Document;  // the decoder's JSON object for the report
    std::string Arrived;
    // The crash index's row in the same SQLite file that holds this very reading: the record then keeps
    // the raw text and JSON object there only, instead of writing its largest columns twice.
    std::optional<int64_t> IndexRow;
};

// What recording a report changed, for alerts and for the pages' freshness.
struct ReportOutcome {
    bool Added = false;      // false: already recorded (a capture read again after a restart)
    int64_t Id = 0;
    bool NewBucket = false;  // the bucket's first report
    bool Regressed = false;  // the bucket was marked fixed and is seen again
};

struct BootOutcome {
    bool Added = false;
    bool CrashWithoutReport = false;  // says the boot before crashed, and no report of that boot was captured
    bool BootLoop = false;            // the third (or later) boot in a row whose state says the one before crashed
};

// A boot loop is this many boots in a row, each saying the one before crashed.
constexpr unsigned BootLoopLength = 3;

// Health derived from the boots of one machine, oldest first.
struct BootHealth {
    std::string LoadTime;
    std::optional<int> DriverVersion;
    std::optional<std::string> State;
    unsigned Reports = 0;
    bool Stopped = false;  // the source went away while this boot was the newest
};
struct Health {
    unsigned CrashesWithoutReport = 0;
    bool BootLoop = false;  // the newest boots are a loop
    unsigned UnexplainedReboots = 0;
    std::vector<std::string> Flags;  // the boots concerned, for people
};
Health DeriveHealth(const std::vector<BootHealth>& Boots);

struct BucketFilter {
    std::string Code;     // "0x50"
    std::string Module;   // culprit module
    std::string Machine;  // machine name
    std::string Tag;      // "pool=a" or a value of any tag
    std::string Owner;    // the culprit's owner by the owner rules
    int Days = 0;         // seen within the last N days; 0 for all time
    std::string Sort = "count";  // count, last, first, bucket, machines
};

struct BucketRow {
    std::string Bucket;
    std::string Code;
    std::string Module;
    std::string Owner;  // empty when no rule names one
    unsigned Count = 0;
    unsigned Machines = 0;
    std::string FirstSeen;
    std::string LastSeen;
    std::vector<unsigned> Daily;  // reports per day, oldest first, the last 14 days ending today
    bool New = false;             // first seen within the last day
    std::string State;            // "open", "fixed", "regressed"
};

struct ReportRow {
    int64_t Id = 0;
    std::string Machine;
    std::string CrashTime;
    std::string Arrived;
    std::string Code;
    std::string Bucket;
    std::optional<int> DriverVersion;
    bool Truncated = false;
};

struct BucketDetail {
    std::string Bucket;
    std::string Signature;
    std::string Canonical;
    std::string CulpritModule;
    std::string CulpritFunction;
    std::string CulpritSource;
    std::string State = "open";
    std::string FixedAt;
    std::string Note;
    std::string RegressedAt;
    unsigned Count = 0;
    std::map<std::string, unsigned> PerMachine;
    std::map<std::string, unsigned> PerDriverVersion;  // "3", or "unknown"
    std::vector<unsigned> Daily;
    std::vector<ReportRow> Reports;  // newest first, one page
    unsigned Page = 0;
    unsigned Pages = 0;
};

struct ReportDetail {
    ReportRow Row;
    std::string Signature;
    std::string BootLoadTime;
    std::string BootState;
    std::string Raw;
    std::string Document;
};

struct ResumePoint {
    uint64_t Offset = 0;
    uint64_t LoggedTo = 0;
};

struct MachineRow {
    std::string Name;
    std::map<std::string, std::string> Tags;
    std::string Source;
    std::string LastBytes;  // when bytes last arrived, as recorded
    unsigned Boots = 0;
    unsigned Crashes = 0;
    std::string CurrentBoot;  // load time of the newest boot
    std::string CurrentState;
    Health Derived;
    bool Configured = true;  // false for a machine removed from the configuration
};

// Where alerts go: a key the alert sender knows the target by, and the events it wants ("new_bucket",
// "regression", "crash_without_report", "boot_loop").
struct AlertTarget {
    std::string Key;
    std::vector<std::string> Events;
};

// An alert waiting in the outbox: its JSON document, and how often sending it has failed.
struct OutboxEntry {
    int64_t Id = 0;
    std::string Target;
    std::string Event;
    std::string Document;
    int Attempts = 0;
};

class LabStore {
public:
    virtual ~LabStore() = default;

    // Each change that raises an alert puts one into the outbox for every target that wants it, in the
    // same transaction, so that no restart loses one and none is raised twice.
    virtual void SetAlertTargets(std::vector<AlertTarget> Targets) = 0;
    virtual std::vector<OutboxEntry> DueAlerts(const std::string& Now, unsigned Limit) = 0;
    virtual bool AlertDelivered(int64_t Id) = 0;
    virtual bool AlertFailed(int64_t Id, const std::string& NextAttempt, const std::string& Error) = 0;

    // The machine's row, made on first sight; its tags and source brought up to date.
    virtual bool UpsertMachine(const std::string& Name, const std::map<std::string, std::string>& Tags,
                               const std::string& Source, bool Configured) = 0;
    virtual std::optional<BootOutcome> RecordBoot(const std::string& Machine, const BootEntry& Boot) = 0;
    // The source went away while the newest boot was running: a reboot after it is explained.
    virtual bool MarkStopped(const std::string& Machine) = 0;
    virtual std::optional<ReportOutcome> RecordReport(const std::string& Machine, const ReportEntry& Report) = 0;
    // Appends raw bytes, dropping the oldest beyond Limit bytes for the machine.
    virtual bool AppendRaw(const std::string& Machine, const std::string& Bytes, size_t Limit) = 0;
    virtual bool TouchMachine(const std::string& Machine, const std::string& When) = 0;
    // Where reading a followed file starts again after a restart (a point where everything before was
    // complete, or the banner of the boot then running), and how far its raw bytes were logged.
    virtual bool SaveResume(const std::string& Machine, const std::string& FileKey, const ResumePoint& Point) = 0;
    virtual std::optional<ResumePoint> LoadResume(const std::string& Machine, const std::string& FileKey) = 0;

    virtual bool MarkFixed(const std::string& Bucket, const std::string& Note) = 0;
    virtual bool Reopen(const std::string& Bucket) = 0;

    virtual std::vector<BucketRow> Buckets(const BucketFilter& Filter) = 0;
    virtual std::optional<BucketDetail> Bucket(const std::string& Name, unsigned Page) = 0;
    virtual std::optional<ReportDetail> Report(int64_t Id) = 0;
    virtual std::vector<MachineRow> Machines() = 0;
    virtual std::string RawLog(const std::string& Machine) = 0;

    // The recorder's writes between these are one transaction, each change in it still all or nothing.
    virtual bool BeginBatch() = 0;
    virtual bool CommitBatch() = 0;

    // Raised by every change; pages poll it to show new reports at once.
    virtual int64_t Generation() = 0;
    virtual int SchemaVersion() = 0;
    virtual std::string LastError() = 0;
    virtual std::string LastReadError() = 0;

    // Whether the recorder's connection reaches the database now (reconnecting when it had been lost):
    // while it does not, completed work waits in the spool.
    virtual bool WriterReachable() { return true; }
    // Whether the pages' last read reached the database, and when one last did: a page read while it
    // cannot says so rather than showing what it read before as current.
    struct ReadHealth {
        bool Reachable = true;
        std::string LastRead;  // ISO; empty before the first
    };
    virtual ReadHealth ReadState() { return {true, NowIso()}; }

    // Machines are read by one collector at a time, the one holding the machine's lease. Renew takes the
    // lease of each machine no other collector holds unexpired, renews those Collector holds, and answers
    // who holds each machine now; nothing when the database cannot be asked. An embedded store has a
    // single collector, which holds every machine.
    virtual std::optional<std::map<std::string, std::string>> RenewLeases(const std::string& Collector,
                                                                          const std::vector<std::string>& Machines,
                                                                          std::chrono::milliseconds /*Length*/) {
        std::map<std::string, std::string> Holders;
        for (const std::string& Machine : Machines) {
            Holders[Machine] = Collector;
        }
        return Holders;
    }
    // Gives every lease of Collector up, so that another collector takes its machines at once.
    virtual bool ReleaseLeases(const std::string& /*Collector*/) { return true; }
};

// The embedded store: tables of its own (lab_*) in the SQLite file that also holds the decoder's crash
// index. An older file is upgraded in place and the version recorded in lab_schema.
struct OpenedStore {
    std::unique_ptr<LabStore> Store;
    std::string Error;
};
OpenedStore OpenSqliteStore(const std::string& Path);
// The shared store: the same lab_* tables in a PostgreSQL database, for several collectors at once.
OpenedStore OpenPostgresStore(const std::string& Uri);
bool IsPostgresUri(const std::string& Index);
// A postgresql:// or postgres:// URI opens the shared store, anything else the SQLite file.
OpenedStore OpenStore(const std::string& Index);

constexpr int LabSchemaVersion = 4;
constexpr int LabPostgresSchemaVersion = 3;  // its version 3 adds the machines' leases
constexpr unsigned ReportsPerPage = 25;
constexpr unsigned SparklineDays = 14;

}  // namespace hestolvane::lab
