// The lab's record in PostgreSQL, shared by several collectors: the same lab_* tables as the SQLite store,
// one connection each for the recorder, the pages and the leases, every value bound as a parameter.
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "html.h"
#include "signature.h"
#include "record_values.h"
#include "store.h"

namespace hestolvane::lab {

namespace {

// What every collector takes before creating or upgrading the tables, so that two starting at once do not
// both create them: an arbitrary constant of this program's own.
constexpr int64_t SchemaLockKey = 0x4865734c6162;
constexpr int RetriesOnConflict = 20;

// Version 1: the same tables as the SQLite store's first version.
constexpr const char* SchemaV1 =
    "CREATE TABLE lab_machines ("
    " id BIGSERIAL PRIMARY KEY, name TEXT NOT NULL UNIQUE, tags TEXT NOT NULL DEFAULT '',"
    " source TEXT NOT NULL DEFAULT '', configured INTEGER NOT NULL DEFAULT 1, first_seen TEXT NOT NULL,"
    " last_bytes TEXT NOT NULL DEFAULT '', raw_bytes BIGINT NOT NULL DEFAULT 0);"
    "CREATE TABLE lab_boots ("
    " id BIGSERIAL PRIMARY KEY, machine_id BIGINT NOT NULL REFERENCES lab_machines (id), load_time TEXT NOT NULL,"
    " driver_version INTEGER, state TEXT, arrived TEXT NOT NULL, stopped INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE (machine_id, load_time));"
    "CREATE TABLE lab_reports ("
    " id BIGSERIAL PRIMARY KEY, machine_id BIGINT NOT NULL REFERENCES lab_machines (id),"
    " boot_id BIGINT REFERENCES lab_boots (id), crash_time TEXT NOT NULL, code TEXT NOT NULL,"
    " bucket TEXT NOT NULL, signature TEXT NOT NULL, culprit_module TEXT NOT NULL DEFAULT '',"
    " culprit_function TEXT NOT NULL DEFAULT '', culprit_source TEXT NOT NULL DEFAULT '', driver_version INTEGER,"
    " truncated INTEGER NOT NULL DEFAULT 0, arrived TEXT NOT NULL, raw_hash TEXT NOT NULL, raw TEXT NOT NULL,"
    " document TEXT NOT NULL, UNIQUE (machine_id, crash_time, raw_hash));"
    "CREATE INDEX lab_reports_by_bucket ON lab_reports (bucket, arrived, machine_id, driver_version, code,"
    " culprit_module);"
    "CREATE INDEX lab_reports_by_arrival ON lab_reports (arrived);"
    "CREATE INDEX lab_reports_by_machine ON lab_reports (machine_id);"
    "CREATE INDEX lab_reports_by_boot ON lab_reports (boot_id);"
    "CREATE TABLE lab_buckets ("
    " bucket TEXT PRIMARY KEY, state TEXT NOT NULL DEFAULT 'open', fixed_at TEXT NOT NULL DEFAULT '',"
    " note TEXT NOT NULL DEFAULT '', regressed_at TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE lab_raw ("
    " id BIGSERIAL PRIMARY KEY, machine_id BIGINT NOT NULL REFERENCES lab_machines (id), arrived TEXT NOT NULL,"
    " bytes TEXT NOT NULL);"
    "CREATE INDEX lab_raw_by_machine ON lab_raw (machine_id, id);"
    "CREATE TABLE lab_resume (machine_id BIGINT PRIMARY KEY, file_key TEXT NOT NULL, \"offset\" BIGINT NOT NULL,"
    " logged_to BIGINT NOT NULL);"
    "CREATE TABLE lab_outbox ("
    " id BIGSERIAL PRIMARY KEY, target TEXT NOT NULL, event TEXT NOT NULL, document TEXT NOT NULL,"
    " created TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_attempt TEXT NOT NULL,"
    " delivered TEXT NOT NULL DEFAULT '', last_error TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX lab_outbox_due ON lab_outbox (delivered, next_attempt);"
    "INSERT INTO lab_schema (version) VALUES (1);";

// Version 2: the culprit's owner, as in the SQLite store.
constexpr const char* SchemaV2 =
    "ALTER TABLE lab_reports ADD COLUMN owner TEXT NOT NULL DEFAULT '';"
    "DROP INDEX lab_reports_by_bucket;"
    "CREATE INDEX lab_reports_by_bucket ON lab_reports (bucket, arrived, machine_id, driver_version, code,"
    " culprit_module, owner);"
    "INSERT INTO lab_schema (version) VALUES (2);";

// Version 3: which collector reads each machine, and until when (the database's clock, so that the
// collectors' clocks need not agree).
constexpr const char* SchemaV3 =
    "CREATE TABLE lab_leases (machine TEXT PRIMARY KEY, holder TEXT NOT NULL, expires TIMESTAMPTZ NOT NULL);"
    "INSERT INTO lab_schema (version) VALUES (3);";

// Texts from a capture are bytes, which a UTF-8 database would refuse where they are not UTF-8: each byte
// is stored as the character of that number (Latin-1), and NUL, which no text may hold, as U+0100.
std::string ToDatabase(const std::string& Bytes) {
    std::string Text;
    Text.reserve(Bytes.size());
    for (const char Each : Bytes) {
        const auto Byte = static_cast<unsigned char>(Each);
        if (Byte == 0) {
            Text += "\xC4\x80";
        } else if (Byte < 0x80) {
            Text += Each;
        } else {
            Text += static_cast<char>(0xC0 | (Byte >> 6));
            Text += static_cast<char>(0x80 | (Byte & 0x3F));
        }
    }
    return Text;
}

std::string FromDatabase(const char* Text, size_t Length) {
    std::string Bytes;
    Bytes.reserve(Length);
    for (size_t Index = 0; Index < Length; ++Index) {
        const auto Lead = static_cast<unsigned char>(Text[Index]);
        if (Lead < 0x80) {
            Bytes += static_cast<char>(Lead);
            continue;
        }
        size_t Extra = Lead >= 0xF0 ? 3 : Lead >= 0xE0 ? 2 : 1;
        unsigned Code = Lead & (Extra == 1 ? 0x1F : Extra == 2 ? 0x0F : 0x07);
        for (; Extra > 0 && Index + 1 < Length; --Extra) {
            Code = (Code << 6) | (static_cast<unsigned char>(Text[++Index]) & 0x3F);
        }
        Bytes += Code == 0x100 ? '\0' : Code < 0x100 ? static_cast<char>(Code) : '?';
    }
    return Bytes;
}

struct ResultDeleter {
    void operator()(PGresult* Result) const { PQclear(Result); }
};

// A parameter: a text (stored as above), a number, or NULL.
struct Value {
    std::optional<std::string> Text;
    Value(const std::string& Bytes) : Text(ToDatabase(Bytes)) {}  // NOLINT: bound as given
    Value(const char* Bytes) : Text(ToDatabase(Bytes)) {}         // NOLINT
    Value(int64_t Number) : Text(std::to_string(Number)) {}       // NOLINT
    Value(const std::optional<int>& Number) {                      // NOLINT
        if (Number) {
            Text = std::to_string(*Number);
        }
    }
    Value(const std::optional<std::string>& Bytes) {  // NOLINT
        if (Bytes) {
            Text = ToDatabase(*Bytes);
        }
    }
};

// One answer: its rows, read as bytes or numbers.
class Rows {
public:
    Rows() = default;
    explicit Rows(PGresult* Result) : Result(Result) {}
    bool Ok() const {
        const ExecStatusType Status = Result ? PQresultStatus(Result.get()) : PGRES_FATAL_ERROR;
        return Status == PGRES_COMMAND_OK || Status == PGRES_TUPLES_OK;
    }
    int Count() const { return Ok() ? PQntuples(Result.get()) : 0; }
    int64_t Affected() const { return Ok() ? std::strtoll(PQcmdTuples(Result.get()), nullptr, 10) : 0; }
    std::string Text(int Row, int Column) const {
        return FromDatabase(PQgetvalue(Result.get(), Row, Column), static_cast<size_t>(PQgetlength(Result.get(), Row, Column)));
    }
    int64_t Integer(int Row, int Column) const { return std::strtoll(PQgetvalue(Result.get(), Row, Column), nullptr, 10); }
    std::optional<int> OptionalInt(int Row, int Column) const {
        if (PQgetisnull(Result.get(), Row, Column) != 0) {
            return std::nullopt;
        }
        return static_cast<int>(Integer(Row, Column));
    }
    std::string State() const {
        const char* Code = Result ? PQresultErrorField(Result.get(), PG_DIAG_SQLSTATE) : nullptr;
        return Code != nullptr ? Code : "";
    }

private:
    std::unique_ptr<PGresult, ResultDeleter> Result;
};

// One connection, made again when it was lost. Its caller holds the lock that goes with it.
class Connection {
public:
    explicit Connection(std::string Uri) : Uri(std::move(Uri)) {}
    ~Connection() { Drop(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connected, or connected again; false with Error saying why.
    bool Ensure() {
        if (Handle != nullptr && PQstatus(Handle) == CONNECTION_OK) {
            return true;
        }
        Drop();
        // The URI's own settings stand; these only fill what it leaves out. A database that went away must
        // not hold the recorder or a page for long.
        const char* Keys[] = {"dbname", "connect_timeout", "client_encoding", "application_name", nullptr};
        const char* Values[] = {Uri.c_str(), "3", "UTF8", "hestolvane-lab", nullptr};
        Handle = PQconnectdbParams(Keys, Values, 1);
        if (Handle == nullptr || PQstatus(Handle) != CONNECTION_OK) {
            Error = Handle != nullptr ? PQerrorMessage(Handle) : "out of memory";
            Drop();
            return false;
        }
        // Notices (a ROLLBACK with nothing to roll back) are not for the collector's log.
        PQsetNoticeProcessor(Handle, [](void*, const char*) {}, nullptr);
        return true;
    }

    bool Alive() const { return Handle != nullptr && PQstatus(Handle) == CONNECTION_OK; }

    Rows Exec(const char* Sql, std::initializer_list<Value> Parameters) {
        if (Handle == nullptr && !Ensure()) {
            State = "08006";
            return Rows();
        }
        std::vector<const char*> Pointers;
        for (const Value& Each : Parameters) {
            Pointers.push_back(Each.Text ? Each.Text->c_str() : nullptr);
        }
        Rows Answer(PQexecParams(Handle, Sql, static_cast<int>(Pointers.size()), nullptr, Pointers.data(), nullptr, nullptr, 0));
        if (!Answer.Ok()) {
            State = Answer.State();
            Error = PQerrorMessage(Handle);
            while (!Error.empty() && (Error.back() == '\n' || Error.back() == ' ')) {
                Error.pop_back();
            }
            if (PQstatus(Handle) != CONNECTION_OK) {
                State = "08006";
            }
        }
        return Answer;
    }

    // A statement outside any transaction: on a connection the server has dropped (it restarted), once
    // more on a new one.
    Rows Fresh(const char* Sql, std::initializer_list<Value> Parameters) {
        Rows Answer = Exec(Sql, Parameters);
        if (!Answer.Ok() && !Alive() && Ensure()) {
            Answer = Exec(Sql, Parameters);
        }
        return Answer;
    }

    // Several statements without parameters (the schema).
    bool Script(const char* Sql) {
        Rows Answer(PQexec(Handle, Sql));
        if (!Answer.Ok()) {
            State = Answer.State();
            Error = PQerrorMessage(Handle);
        }
        return Answer.Ok();
    }

    // A serialization failure or a deadlock: the transaction is worth running again.
    bool Conflicted() const { return State == "40001" || State == "40P01"; }

    std::string Error;
    std::string State;  // the last failure's SQLSTATE

private:
    void Drop() {
        if (Handle != nullptr) {
            PQfinish(Handle);
            Handle = nullptr;
        }
    }

    std::string Uri;
    PGconn* Handle = nullptr;
};

ReportRow RowOf(const Rows& Answer, int Row) {
    ReportRow Report;
    Report.Id = Answer.Integer(Row, 0);
    Report.Machine = Answer.Text(Row, 1);
    Report.CrashTime = Answer.Text(Row, 2);
    Report.Arrived = Answer.Text(Row, 3);
    Report.Code = Answer.Text(Row, 4);
    Report.Bucket = Answer.Text(Row, 5);
    Report.DriverVersion = Answer.OptionalInt(Row, 6);
    Report.Truncated = Answer.Integer(Row, 7) != 0;
    return Report;
}

std::vector<BootHealth> BootsOf(Connection& On, int64_t MachineId) {
    const Rows Answer = On.Exec("SELECT b.load_time, b.driver_version, b.state, b.stopped,"
                                " (SELECT COUNT(*) FROM lab_reports r WHERE r.boot_id = b.id)"
                                " FROM lab_boots b WHERE b.machine_id = $1 ORDER BY b.id",
                                {MachineId});
    std::vector<BootHealth> Boots;
    for (int Row = 0; Row < Answer.Count(); ++Row) {
        BootHealth Boot;
        Boot.LoadTime = Answer.Text(Row, 0);
        Boot.DriverVersion = Answer.OptionalInt(Row, 1);
        if (const std::string State = Answer.Text(Row, 2); !State.empty()) {
            Boot.State = State;
        }
        Boot.Stopped = Answer.Integer(Row, 3) != 0;
        Boot.Reports = static_cast<unsigned>(Answer.Integer(Row, 4));
        Boots.push_back(std::move(Boot));
    }
    return Boots;
}

class PostgresStore final : public LabStore {
public:
    explicit PostgresStore(const std::string& Uri)
        : Reader(Uri), Writer(Uri), Leases(Uri),
          Changes(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                      .count()) {}

    std::string Upgrade() {
        std::lock_guard<std::mutex> Hold(WriterLock);
        if (!Writer.Ensure()) {
            return Writer.Error;
        }
        for (int Attempt = 0; Attempt < RetriesOnConflict; ++Attempt) {
            Writer.Exec("ROLLBACK", {});
            if (!Writer.Exec("BEGIN", {}).Ok() ||
                !Writer.Exec("SELECT pg_advisory_xact_lock($1)", {SchemaLockKey}).Ok() ||
                !Writer.Exec("CREATE TABLE IF NOT EXISTS lab_schema (version INTEGER NOT NULL)", {}).Ok()) {
                if (Writer.Conflicted()) {
                    continue;
                }
                return Writer.Error;
            }
            const Rows Version = Writer.Exec("SELECT COALESCE(MAX(version), 0) FROM lab_schema", {});
            if (Version.Count() != 1) {
                return Writer.Error;
            }
            const int Found = static_cast<int>(Version.Integer(0, 0));
            if (Found > LabPostgresSchemaVersion) {
                Writer.Exec("ROLLBACK", {});
                return "the lab tables are of version " + std::to_string(Found) + ", newer than this program's " +
                       std::to_string(LabPostgresSchemaVersion);
            }
            if ((Found < 1 && !Writer.Script(SchemaV1)) || (Found < 2 && !Writer.Script(SchemaV2)) ||
                (Found < 3 && !Writer.Script(SchemaV3)) || !Writer.Exec("COMMIT", {}).Ok()) {
                if (Writer.Conflicted()) {
                    continue;
                }
                std::string Failed = Writer.Error;
                Writer.Exec("ROLLBACK", {});
                return Failed;
            }
            Schema = LabPostgresSchemaVersion;
            return "";
        }
        return Writer.Error;
    }

    // Writes ----------------------------------------------------------------------------------------

    bool UpsertMachine(const std::string& Name, const std::map<std::string, std::string>& Tags, const std::string& Source,
                       bool Configured) override {
        const std::string Encoded = EncodeTags(Tags);
        return Write([=](Connection& On) {
            return On.Exec("INSERT INTO lab_machines (name, tags, source, configured, first_seen) VALUES ($1, $2, $3, $4, $5)"
                           " ON CONFLICT (name) DO UPDATE SET tags = $2, source = $3, configured = $4",
                           {Name, Encoded, Source, int64_t{Configured}, NowIso()})
                .Ok();
        });
    }

    std::optional<BootOutcome> RecordBoot(const std::string& Machine, const BootEntry& Boot) override {
        auto Outcome = std::make_shared<BootOutcome>();
        const bool Done = Write([=](Connection& On) {
            *Outcome = BootOutcome{};
            const std::optional<int64_t> MachineId = MachineIdOf(On, Machine);
            if (!MachineId) {
                return false;
            }
            const Rows Inserted = On.Exec("INSERT INTO lab_boots (machine_id, load_time, driver_version, state, arrived)"
                                          " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (machine_id, load_time) DO NOTHING",
                                          {*MachineId, Boot.LoadTime, Boot.DriverVersion, Boot.State, Boot.Arrived});
            if (!Inserted.Ok()) {
                return false;
            }
            Outcome->Added = Inserted.Affected() > 0;
            if (!Outcome->Added) {
                return true;
            }
            const std::vector<BootHealth> Boots = BootsOf(On, *MachineId);
            if (Boots.empty()) {
                return false;
            }
            const Health Before = DeriveHealth(std::vector<BootHealth>(Boots.begin(), Boots.end() - 1));
            const Health After = DeriveHealth(Boots);
            Outcome->CrashWithoutReport = After.CrashesWithoutReport > Before.CrashesWithoutReport;
            Outcome->BootLoop = After.BootLoop;
            const std::string Previous = Boots.size() >= 2 ? Boots[Boots.size() - 2].LoadTime : "";
            return (!Outcome->CrashWithoutReport ||
                    Enqueue(On, "crash_without_report", Machine, "", 0,
                            "the boot loaded " + Boot.LoadTime + " says the boot loaded " + Previous +
                                " crashed, and no report of that boot was captured")) &&
                   (!Outcome->BootLoop ||
                    Enqueue(On, "boot_loop", Machine, "", 0,
                            "the boot loaded " + Boot.LoadTime +
                                " is the third or later in a row whose state says the one before crashed"));
        });
        return Done ? std::optional<BootOutcome>(*Outcome) : std::nullopt;
    }

    bool MarkStopped(const std::string& Machine) override {
        return Write([=](Connection& On) {
            return On.Exec("UPDATE lab_boots SET stopped = 1 WHERE id = (SELECT MAX(b.id) FROM lab_boots b"
                           " JOIN lab_machines m ON m.id = b.machine_id WHERE m.name = $1)",
                           {Machine})
                .Ok();
        });
    }

    std::optional<ReportOutcome> RecordReport(const std::string& Machine, const ReportEntry& Report) override {
        auto Outcome = std::make_shared<ReportOutcome>();
        const bool Done = Write([=](Connection& On) {
            *Outcome = ReportOutcome{};
            const std::optional<int64_t> MachineId = MachineIdOf(On, Machine);
            if (!MachineId) {
                return false;
            }
            std::optional<int64_t> BootId;
            std::optional<int> DriverVersion;
            if (Report.BootLoadTime) {
                const Rows Boot = On.Exec("SELECT id, driver_version FROM lab_boots WHERE machine_id = $1 AND load_time = $2",
                                          {*MachineId, *Report.BootLoadTime});
                if (Boot.Count() == 1) {
                    BootId = Boot.Integer(0, 0);
                    DriverVersion = Boot.OptionalInt(0, 1);
                }
            }
            const Rows Inserted = On.Exec(
                "INSERT INTO lab_reports (machine_id, boot_id, crash_time, code, bucket, signature, culprit_module,"
                " culprit_function, culprit_source, driver_version, truncated, raw, document, arrived, raw_hash, owner)"
                " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16)"
                " ON CONFLICT (machine_id, crash_time, raw_hash) DO NOTHING RETURNING id",
                {*MachineId, BootId ? Value(*BootId) : Value(std::optional<int>()), Report.CrashTime, Report.Code,
                 Report.Bucket, Report.Signature, Report.CulpritModule, Report.CulpritFunction, Report.CulpritSource,
                 DriverVersion, int64_t{Report.Truncated}, Report.Raw, Report.Document, Report.Arrived, RawHash(Report.Raw),
                 Report.Owner});
            if (!Inserted.Ok()) {
                return false;
            }
            Outcome->Added = Inserted.Count() == 1;
            if (!Outcome->Added) {
                return true;
            }
            Outcome->Id = Inserted.Integer(0, 0);
            // The bucket's row is made by its first report, whichever collector records it: only that one
            // raises the new bucket's alert.
            const Rows Claimed = On.Exec("INSERT INTO lab_buckets (bucket) VALUES ($1) ON CONFLICT (bucket) DO NOTHING",
                                         {Report.Bucket});
            const Rows Earlier = On.Exec("SELECT COUNT(*) FROM (SELECT 1 FROM lab_reports WHERE bucket = $1 LIMIT 2) e",
                                         {Report.Bucket});
            const Rows Regressed = On.Exec("UPDATE lab_buckets SET state = 'regressed', regressed_at = $2"
                                           " WHERE bucket = $1 AND state = 'fixed' AND fixed_at <= $2",
                                           {Report.Bucket, Report.Arrived});
            if (!Claimed.Ok() || Earlier.Count() != 1 || !Regressed.Ok()) {
                return false;
            }
            Outcome->NewBucket = Claimed.Affected() > 0 && Earlier.Integer(0, 0) == 1;
            Outcome->Regressed = Regressed.Affected() > 0;
            return (!Outcome->NewBucket ||
                    Enqueue(On, "new_bucket", Machine, Report.Bucket, Outcome->Id, "a crash of a new bucket")) &&
                   (!Outcome->Regressed ||
                    Enqueue(On, "regression", Machine, Report.Bucket, Outcome->Id, "a crash of a bucket marked fixed"));
        });
        return Done ? std::optional<ReportOutcome>(*Outcome) : std::nullopt;
    }

    bool AppendRaw(const std::string& Machine, const std::string& Bytes, size_t Limit) override {
        return Write([=](Connection& On) {
            const std::optional<int64_t> MachineId = MachineIdOf(On, Machine);
            if (!MachineId ||
                !On.Exec("INSERT INTO lab_raw (machine_id, arrived, bytes) VALUES ($1, $2, $3)", {*MachineId, NowIso(), Bytes}).Ok()) {
                return false;
            }
            const Rows Held = On.Exec("UPDATE lab_machines SET raw_bytes = raw_bytes + $2 WHERE id = $1 RETURNING raw_bytes",
                                      {*MachineId, static_cast<int64_t>(Bytes.size())});
            if (Held.Count() != 1) {
                return false;
            }
            const int64_t Over = Held.Integer(0, 0) - static_cast<int64_t>(Limit);
            if (Over <= 0) {
                return true;
            }
            // The oldest pieces whose sizes, added up from the oldest, still leave the rest over the limit,
            // and the one that brings it within.
            const Rows Dropped = On.Exec(
                "WITH oldest AS (SELECT id, length(bytes) AS size, SUM(length(bytes)) OVER (ORDER BY id) AS running"
                " FROM lab_raw WHERE machine_id = $1),"
                " gone AS (DELETE FROM lab_raw WHERE id IN (SELECT id FROM oldest WHERE running - size < $2) RETURNING bytes)"
                " SELECT COALESCE(SUM(length(bytes)), 0) FROM gone",
                {*MachineId, Over});
            return Dropped.Count() == 1 &&
                   On.Exec("UPDATE lab_machines SET raw_bytes = raw_bytes - $2 WHERE id = $1", {*MachineId, Dropped.Integer(0, 0)}).Ok();
        });
    }

    bool TouchMachine(const std::string& Machine, const std::string& When) override {
        return Write([=](Connection& On) {
            return On.Exec("UPDATE lab_machines SET last_bytes = $2 WHERE name = $1", {Machine, When}).Ok();
        });
    }

    bool SaveResume(const std::string& Machine, const std::string& FileKey, const ResumePoint& Point) override {
        return Write([=](Connection& On) {
            return On.Exec("INSERT INTO lab_resume (machine_id, file_key, \"offset\", logged_to)"
                           " SELECT id, $2, $3, $4 FROM lab_machines WHERE name = $1"
                           " ON CONFLICT (machine_id) DO UPDATE SET file_key = $2, \"offset\" = $3, logged_to = $4",
                           {Machine, FileKey, static_cast<int64_t>(Point.Offset), static_cast<int64_t>(Point.LoggedTo)})
                .Ok();
        });
    }

    std::optional<ResumePoint> LoadResume(const std::string& Machine, const std::string& FileKey) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read("SELECT r.\"offset\", r.logged_to FROM lab_resume r JOIN lab_machines m ON m.id = r.machine_id"
                                 " WHERE m.name = $1 AND r.file_key = $2",
                                 {Machine, FileKey});
        if (Answer.Count() != 1) {
            return std::nullopt;
        }
        return ResumePoint{static_cast<uint64_t>(Answer.Integer(0, 0)), static_cast<uint64_t>(Answer.Integer(0, 1))};
    }

    bool MarkFixed(const std::string& Bucket, const std::string& Note) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return Changed(Read("INSERT INTO lab_buckets (bucket, state, fixed_at, note, regressed_at) VALUES ($1, 'fixed', $2, $3, '')"
                            " ON CONFLICT (bucket) DO UPDATE SET state = 'fixed', fixed_at = $2, note = $3, regressed_at = ''",
                            {Bucket, NowIso(), Note})
                           .Ok());
    }

