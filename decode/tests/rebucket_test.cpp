// Re-signing the crash index through the command, in either store: reports decoded without symbols move to function buckets
// once the PDB is given, and a second run moves nothing; the alternative keys and owners group and filter
// the buckets; an index of the earlier layout is upgraded in place and its reports signed again.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include "index_stores.h"
#include "symbol_test_support.h"

namespace hestolvane::decode {
namespace {

using namespace testing;

std::string Decoder() {
    return HESTOLVANE_DECODE;
}
std::string CrashyDir() {
    return HESTOLVANE_CRASHY_DIR;
}

// Reports in the crashy module, each culprit printed raw at a load address as the driver prints frames it
// could not place itself.
std::string Capture(const std::vector<std::string>& Culprits) {
    const auto Map = ReadLinkMap(CrashyDir() + "/crashy.map");
    const RowSpec Row{0xFFFFF80480000000, 0xFFFFF80480010000, "crashy.dll", "crashy.pdb",
                      PdbGuid(CrashyDir() + "/crashy.pdb")};
    std::string Text = BannerText();
    int Millisecond = 100;
    for (const std::string& Culprit : Culprits) {
        Text += ReportText({Row}, {{"", 0xFFFFF80512345678}, {"", Row.Start + Map->Rvas.at(Culprit) + 4}},
                           Millisecond++);
    }
    return Text;
}

// "bucket count" per line, most reports first.
std::string BucketsOf(const std::string& Database, const std::string& Options = "") {
    std::istringstream Lines(CommandOutput(Decoder() + " buckets --json --db " + Quoted(Database) + " " + Options));
    std::string Summary;
    for (std::string Line; std::getline(Lines, Line);) {
        const nlohmann::json Bucket = nlohmann::json::parse(Line);
        Summary += Bucket["bucket"].get<std::string>() + " " + std::to_string(Bucket["count"].get<int>()) + "\n";
    }
    return Summary;
}

class DecodeRebucket : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ReadLinkMap(CrashyDir() + "/crashy.map") || PdbGuid(CrashyDir() + "/crashy.pdb").empty()) {
            GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
        }
    }
    TemporaryDirectory Work;
};

