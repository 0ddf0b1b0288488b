// The crash index on SQLite, and the choice of store by the index's name. Writers share the file through
// SQLite's write-ahead log and wait for each other (busy timeout); reports are checked and written inside
// immediate transactions, so two processes recording the same crash count it once and different crashes
// are never lost.
#include "crash_index.h"

#include <sqlite3.h>

#include <chrono>
#include <map>
#include <thread>

#include <cstdio>

#include <ctime>

#include "crash_index_rows.h"
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
// identified by its text. `complete` is 0 for a truncated reading, which a complete one replaces. Each
// report keeps its raw text, from which it can be read and signed again, and names the rules and qualifier
// table it was signed with (empty: signed by an earlier version, to be signed again).
constexpr const char* CreateReports =
    "CREATE TABLE reports ("
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
    " complete INTEGER NOT NULL DEFAULT 1,"
    " bucket_function TEXT NOT NULL DEFAULT '',"
    " bucket_module TEXT NOT NULL DEFAULT '',"
    " owner TEXT,"
    " rules TEXT NOT NULL DEFAULT '',"
    " qualifiers TEXT NOT NULL DEFAULT '');";

// Columns an index of an earlier version may lack, each added with what an old row means by it. A report
// recorded before reports were complete or not counts as complete unless its document says truncated.
struct AddedColumn {
    const char* Name;
    const char* Change;
};
constexpr AddedColumn AddedColumns[] = {
    {"identity", "ALTER TABLE reports ADD COLUMN identity TEXT;"},
    {"complete", "ALTER TABLE reports ADD COLUMN complete INTEGER NOT NULL DEFAULT 1;"
                 "UPDATE reports SET complete = ifnull(json_extract(document, '$.end') != 'truncated', 1);"},
    {"bucket_function", "ALTER TABLE reports ADD COLUMN bucket_function TEXT NOT NULL DEFAULT '';"},
    {"bucket_module", "ALTER TABLE reports ADD COLUMN bucket_module TEXT NOT NULL DEFAULT '';"},
    {"owner", "ALTER TABLE reports ADD COLUMN owner TEXT;"},
    {"rules", "ALTER TABLE reports ADD COLUMN rules TEXT NOT NULL DEFAULT '';"},
    {"qualifiers", "ALTER TABLE reports ADD COLUMN qualifiers TEXT NOT NULL DEFAULT '';"},
};

// Rows written before crashes had an identity get one, and of the rows of one crash the most complete
// reading stays.
constexpr const char* FillIdentity =
    "UPDATE reports SET identity = CASE WHEN crash_time != '' THEN ifnull(load_time, '') || ' ' || crash_time"
    " ELSE 'raw ' || raw END WHERE identity IS NULL;"
    "DELETE FROM reports WHERE id NOT IN (SELECT id FROM (SELECT id, row_number() OVER (PARTITION BY source,"
    " identity ORDER BY complete DESC, length(raw) DESC, id DESC) AS rank FROM reports) WHERE rank = 1);";

constexpr const char* CreateIndexes =
    "CREATE UNIQUE INDEX IF NOT EXISTS reports_by_crash ON reports (source, identity);"
    "CREATE INDEX IF NOT EXISTS reports_by_bucket ON reports (bucket);"
    "CREATE INDEX IF NOT EXISTS reports_by_function ON reports (bucket_function);"
    "CREATE INDEX IF NOT EXISTS reports_by_module ON reports (bucket_module);";

std::string ErrorOf(sqlite3* Database) {
    return sqlite3_errmsg(Database);
}