    bool Reopen(const std::string& Bucket) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return Changed(
            Read("UPDATE lab_buckets SET state = 'open', fixed_at = '', regressed_at = '' WHERE bucket = $1", {Bucket}).Ok());
    }

    // Pages -----------------------------------------------------------------------------------------

    std::vector<BucketRow> Buckets(const BucketFilter& Filter) override {
        static const std::map<std::string, std::string> Orders = {
            {"count", "g.count DESC, g.bucket"}, {"last", "g.last DESC, g.bucket"},
            {"first", "g.first DESC, g.bucket"}, {"bucket", "g.bucket"},
            {"machines", "g.machines DESC, g.bucket"}};
        const auto Order = Orders.find(Filter.Sort);
        // As in the SQLite store: machines joined only when a filter needs them, and the buckets' states
        // after the grouping, not once per report.
        const bool ByMachine = !Filter.Machine.empty() || !Filter.Tag.empty();
        const std::string Text =
            std::string("SELECT g.bucket, g.code, g.module, g.count, g.machines, g.first, g.last,"
                        " COALESCE(b.state, 'open'), g.owner FROM"
                        " (SELECT r.bucket AS bucket, MIN(r.code) AS code, MIN(r.culprit_module) AS module,"
                        " COUNT(*) AS count, COUNT(DISTINCT r.machine_id) AS machines, MIN(r.arrived) AS first,"
                        " MAX(r.arrived) AS last, MAX(r.owner) AS owner FROM lab_reports r") +
            (ByMachine ? " JOIN lab_machines m ON m.id = r.machine_id" : "") +
            " WHERE ($1 = '' OR lower(r.code) = lower($1)) AND ($2 = '' OR lower(r.culprit_module) = lower($2))" +
            (ByMachine ? " AND ($3 = '' OR m.name = $3) AND ($4 = '' OR strpos(m.tags, chr(10) || $4 || chr(10)) > 0"
                         " OR strpos(m.tags, '=' || $4 || chr(10)) > 0)"
                       : " AND $3 = '' AND $4 = ''") +
            " AND ($5 = '' OR r.arrived >= $5) AND ($6 = '' OR r.owner = $6) GROUP BY r.bucket) g"
            " LEFT JOIN lab_buckets b ON b.bucket = g.bucket ORDER BY " +
            (Order != Orders.end() ? Order->second : Orders.at("count"));
        const std::vector<std::string> Days = WindowDays();
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read(Text.c_str(), {Filter.Code, Filter.Module, Filter.Machine, Filter.Tag,
                                                Filter.Days > 0 ? IsoDaysAgo(Filter.Days) : std::string(), Filter.Owner});
        std::vector<BucketRow> Result;
        std::map<std::string, size_t> Where;
        const std::string DayAgo = IsoDaysAgo(1);
        for (int Row = 0; Row < Answer.Count(); ++Row) {
            BucketRow Bucket;
            Bucket.Bucket = Answer.Text(Row, 0);
            Bucket.Code = Answer.Text(Row, 1);
            Bucket.Module = Answer.Text(Row, 2);
            Bucket.Count = static_cast<unsigned>(Answer.Integer(Row, 3));
            Bucket.Machines = static_cast<unsigned>(Answer.Integer(Row, 4));
            Bucket.FirstSeen = Answer.Text(Row, 5);
            Bucket.LastSeen = Answer.Text(Row, 6);
            Bucket.State = Answer.Text(Row, 7);
            Bucket.Owner = Answer.Text(Row, 8);
            Bucket.New = Bucket.FirstSeen >= DayAgo;
            Bucket.Daily.assign(SparklineDays, 0);
            Where[Bucket.Bucket] = Result.size();
            Result.push_back(std::move(Bucket));
        }
        if (Result.empty()) {
            return Result;
        }
        const Rows Daily = Read("SELECT bucket, substr(arrived, 1, 10), COUNT(*) FROM lab_reports WHERE arrived >= $1"
                                " GROUP BY 1, 2",
                                {Days.front()});
        for (int Row = 0; Row < Daily.Count(); ++Row) {
            if (const auto Found = Where.find(Daily.Text(Row, 0)); Found != Where.end()) {
                AddToDaily(Result[Found->second].Daily, Days, Daily.Text(Row, 1), static_cast<unsigned>(Daily.Integer(Row, 2)));
            }
        }
        return Result;
    }

