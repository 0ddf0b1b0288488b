// The lab's record in SQLite: tables lab_* beside the decoder's crash index in the same file, one
// connection shared under a mutex by the writer thread and the web server's threads, every value bound.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "crash_index.h"
#include "html.h"
#include "signature.h"
#include "record_values.h"
#include "store.h"

namespace hestolvane::lab {

namespace {

constexpr int BusyTimeoutMs = 60000;

// Version 1: the first lab tables. Reports an older crash index already holds are taken over, each under
// a machine named after its source, so that the dashboard shows what was recorded before the lab.
constexpr const char* SchemaV1 =
    "CREATE TABLE lab_schema (version INTEGER NOT NULL);"
    "CREATE TABLE lab_machines ("
    " id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, tags TEXT NOT NULL DEFAULT '',"
    " source TEXT NOT NULL DEFAULT '', configured INTEGER NOT NULL DEFAULT 1, first_seen TEXT NOT NULL,"
    " last_bytes TEXT NOT NULL DEFAULT '', raw_bytes INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE lab_boots ("
    " id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL REFERENCES lab_machines (id), load_time TEXT NOT NULL,"
    " driver_version INTEGER, state TEXT, arrived TEXT NOT NULL, stopped INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE (machine_id, load_time));"
    "CREATE TABLE lab_reports ("
    " id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL REFERENCES lab_machines (id),"
    " boot_id INTEGER REFERENCES lab_boots (id), crash_time TEXT NOT NULL, code TEXT NOT NULL,"
    " bucket TEXT NOT NULL, signature TEXT NOT NULL, culprit_module TEXT NOT NULL DEFAULT '',"
    " culprit_function TEXT NOT NULL DEFAULT '', culprit_source TEXT NOT NULL DEFAULT '', driver_version INTEGER,"
    " truncated INTEGER NOT NULL DEFAULT 0, arrived TEXT NOT NULL, raw_hash TEXT NOT NULL, raw TEXT NOT NULL,"
    " document TEXT NOT NULL, UNIQUE (machine_id, crash_time, raw_hash));"
    // Covers the bucket pages' counts, per machine, per version and per day without reading the reports.
    "CREATE INDEX lab_reports_by_bucket ON lab_reports (bucket, arrived, machine_id, driver_version, code,"
    " culprit_module);"
    "CREATE INDEX lab_reports_by_arrival ON lab_reports (arrived);"
    "CREATE INDEX lab_reports_by_machine ON lab_reports (machine_id);"
    "CREATE INDEX lab_reports_by_boot ON lab_reports (boot_id);"
    "CREATE TABLE lab_buckets ("
    " bucket TEXT PRIMARY KEY, state TEXT NOT NULL DEFAULT 'open', fixed_at TEXT NOT NULL DEFAULT '',"
    " note TEXT NOT NULL DEFAULT '', regressed_at TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE lab_raw ("
    " id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL REFERENCES lab_machines (id), arrived TEXT NOT NULL,"
    " bytes BLOB NOT NULL);"
    "CREATE INDEX lab_raw_by_machine ON lab_raw (machine_id, id);"
    "CREATE TABLE lab_resume (machine_id INTEGER PRIMARY KEY, file_key TEXT NOT NULL, offset INTEGER NOT NULL,"
    " logged_to INTEGER NOT NULL);"
    "CREATE TABLE lab_outbox ("
    " id INTEGER PRIMARY KEY, target TEXT NOT NULL, event TEXT NOT NULL, document TEXT NOT NULL,"
    " created TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_attempt TEXT NOT NULL,"
    " delivered TEXT NOT NULL DEFAULT '', last_error TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX lab_outbox_due ON lab_outbox (delivered, next_attempt);"
    "INSERT INTO lab_schema (version) VALUES (1);";

// Version 2: the culprit's owner by the owner rules. Reports taken over from a crash index keep the owner
// it signed them with.
constexpr const char* SchemaV2 =
    "ALTER TABLE lab_reports ADD COLUMN owner TEXT NOT NULL DEFAULT '';"
    // The bucket pages read the owner too, still without reading the reports.
    "DROP INDEX lab_reports_by_bucket;"
    "CREATE INDEX lab_reports_by_bucket ON lab_reports (bucket, arrived, machine_id, driver_version, code,"
    " culprit_module, owner);"
    "INSERT INTO lab_schema (version) VALUES (2);";
// Version 3: each bucket's counts kept up to date as reports arrive, so that the buckets page reads one row
// per bucket and day instead of grouping every report on every request; triggers keep them, whichever
// way a report comes in.
constexpr const char* SchemaV3 =
    "CREATE TABLE lab_bucket_stats ("
    " bucket TEXT PRIMARY KEY, code TEXT NOT NULL, module TEXT NOT NULL, owner TEXT NOT NULL,"
    " count INTEGER NOT NULL, machines INTEGER NOT NULL, first TEXT NOT NULL, last TEXT NOT NULL);"
    "CREATE TABLE lab_bucket_machines (bucket TEXT NOT NULL, machine_id INTEGER NOT NULL,"
    " PRIMARY KEY (bucket, machine_id)) WITHOUT ROWID;"
    "CREATE TABLE lab_bucket_days (bucket TEXT NOT NULL, day TEXT NOT NULL, count INTEGER NOT NULL,"
    " PRIMARY KEY (bucket, day)) WITHOUT ROWID;"
    "INSERT INTO lab_bucket_stats (bucket, code, module, owner, count, machines, first, last)"
    " SELECT bucket, MIN(code), MIN(culprit_module), MAX(owner), COUNT(*), COUNT(DISTINCT machine_id), MIN(arrived),"
    " MAX(arrived) FROM lab_reports GROUP BY bucket;"
    "INSERT INTO lab_bucket_machines (bucket, machine_id) SELECT DISTINCT bucket, machine_id FROM lab_reports;"
    "INSERT INTO lab_bucket_days (bucket, day, count)"
    " SELECT bucket, substr(arrived, 1, 10), COUNT(*) FROM lab_reports GROUP BY bucket, substr(arrived, 1, 10);"
    "CREATE TRIGGER lab_reports_counted AFTER INSERT ON lab_reports BEGIN"
    " INSERT INTO lab_bucket_stats (bucket, code, module, owner, count, machines, first, last)"
    "  VALUES (NEW.bucket, NEW.code, NEW.culprit_module, NEW.owner, 0, 0, NEW.arrived, NEW.arrived)"
    "  ON CONFLICT (bucket) DO NOTHING;"
    " UPDATE lab_bucket_stats SET count = count + 1, code = MIN(code, NEW.code),"
    "  module = MIN(module, NEW.culprit_module), owner = MAX(owner, NEW.owner), first = MIN(first, NEW.arrived),"
    "  last = MAX(last, NEW.arrived),"
    "  machines = machines + NOT EXISTS (SELECT 1 FROM lab_bucket_machines"
    "   WHERE bucket = NEW.bucket AND machine_id = NEW.machine_id)"
    "  WHERE bucket = NEW.bucket;"
    " INSERT OR IGNORE INTO lab_bucket_machines (bucket, machine_id) VALUES (NEW.bucket, NEW.machine_id);"
    " INSERT INTO lab_bucket_days (bucket, day, count) VALUES (NEW.bucket, substr(NEW.arrived, 1, 10), 1)"
    "  ON CONFLICT (bucket, day) DO UPDATE SET count = count + 1;"
    " END;"
    "INSERT INTO lab_schema (version) VALUES (3);";

// Version 4: a report's raw text and JSON object are read from the crash index's row that holds the same
// reading, instead of being written twice: at thousands of reports a second the copies were nearly half of
// the bytes written. The machine's own index goes, since the unique key starts with the machine and serves
// the same look-ups.
constexpr const char* SchemaV4 =
    "ALTER TABLE lab_reports ADD COLUMN index_row INTEGER;"
    "DROP INDEX IF EXISTS lab_reports_by_machine;"
    "INSERT INTO lab_schema (version) VALUES (4);";

constexpr const char* ImportOwners =
    "UPDATE lab_reports SET owner = COALESCE((SELECT r.owner FROM reports r WHERE r.raw = lab_reports.raw"
    " AND r.owner IS NOT NULL LIMIT 1), '');";

constexpr const char* ImportIndexV1 =
    "INSERT OR IGNORE INTO lab_machines (name, source, configured, first_seen)"
    " SELECT DISTINCT source, source, 0, MIN(recorded) FROM reports GROUP BY source;"
    "INSERT OR IGNORE INTO lab_reports (machine_id, crash_time, code, bucket, signature, culprit_module, raw,"
    " document, arrived, raw_hash)"
    " SELECT m.id, r.crash_time, COALESCE(r.code, ''), r.bucket, r.signature,"
    " CASE WHEN instr(r.bucket, '_') > 0 THEN rtrim(substr(r.bucket, instr(r.bucket, '_') + 1),"
    "   '!+0123456789ABCDEFabcdefx') ELSE '' END,"
    " r.raw, r.document, r.recorded, 'import ' || r.id FROM reports r JOIN lab_machines m ON m.name = r.source;";

// A connection's prepared statements, kept for the life of the connection: at a few thousand reports a
// second, compiling each statement anew was a fifth of the collector's time. Guarded by the lock of the
// connection it belongs to.
class StatementCache {
public:
    explicit StatementCache(sqlite3* Connection) : Connection(Connection) {}
    ~StatementCache() { Clear(); }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    sqlite3* Handle() const { return Connection; }