// A prepared statement that finalizes itself, or one kept for the connection's life (Kept), which is
// prepared on first use and only reset afterwards.
class Statement {
public:
    Statement(sqlite3* Database, const char* Text) { sqlite3_prepare_v2(Database, Text, -1, &Handle, nullptr); }
    Statement(sqlite3* Database, const char* Text, sqlite3_stmt*& Kept) : Kept(&Kept) {
        if (Kept == nullptr) {
            sqlite3_prepare_v3(Database, Text, -1, SQLITE_PREPARE_PERSISTENT, &Kept, nullptr);
        }
        Handle = Kept;
    }
    ~Statement() {
        if (Kept == nullptr) {
            sqlite3_finalize(Handle);
        } else if (Handle != nullptr) {
            sqlite3_reset(Handle);
            sqlite3_clear_bindings(Handle);
        }
    }
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
    bool IsNull(int Column) const { return sqlite3_column_type(Handle, Column) == SQLITE_NULL; }

private:
    sqlite3_stmt* Handle = nullptr;
    sqlite3_stmt** Kept = nullptr;
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

bool HasColumn(sqlite3* Database, const char* Name) {
    Statement Columns(Database, "SELECT 1 FROM pragma_table_info('reports') WHERE name = ?1");
    if (!Columns.Ready()) {
        return false;
    }
    Columns.Bind(1, Name);
    return Columns.Step() == SQLITE_ROW;
}

// Brings the file to this version's layout inside the caller's transaction. Empty when it is there; the
// reason otherwise, with Refused set when retrying cannot help.
std::string Prepare(sqlite3* Database, bool& Refused) {
    Statement Version(Database, "PRAGMA user_version");
    Statement Existing(Database, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'reports'");
    if (!Version.Ready() || !Existing.Ready() || Version.Step() != SQLITE_ROW || Existing.Step() != SQLITE_ROW) {
        return ErrorOf(Database);
    }
    const int64_t Found = Version.Integer(0);
    if (Found > IndexSchemaVersion) {
        Refused = true;
        return "written by a later hestolvane-decode (index schema " + std::to_string(Found) + ", this one reads " +
               std::to_string(IndexSchemaVersion) + ")";
    }
    if (Existing.Integer(0) == 0) {
        if (sqlite3_exec(Database, CreateReports, nullptr, nullptr, nullptr) != SQLITE_OK) {
            return ErrorOf(Database);
        }
    } else {
        for (const AddedColumn& Column : AddedColumns) {
            if (!HasColumn(Database, Column.Name) &&
                sqlite3_exec(Database, Column.Change, nullptr, nullptr, nullptr) != SQLITE_OK) {
                return ErrorOf(Database);
            }
        }
    }
    const std::string SetVersion = "PRAGMA user_version = " + std::to_string(IndexSchemaVersion);
    if (sqlite3_exec(Database, FillIdentity, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(Database, CreateIndexes, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(Database, SetVersion.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        return ErrorOf(Database);
    }
    return "";
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

std::string index_rows::Identity(const Report& Decoded, const std::optional<Boot>& LoadedBy) {
    return IdentityOf(Decoded, LoadedBy);
}
std::string index_rows::Code(const Report& Decoded) {
    return CodeText(Decoded);
}
std::string index_rows::Now() {
    return NowIso();
}

class SqliteCrashIndex final : public CrashIndex {
public:
    explicit SqliteCrashIndex(sqlite3* Database) : Database(Database) {}
    ~SqliteCrashIndex() override;
    SqliteCrashIndex(const SqliteCrashIndex&) = delete;
    SqliteCrashIndex& operator=(const SqliteCrashIndex&) = delete;

    RecordResult Record(const std::string& Source, const Report& Decoded, const std::optional<Boot>& LoadedBy,
                        const std::string& Document, const SignedWith& Signing) override;
    std::string Commit() override;
    bool SkipSyncOnCommit() override;
    void LeaveCheckpointsToOthers() override;
    Summary Buckets(BucketKey By, const std::optional<std::string>& Owner) override;
    bool NeedsResigning() override;
    int SchemaVersion() override;
    RebucketCounts Resign(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned) override;

private:
    std::optional<Recorded> Write(const std::string& Source, const Report& Decoded,
                                  const std::optional<Boot>& LoadedBy, const std::string& Document,
                                  const SignedWith& Signing, std::string& Error, std::optional<int64_t>& Row);
    RebucketCounts ResignOnce(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned);
    sqlite3* Database;
    // A collector records thousands of reports a second: compiling these for each one cost as much as
    // running them.
    sqlite3_stmt* FindReport = nullptr;
    sqlite3_stmt* InsertReport = nullptr;
    sqlite3_stmt* UpdateReport = nullptr;
};

CrashIndex::Opened CrashIndex::Open(const std::string& Path) {
    return IsPostgresUri(Path) ? OpenPostgres(Path, false) : OpenSqlite(Path);
}

CrashIndex::Opened CrashIndex::OpenReadOnly(const std::string& Path) {
    return IsPostgresUri(Path) ? OpenPostgres(Path, true) : OpenSqliteReadOnly(Path);
}

CrashIndex::Opened CrashIndex::OpenSqlite(const std::string& Path) {
    Opened Result;
    sqlite3* Database = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        Result.Error = "cannot open " + Path + ": " + (Database != nullptr ? ErrorOf(Database) : "out of memory");
        sqlite3_close(Database);
        return Result;
    }
    std::unique_ptr<CrashIndex> Index(new SqliteCrashIndex(Database));
    sqlite3_busy_timeout(Database, BusyTimeoutMs);
    bool Refused = false;
    std::string Failure;
    const bool Ready = RetryWhileLocked(Database, [&] {
        if (sqlite3_exec(Database, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
            Failure = ErrorOf(Database);
            return false;
        }
        Transaction Creating(Database);
        if (!Creating.Began) {
            Failure = ErrorOf(Database);
            return false;
        }
        Failure = Prepare(Database, Refused);
        if (Failure.empty() && !Creating.Commit()) {
            Failure = ErrorOf(Database);
        }
        return Failure.empty() || Refused;
    });
    if (!Ready || Refused) {
        Result.Error = Path + ": " + Failure;
        return Result;
    }
    Result.Index = std::move(Index);
    return Result;
}

CrashIndex::Opened CrashIndex::OpenSqliteReadOnly(const std::string& Path) {
    Opened Result;
    sqlite3* Database = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        Result.Error = "cannot open " + Path + ": " + (Database != nullptr ? ErrorOf(Database) : "out of memory");
        sqlite3_close(Database);
        return Result;
    }
    sqlite3_busy_timeout(Database, BusyTimeoutMs);
    std::unique_ptr<CrashIndex> Index(new SqliteCrashIndex(Database));
    const int Found = Index->SchemaVersion();
    if (Found > IndexSchemaVersion) {
        Result.Error = Path + ": written by a later hestolvane-decode (index schema " + std::to_string(Found) +
                       ", this one reads " + std::to_string(IndexSchemaVersion) + ")";
        return Result;
    }
    Result.Index = std::move(Index);
    return Result;
}

SqliteCrashIndex::~SqliteCrashIndex() {
    Commit();
    for (sqlite3_stmt* Kept : {FindReport, InsertReport, UpdateReport}) {
        sqlite3_finalize(Kept);
    }
    sqlite3_close(Database);
}

CrashIndex::RecordResult SqliteCrashIndex::Record(const std::string& Source, const Report& Decoded,
                                            const std::optional<Boot>& LoadedBy, const std::string& Document,
                                            const SignedWith& Signing) {
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
    Result.Outcome = Write(Source, Decoded, LoadedBy, Document, Signing, Result.Error, Result.Row);
    // Some failures (a full disk, an I/O error) roll the whole transaction back.
    InBatch = sqlite3_get_autocommit(Database) == 0;
    return Result;
}

std::string SqliteCrashIndex::Commit() {
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
std::optional<CrashIndex::Recorded> SqliteCrashIndex::Write(const std::string& Source, const Report& Decoded,
                                                      const std::optional<Boot>& LoadedBy, const std::string& Document,
                                                      const SignedWith& Signing, std::string& Error,
                                                      std::optional<int64_t>& Row) {
    const bool Complete = Decoded.End != ReportEnd::Truncated;
    Statement Find(Database, "SELECT id, complete, length(raw) FROM reports WHERE source = ?1 AND identity = ?2",
                   FindReport);
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
    const int64_t KnownId = Known ? Find.Integer(0) : 0;
    if (Known && !Complete &&
        (Find.Integer(1) != 0 || Find.Integer(2) > static_cast<int64_t>(Decoded.RawText.size()))) {
        return Recorded::AlreadyKnown;
    }
    Statement Writing(Database,
                      Known ? "UPDATE reports SET crash_time = ?2, raw = ?3, bucket = ?4, signature = ?5, document = ?6,"
                              " load_time = ?8, code = ?9, complete = ?12, bucket_function = ?13, bucket_module = ?14,"
                              " owner = ?15, rules = ?16, qualifiers = ?17 WHERE id = ?7"
                            : "INSERT INTO reports (source, crash_time, raw, bucket, signature, document, load_time, "
                              "code, recorded, identity, complete, bucket_function, bucket_module, owner, rules, "
                              "qualifiers) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)",
                      Known ? UpdateReport : InsertReport);
    if (!Writing.Ready()) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    const CrashSignature Signature = Decoded.Signature.value_or(CrashSignature{});
    if (Known) {
        Writing.Bind(7, std::to_string(KnownId));
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
    Writing.Bind(13, Signature.FunctionBucket);
    Writing.Bind(14, Signature.ModuleBucket);
    if (Signature.Owner) {
        Writing.Bind(15, *Signature.Owner);
    } else {
        Writing.BindNull(15);
    }
    Writing.Bind(16, Signing.Rules);
    Writing.Bind(17, Signing.Qualifiers);
    if (Writing.Step() != SQLITE_DONE) {
        Error = ErrorOf(Database);
        return std::nullopt;
    }
    Row = Known ? KnownId : sqlite3_last_insert_rowid(Database);
    return Known ? Recorded::AlreadyKnown : Recorded::Added;
}

bool SqliteCrashIndex::SkipSyncOnCommit() {
    return sqlite3_exec(Database, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SqliteCrashIndex::LeaveCheckpointsToOthers() {
    sqlite3_exec(Database, LeaveCheckpointsPragma().c_str(), nullptr, nullptr, nullptr);
}

CrashIndex::Summary SqliteCrashIndex::Buckets(BucketKey By, const std::optional<std::string>& Owner) {
    Summary Result;
    // The column is one of three fixed names, never text from outside.
    const std::string Key = By == BucketKey::Function ? "bucket_function"
                            : By == BucketKey::Module ? "bucket_module"
                                                      : "bucket";
    const std::string Filter = " WHERE (?1 IS NULL OR owner = ?1)";
    Statement Query(Database, ("SELECT " + Key + ", COUNT(*), MIN(NULLIF(crash_time, '')), MAX(NULLIF(crash_time, '')) "
                               "FROM reports" + Filter + " GROUP BY 1 ORDER BY COUNT(*) DESC, 1")
                                  .c_str());
    Statement Sources(Database,
                      ("SELECT DISTINCT " + Key + ", source FROM reports" + Filter + " ORDER BY 1, 2").c_str());
    Statement Owners(Database, ("SELECT DISTINCT " + Key + ", owner FROM reports" + Filter +
                                " AND owner IS NOT NULL ORDER BY 1, 2")
                                   .c_str());
    if (!Query.Ready() || !Sources.Ready() || !Owners.Ready()) {
        Result.Error = ErrorOf(Database);
        return Result;
    }
    for (Statement* Each : {&Query, &Sources, &Owners}) {
        if (Owner) {
            Each->Bind(1, *Owner);
        } else {
            Each->BindNull(1);
        }
    }
    int Step = SQLITE_ROW;
    while ((Step = Query.Step()) == SQLITE_ROW) {
        Result.Buckets.push_back(BucketSummary{Query.Text(0), static_cast<unsigned>(Query.Integer(1)), Query.Text(2),
                                               Query.Text(3), {}, {}});
    }
    std::map<std::string, std::vector<std::string>> SourcesOf;
    std::map<std::string, std::vector<std::string>> OwnersOf;
    if (Step == SQLITE_DONE) {
        while ((Step = Sources.Step()) == SQLITE_ROW) {
            SourcesOf[Sources.Text(0)].push_back(Sources.Text(1));
        }
    }
    if (Step == SQLITE_DONE) {
        while ((Step = Owners.Step()) == SQLITE_ROW) {
            OwnersOf[Owners.Text(0)].push_back(Owners.Text(1));
        }
    }
    if (Step != SQLITE_DONE) {
        Result.Error = ErrorOf(Database);
        Result.Buckets.clear();
        return Result;
    }
    for (BucketSummary& Each : Result.Buckets) {
        Each.Sources = std::move(SourcesOf[Each.Bucket]);
        Each.Owners = std::move(OwnersOf[Each.Bucket]);
    }
    return Result;
}

bool SqliteCrashIndex::NeedsResigning() {
    Statement Query(Database, "SELECT EXISTS (SELECT 1 FROM reports WHERE rules = '')");
    return Query.Ready() && Query.Step() == SQLITE_ROW && Query.Integer(0) != 0;
}

int SqliteCrashIndex::SchemaVersion() {
    Statement Version(Database, "PRAGMA user_version");
    return Version.Ready() && Version.Step() == SQLITE_ROW ? static_cast<int>(Version.Integer(0)) : 0;
}

RebucketCounts SqliteCrashIndex::Resign(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned) {
    RebucketCounts Result;
    Result.Error = Commit();
    if (!Result.Error.empty()) {
        return Result;
    }
    RetryWhileLocked(Database, [&] {
        Result = ResignOnce(Sign, Signing, OnlyUnsigned);
        return Result.Error.empty();
    });
    return Result;
}

namespace {

struct StoredReport {
    int64_t Id = 0;
    std::string Bucket;
    std::string Hash;
    std::string Raw;
    std::string Document;
    std::string FunctionBucket;
    std::string ModuleBucket;
    std::optional<std::string> Owner;
    std::string Rules;
    std::string Qualifiers;
};

unsigned DistinctBuckets(sqlite3* Database) {
    Statement Count(Database, "SELECT COUNT(DISTINCT bucket) FROM reports");
    return Count.Ready() && Count.Step() == SQLITE_ROW ? static_cast<unsigned>(Count.Integer(0)) : 0;
}

}  // namespace

// The reports are read and signed outside any write transaction, since signing may fetch symbols from a
// server for longer than another writer waits; the changes are then written in one transaction.
RebucketCounts SqliteCrashIndex::ResignOnce(const Signer& Sign, const SignedWith& Signing, bool OnlyUnsigned) {
    RebucketCounts Result;
    std::vector<StoredReport> Stored;
    {
        Statement Query(Database, OnlyUnsigned ? "SELECT id, bucket, signature, raw, document, bucket_function, "
                                                 "bucket_module, owner, rules, qualifiers FROM reports "
                                                 "WHERE rules = '' ORDER BY id"
                                               : "SELECT id, bucket, signature, raw, document, bucket_function, "
                                                 "bucket_module, owner, rules, qualifiers FROM reports ORDER BY id");
        if (!Query.Ready()) {
            Result.Error = ErrorOf(Database);
            return Result;
        }
        int Step = SQLITE_ROW;
        while ((Step = Query.Step()) == SQLITE_ROW) {
            StoredReport Each{Query.Integer(0), Query.Text(1), Query.Text(2), Query.Text(3), Query.Text(4),
                              Query.Text(5), Query.Text(6), std::nullopt, Query.Text(8), Query.Text(9)};
            if (!Query.IsNull(7)) {
                Each.Owner = Query.Text(7);
            }
            Stored.push_back(std::move(Each));
        }
        if (Step != SQLITE_DONE) {
            Result.Error = ErrorOf(Database);
            return Result;
        }
    }
    Result.BucketsBefore = DistinctBuckets(Database);
    std::vector<std::pair<const StoredReport*, Resigned>> Changed;
    for (const StoredReport& Each : Stored) {
        std::optional<Resigned> Again = Sign(Each.Raw, Each.Document);
        if (!Again) {
            Result.Unreadable++;
            continue;
        }
        Result.Reports++;
        const CrashSignature& New = Again->Signature;
        if (New.Bucket != Each.Bucket) {
            Result.Moved++;
        }
        if (New.Bucket != Each.Bucket || New.Hash != Each.Hash || Again->Document != Each.Document ||
            New.FunctionBucket != Each.FunctionBucket || New.ModuleBucket != Each.ModuleBucket ||
            New.Owner != Each.Owner || Signing.Rules != Each.Rules || Signing.Qualifiers != Each.Qualifiers) {
            Changed.emplace_back(&Each, std::move(*Again));
        }
    }
    Transaction Writing(Database);
    if (!Writing.Began) {
        Result.Error = ErrorOf(Database);
        return Result;
    }
    for (const auto& [Each, Again] : Changed) {
        Statement Update(Database, "UPDATE reports SET bucket = ?1, signature = ?2, document = ?3, "
                                   "bucket_function = ?4, bucket_module = ?5, owner = ?6, rules = ?7, "
                                   "qualifiers = ?8 WHERE id = ?9");
        if (!Update.Ready()) {
            Result.Error = ErrorOf(Database);
            return Result;
        }
        const CrashSignature& New = Again.Signature;
        Update.Bind(1, New.Bucket);
        Update.Bind(2, New.Hash);
        Update.Bind(3, Again.Document);
        Update.Bind(4, New.FunctionBucket);
        Update.Bind(5, New.ModuleBucket);
        if (New.Owner) {
            Update.Bind(6, *New.Owner);
        } else {
            Update.BindNull(6);
        }
        Update.Bind(7, Signing.Rules);
        Update.Bind(8, Signing.Qualifiers);
        Update.Bind(9, std::to_string(Each->Id));
        if (Update.Step() != SQLITE_DONE) {
            Result.Error = ErrorOf(Database);
            return Result;
        }
    }
    Result.BucketsAfter = DistinctBuckets(Database);
    if (!Writing.Commit()) {
        Result.Error = ErrorOf(Database);
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
    const CrashIndex::RecordResult Result = Index.Record(Source, Decoded, LoadedBy, ReportJson(Decoded), Signing);
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