    std::optional<BucketDetail> Bucket(const std::string& Name, unsigned Page) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Newest = Read("SELECT signature, culprit_module, culprit_function, culprit_source, document"
                                 " FROM lab_reports WHERE bucket = $1 ORDER BY arrived DESC, id DESC LIMIT 1",
                                 {Name});
        if (Newest.Count() != 1) {
            return std::nullopt;
        }
        BucketDetail Detail;
        Detail.Bucket = Name;
        Detail.Signature = Newest.Text(0, 0);
        Detail.CulpritModule = Newest.Text(0, 1);
        Detail.CulpritFunction = Newest.Text(0, 2);
        Detail.CulpritSource = Newest.Text(0, 3);
        Detail.Canonical = CanonicalOf(Newest.Text(0, 4));
        const Rows Count = Read("SELECT COUNT(*) FROM lab_reports WHERE bucket = $1", {Name});
        Detail.Count = Count.Count() == 1 ? static_cast<unsigned>(Count.Integer(0, 0)) : 0;
        Detail.Pages = (Detail.Count + ReportsPerPage - 1) / ReportsPerPage;
        Detail.Page = Detail.Pages == 0 ? 0 : std::min(Page, Detail.Pages - 1);
        const Rows State = Read("SELECT state, fixed_at, note, regressed_at FROM lab_buckets WHERE bucket = $1", {Name});
        if (State.Count() == 1) {
            Detail.State = State.Text(0, 0);
            Detail.FixedAt = State.Text(0, 1);
            Detail.Note = State.Text(0, 2);
            Detail.RegressedAt = State.Text(0, 3);
        }
        const Rows PerMachine = Read("SELECT m.name, COUNT(*) FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id"
                                     " WHERE r.bucket = $1 GROUP BY m.name",
                                     {Name});
        for (int Row = 0; Row < PerMachine.Count(); ++Row) {
            Detail.PerMachine[PerMachine.Text(Row, 0)] = static_cast<unsigned>(PerMachine.Integer(Row, 1));
        }
        const Rows PerVersion = Read("SELECT COALESCE(CAST(driver_version AS TEXT), 'unknown'), COUNT(*) FROM lab_reports"
                                     " WHERE bucket = $1 GROUP BY 1",
                                     {Name});
        for (int Row = 0; Row < PerVersion.Count(); ++Row) {
            Detail.PerDriverVersion[PerVersion.Text(Row, 0)] = static_cast<unsigned>(PerVersion.Integer(Row, 1));
        }
        const std::vector<std::string> Days = WindowDays();
        Detail.Daily.assign(SparklineDays, 0);
        const Rows Daily = Read("SELECT substr(arrived, 1, 10), COUNT(*) FROM lab_reports WHERE bucket = $1 AND arrived >= $2"
                                " GROUP BY 1",
                                {Name, Days.front()});
        for (int Row = 0; Row < Daily.Count(); ++Row) {
            AddToDaily(Detail.Daily, Days, Daily.Text(Row, 0), static_cast<unsigned>(Daily.Integer(Row, 1)));
        }
        const Rows Reports = Read("SELECT r.id, m.name, r.crash_time, r.arrived, r.code, r.bucket, r.driver_version, r.truncated"
                                  " FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id WHERE r.bucket = $1"
                                  " ORDER BY r.arrived DESC, r.id DESC LIMIT $2 OFFSET $3",
                                  {Name, int64_t{ReportsPerPage}, static_cast<int64_t>(Detail.Page) * ReportsPerPage});
        for (int Row = 0; Row < Reports.Count(); ++Row) {
            Detail.Reports.push_back(RowOf(Reports, Row));
        }
        return Detail;
    }