// Over both stores.
class DecodeRebucketStores : public IndexStoreTest {
protected:
    void SetUp() override {
        if (!ReadLinkMap(CrashyDir() + "/crashy.map") || PdbGuid(CrashyDir() + "/crashy.pdb").empty()) {
            GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
        }
        IndexStoreTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, DecodeRebucketStores, ::testing::Values(Store::Sqlite, Store::Postgres), StoreName);

TEST_P(DecodeRebucketStores, ReportsDecodedWithoutSymbolsMoveToFunctionBucketsOnceThePdbIsGiven) {
    std::ofstream(Work / "lab.txt") << Capture({"Fail", "Middle", "Fail"});
    const std::string Database = Index("crashes");
    int Exit = -1;
    CommandOutput(Decoder() + " --db " + Quoted(Database) + " " + Work / "lab.txt", &Exit);
    EXPECT_EQ(Exit, 0);
    EXPECT_EQ(BucketsOf(Database), "0x50_R_IMAGE_crashy.dll 3\n");

    std::ofstream(Work / "owners.ini") << "crashy!Fail=FailTeam\ncrashy=maybe_CrashyTeam\n";
    const std::string Rebucket = Decoder() + " rebucket --db " + Quoted(Database) + " --symbols " + CrashyDir() +
                                 " --rules " + Work / "owners.ini";
    EXPECT_EQ(CommandOutput(Rebucket, &Exit), "3 reports: 1 bucket before, 2 after; 3 reports moved\n");
    EXPECT_EQ(Exit, 0);
    EXPECT_EQ(BucketsOf(Database), "0x50_R_crashy!Fail 2\n0x50_R_crashy!Middle 1\n");
    EXPECT_EQ(CommandOutput(Rebucket, &Exit), "3 reports: 2 buckets before, 2 after; 0 reports moved\n");
    EXPECT_EQ(BucketsOf(Database), "0x50_R_crashy!Fail 2\n0x50_R_crashy!Middle 1\n");

    // The alternative keys merge what the full bucket splits; owners filter.
    EXPECT_EQ(BucketsOf(Database, "--by function"), "0x50_crashy!Fail 2\n0x50_crashy!Middle 1\n");
    EXPECT_EQ(BucketsOf(Database, "--by module"), "0x50_IMAGE_crashy.dll 3\n");
    EXPECT_EQ(BucketsOf(Database, "--owner FailTeam"), "0x50_R_crashy!Fail 2\n");
    EXPECT_EQ(BucketsOf(Database, "--owner CrashyTeam --by module"), "0x50_IMAGE_crashy.dll 1\n");
    EXPECT_EQ(CommandOutput(Decoder() + " buckets --db " + Quoted(Database) + " --owner Nobody", &Exit),
              "reports  first crash               last crash                bucket\n");
    EXPECT_EQ(Exit, 3);
    const std::string Listing = CommandOutput(Decoder() + " buckets --by module --db " + Quoted(Database));
    EXPECT_EQ(Listing, "reports  first crash               last crash                module\n"
                       "      3  2026-12-08T06:04:05.100Z  2026-12-08T06:04:05.102Z  0x50_IMAGE_crashy.dll\n"
                       "         sources: " + Work / "lab.txt" + "\n"
                       "         owners: CrashyTeam, FailTeam\n");

    // Back without symbols: the names found before are kept, so nothing moves.
    EXPECT_EQ(CommandOutput(Decoder() + " rebucket --db " + Quoted(Database) + " --rules " + Work / "owners.ini", &Exit),
              "3 reports: 2 buckets before, 2 after; 0 reports moved\n");
    // Other rules are another signing: the owners change, and so does what the index records.
    EXPECT_EQ(CommandOutput(Decoder() + " rebucket --db " + Quoted(Database) + " --symbols " + CrashyDir(), &Exit),
              "3 reports: 2 buckets before, 2 after; 0 reports moved\n");
    EXPECT_EQ(BucketsOf(Database, "--owner FailTeam"), "");
}

// The reports table as the first version of the index wrote it, with user_version 0, and as the same
// layout would be in PostgreSQL, without the layout table.
constexpr const char* FirstLayout =
    "CREATE TABLE reports (id INTEGER PRIMARY KEY, source TEXT NOT NULL, crash_time TEXT NOT NULL, load_time TEXT,"
    " code TEXT, bucket TEXT NOT NULL, signature TEXT NOT NULL, raw TEXT NOT NULL, document TEXT NOT NULL,"
    " recorded TEXT NOT NULL, UNIQUE (source, crash_time, raw));"
    "CREATE INDEX reports_by_bucket ON reports (bucket);";
constexpr const char* FirstLayoutInPostgres =
    "CREATE TABLE reports (id bigserial PRIMARY KEY, source text NOT NULL, crash_time text NOT NULL, load_time text,"
    " code text, bucket text NOT NULL, signature text NOT NULL, raw text NOT NULL, document text NOT NULL,"
    " recorded text NOT NULL);"
    "CREATE INDEX reports_by_bucket ON reports (bucket);";

// The layout version: SQLite's user_version, or PostgreSQL's layout table (0 without one).
int64_t UserVersion(const std::string& Database) {
    if (Database.rfind("postgres", 0) == 0) {
        if (Rows(Database, "SELECT to_regclass('index_layout') IS NOT NULL")[0][0] != "t") {
            return 0;
        }
        const auto Version = Rows(Database, "SELECT version FROM index_layout");
        return Version.size() == 1 ? std::stoll(Version[0][0]) : -1;
    }
    sqlite3* Handle = nullptr;
    sqlite3_open(Database.c_str(), &Handle);
    sqlite3_stmt* Query = nullptr;
    sqlite3_prepare_v2(Handle, "PRAGMA user_version", -1, &Query, nullptr);
    const int64_t Version = sqlite3_step(Query) == SQLITE_ROW ? sqlite3_column_int64(Query, 0) : -1;
    sqlite3_finalize(Query);
    sqlite3_close(Handle);
    return Version;
}

// A report as the first version recorded it: the raw text up to the end marker, its bucket and its
// document.
struct FirstRecord {
    std::string CrashTime;
    std::string Raw;
    std::string Document;
};

constexpr const char* InsertFirst =
    "INSERT INTO reports (source, crash_time, code, bucket, signature, raw, document, recorded) VALUES ('lab', $1,"
    " '0x50', '0x50_crashy.dll+0x1010', '0123456789abcdef', $2, $3, '2026-12-08T07:00:00Z')";

bool WriteFirstLayout(const std::string& Database, const std::vector<FirstRecord>& Records) {
    if (Database.rfind("postgres", 0) == 0) {
        bool Written = Execute(Database, FirstLayoutInPostgres);
        for (const FirstRecord& Each : Records) {
            Written = Execute(Database, InsertFirst, {Each.CrashTime, Each.Raw, Each.Document}) && Written;
        }
        return Written;
    }
    sqlite3* Handle = nullptr;
    bool Written = sqlite3_open(Database.c_str(), &Handle) == SQLITE_OK &&
                   sqlite3_exec(Handle, FirstLayout, nullptr, nullptr, nullptr) == SQLITE_OK;
    for (const FirstRecord& Each : Records) {
        sqlite3_stmt* Insert = nullptr;
        sqlite3_prepare_v2(Handle, InsertFirst, -1, &Insert, nullptr);
        sqlite3_bind_text(Insert, 1, Each.CrashTime.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 2, Each.Raw.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 3, Each.Document.c_str(), -1, SQLITE_TRANSIENT);
        Written = sqlite3_step(Insert) == SQLITE_DONE && Written;
        sqlite3_finalize(Insert);
    }
    sqlite3_close(Handle);
    return Written;
}

TEST_P(DecodeRebucketStores, IndexOfTheEarlierLayoutIsUpgradedInPlace) {
    std::ofstream(Work / "lab.txt") << Capture({"Middle", "Fail"});
    std::istringstream Documents(CommandOutput(Decoder() + " --json " + Work / "lab.txt"));
    std::vector<std::string> Reports;
    for (std::string Line; std::getline(Documents, Line);) {
        if (nlohmann::json::parse(Line)["kind"] == "report") {
            Reports.push_back(Line);
        }
    }
    ASSERT_EQ(Reports.size(), 2u);
    const std::string Text = Capture({"Middle", "Fail"});
    std::vector<FirstRecord> Records;
    size_t From = 0;
    for (size_t Index = 0; Index < Reports.size(); Index++) {
        From = Text.find("VQN Dump Begin.", From);
        const size_t End = Text.find("VQN Dump End.", From);
        Records.push_back({"2026-12-08T06:04:05.10" + std::to_string(Index) + "Z", Text.substr(From, End - From),
                           Reports[Index]});
        From = End;
    }
    const std::string Database = Index("old");
    ASSERT_TRUE(WriteFirstLayout(Database, Records));
    ASSERT_EQ(UserVersion(Database), 0);

    int Exit = -1;
    const std::string Upgrade = CommandOutput(
        Decoder() + " buckets --db " + Quoted(Database) + " --symbols " + CrashyDir() + " 2>&1", &Exit);
    EXPECT_EQ(Exit, 0);
    EXPECT_NE(Upgrade.find("hestolvane-decode: " + Database +
                           ": upgraded to index schema 2, 2 reports: 1 bucket before, 2 after; 2 reports moved\n"),
              std::string::npos)
        << Upgrade;
    EXPECT_EQ(UserVersion(Database), 2);
    EXPECT_EQ(BucketsOf(Database), "0x50_R_crashy!Fail 1\n0x50_R_crashy!Middle 1\n");
    // Signed once: opening it again signs nothing.
    EXPECT_EQ(CommandOutput(Decoder() + " buckets --db " + Quoted(Database) + " 2>&1 >/dev/null"), "");
    // The stored documents are this version's, with what the capture gave kept.
    const nlohmann::json Stored = nlohmann::json::parse(Reports[0]);
    const auto Upgraded = Rows(Database, "SELECT document, rules, identity FROM reports ORDER BY id");
    ASSERT_EQ(Upgraded.size(), 2u);
    const nlohmann::json Document = nlohmann::json::parse(Upgraded[0][0]);
    EXPECT_EQ(Document["schema"], 2);
    EXPECT_EQ(Document["report"], 1);
    EXPECT_EQ(Document["boot"], 1);
    EXPECT_EQ(Document["line"], Stored["line"]);
    EXPECT_EQ(Document["signature"]["bucket"], "0x50_R_crashy!Middle");
    EXPECT_NE(Upgraded[0][1], "");
    EXPECT_EQ(Upgraded[0][2], " 2026-12-08T06:04:05.100Z");
}

TEST_F(DecodeRebucket, IndexOfALaterLayoutIsRefused) {
    const std::string Database = Work / "later.db";
    sqlite3* Handle = nullptr;
    ASSERT_EQ(sqlite3_open(Database.c_str(), &Handle), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(Handle, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(Handle);
    int Exit = -1;
    EXPECT_EQ(CommandOutput(Decoder() + " buckets --db " + Database + " 2>&1", &Exit),
              "hestolvane-decode: " + Database +
                  ": written by a later hestolvane-decode (index schema 3, this one reads 2)\n");
    EXPECT_EQ(Exit, 4);
    EXPECT_EQ(UserVersion(Database), 3);
}

}  // namespace
}  // namespace hestolvane::decode