    // An idle statement of that text, or a new one: a text already in use (a statement run inside
    // another of the same text) gets a second statement, which Give then finalizes.
    sqlite3_stmt* Take(const char* Text) {
        if (const auto Found = Idle.find(Text); Found != Idle.end()) {
            sqlite3_stmt* Kept = Found->second;
            Idle.erase(Found);
            return Kept;
        }
        sqlite3_stmt* Prepared = nullptr;
        sqlite3_prepare_v3(Connection, Text, -1, SQLITE_PREPARE_PERSISTENT, &Prepared, nullptr);
        return Prepared;
    }

    void Give(const char* Text, sqlite3_stmt* Used) {
        if (Used == nullptr) {
            return;
        }
        // Reset ends the statement's read of the database, so a kept statement holds no snapshot open.
        sqlite3_reset(Used);
        sqlite3_clear_bindings(Used);
        if (!Idle.emplace(Text, Used).second) {
            sqlite3_finalize(Used);
        }
    }

    void Clear() {
        for (const auto& [Text, Kept] : Idle) {
            sqlite3_finalize(Kept);
        }
        Idle.clear();
    }

private:
    sqlite3* Connection;
    std::unordered_map<std::string, sqlite3_stmt*> Idle;
};

class Statement {
public:
    Statement(StatementCache& Cache, const char* Sql) : Cache(Cache), Sql(Sql), Handle(Cache.Take(Sql)) {}
    ~Statement() { Cache.Give(Sql, Handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ready() const { return Handle != nullptr; }
    Statement& Bind(int Index, const std::string& Text) {
        sqlite3_bind_text(Handle, Index, Text.data(), static_cast<int>(Text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int Index, int64_t Value) {
        sqlite3_bind_int64(Handle, Index, Value);
        return *this;
    }
    Statement& Bind(int Index, const std::optional<int>& Value) {
        if (Value) {
            sqlite3_bind_int64(Handle, Index, *Value);
        } else {
            sqlite3_bind_null(Handle, Index);
        }
        return *this;
    }
    Statement& Bind(int Index, const std::optional<std::string>& Value) {
        if (Value) {
            return Bind(Index, *Value);
        }
        sqlite3_bind_null(Handle, Index);
        return *this;
    }
    Statement& BindBlob(int Index, const std::string& Bytes) {
        sqlite3_bind_blob(Handle, Index, Bytes.data(), static_cast<int>(Bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return Handle != nullptr ? sqlite3_step(Handle) : SQLITE_ERROR; }
    bool Run() { return Step() == SQLITE_DONE; }
    std::string Text(int Column) const {
        const auto* Value = static_cast<const char*>(sqlite3_column_blob(Handle, Column));
        return Value != nullptr ? std::string(Value, static_cast<size_t>(sqlite3_column_bytes(Handle, Column))) : "";
    }
    int64_t Integer(int Column) const { return sqlite3_column_int64(Handle, Column); }
    bool IsNull(int Column) const { return sqlite3_column_type(Handle, Column) == SQLITE_NULL; }
    std::optional<int> OptionalInt(int Column) const {
        if (sqlite3_column_type(Handle, Column) == SQLITE_NULL) {
            return std::nullopt;
        }
        return static_cast<int>(sqlite3_column_int64(Handle, Column));
    }

private:
    StatementCache& Cache;
    const char* Sql;
    sqlite3_stmt* Handle;
};

// One change, all or nothing: a transaction of its own, or a savepoint inside the recorder's batch.
class Transaction {
public:
    explicit Transaction(StatementCache& Cache)
        : Cache(Cache), Nested(sqlite3_get_autocommit(Cache.Handle()) == 0) {
        Began = Statement(Cache, Nested ? "SAVEPOINT change" : "BEGIN IMMEDIATE").Run();
    }
    ~Transaction() {
        if (Began && !Done) {
            if (Nested) {
                Statement(Cache, "ROLLBACK TO change").Run();
                Statement(Cache, "RELEASE change").Run();
            } else {
                Statement(Cache, "ROLLBACK").Run();
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Commit() {
        Done = Began && Statement(Cache, Nested ? "RELEASE change" : "COMMIT").Run();
        return Done;
    }
    bool Began = false;

private:
    StatementCache& Cache;
    bool Nested;
    bool Done = false;
};

// The connection's commits no longer copy the write-ahead log into the database, unless the log has
// grown far past SQLite's default (a copier that falls behind): the Checkpointer below does it.
void LeaveCheckpointsToCopier(sqlite3* Connection) {
    sqlite3_exec(Connection, decode::LeaveCheckpointsPragma().c_str(), nullptr, nullptr, nullptr);
}

// Copies the write-ahead log back into the database on a thread and connection of its own, so that the
// recorder's commits only append to the log: done at commit, by the committing connection, the copy and
// its disk syncs were a third of the recorder's time at a thousand streaming machines, and the recorder
// fell behind.
class Checkpointer {
public:
    explicit Checkpointer(sqlite3* Connection) : Connection(Connection), Worker([this] { Run(); }) {}
    ~Checkpointer() {
        {
            std::lock_guard<std::mutex> Hold(Lock);
            Stopping = true;
        }
        Waiting.notify_one();
        Worker.join();
        sqlite3_close(Connection);
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    void Wake() {
        {
            std::lock_guard<std::mutex> Hold(Lock);
            Due = true;
        }
        Waiting.notify_one();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> Hold(Lock);
        for (;;) {
            // Other connections commit too (marks, alerts): a pass a second copies what they wrote.
            Waiting.wait_for(Hold, std::chrono::seconds(1), [this] { return Due || Stopping; });
            if (Stopping) {
                return;
            }
            Due = false;
            Hold.unlock();
            // Passive: never waits for readers or writers, copies what no reader still needs.
            sqlite3_wal_checkpoint_v2(Connection, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            Hold.lock();
        }
    }

    sqlite3* Connection;
    std::mutex Lock;
    std::condition_variable Waiting;
    bool Due = false;
    bool Stopping = false;
    std::thread Worker;
};

class SqliteStore final : public LabStore {
public:
    // Reader serves the pages, the alert sender and the loop's look-ups; Writer is the recorder's alone,
    // so that its batch stays its own: nothing else joins its transaction, and nobody reads what it has
    // not yet committed.
    // The generation starts at the clock, so that a restarted collector never repeats one an open page
    // holds.
    SqliteStore(sqlite3* Reader, sqlite3* Writer, sqlite3* Copier)
        : Database(Reader), Writer(Writer), Copying(Copier),
          Changes(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                      .count()) {
        LeaveCheckpointsToCopier(Reader);
        LeaveCheckpointsToCopier(Writer);
    }
    ~SqliteStore() override {
        WriterStatements.Clear();
        ReaderStatements.Clear();
        sqlite3_close(Writer);
        sqlite3_close(Database);
    }
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    std::string Upgrade() {
        std::lock_guard<std::mutex> Hold(Lock);
        for (int Attempt = 0;; ++Attempt) {
            Transaction Upgrading(ReaderStatements);
            if (!Upgrading.Began) {
                if ((sqlite3_errcode(Database) & 0xFF) == SQLITE_BUSY && Attempt < 6000) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                return Error();
            }
            int Version = 0;
            if (TableExists("lab_schema")) {
                Statement Query(ReaderStatements, "SELECT MAX(version) FROM lab_schema");
                if (Query.Step() != SQLITE_ROW) {
                    return Error();
                }
                Version = static_cast<int>(Query.Integer(0));
            }
            if (Version > LabSchemaVersion) {
                return "the lab tables are of version " + std::to_string(Version) + ", newer than this program's " +
                       std::to_string(LabSchemaVersion);
            }
            if (Version < 1) {
                if (sqlite3_exec(Database, SchemaV1, nullptr, nullptr, nullptr) != SQLITE_OK) {
                    return Error();
                }
                if (TableExists("reports") && (sqlite3_exec(Database, ImportIndexV1, nullptr, nullptr, nullptr) != SQLITE_OK ||
                                               !HashImported())) {
                    return "taking over the crash index's reports: " + Error();
                }
            }
            if (Version < 2) {
                if (sqlite3_exec(Database, SchemaV2, nullptr, nullptr, nullptr) != SQLITE_OK) {
                    return Error();
                }
                if (TableHasColumn("reports", "owner") &&
                    sqlite3_exec(Database, ImportOwners, nullptr, nullptr, nullptr) != SQLITE_OK) {
                    return "taking over the crash index's owners: " + Error();
                }
            }
            if ((Version < 3 && sqlite3_exec(Database, SchemaV3, nullptr, nullptr, nullptr) != SQLITE_OK) ||
                (Version < 4 && sqlite3_exec(Database, SchemaV4, nullptr, nullptr, nullptr) != SQLITE_OK)) {
                return Error();
            }
            // Orders each machine's boots by arrival, so that the newest are found without reading the rest.
            if (sqlite3_exec(Database, "CREATE INDEX IF NOT EXISTS lab_boots_by_machine ON lab_boots (machine_id)",
                             nullptr, nullptr, nullptr) != SQLITE_OK ||
                !Upgrading.Commit()) {
                return Error();
            }
            Schema = LabSchemaVersion;
            return "";
        }
    }

    bool UpsertMachine(const std::string& Name, const std::map<std::string, std::string>& Tags,
                       const std::string& Source, bool Configured) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Statement Upsert(WriterStatements,
                         "INSERT INTO lab_machines (name, tags, source, configured, first_seen) VALUES (?1, ?2, ?3, ?4, ?5)"
                         " ON CONFLICT (name) DO UPDATE SET tags = ?2, source = ?3, configured = ?4");
        return Changed(Upsert.Bind(1, Name).Bind(2, EncodeTags(Tags)).Bind(3, Source).Bind(4, int64_t{Configured}).Bind(5, NowIso()).Run());
    }

    std::optional<BootOutcome> RecordBoot(const std::string& Machine, const BootEntry& Boot) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Transaction Writing(WriterStatements);
        const std::optional<int64_t> MachineId = MachineIdOf(Machine);
        if (!Writing.Began || !MachineId) {
            return std::nullopt;
        }
        Statement Insert(WriterStatements,
                         "INSERT OR IGNORE INTO lab_boots (machine_id, load_time, driver_version, state, arrived)"
                         " VALUES (?1, ?2, ?3, ?4, ?5)");
        if (!Insert.Bind(1, *MachineId).Bind(2, Boot.LoadTime).Bind(3, Boot.DriverVersion).Bind(4, Boot.State).Bind(5, Boot.Arrived).Run()) {
            return std::nullopt;
        }
        BootOutcome Outcome;
        Outcome.Added = sqlite3_changes(Writer) > 0;
        if (Outcome.Added) {
            // Whether this boot shows a crash without a report or continues a loop depends on the boots
            // of a loop's length only; reading every boot made a machine's thousandth boot slow to record.
            const std::vector<BootHealth> Boots = BootsOf(WriterStatements, *MachineId, BootLoopLength);
            const Health Before = DeriveHealth(std::vector<BootHealth>(Boots.begin(), Boots.end() - 1));
            const Health After = DeriveHealth(Boots);
            Outcome.CrashWithoutReport = After.CrashesWithoutReport > Before.CrashesWithoutReport;
            Outcome.BootLoop = After.BootLoop;
            const std::string Previous = Boots.size() >= 2 ? Boots[Boots.size() - 2].LoadTime : "";
            if ((Outcome.CrashWithoutReport &&
                 !Enqueue("crash_without_report", Machine, "", 0,
                          "the boot loaded " + Boot.LoadTime + " says the boot loaded " + Previous +
                              " crashed, and no report of that boot was captured")) ||
                (Outcome.BootLoop && !Enqueue("boot_loop", Machine, "", 0,
                                              "the boot loaded " + Boot.LoadTime +
                                                  " is the third or later in a row whose state says the one before crashed"))) {
                return std::nullopt;
            }
        }
        if (!Writing.Commit()) {
            return std::nullopt;
        }
        Changed(true);
        return Outcome;
    }

    bool MarkStopped(const std::string& Machine) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Statement Update(WriterStatements,
                         "UPDATE lab_boots SET stopped = 1 WHERE id = (SELECT MAX(b.id) FROM lab_boots b"
                         " JOIN lab_machines m ON m.id = b.machine_id WHERE m.name = ?1)");
        return Changed(Update.Bind(1, Machine).Run());
    }

    std::optional<ReportOutcome> RecordReport(const std::string& Machine, const ReportEntry& Report) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Transaction Writing(WriterStatements);
        const std::optional<int64_t> MachineId = MachineIdOf(Machine);
        if (!Writing.Began || !MachineId) {
            return std::nullopt;
        }
        std::optional<int64_t> BootId;
        std::optional<int> DriverVersion;
        if (Report.BootLoadTime) {
            Statement Boot(WriterStatements, "SELECT id, driver_version FROM lab_boots WHERE machine_id = ?1 AND load_time = ?2");
            if (Boot.Bind(1, *MachineId).Bind(2, *Report.BootLoadTime).Step() == SQLITE_ROW) {
                BootId = Boot.Integer(0);
                DriverVersion = Boot.OptionalInt(1);
            }
        }
        Statement Known(WriterStatements, "SELECT EXISTS (SELECT 1 FROM lab_reports WHERE bucket = ?1)");
        if (Known.Bind(1, Report.Bucket).Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        ReportOutcome Outcome;
        Outcome.NewBucket = Known.Integer(0) == 0;
        Statement Insert(WriterStatements,
                         "INSERT OR IGNORE INTO lab_reports (machine_id, boot_id, crash_time, code, bucket, signature,"
                         " culprit_module, culprit_function, culprit_source, driver_version, truncated, raw, document,"
                         " arrived, raw_hash, owner, index_row)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
        Insert.Bind(1, *MachineId).Bind(3, Report.CrashTime).Bind(4, Report.Code).Bind(5, Report.Bucket);
        Insert.Bind(6, Report.Signature).Bind(7, Report.CulpritModule).Bind(8, Report.CulpritFunction);
        Insert.Bind(9, Report.CulpritSource).Bind(10, DriverVersion).Bind(11, int64_t{Report.Truncated});
        Insert.Bind(14, Report.Arrived).Bind(15, RawHash(Report.Raw)).Bind(16, Report.Owner);
        if (BootId) {
            Insert.Bind(2, *BootId);
        }
        if (Report.IndexRow) {
            Insert.Bind(12, std::string()).Bind(13, std::string()).Bind(17, *Report.IndexRow);
        } else {
            Insert.Bind(12, Report.Raw).Bind(13, Report.Document);
        }
        if (!Insert.Run()) {
            return std::nullopt;
        }
        Outcome.Added = sqlite3_changes(Writer) > 0;
        if (!Outcome.Added) {
            Outcome.NewBucket = false;
            return Writing.Commit() ? std::optional<ReportOutcome>(Outcome) : std::nullopt;
        }
        Outcome.Id = sqlite3_last_insert_rowid(Writer);
        Statement Regress(WriterStatements,
                          "UPDATE lab_buckets SET state = 'regressed', regressed_at = ?2"
                          " WHERE bucket = ?1 AND state = 'fixed' AND fixed_at <= ?2");
        if (!Regress.Bind(1, Report.Bucket).Bind(2, Report.Arrived).Run()) {
            return std::nullopt;
        }
        Outcome.Regressed = sqlite3_changes(Writer) > 0;
        if ((Outcome.NewBucket && !Enqueue("new_bucket", Machine, Report.Bucket, Outcome.Id, "a crash of a new bucket")) ||
            (Outcome.Regressed &&
             !Enqueue("regression", Machine, Report.Bucket, Outcome.Id, "a crash of a bucket marked fixed"))) {
            return std::nullopt;
        }
        if (!Writing.Commit()) {
            return std::nullopt;
        }
        Changed(true);
        return Outcome;
    }

    bool AppendRaw(const std::string& Machine, const std::string& Bytes, size_t Limit) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Transaction Writing(WriterStatements);
        const std::optional<int64_t> MachineId = MachineIdOf(Machine);
        if (!Writing.Began || !MachineId) {
            return false;
        }
        Statement Insert(WriterStatements, "INSERT INTO lab_raw (machine_id, arrived, bytes) VALUES (?1, ?2, ?3)");
        Statement Grow(WriterStatements, "UPDATE lab_machines SET raw_bytes = raw_bytes + ?2 WHERE id = ?1");
        if (!Insert.Bind(1, *MachineId).Bind(2, NowIso()).BindBlob(3, Bytes).Run() ||
            !Grow.Bind(1, *MachineId).Bind(2, static_cast<int64_t>(Bytes.size())).Run()) {
            return false;
        }
        Statement Size(WriterStatements, "SELECT raw_bytes FROM lab_machines WHERE id = ?1");
        if (Size.Bind(1, *MachineId).Step() != SQLITE_ROW) {
            return false;
        }
        int64_t Held = Size.Integer(0);
        while (Held > static_cast<int64_t>(Limit)) {
            Statement Oldest(WriterStatements, "SELECT id, length(bytes) FROM lab_raw WHERE machine_id = ?1 ORDER BY id LIMIT 1");
            if (Oldest.Bind(1, *MachineId).Step() != SQLITE_ROW) {
                break;
            }
            Statement Drop(WriterStatements, "DELETE FROM lab_raw WHERE id = ?1");
            Statement Shrink(WriterStatements, "UPDATE lab_machines SET raw_bytes = raw_bytes - ?2 WHERE id = ?1");
            if (!Drop.Bind(1, Oldest.Integer(0)).Run() || !Shrink.Bind(1, *MachineId).Bind(2, Oldest.Integer(1)).Run()) {
                return false;
            }
            Held -= Oldest.Integer(1);
        }
        return Writing.Commit();
    }

    bool TouchMachine(const std::string& Machine, const std::string& When) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Statement Update(WriterStatements, "UPDATE lab_machines SET last_bytes = ?2 WHERE name = ?1");
        return Update.Bind(1, Machine).Bind(2, When).Run();
    }

    bool SaveResume(const std::string& Machine, const std::string& FileKey, const ResumePoint& Point) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Statement Upsert(WriterStatements,
                         "INSERT INTO lab_resume (machine_id, file_key, offset, logged_to)"
                         " SELECT id, ?2, ?3, ?4 FROM lab_machines WHERE name = ?1"
                         " ON CONFLICT (machine_id) DO UPDATE SET file_key = ?2, offset = ?3, logged_to = ?4");
        return Upsert.Bind(1, Machine).Bind(2, FileKey).Bind(3, static_cast<int64_t>(Point.Offset))
            .Bind(4, static_cast<int64_t>(Point.LoggedTo)).Run();
    }

    std::optional<ResumePoint> LoadResume(const std::string& Machine, const std::string& FileKey) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Query(ReaderStatements,
                        "SELECT r.offset, r.logged_to FROM lab_resume r JOIN lab_machines m ON m.id = r.machine_id"
                        " WHERE m.name = ?1 AND r.file_key = ?2");
        if (Query.Bind(1, Machine).Bind(2, FileKey).Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        return ResumePoint{static_cast<uint64_t>(Query.Integer(0)), static_cast<uint64_t>(Query.Integer(1))};
    }

    bool MarkFixed(const std::string& Bucket, const std::string& Note) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Upsert(ReaderStatements,
                         "INSERT INTO lab_buckets (bucket, state, fixed_at, note, regressed_at) VALUES (?1, 'fixed', ?2, ?3, '')"
                         " ON CONFLICT (bucket) DO UPDATE SET state = 'fixed', fixed_at = ?2, note = ?3, regressed_at = ''");
        return Changed(Upsert.Bind(1, Bucket).Bind(2, NowIso()).Bind(3, Note).Run());
    }

    bool Reopen(const std::string& Bucket) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Update(ReaderStatements,
                         "UPDATE lab_buckets SET state = 'open', fixed_at = '', regressed_at = '' WHERE bucket = ?1");
        return Changed(Update.Bind(1, Bucket).Run());
    }

    std::vector<BucketRow> Buckets(const BucketFilter& Filter) override {
        static const std::map<std::string, std::string> Orders = {
            {"count", "g.count DESC, g.bucket"}, {"last", "g.last DESC, g.bucket"},
            {"first", "g.first DESC, g.bucket"}, {"bucket", "g.bucket"},
            {"machines", "g.machines DESC, g.bucket"}};
        const auto Order = Orders.find(Filter.Sort);
        const std::string OrderBy = " ORDER BY " + (Order != Orders.end() ? Order->second : Orders.at("count"));
        const bool Unfiltered = Filter.Code.empty() && Filter.Module.empty() && Filter.Machine.empty() &&
                                Filter.Tag.empty() && Filter.Owner.empty() && Filter.Days <= 0;
        // Without a filter, the counts kept per bucket answer; a filter groups the reports it keeps. The
        // machines are joined only when a filter names one or a tag, and the buckets' states after the
        // grouping: both per report were most of the page's time.
        const bool ByMachine = !Filter.Machine.empty() || !Filter.Tag.empty();
        const std::string Grouped =
            Unfiltered ? std::string("lab_bucket_stats")
                       : std::string("(SELECT r.bucket AS bucket, MIN(r.code) AS code, MIN(r.culprit_module) AS module,"
                                     " COUNT(*) AS count, COUNT(DISTINCT r.machine_id) AS machines,"
                                     " MIN(r.arrived) AS first, MAX(r.arrived) AS last, MAX(r.owner) AS owner"
                                     " FROM lab_reports r") +
                             (ByMachine ? " JOIN lab_machines m ON m.id = r.machine_id" : "") +
                             " WHERE (?1 = '' OR r.code = ?1 COLLATE NOCASE)"
                             " AND (?2 = '' OR r.culprit_module = ?2 COLLATE NOCASE)" +
                             (ByMachine ? " AND (?3 = '' OR m.name = ?3) AND (?4 = ''"
                                          " OR instr(m.tags, char(10) || ?4 || char(10)) > 0"
                                          " OR instr(m.tags, '=' || ?4 || char(10)) > 0)"
                                        : " AND ?3 = '' AND ?4 = ''") +
                             " AND (?5 = '' OR r.arrived >= ?5) AND (?6 = '' OR r.owner = ?6) GROUP BY r.bucket)";
        const std::string Text = "SELECT g.bucket, g.code, g.module, g.count, g.machines, g.first, g.last,"
                                 " COALESCE(b.state, 'open'), COALESCE(b.regressed_at, ''), g.owner FROM " +
                                 Grouped + " g LEFT JOIN lab_buckets b ON b.bucket = g.bucket" + OrderBy;
        const std::vector<std::string> Days = WindowDays();
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Query(ReaderStatements, Text.c_str());
        if (!Unfiltered) {
            Query.Bind(1, Filter.Code).Bind(2, Filter.Module).Bind(3, Filter.Machine).Bind(4, Filter.Tag);
            Query.Bind(5, Filter.Days > 0 ? IsoDaysAgo(Filter.Days) : std::string()).Bind(6, Filter.Owner);
        }
        std::vector<BucketRow> Rows;
        std::map<std::string, size_t> Where;
        while (Query.Step() == SQLITE_ROW) {
            BucketRow Row;
            Row.Bucket = Query.Text(0);
            Row.Code = Query.Text(1);
            Row.Module = Query.Text(2);
            Row.Count = static_cast<unsigned>(Query.Integer(3));
            Row.Machines = static_cast<unsigned>(Query.Integer(4));
            Row.FirstSeen = Query.Text(5);
            Row.LastSeen = Query.Text(6);
            Row.State = Query.Text(7);
            Row.Owner = Query.Text(9);
            Row.New = Row.FirstSeen >= IsoDaysAgo(1);
            Row.Daily.assign(SparklineDays, 0);
            Where[Row.Bucket] = Rows.size();
            Rows.push_back(std::move(Row));
        }
        // The sparkline counts every report of the bucket, whatever the filter kept.
        Statement Daily(ReaderStatements, "SELECT bucket, day, count FROM lab_bucket_days WHERE day >= ?1");
        Daily.Bind(1, Days.front());
        while (Daily.Step() == SQLITE_ROW) {
            if (const auto Found = Where.find(Daily.Text(0)); Found != Where.end()) {
                AddToDaily(Rows[Found->second].Daily, Days, Daily.Text(1), static_cast<unsigned>(Daily.Integer(2)));
            }
        }
        return Rows;
    }

    std::optional<BucketDetail> Bucket(const std::string& Name, unsigned Page) override {
        std::lock_guard<std::mutex> Hold(Lock);
        BucketDetail Detail;
        Detail.Bucket = Name;
        Statement Newest(ReaderStatements,
                         "SELECT signature, culprit_module, culprit_function, culprit_source, document, index_row"
                         " FROM lab_reports WHERE bucket = ?1 ORDER BY arrived DESC, id DESC LIMIT 1");
        if (Newest.Bind(1, Name).Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        Detail.Signature = Newest.Text(0);
        Detail.CulpritModule = Newest.Text(1);
        Detail.CulpritFunction = Newest.Text(2);
        Detail.CulpritSource = Newest.Text(3);
        Detail.Canonical = CanonicalOf(ReadingOf(Newest, -1, 4, 5).Document);
        Statement Count(ReaderStatements, "SELECT COUNT(*) FROM lab_reports WHERE bucket = ?1");
        Count.Bind(1, Name).Step();
        Detail.Count = static_cast<unsigned>(Count.Integer(0));
        Detail.Pages = (Detail.Count + ReportsPerPage - 1) / ReportsPerPage;
        Detail.Page = Detail.Pages == 0 ? 0 : std::min(Page, Detail.Pages - 1);
        Statement State(ReaderStatements, "SELECT state, fixed_at, note, regressed_at FROM lab_buckets WHERE bucket = ?1");
        if (State.Bind(1, Name).Step() == SQLITE_ROW) {
            Detail.State = State.Text(0);
            Detail.FixedAt = State.Text(1);
            Detail.Note = State.Text(2);
            Detail.RegressedAt = State.Text(3);
        }
        Statement PerMachine(ReaderStatements,
                             "SELECT m.name, COUNT(*) FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id"
                             " WHERE r.bucket = ?1 GROUP BY m.name");
        PerMachine.Bind(1, Name);
        while (PerMachine.Step() == SQLITE_ROW) {
            Detail.PerMachine[PerMachine.Text(0)] = static_cast<unsigned>(PerMachine.Integer(1));
        }
        Statement PerVersion(ReaderStatements,
                             "SELECT COALESCE(CAST(driver_version AS TEXT), 'unknown'), COUNT(*) FROM lab_reports"
                             " WHERE bucket = ?1 GROUP BY 1");
        PerVersion.Bind(1, Name);
        while (PerVersion.Step() == SQLITE_ROW) {
            Detail.PerDriverVersion[PerVersion.Text(0)] = static_cast<unsigned>(PerVersion.Integer(1));
        }
        const std::vector<std::string> Days = WindowDays();
        Detail.Daily.assign(SparklineDays, 0);
        Statement Daily(ReaderStatements,
                        "SELECT substr(arrived, 1, 10), COUNT(*) FROM lab_reports WHERE bucket = ?1 AND arrived >= ?2"
                        " GROUP BY 1");
        Daily.Bind(1, Name).Bind(2, Days.front());
        while (Daily.Step() == SQLITE_ROW) {
            AddToDaily(Detail.Daily, Days, Daily.Text(0), static_cast<unsigned>(Daily.Integer(1)));
        }
        Statement Reports(ReaderStatements,
                          "SELECT r.id, m.name, r.crash_time, r.arrived, r.code, r.bucket, r.driver_version, r.truncated"
                          " FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id WHERE r.bucket = ?1"
                          " ORDER BY r.arrived DESC, r.id DESC LIMIT ?2 OFFSET ?3");
        Reports.Bind(1, Name).Bind(2, int64_t{ReportsPerPage}).Bind(3, static_cast<int64_t>(Detail.Page) * ReportsPerPage);
        while (Reports.Step() == SQLITE_ROW) {
            Detail.Reports.push_back(RowOf(Reports));
        }
        return Detail;
    }

    std::optional<ReportDetail> Report(int64_t Id) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Query(ReaderStatements,
                        "SELECT r.id, m.name, r.crash_time, r.arrived, r.code, r.bucket, r.driver_version, r.truncated,"
                        " r.signature, COALESCE(b.load_time, ''), COALESCE(b.state, ''), r.raw, r.document, r.index_row"
                        " FROM lab_reports r JOIN lab_machines m ON m.id = r.machine_id"
                        " LEFT JOIN lab_boots b ON b.id = r.boot_id WHERE r.id = ?1");
        if (Query.Bind(1, Id).Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        ReportDetail Detail;
        Detail.Row = RowOf(Query);
        Detail.Signature = Query.Text(8);
        Detail.BootLoadTime = Query.Text(9);
        Detail.BootState = Query.Text(10);
        Reading Kept = ReadingOf(Query, 11, 12, 13);
        Detail.Raw = std::move(Kept.Raw);
        Detail.Document = std::move(Kept.Document);
        return Detail;
    }

    std::vector<MachineRow> Machines() override {
        std::lock_guard<std::mutex> Hold(Lock);
        std::vector<MachineRow> Rows;
        std::vector<int64_t> Ids;
        Statement Query(ReaderStatements,
                        "SELECT id, name, tags, source, last_bytes, configured FROM lab_machines ORDER BY name");
        while (Query.Step() == SQLITE_ROW) {
            MachineRow Row;
            Ids.push_back(Query.Integer(0));
            Row.Name = Query.Text(1);
            Row.Tags = DecodeTags(Query.Text(2));
            Row.Source = Query.Text(3);
            Row.LastBytes = Query.Text(4);
            Row.Configured = Query.Integer(5) != 0;
            Rows.push_back(std::move(Row));
        }
        for (size_t Index = 0; Index < Rows.size(); ++Index) {
            MachineRow& Row = Rows[Index];
            const std::vector<BootHealth> Boots = BootsOf(ReaderStatements, Ids[Index]);
            Row.Boots = static_cast<unsigned>(Boots.size());
            if (!Boots.empty()) {
                Row.CurrentBoot = Boots.back().LoadTime;
                Row.CurrentState = Boots.back().State.value_or("");
            }
            Statement Crashes(ReaderStatements, "SELECT COUNT(*) FROM lab_reports WHERE machine_id = ?1");
            Crashes.Bind(1, Ids[Index]).Step();
            Row.Crashes = static_cast<unsigned>(Crashes.Integer(0));
            Row.Derived = DeriveHealth(Boots);
        }
        return Rows;
    }

    std::string RawLog(const std::string& Machine) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Query(ReaderStatements,
                        "SELECT r.bytes FROM lab_raw r JOIN lab_machines m ON m.id = r.machine_id WHERE m.name = ?1"
                        " ORDER BY r.id");
        Query.Bind(1, Machine);
        std::string Bytes;
        while (Query.Step() == SQLITE_ROW) {
            Bytes += Query.Text(0);
        }
        return Bytes;
    }

    void SetAlertTargets(std::vector<AlertTarget> Wanted) override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        Targets = std::move(Wanted);
    }

    std::vector<OutboxEntry> DueAlerts(const std::string& Now, unsigned Limit) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Query(ReaderStatements,
                        "SELECT id, target, event, document, attempts FROM lab_outbox WHERE delivered = ''"
                        " AND next_attempt <= ?1 ORDER BY id LIMIT ?2");
        Query.Bind(1, Now).Bind(2, int64_t{Limit});
        std::vector<OutboxEntry> Due;
        while (Query.Step() == SQLITE_ROW) {
            Due.push_back({Query.Integer(0), Query.Text(1), Query.Text(2), Query.Text(3), static_cast<int>(Query.Integer(4))});
        }
        return Due;
    }

    bool AlertDelivered(int64_t Id) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Update(ReaderStatements, "UPDATE lab_outbox SET delivered = ?2, attempts = attempts + 1 WHERE id = ?1");
        return Update.Bind(1, Id).Bind(2, NowIso()).Run();
    }

    bool AlertFailed(int64_t Id, const std::string& NextAttempt, const std::string& Error) override {
        std::lock_guard<std::mutex> Hold(Lock);
        Statement Update(ReaderStatements,
                         "UPDATE lab_outbox SET attempts = attempts + 1, next_attempt = ?2, last_error = ?3 WHERE id = ?1");
        return Update.Bind(1, Id).Bind(2, NextAttempt).Bind(3, Error).Run();
    }

    bool BeginBatch() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        for (int Attempt = 0; Attempt < 6000; ++Attempt) {
            if (sqlite3_exec(Writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
                return true;
            }
            if ((sqlite3_errcode(Writer) & 0xFF) != SQLITE_BUSY) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    bool CommitBatch() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        const bool Done = Changed(sqlite3_exec(Writer, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK);
        Copying.Wake();
        return Done;
    }

    int64_t Generation() override { return Changes; }
    int SchemaVersion() override { return Schema; }
    std::string LastReadError() override {
        std::lock_guard<std::mutex> Hold(Lock);
        return Error();
    }

    // The recorder's last failure: the only caller.
    std::string LastError() override {
        std::lock_guard<std::mutex> Hold(WriterLock);
        return sqlite3_errmsg(Writer);
    }

private:
    std::string Error() const { return sqlite3_errmsg(Database); }

    // A report's raw text and JSON object: in its own row, or in the crash index's row that holds the
    // same reading when the record points at one. Under the reader's lock.
    struct Reading {
        std::string Raw;
        std::string Document;
    };
    Reading ReadingOf(const Statement& Row, int RawColumn, int DocumentColumn, int IndexRowColumn) {
        if (Row.IsNull(IndexRowColumn)) {
            return {RawColumn >= 0 ? Row.Text(RawColumn) : std::string(), Row.Text(DocumentColumn)};
        }
        Statement Indexed(ReaderStatements, "SELECT raw, document FROM reports WHERE id = ?1");
        if (Indexed.Bind(1, Row.Integer(IndexRowColumn)).Step() != SQLITE_ROW) {
            return {};
        }
        return {Indexed.Text(0), Indexed.Text(1)};
    }

    bool Changed(bool Done) {
        if (Done) {
            ++Changes;
        }
        return Done;
    }

    bool HashImported() {
        std::vector<std::pair<int64_t, std::string>> Hashes;
        Statement Query(ReaderStatements, "SELECT id, raw FROM lab_reports WHERE raw_hash LIKE 'import %'");
        while (Query.Step() == SQLITE_ROW) {
            Hashes.emplace_back(Query.Integer(0), RawHash(Query.Text(1)));
        }
        for (const auto& [Id, Hash] : Hashes) {
            Statement Update(ReaderStatements, "UPDATE lab_reports SET raw_hash = ?2 WHERE id = ?1");
            if (!Update.Bind(1, Id).Bind(2, Hash).Run()) {
                return false;
            }
        }
        return true;
    }

    bool TableExists(const char* Name) {
        Statement Query(ReaderStatements, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
        return Query.Bind(1, std::string(Name)).Step() == SQLITE_ROW;
    }

    bool TableHasColumn(const char* Table, const char* Column) {
        Statement Query(ReaderStatements, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
        return Query.Bind(1, std::string(Table)).Bind(2, std::string(Column)).Step() == SQLITE_ROW;
    }

    // Inside the caller's transaction: one outbox row per target that wants the event.
    bool Enqueue(const std::string& Event, const std::string& Machine, const std::string& Bucket, int64_t Report,
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
            Statement Insert(WriterStatements,
                             "INSERT INTO lab_outbox (target, event, document, created, next_attempt)"
                             " VALUES (?1, ?2, ?3, ?4, ?4)");
            if (!Insert.Bind(1, Target.Key).Bind(2, Event).Bind(3, Text).Bind(4, Now).Run()) {
                return false;
            }
        }
        return true;
    }

    std::optional<int64_t> MachineIdOf(const std::string& Name) {
        Statement Query(WriterStatements, "SELECT id FROM lab_machines WHERE name = ?1");
        if (Query.Bind(1, Name).Step() != SQLITE_ROW) {
            return std::nullopt;
        }
        return Query.Integer(0);
    }

    // The machine's boots oldest first; only the newest Newest of them when that is not zero.
    static std::vector<BootHealth> BootsOf(StatementCache& On, int64_t MachineId, unsigned Newest = 0) {
        Statement Query(On,
                        "SELECT b.id, b.load_time, b.driver_version, b.state, b.stopped,"
                        " (SELECT COUNT(*) FROM lab_reports r WHERE r.boot_id = b.id)"
                        " FROM (SELECT * FROM lab_boots WHERE machine_id = ?1 ORDER BY id DESC LIMIT ?2) b ORDER BY b.id");
        Query.Bind(1, MachineId).Bind(2, Newest == 0 ? int64_t{-1} : int64_t{Newest});
        std::vector<BootHealth> Boots;
        while (Query.Step() == SQLITE_ROW) {
            BootHealth Boot;
            Boot.LoadTime = Query.Text(1);
            Boot.DriverVersion = Query.OptionalInt(2);
            const std::string State = Query.Text(3);
            if (!State.empty()) {
                Boot.State = State;
            }
            Boot.Stopped = Query.Integer(4) != 0;
            Boot.Reports = static_cast<unsigned>(Query.Integer(5));
            Boots.push_back(std::move(Boot));
        }
        return Boots;
    }

    static ReportRow RowOf(const Statement& Query) {
        ReportRow Row;
        Row.Id = Query.Integer(0);
        Row.Machine = Query.Text(1);
        Row.CrashTime = Query.Text(2);
        Row.Arrived = Query.Text(3);
        Row.Code = Query.Text(4);
        Row.Bucket = Query.Text(5);
        Row.DriverVersion = Query.OptionalInt(6);
        Row.Truncated = Query.Integer(7) != 0;
        return Row;
    }

    sqlite3* Database;
    sqlite3* Writer;
    Checkpointer Copying;
    StatementCache ReaderStatements{Database};
    StatementCache WriterStatements{Writer};
    std::mutex Lock;
    std::mutex WriterLock;
    std::atomic<int64_t> Changes{0};
    int Schema = 0;
    std::vector<AlertTarget> Targets;
};

}  // namespace

namespace {

sqlite3* Connect(const std::string& Path, std::string& Error) {
    sqlite3* Database = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        Error = "cannot open " + Path + ": " + (Database != nullptr ? sqlite3_errmsg(Database) : "out of memory");
        sqlite3_close(Database);
        return nullptr;
    }
    sqlite3_busy_timeout(Database, BusyTimeoutMs);
    // A new file gets 16 KiB pages: a report's row in the crash index, JSON object included, then fits
    // one page instead of spreading over three, and at a thousand streaming machines the log takes a
    // quarter of the writes. A file that exists keeps its page size.
    // In write-ahead-log mode, synchronous=NORMAL keeps every commit through a kill of the process (not
    // through a power loss of the machine) without waiting for the disk at each one.
    // Statement journals (each report's savepoint inside the recorder's batch) stay in memory: in a
    // temporary file they cost a write for every page a report touched.
    // The pages are read through a memory map and a larger cache rather than copied in at every query.
    sqlite3_exec(Database,
                 "PRAGMA page_size=16384; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;"
                 " PRAGMA cache_size=-32768; PRAGMA mmap_size=268435456",
                 nullptr, nullptr, nullptr);
    return Database;
}

}  // namespace

OpenedStore OpenSqliteStore(const std::string& Path) {
    OpenedStore Result;
    sqlite3* Reader = Connect(Path, Result.Error);
    sqlite3* Writer = Reader != nullptr ? Connect(Path, Result.Error) : nullptr;
    sqlite3* Copier = Writer != nullptr ? Connect(Path, Result.Error) : nullptr;
    if (Copier == nullptr) {
        sqlite3_close(Writer);
        sqlite3_close(Reader);
        return Result;
    }
    auto Store = std::make_unique<SqliteStore>(Reader, Writer, Copier);
    if (std::string Error = Store->Upgrade(); !Error.empty()) {
        Result.Error = Path + ": " + Error;
        return Result;
    }
    Result.Store = std::move(Store);
    return Result;
}

}  // namespace hestolvane::lab