    std::optional<ReportDetail> Report(int64_t Id) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read("SELECT r.id, m.name, r.crash_time, r.arrived, r.code, r.bucket, r.driver_version, r.truncated,"
                                 " r.signature, COALESCE(b.load_time, ''), COALESCE(b.state, ''), r.raw, r.document"
                                 " FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id"
                                 " LEFT JOIN lab_boots b ON b.id = r.boot_id WHERE r.id = $1",
                                 {Id});
        if (Answer.Count() != 1) {
            return std::nullopt;
        }
        ReportDetail Detail;
        Detail.Row = RowOf(Answer, 0);
        Detail.Signature = Answer.Text(0, 8);
        Detail.BootLoadTime = Answer.Text(0, 9);
        Detail.BootState = Answer.Text(0, 10);
        Detail.Raw = Answer.Text(0, 11);
        Detail.Document = Answer.Text(0, 12);
        return Detail;
    }

    std::vector<MachineRow> Machines() override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read("SELECT m.id, m.name, m.tags, m.source, m.last_bytes, m.configured,"
                                 " (SELECT COUNT(*) FROM lab_reports r WHERE r.machine_id = m.id)"
                                 " FROM lab_machines m ORDER BY m.name",
                                 {});
        std::vector<MachineRow> Result;
        for (int Row = 0; Row < Answer.Count(); ++Row) {
            MachineRow Machine;
            Machine.Name = Answer.Text(Row, 1);
            Machine.Tags = DecodeTags(Answer.Text(Row, 2));
            Machine.Source = Answer.Text(Row, 3);
            Machine.LastBytes = Answer.Text(Row, 4);
            Machine.Configured = Answer.Integer(Row, 5) != 0;
            Machine.Crashes = static_cast<unsigned>(Answer.Integer(Row, 6));
            const std::vector<BootHealth> Boots = BootsOf(Reader, Answer.Integer(Row, 0));
            Machine.Boots = static_cast<unsigned>(Boots.size());
            if (!Boots.empty()) {
                Machine.CurrentBoot = Boots.back().LoadTime;
                Machine.CurrentState = Boots.back().State.value_or("");
            }
            Machine.Derived = DeriveHealth(Boots);
            Result.push_back(std::move(Machine));
        }
        Noted(Reader.Alive());
        return Result;
    }

    std::string RawLog(const std::string& Machine) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read("SELECT r.bytes FROM lab_raw r JOIN lab_machines m ON m.id = r.machine_id WHERE m.name = $1"
                                 " ORDER BY r.id",
                                 {Machine});
        std::string Bytes;
        for (int Row = 0; Row < Answer.Count(); ++Row) {
            Bytes += Answer.Text(Row, 0);
        }
        return Bytes;
    }

    // Alerts ----------------------------------------------------------------------------------------

    void SetAlertTargets(std::vector<AlertTarget> Wanted) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Targets = std::move(Wanted);
    }

    // Several collectors share one outbox: an alert due is claimed by the one that takes it, for a minute,
    // so that one collector sends it; should that one die before its delivery is recorded, another sends
    // it after the minute (at least once, as after a restart).
    std::vector<OutboxEntry> DueAlerts(const std::string& Now, unsigned Limit) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        const Rows Answer = Read("UPDATE lab_outbox SET next_attempt = $3 WHERE id IN (SELECT id FROM lab_outbox"
                                 " WHERE delivered = '' AND next_attempt <= $1 ORDER BY id LIMIT $2 FOR UPDATE SKIP LOCKED)"
                                 " RETURNING id, target, event, document, attempts",
                                 {Now, int64_t{Limit}, IsoAfter(std::chrono::minutes(1))});
        std::vector<OutboxEntry> Due;
        Due.reserve(static_cast<size_t>(Answer.Count()));
        for (int Row = 0; Row < Answer.Count(); ++Row) {
            Due.push_back({Answer.Integer(Row, 0), Answer.Text(Row, 1), Answer.Text(Row, 2), Answer.Text(Row, 3),
                           static_cast<int>(Answer.Integer(Row, 4))});
        }
        std::sort(Due.begin(), Due.end(), [](const OutboxEntry& Left, const OutboxEntry& Right) { return Left.Id < Right.Id; });
        return Due;
    }

    bool AlertDelivered(int64_t Id) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return Read("UPDATE lab_outbox SET delivered = $2, attempts = attempts + 1 WHERE id = $1", {Id, NowIso()}).Ok();
    }

    bool AlertFailed(int64_t Id, const std::string& NextAttempt, const std::string& Error) override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return Read("UPDATE lab_outbox SET attempts = attempts + 1, next_attempt = $2, last_error = $3 WHERE id = $1",
                    {Id, NextAttempt, Error})
            .Ok();
    }

    // Batches ---------------------------------------------------------------------------------------

    bool BeginBatch() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Batch.clear();
        InBatch = Writer.Ensure() && Writer.Fresh("BEGIN", {}).Ok();
        return InBatch;
    }

    bool CommitBatch() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        if (!InBatch) {
            return false;
        }
        bool Done = Writer.Exec("COMMIT", {}).Ok();
        for (int Attempt = 0; !Done && Writer.Conflicted() && Attempt < RetriesOnConflict; ++Attempt) {
            Done = Redo() && Writer.Exec("COMMIT", {}).Ok();
        }
        if (!Done) {
            Writer.Exec("ROLLBACK", {});
        }
        InBatch = false;
        Batch.clear();
        return Changed(Done);
    }

    int64_t Generation() override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        // What other collectors recorded moves the sequences; what this one did, the local count.
        const Rows Answer = Read("SELECT (SELECT last_value FROM lab_reports_id_seq) + (SELECT last_value FROM lab_boots_id_seq)"
                                 " + (SELECT COUNT(*) FROM lab_buckets WHERE state <> 'open')",
                                 {});
        return Changes + (Answer.Count() == 1 ? Answer.Integer(0, 0) : 0);
    }

    int SchemaVersion() override { return Schema; }

    std::string LastError() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        return Writer.Error;
    }

    std::string LastReadError() override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return Reader.Error;
    }

    bool WriterReachable() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        return !InBatch ? Writer.Ensure() && Writer.Fresh("SELECT 1", {}).Ok() : Writer.Alive();
    }

    ReadHealth ReadState() override {
        std::lock_guard<std::mutex> Hold(ReaderLock);
        return {ReaderUp, LastRead};
    }

    // Leases ----------------------------------------------------------------------------------------

    std::optional<std::map<std::string, std::string>> RenewLeases(const std::string& Collector,
                                                                  const std::vector<std::string>& Wanted,
                                                                  std::chrono::milliseconds Length) override {
        std::lock_guard<std::mutex> Hold(LeaseLock);
        if (!Leases.Ensure() || !Leases.Fresh("SELECT 1", {}).Ok()) {
            return std::nullopt;
        }
        const std::string Interval = std::to_string(Length.count()) + " milliseconds";
        std::map<std::string, std::string> Holders;
        for (const std::string& Machine : Wanted) {
            // One statement each, so that collectors renewing at once never wait on each other's rows.
            const Rows Taken = Leases.Exec(
                "INSERT INTO lab_leases (machine, holder, expires) VALUES ($1, $2, now() + CAST($3 AS INTERVAL))"
                " ON CONFLICT (machine) DO UPDATE SET holder = $2, expires = now() + CAST($3 AS INTERVAL)"
                " WHERE lab_leases.holder = $2 OR lab_leases.expires < now() RETURNING holder",
                {Machine, Collector, Interval});
            if (!Taken.Ok()) {
                if (!Leases.Alive()) {
                    return std::nullopt;
                }
                continue;
            }
            if (Taken.Count() == 1) {
                Holders[Machine] = Collector;
                continue;
            }
            const Rows Holder = Leases.Exec("SELECT holder FROM lab_leases WHERE machine = $1", {Machine});
            if (Holder.Count() == 1) {
                Holders[Machine] = Holder.Text(0, 0);
            }
        }
        // Machines this collector no longer reads are left for others at once.
        const Rows Held = Leases.Exec("SELECT machine FROM lab_leases WHERE holder = $1", {Collector});
        for (int Row = 0; Row < Held.Count(); ++Row) {
            const std::string Machine = Held.Text(Row, 0);
            if (std::find(Wanted.begin(), Wanted.end(), Machine) == Wanted.end()) {
                Leases.Exec("DELETE FROM lab_leases WHERE machine = $1 AND holder = $2", {Machine, Collector});
            }
        }
        return Holders;
    }

    bool ReleaseLeases(const std::string& Collector) override {
        std::lock_guard<std::mutex> Hold(LeaseLock);
        return Leases.Ensure() && Leases.Exec("DELETE FROM lab_leases WHERE holder = $1", {Collector}).Ok();
    }

