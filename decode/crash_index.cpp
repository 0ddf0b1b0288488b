// The crash index on SQLite. Writers share the file through SQLite's write-ahead log and wait for each
// other (busy timeout); each report is checked and written inside one immediate transaction, so two
// processes recording the same report count it once and different reports are never lost.
#include "crash_index.h"

#include <sqlite3.h>

#include <chrono>
#include <map>
#include <thread>

#include <cstdio>

#include <ctime>

#include "output.h"

namespace hestolvane::decode {

namespace {

// Long enough for any other writer's transaction, which holds one report.
constexpr int BusyTimeoutMs = 60000;

// SQLite reports a lock without waiting in a few cases the busy timeout does not cover: two connections
// putting a new file into write-ahead mode at once, or one finding another recovering the log. Such a
// step is tried again, for as long as the busy timeout at most.
template <typename Step>
bool RetryWhileLocked(sqlite3* Database, Step Attempt) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
    for (;;) {
        if (Attempt()) {
            return true;
        }
        const int Code = sqlite3_errcode(Database) & 0xFF;
        if ((Code != SQLITE_BUSY && Code != SQLITE_LOCKED) || std::chrono::steady_clock::now() > Deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A crash is identified by its source, the load time of its boot and its crash time: a capture decoded
// again, or a report cut off and later read whole, is the same crash. A report without a crash time is
// identified by its text. `complete` is 0 for a truncated reading, which a complete one replaces.
constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY,"
    " source TEXT NOT NULL,"
    " crash_time TEXT NOT NULL,"  // empty when the report has none
    " load_time TEXT,"
    " code TEXT,"
    " bucket TEXT NOT NULL,"
    " signature TEXT NOT NULL,"
    " raw TEXT NOT NULL,"
    " document TEXT NOT NULL,"
    " recorded TEXT NOT NULL,"
    " identity TEXT,"
    " complete INTEGER NOT NULL DEFAULT 1);"
    "CREATE INDEX IF NOT EXISTS reports_by_bucket ON reports (bucket);";

// An index written before crashes had an identity: each row gets one, and of the rows of one crash the
// most complete reading stays.
constexpr const char* AddIdentity =
    "ALTER TABLE reports ADD COLUMN identity TEXT;"
    "ALTER TABLE reports ADD COLUMN complete INTEGER NOT NULL DEFAULT 1;"
    "UPDATE reports SET complete = ifnull(json_extract(document, '$.end') != 'truncated', 1);";
constexpr const char* FillIdentity =
    "UPDATE reports SET identity = CASE WHEN crash_time != '' THEN ifnull(load_time, '') || ' ' || crash_time"
    " ELSE 'raw ' || raw END WHERE identity IS NULL;"
    "DELETE FROM reports WHERE id NOT IN (SELECT id FROM (SELECT id, row_number() OVER (PARTITION BY source,"
    " identity ORDER BY complete DESC, length(raw) DESC, id DESC) AS rank FROM reports) WHERE rank = 1);"
    "CREATE UNIQUE INDEX IF NOT EXISTS reports_by_crash ON reports (source, identity);";

std::string ErrorOf(sqlite3* Database) {
    return sqlite3_errmsg(Database);
}

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* Database, const char* Text) { sqlite3_prepare_v2(Database, Text, -1, &Handle, nullptr); }
    ~Statement() { sqlite3_finalize(Handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ready() const { return Handle != nullptr; }
    void Bind(int Index, const std::string& Text) {
        sqlite3_bind_text(Handle, Index, Text.c_str(), static_cast<int>(Text.size()), SQLITE_TRANSIENT);
    }
    void BindNull(int Index) { sqlite3_bind_null(Handle, Index); }
    int Step() { return sqlite3_step(Handle); }
    std::string Text(int Column) const {
        const auto* Value = reinterpret_cast<const char*>(sqlite3_column_text(Handle, Column));
        return Value != nullptr ? Value : "";
    }
    int64_t Integer(int Column) const { return sqlite3_column_int64(Handle, Column); }

private:
    sqlite3_stmt* Handle = nullptr;
};

// Rolls an open transaction back unless it was committed.
class Transaction {
public:
    explicit Transaction(sqlite3* Database) : Database(Database) {
        Began = sqlite3_exec(Database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (Began && !Done) {
            sqlite3_exec(Database, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Began = false;
    bool Commit() {
        Done = sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return Done;
    }

private:
    sqlite3* Database;
    bool Done = false;
};

std::string NowIso() {
    const std::time_t Now = std::time(nullptr);
    std::tm Utc{};
    gmtime_r(&Now, &Utc);
    char Text[32];
    return std::strftime(Text, sizeof(Text), "%Y-%m-%dT%H:%M:%SZ", &Utc) > 0 ? Text : "";
}

std::string IdentityOf(const Report& Decoded, const std::optional<Boot>& LoadedBy) {
    if (!Decoded.CrashTime) {
        return "raw " + Decoded.RawText;
    }
    const std::string LoadTime = LoadedBy && LoadedBy->LoadTime ? FormatIsoTimestamp(*LoadedBy->LoadTime) : "";
    return LoadTime + " " + FormatIsoTimestamp(*Decoded.CrashTime);
}

bool HasIdentityColumn(sqlite3* Database) {
    Statement Columns(Database, "SELECT 1 FROM pragma_table_info('reports') WHERE name = 'identity'");
    return Columns.Ready() && Columns.Step() == SQLITE_ROW;
}

std::string CodeText(const Report& Decoded) {
    if (!Decoded.Check) {
        return "";
    }
    char Text[24];
    std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Decoded.Check->Code));
    return Text;
}

}  // namespace

CrashIndex::Opened CrashIndex::Open(const std::string& Path) {
    Opened Result;
    sqlite3* Database = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        Result.Error = "cannot open " + Path + ": " + (Database != nullptr ? ErrorOf(Database) : "out of memory");
        sqlite3_close(Database);
        return Result;
    }
    std::unique_ptr<CrashIndex> Index(new CrashIndex(Database));
    sqlite3_busy_timeout(Database, BusyTimeoutMs);
    const bool Ready = RetryWhileLocked(Database, [Database] {
        if (sqlite3_exec(Database, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        Transaction Creating(Database);
        if (!Creating.Began || sqlite3_exec(Database, Schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        if (!HasIdentityColumn(Database) && sqlite3_exec(Database, AddIdentity, nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        return sqlite3_exec(Database, FillIdentity, nullptr, nullptr, nullptr) == SQLITE_OK && Creating.Commit();
    });
    if (!Ready) {
        Result.Error = Path + ": " + ErrorOf(Database);
        return Result;
    }
    Result.Index = std::move(Index);
    return Result;
}

CrashIndex::Opened CrashIndex::OpenReadOnly(const std::string& Path) {
    Opened Result;
    sqlite3* Database = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        Result.Error = "cannot open " + Path + ": " + (Database != nullptr ? ErrorOf(Database) : "out of memory");
        sqlite3_close(Database);
        return Result;
    }
    sqlite3_busy_timeout(Database, BusyTimeoutMs);
    Result.Index.reset(new CrashIndex(Database));
    return Result;
}

CrashIndex::~CrashIndex() {
    Commit();
    sqlite3_close(Database);
}

CrashIndex::RecordResult CrashIndex::Record(const std::string& Source, const Report& Decoded,
                                            const std::optional<Boot>& LoadedBy, const std::string& Document) {
    RecordResult Result;
    if (!InBatch) {
        InBatch = RetryWhileLocked(Database, [this] {
            return sqlite3_exec(Database, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        });
        if (!InBatch) {
            Result.Error = ErrorOf(Database);
            return Result;
        }
    }
    Result.Outcome = Write(Source, Decoded, LoadedBy, Document, Result.Error);
    // Some failures (a full disk, an I/O error) roll the whole transaction back.
    InBatch = sqlite3_get_autocommit(Database) == 0;
    return Result;
}

std::string CrashIndex::Commit() {
    if (!InBatch) {
        return "";
    }
    const bool Committed = RetryWhileLocked(
        Database, [this] { return sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK; });
    std::string Error;
    if (!Committed) {
        Error = ErrorOf(Database);
        sqlite3_exec(Database, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    InBatch = false;
    return Error;
}

// Inside the caller's transaction. A reading of a known crash replaces the stored one unless it is less
// complete: truncated where the stored one is whole, or a shorter truncated one.
std::optional<CrashIndex::Recorded> CrashIndex::Write(const std::string& Source, const Report& Decoded,
                                                      const std::optional<Boot>& LoadedBy, const std::string& Document,
                                                      std::string& Error) {
    const bool Complete = Decoded.End != ReportEnd::Truncated;
    Statement Find(Database, "SELECT id, complete, length(raw) FROM reports WHERE source = ?1 AND identity = ?2");
    if (!Find.Ready()) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    Find.Bind(1, Source);
    Find.Bind(2, IdentityOf(Decoded, LoadedBy));
    const int Found = Find.Step();
    if (Found != SQLITE_ROW && Found != SQLITE_DONE) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    const bool Known = Found == SQLITE_ROW;
    if (Known && !Complete &&
        (Find.Integer(1) != 0 || Find.Integer(2) > static_cast<int64_t>(Decoded.RawText.size()))) {
        return Recorded::AlreadyKnown;
    }
    Statement Writing(Database,
                      Known ? "UPDATE reports SET crash_time = ?2, raw = ?3, bucket = ?4, signature = ?5, document = ?6,"
                              " load_time = ?8, code = ?9, complete = ?12 WHERE id = ?7"
                            : "INSERT INTO reports (source, crash_time, raw, bucket, signature, document, load_time, "
                              "code, recorded, identity, complete) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?8, ?9, ?10, ?11, ?12)");
    if (!Writing.Ready()) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    const CrashSignature Signature = Decoded.Signature.value_or(CrashSignature{});
    if (Known) {
        Writing.Bind(7, std::to_string(Find.Integer(0)));
    } else {
        Writing.Bind(1, Source);
        Writing.Bind(10, NowIso());
        Writing.Bind(11, IdentityOf(Decoded, LoadedBy));
    }
    Writing.Bind(2, Decoded.CrashTime ? FormatIsoTimestamp(*Decoded.CrashTime) : "");
    Writing.Bind(3, Decoded.RawText);
    Writing.Bind(4, Signature.Bucket);
    Writing.Bind(5, Signature.Hash);
    Writing.Bind(6, Document);
    if (LoadedBy && LoadedBy->LoadTime) {
        Writing.Bind(8, FormatIsoTimestamp(*LoadedBy->LoadTime));
    } else {
        Writing.BindNull(8);
    }
    Writing.Bind(9, CodeText(Decoded));
    Writing.Bind(12, Complete ? "1" : "0");
    if (Writing.Step() != SQLITE_DONE) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    return Known ? Recorded::AlreadyKnown : Recorded::Added;
}

CrashIndex::Summary CrashIndex::Buckets() {
    Summary Result;
    Statement Query(Database,
                    "SELECT bucket, COUNT(*), MIN(NULLIF(crash_time, '')), MAX(NULLIF(crash_time, '')) "
                    "FROM reports GROUP BY bucket ORDER BY COUNT(*) DESC, bucket");
    Statement Sources(Database, "SELECT DISTINCT bucket, source FROM reports ORDER BY bucket, source");
    if (!Query.Ready() || !Sources.Ready()) {
        Result.Error = ErrorOf(Database);
        return Result;
    }
    int Step = SQLITE_ROW;
    while ((Step = Query.Step()) == SQLITE_ROW) {
        Result.Buckets.push_back(BucketSummary{Query.Text(0), static_cast<unsigned>(Query.Integer(1)), Query.Text(2),
                                               Query.Text(3), {}});
    }
    std::map<std::string, std::vector<std::string>> SourcesOf;
    if (Step == SQLITE_DONE) {
        while ((Step = Sources.Step()) == SQLITE_ROW) {
            SourcesOf[Sources.Text(0)].push_back(Sources.Text(1));
        }
    }
    if (Step != SQLITE_DONE) {
        Result.Error = ErrorOf(Database);
        Result.Buckets.clear();
        return Result;
    }
    for (BucketSummary& Each : Result.Buckets) {
        Each.Sources = std::move(SourcesOf[Each.Bucket]);
    }
    return Result;
}

void IndexingSink::OnBoot(const Boot& Decoded) {
    LastBoot = Decoded;
    Next.OnBoot(Decoded);
}

void IndexingSink::OnReport(const Report& Decoded) {
    std::optional<Boot> LoadedBy;
    if (Decoded.Boot && LastBoot && LastBoot->Number == *Decoded.Boot) {
        LoadedBy = LastBoot;
    }
    const bool WasOpen = Index.BatchOpen();
    const CrashIndex::RecordResult Result = Index.Record(Source, Decoded, LoadedBy, ReportJson(Decoded));
    if (!Result.Outcome) {
        Failures.push_back("report " + std::to_string(Decoded.Number) + " not recorded: " + Result.Error);
    }
    if (!Index.BatchOpen()) {
        BatchEnded(Result.Error);
    } else {
        if (!WasOpen) {
            BatchStarted = std::chrono::steady_clock::now();
        }
        if (Result.Outcome) {
            Batched.push_back(Decoded.Number);
        }
        if (std::chrono::steady_clock::now() - BatchStarted >= BatchTime) {
            BatchEnded(Index.Commit());
        }
    }
    Next.OnReport(Decoded);
}

void IndexingSink::OnQuiet() {
    BatchEnded(Index.Commit());
    Next.OnQuiet();
}

// The batch has ended: committed when Error is empty, else rolled back with every report in it.
void IndexingSink::BatchEnded(const std::string& Error) {
    if (!Error.empty()) {
        for (unsigned Number : Batched) {
            Failures.push_back("report " + std::to_string(Number) + " not recorded: " + Error);
        }
    }
    Batched.clear();
}

}  // namespace hestolvane::decode