private:
    using Change = std::function<bool(Connection&)>;

    // A change on the recorder's connection: a transaction of its own, or inside the open batch under a
    // savepoint, so that one failed change costs only itself. A serialization failure or a deadlock (two
    // collectors writing the same bucket's rows) runs the transaction again from its start.
    bool Write(Change Do) {
        std::lock_guard<std::mutex> Hold(WriterLock);
        if (InBatch) {
            if (RunSaved(Do)) {
                Batch.push_back(std::move(Do));
                return Changed(true);
            }
            for (int Attempt = 0; Writer.Conflicted() && Attempt < RetriesOnConflict; ++Attempt) {
                if (Redo() && RunSaved(Do)) {
                    Batch.push_back(std::move(Do));
                    return Changed(true);
                }
            }
            return false;
        }
        if (!Writer.Ensure()) {
            return false;
        }
        for (int Attempt = 0; Attempt < RetriesOnConflict; ++Attempt) {
            if (Writer.Fresh("BEGIN", {}).Ok() && Do(Writer) && Writer.Exec("COMMIT", {}).Ok()) {
                return Changed(true);
            }
            const bool Again = Writer.Conflicted();
            Writer.Exec("ROLLBACK", {});
            if (!Again) {
                return false;
            }
        }
        return false;
    }

    bool RunSaved(const Change& Do) {
        if (!Writer.Exec("SAVEPOINT change", {}).Ok()) {
            return false;
        }
        if (Do(Writer) && Writer.Exec("RELEASE SAVEPOINT change", {}).Ok()) {
            return true;
        }
        const std::string State = Writer.State;
        Writer.Exec("ROLLBACK TO SAVEPOINT change", {});
        Writer.Exec("RELEASE SAVEPOINT change", {});
        Writer.State = State;
        return false;
    }

    // The batch's transaction again from its start, after a conflict rolled it back.
    bool Redo() {
        Writer.Exec("ROLLBACK", {});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!Writer.Exec("BEGIN", {}).Ok()) {
            return false;
        }
        std::vector<Change> Kept;
        for (Change& Do : Batch) {
            if (RunSaved(Do)) {
                Kept.push_back(std::move(Do));
            } else if (Writer.Conflicted() || !Writer.Alive()) {
                return false;
            }
        }
        Batch = std::move(Kept);
        return true;
    }

    // A read on the pages' connection, connecting again first when it was lost; its caller holds ReaderLock.
    Rows Read(const char* Sql, std::initializer_list<Value> Parameters) {
        if (!Reader.Alive() && !Reader.Ensure()) {
            Noted(false);
            return Rows();
        }
        Rows Answer = Reader.Fresh(Sql, Parameters);
        Noted(Reader.Alive());
        return Answer;
    }

    void Noted(bool Up) {
        ReaderUp = Up;
        if (Up) {
            LastRead = NowIso();
        }
    }

    bool Changed(bool Done) {
        if (Done) {
            ++Changes;
        }
        return Done;
    }

    static std::optional<int64_t> MachineIdOf(Connection& On, const std::string& Name) {
        const Rows Answer = On.Exec("SELECT id FROM lab_machines WHERE name = $1", {Name});
        if (Answer.Count() != 1) {
            return std::nullopt;
        }
        return Answer.Integer(0, 0);
    }

    bool Enqueue(Connection& On, const std::string& Event, const std::string& Machine, const std::string& Bucket, int64_t Report,
                 const std::string& Detail) {
        const std::string Now = NowIso();
        const nlohmann::json Document = {
            {"kind", "alert"}, {"schema", 1}, {"event", Event}, {"machine", Machine},
            {"bucket", Bucket.empty() ? nlohmann::json(nullptr) : nlohmann::json(Latin1ToUtf8(Bucket))},
            {"report", Report > 0 ? nlohmann::json(Report) : nlohmann::json(nullptr)}, {"detail", Latin1ToUtf8(Detail)},
            {"time", Now}};
        const std::string Text = Document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        for (const AlertTarget& Target : Targets) {
            if (std::find(Target.Events.begin(), Target.Events.end(), Event) == Target.Events.end()) {
                continue;
            }
            if (!On.Exec("INSERT INTO lab_outbox (target, event, document, created, next_attempt) VALUES ($1, $2, $3, $4, $4)",
                         {Target.Key, Event, Text, Now})
                     .Ok()) {
                return false;
            }
        }
        return true;
    }

    Connection Reader;  // the pages, the alert sender and the loop's look-ups
    Connection Writer;  // the recorder's alone
    Connection Leases;  // the lease keeper's, so that a renewal never waits behind a batch
    std::mutex ReaderLock;
    std::mutex WriterLock;
    std::mutex LeaseLock;
    bool InBatch = false;
    std::vector<Change> Batch;  // the open batch's changes, to run again after a conflict
    std::atomic<int64_t> Changes{0};
    int Schema = 0;
    std::vector<AlertTarget> Targets;
    bool ReaderUp = true;
    std::string LastRead;
};

}  // namespace

bool IsPostgresUri(const std::string& Index) {
    return Index.rfind("postgresql://", 0) == 0 || Index.rfind("postgres://", 0) == 0;
}

OpenedStore OpenPostgresStore(const std::string& Uri) {
    OpenedStore Result;
    auto Store = std::make_unique<PostgresStore>(Uri);
    if (std::string Error = Store->Upgrade(); !Error.empty()) {
        Result.Error = "the lab's PostgreSQL database: " + Error;
        return Result;
    }
    Result.Store = std::move(Store);
    return Result;
}

OpenedStore OpenStore(const std::string& Index) {
    return IsPostgresUri(Index) ? OpenPostgresStore(Index) : OpenSqliteStore(Index);
}

}  // namespace hestolvane::lab
