// The lab's record on SQLite and on PostgreSQL: taking over an existing crash index, counting each report
// once, fixed and regressed buckets, bytes kept as captured, and the health derived from a machine's boots.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "crash_index.h"
#include "lab_test_support.h"
#include "output.h"
#include "recorder.h"
#include "signature.h"
#include "store.h"
#include "store_fixture.h"

namespace hestolvane::lab {
namespace {

using testing::LabStores;
using testing::StoreKind;
using testing::TempDirectory;

ReportEntry Entry(const std::string& Bucket, const std::string& CrashTime, const std::optional<std::string>& Boot) {
    ReportEntry Report;
    Report.BootLoadTime = Boot;
    Report.CrashTime = CrashTime;
    Report.Code = "0x50";
    Report.Bucket = Bucket;
    Report.Signature = "0123456789abcdef";
    Report.CulpritModule = "mod.sys";
    Report.Raw = "VQN Dump Begin.\nCRASHED ON: " + CrashTime + "\n";
    Report.Document = R"({"signature":{"canonical":"hestolvane-signature 1\ncode 0x50\n"}})";
    Report.Arrived = NowIso();
    return Report;
}

TEST(LabStore, TakesOverAnExistingCrashIndexInPlace) {
    TempDirectory Work;
    const std::string Path = Work.Path() + "/crashes.db";
    const testing::Decoded Sim = testing::DecodeSim("");
    {
        auto Index = decode::CrashIndex::Open(Path);
        ASSERT_TRUE(Index.Index) << Index.Error;
        ASSERT_EQ(Sim.Reports.size(), 1U);
        decode::Report Signed = Sim.Reports[0];
        // The index signed it with a rule that names the simulator's owner; the lab keeps that owner.
        decode::Triage WithOwner;
        std::vector<std::string> Warnings;
        WithOwner.Rules.Add("[Modules]\nhestolvane-sim.sys=simteam\n", "test", Warnings);
        ASSERT_TRUE(Warnings.empty());
        Signed.Signature = decode::ComputeSignature(Signed, WithOwner);
        ASSERT_EQ(Signed.Signature->Owner, "simteam");
        ASSERT_TRUE(
            Index.Index->Record("lab-vm-3", Signed, Sim.Boots[0], decode::ReportJson(Signed), decode::SignedWith{}).Outcome);
        EXPECT_TRUE(Index.Index->Commit().empty());
    }
    for (int Opening = 0; Opening < 2; ++Opening) {
        OpenedStore Opened = OpenSqliteStore(Path);
        ASSERT_TRUE(Opened.Store) << Opened.Error;
        EXPECT_EQ(Opened.Store->SchemaVersion(), LabSchemaVersion);
        const std::vector<BucketRow> Buckets = Opened.Store->Buckets({});
        ASSERT_EQ(Buckets.size(), 1U);
        EXPECT_EQ(Buckets[0].Count, 1U);
        EXPECT_EQ(Buckets[0].Code, "0x50");
        EXPECT_EQ(Buckets[0].Owner, "simteam");
        const auto Machines = Opened.Store->Machines();
        ASSERT_EQ(Machines.size(), 1U);
        EXPECT_EQ(Machines[0].Name, "lab-vm-3");
        EXPECT_EQ(Machines[0].Crashes, 1U);
    }
    // The decoder still reads its own table in the upgraded file.
    auto Index = decode::CrashIndex::Open(Path);
    ASSERT_TRUE(Index.Index) << Index.Error;
    EXPECT_EQ(Index.Index->Buckets(decode::BucketKey::Bucket).Buckets.size(), 1U);
}

TEST_P(LabStores, CountsAReportOnceAndRegressesAFixedBucket) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    ASSERT_TRUE(Store.UpsertMachine("vm1", {{"pool", "a"}}, "tcp://127.0.0.1:1", true));
    ASSERT_TRUE(Store.RecordBoot("vm1", {"2026-12-08T06:00:00.000Z", 3, "normal", NowIso()}));

    const auto First = Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T06:01:00.000Z",
                                                       std::string("2026-12-08T06:00:00.000Z")));
    ASSERT_TRUE(First);
    EXPECT_TRUE(First->Added);
    EXPECT_TRUE(First->NewBucket);
    const auto Again = Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T06:01:00.000Z",
                                                       std::string("2026-12-08T06:00:00.000Z")));
    ASSERT_TRUE(Again);
    EXPECT_FALSE(Again->Added);

    ASSERT_TRUE(Store.MarkFixed("0x50_mod.sys!Fail", "fixed in build 7"));
    EXPECT_EQ(Store.Bucket("0x50_mod.sys!Fail", 0)->State, "fixed");
    const auto Later = Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T07:01:00.000Z", std::nullopt));
    ASSERT_TRUE(Later);
    EXPECT_TRUE(Later->Regressed);
    EXPECT_FALSE(Later->NewBucket);

    const auto Detail = Store.Bucket("0x50_mod.sys!Fail", 0);
    ASSERT_TRUE(Detail);
    EXPECT_EQ(Detail->State, "regressed");
    EXPECT_EQ(Detail->Note, "fixed in build 7");
    EXPECT_EQ(Detail->Count, 2U);
    EXPECT_EQ(Detail->PerDriverVersion.at("3"), 1U);
    EXPECT_EQ(Detail->PerDriverVersion.at("unknown"), 1U);
    EXPECT_EQ(Detail->Canonical, "hestolvane-signature 1\ncode 0x50\n");
    EXPECT_EQ(Detail->Daily.back(), 2U);

    BucketFilter ByTag;
    ByTag.Tag = "pool=a";
    EXPECT_EQ(Store.Buckets(ByTag).size(), 1U);
    ByTag.Tag = "pool=b";
    EXPECT_TRUE(Store.Buckets(ByTag).empty());
    BucketFilter Injected;
    Injected.Machine = "vm1' OR '1'='1";
    EXPECT_TRUE(Store.Buckets(Injected).empty());

    ASSERT_TRUE(Store.Reopen("0x50_mod.sys!Fail"));
    EXPECT_EQ(Store.Bucket("0x50_mod.sys!Fail", 0)->State, "open");
}

TEST_P(LabStores, FiltersBucketsByTheCulpritsOwner) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    ASSERT_TRUE(Store.UpsertMachine("vm1", {}, "tcp://127.0.0.1:1", true));
    ReportEntry Storage = Entry("0x50_W_storage!Read", "2026-12-08T06:01:00.000Z", std::nullopt);
    Storage.Owner = "storage";
    ReportEntry Network = Entry("0xD1_W_net!Send", "2026-12-08T06:02:00.000Z", std::nullopt);
    Network.Owner = "network";
    ReportEntry Nobody = Entry("0x50_R_IMAGE_other.sys", "2026-12-08T06:03:00.000Z", std::nullopt);
    ASSERT_TRUE(Store.RecordReport("vm1", Storage));
    ASSERT_TRUE(Store.RecordReport("vm1", Network));
    ASSERT_TRUE(Store.RecordReport("vm1", Nobody));

    BucketFilter ByOwner;
    ByOwner.Owner = "storage";
    const std::vector<BucketRow> Owned = Store.Buckets(ByOwner);
    ASSERT_EQ(Owned.size(), 1U);
    EXPECT_EQ(Owned[0].Bucket, "0x50_W_storage!Read");
    EXPECT_EQ(Owned[0].Owner, "storage");
    ByOwner.Owner = "nobody";
    EXPECT_TRUE(Store.Buckets(ByOwner).empty());
    EXPECT_EQ(Store.Buckets({}).size(), 3U);
}

TEST_P(LabStores, KeepsTheNewestRawBytesWithinTheLimit) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    ASSERT_TRUE(Opened.Store->UpsertMachine("vm1", {}, "file:///x", true));
    for (char Each = 'a'; Each <= 'j'; ++Each) {
        ASSERT_TRUE(Opened.Store->AppendRaw("vm1", std::string(1000, Each), 4096));
    }
    EXPECT_EQ(Opened.Store->RawLog("vm1"), std::string(1000, 'g') + std::string(1000, 'h') + std::string(1000, 'i') +
                                               std::string(1000, 'j'));
}

// A capture's bytes are not UTF-8: every byte, NUL and the high half included, comes back as it went in,
// and a bucket named with such bytes is found by the same bytes.
TEST_P(LabStores, KeepsEveryByteOfACaptureAndBoundValuesStayValues) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    const std::string Name = "vm\xE9'; DROP TABLE lab_reports; --";
    ASSERT_TRUE(Store.UpsertMachine(Name, {{"pool", "\xFF\x01"}}, "file:///x", true));
    ReportEntry Odd = Entry("0x50_m\xF6" "d.sys!F\x80il", "2026-12-08T06:01:00.000Z", std::nullopt);
    Odd.Raw = std::string("VQN Dump Begin.\n\x00\x01\x7F\x80\xC3\xA9\xFF end\n", 25);
    const auto Recorded = Store.RecordReport(Name, Odd);
    ASSERT_TRUE(Recorded);
    ASSERT_TRUE(Recorded->Added);
    const auto Detail = Store.Report(Recorded->Id);
    ASSERT_TRUE(Detail);
    EXPECT_EQ(Detail->Raw, Odd.Raw);
    EXPECT_EQ(Detail->Row.Machine, Name);
    EXPECT_EQ(Detail->Row.Bucket, Odd.Bucket);
    ASSERT_TRUE(Store.Bucket(Odd.Bucket, 0));
    EXPECT_EQ(Store.Bucket(Odd.Bucket, 0)->PerMachine.at(Name), 1U);
    BucketFilter ByMachine;
    ByMachine.Machine = Name;
    ByMachine.Tag = "pool=\xFF\x01";
    EXPECT_EQ(Store.Buckets(ByMachine).size(), 1U);
    ASSERT_EQ(Store.Machines().size(), 1U);
    EXPECT_EQ(Store.Machines()[0].Tags.at("pool"), "\xFF\x01");
    ASSERT_TRUE(Store.AppendRaw(Name, std::string("\x00\xFE", 2), 4096));
    EXPECT_EQ(Store.RawLog(Name), std::string("\x00\xFE", 2));
    // Resume points and boots, as a restarted collector reads them back.
    ASSERT_TRUE(Store.SaveResume(Name, "8:42", {1234, 5678}));
    const auto Point = Store.LoadResume(Name, "8:42");
    ASSERT_TRUE(Point);
    EXPECT_EQ(Point->Offset, 1234U);
    EXPECT_EQ(Point->LoggedTo, 5678U);
    EXPECT_FALSE(Store.LoadResume(Name, "8:43"));
}

// The alerts a report raises go into the outbox with it, once, however often the report is recorded.
TEST_P(LabStores, RaisesEachAlertOnceWithTheChangeThatRaisedIt) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    Store.SetAlertTargets({{"webhook http://127.0.0.1:1/", {"new_bucket", "regression"}}});
    ASSERT_TRUE(Store.UpsertMachine("vm1", {}, "file:///x", true));
    ASSERT_TRUE(Store.BeginBatch());
    ASSERT_TRUE(Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T06:01:00.000Z", std::nullopt)));
    ASSERT_TRUE(Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T06:01:00.000Z", std::nullopt)));
    ASSERT_TRUE(Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", "2026-12-08T06:02:00.000Z", std::nullopt)));
    ASSERT_TRUE(Store.CommitBatch());
    const std::vector<OutboxEntry> Due = Store.DueAlerts(IsoAfter(std::chrono::seconds(1)), 10);
    ASSERT_EQ(Due.size(), 1U);
    EXPECT_EQ(Due[0].Event, "new_bucket");
    ASSERT_TRUE(Store.AlertDelivered(Due[0].Id));
    EXPECT_TRUE(Store.DueAlerts(IsoAfter(std::chrono::seconds(1)), 10).empty());
    ASSERT_EQ(Store.Buckets({}).size(), 1U);
    EXPECT_EQ(Store.Buckets({})[0].Count, 2U);
}

INSTANTIATE_TEST_SUITE_P(, LabStores, ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres),
                         [](const ::testing::TestParamInfo<StoreKind>& Kind) {
                             return Kind.param == StoreKind::Sqlite ? "Sqlite" : "Postgres";
                         });

BootHealth BootOf(const char* State, unsigned Reports, bool Stopped = false) {
    BootHealth Boot;
    Boot.LoadTime = "t";
    Boot.State = State;
    Boot.Reports = Reports;
    Boot.Stopped = Stopped;
    return Boot;
}

// The buckets page without a filter reads counts kept as reports arrive; with one, it groups the reports.
// Both must agree, in a new record and in one upgraded from a layout that kept no counts.
TEST(LabStore, KeptBucketCountsAgreeWithTheReports) {
    TempDirectory Work;
    const std::string Path = Work.Path() + "/lab.db";
    auto Fill = [](LabStore& Store, int From, int To) {
        for (int Each = From; Each < To; ++Each) {
            const std::string Machine = "vm" + std::to_string(Each % 7);
            char Crash[40];
            std::snprintf(Crash, sizeof(Crash), "2026-12-08T06:%02d:%02d.000Z", Each / 60, Each % 60);
            ReportEntry Report = Entry("0x50_mod" + std::to_string(Each % 5) + ".sys!F", Crash, std::nullopt);
            Report.Code = Each % 5 == 4 ? "0x1E" : "0x50";
            Report.Owner = Each % 3 == 0 ? "storage" : "";
            Report.Arrived = IsoAfter(std::chrono::hours(-24 * (Each % 16)));
            EXPECT_TRUE(Store.RecordReport(Machine, Report));
            // Read again, as after a restart: counted once.
            EXPECT_FALSE(Store.RecordReport(Machine, Report)->Added);
        }
    };
    auto ExpectAgreement = [](LabStore& Store) {
        BucketFilter Everything;
        Everything.Days = 36500;
        for (const std::string Sort : {"count", "last", "first", "bucket", "machines"}) {
            BucketFilter Kept;
            Kept.Sort = Everything.Sort = Sort;
            const std::vector<BucketRow> Fast = Store.Buckets(Kept);
            const std::vector<BucketRow> Grouped = Store.Buckets(Everything);
            ASSERT_EQ(Fast.size(), Grouped.size());
            for (size_t Index = 0; Index < Fast.size(); ++Index) {
                SCOPED_TRACE(Sort + " " + Grouped[Index].Bucket);
                EXPECT_EQ(Fast[Index].Bucket, Grouped[Index].Bucket);
                EXPECT_EQ(Fast[Index].Code, Grouped[Index].Code);
                EXPECT_EQ(Fast[Index].Module, Grouped[Index].Module);
                EXPECT_EQ(Fast[Index].Owner, Grouped[Index].Owner);
                EXPECT_EQ(Fast[Index].Count, Grouped[Index].Count);
                EXPECT_EQ(Fast[Index].Machines, Grouped[Index].Machines);
                EXPECT_EQ(Fast[Index].FirstSeen, Grouped[Index].FirstSeen);
                EXPECT_EQ(Fast[Index].LastSeen, Grouped[Index].LastSeen);
                EXPECT_EQ(Fast[Index].Daily, Grouped[Index].Daily);
                EXPECT_EQ(Fast[Index].State, Grouped[Index].State);
            }
        }
    };
    {
        OpenedStore Opened = OpenSqliteStore(Path);
        ASSERT_TRUE(Opened.Store) << Opened.Error;
        for (int Machine = 0; Machine < 7; ++Machine) {
            ASSERT_TRUE(Opened.Store->UpsertMachine("vm" + std::to_string(Machine), {}, "tcp://127.0.0.1:1", true));
        }
        Fill(*Opened.Store, 0, 60);
        ASSERT_TRUE(Opened.Store->MarkFixed("0x50_mod2.sys!F", "fixed"));
        ExpectAgreement(*Opened.Store);
        const std::vector<BucketRow> Buckets = Opened.Store->Buckets({});
        ASSERT_EQ(Buckets.size(), 5U);
        EXPECT_EQ(Buckets[0].Count, 12U);
        EXPECT_EQ(Buckets[0].Machines, 7U);
    }
    // Back to the layout before the kept counts, with more reports recorded in it.
    {
        sqlite3* Database = nullptr;
        ASSERT_EQ(sqlite3_open(Path.c_str(), &Database), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(Database,
                               "DROP TRIGGER lab_reports_counted; DROP TABLE lab_bucket_stats;"
                               " DROP TABLE lab_bucket_machines; DROP TABLE lab_bucket_days;"
                               " ALTER TABLE lab_reports DROP COLUMN index_row;"
                               " CREATE INDEX lab_reports_by_machine ON lab_reports (machine_id);"
                               " DELETE FROM lab_schema WHERE version >= 3;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(Database);
    }
    OpenedStore Older = OpenSqliteStore(Path);
    ASSERT_TRUE(Older.Store) << Older.Error;
    EXPECT_EQ(Older.Store->SchemaVersion(), LabSchemaVersion);
    Fill(*Older.Store, 60, 100);
    ExpectAgreement(*Older.Store);
    unsigned Total = 0;
    for (const BucketRow& Row : Older.Store->Buckets({})) {
        Total += Row.Count;
    }
    EXPECT_EQ(Total, 100U);
}

// The recorder's commits leave copying the write-ahead log into the database to a thread of the store's
// own: what a batch wrote reaches the database file soon after, without any commit doing it.
TEST(LabStore, CopiesTheLogIntoTheDatabaseAfterTheRecordersCommits) {
    TempDirectory Work;
    const std::string Path = Work.Path() + "/lab.db";
    OpenedStore Opened = OpenSqliteStore(Path);
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    ASSERT_TRUE(Opened.Store->UpsertMachine("vm0", {}, "tcp://127.0.0.1:1", true));
    const auto FileSize = [](const std::string& File) {
        std::error_code Failed;
        const auto Size = std::filesystem::file_size(File, Failed);
        return Failed ? 0 : Size;
    };
    const uintmax_t Before = FileSize(Path);
    // 8 MiB in one batch: past SQLite's own checkpoint at 1000 pages, short of the backstop.
    ASSERT_TRUE(Opened.Store->BeginBatch());
    for (int Each = 0; Each < 800; ++Each) {
        char Crash[40];
        std::snprintf(Crash, sizeof(Crash), "2026-12-08T07:%02d:%02d.000Z", Each / 60, Each % 60);
        ReportEntry Report = Entry("0x50_mod.sys!F", Crash, std::nullopt);
        Report.Document = std::string(10240, static_cast<char>('a' + Each % 26));
        ASSERT_TRUE(Opened.Store->RecordReport("vm0", Report));
    }
    ASSERT_TRUE(Opened.Store->CommitBatch());
    for (int Wait = 0; Wait < 1000 && FileSize(Path) < Before + (8U << 20); ++Wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(FileSize(Path), Before + (8U << 20));
    // A new record's pages are 16 KiB: set before the file became a write-ahead-log database, or not at all.
    sqlite3* Database = nullptr;
    ASSERT_EQ(sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* PageSize = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(Database, "PRAGMA page_size", -1, &PageSize, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(PageSize), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(PageSize, 0), 16384);
    sqlite3_finalize(PageSize);
    sqlite3_close(Database);
}

// A report's raw text and JSON object are written once, into the crash index sharing the file, and the
// record reads them from there. A truncated reading keeps its own: the whole reading, read after it,
// replaces its row in the crash index.
TEST(LabStore, KeepsAWholeReportsTextOnceInTheCrashIndexItShares) {
    TempDirectory Work;
    const std::string Path = Work.Path() + "/lab.db";
    OpenedStore Opened = OpenSqliteStore(Path);
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    auto Index = decode::CrashIndex::Open(Path);
    ASSERT_TRUE(Index.Index) << Index.Error;
    const testing::Decoded Sim = testing::DecodeSim("");
    ASSERT_EQ(Sim.Reports.size(), 1U);
    ASSERT_EQ(Sim.Boots.size(), 1U);
    const decode::Report& Whole = Sim.Reports[0];
    decode::Report Cut = Whole;
    Cut.End = decode::ReportEnd::Truncated;
    Cut.RawText.resize(Whole.RawText.size() / 2);
    {
        Recorder Record(*Opened.Store, Index.Index.get(), decode::SymbolOptions{}, decode::Triage{}, size_t{1} << 20);
        Record.Machine(MachineConfig{"vm0", {}, "tcp://127.0.0.1:1", {}}, true);
        Record.Boot("vm0", Sim.Boots[0]);
        Record.Report("vm0", Cut, Sim.Boots[0]);
        Record.Report("vm0", Whole, Sim.Boots[0]);
        Record.Finish();
        EXPECT_EQ(Record.Failures(), 0U);
        EXPECT_EQ(Record.Recorded(), 2U);
    }
    sqlite3* Database = nullptr;
    ASSERT_EQ(sqlite3_open_v2(Path.c_str(), &Database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* Query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(Database,
                                 "SELECT id, truncated, length(raw), length(document), index_row FROM lab_reports ORDER BY id",
                                 -1, &Query, nullptr),
              SQLITE_OK);
    std::vector<int64_t> Ids;
    while (sqlite3_step(Query) == SQLITE_ROW) {
        Ids.push_back(sqlite3_column_int64(Query, 0));
        const bool Truncated = sqlite3_column_int64(Query, 1) != 0;
        SCOPED_TRACE(Truncated ? "truncated" : "whole");
        EXPECT_EQ(sqlite3_column_int64(Query, 2) == 0, !Truncated);
        EXPECT_EQ(sqlite3_column_int64(Query, 3) == 0, !Truncated);
        EXPECT_EQ(sqlite3_column_type(Query, 4) == SQLITE_NULL, Truncated);
    }
    sqlite3_finalize(Query);
    sqlite3_close(Database);
    ASSERT_EQ(Ids.size(), 2U);
    const auto CutRead = Opened.Store->Report(Ids[0]);
    const auto WholeRead = Opened.Store->Report(Ids[1]);
    ASSERT_TRUE(CutRead && WholeRead);
    EXPECT_TRUE(CutRead->Row.Truncated);
    EXPECT_EQ(CutRead->Raw, Cut.RawText);
    EXPECT_EQ(WholeRead->Raw, Whole.RawText);
    EXPECT_NE(CutRead->Document, WholeRead->Document);
    EXPECT_NE(WholeRead->Document.find("\"frames\""), std::string::npos);
    const auto Bucket = Opened.Store->Bucket(WholeRead->Row.Bucket, 0);
    ASSERT_TRUE(Bucket);
    EXPECT_NE(Bucket->Canonical.find("hestolvane-signature"), std::string::npos);
}

// What recording a boot says about it, deep into a machine's history, where only the newest boots count.
TEST_P(LabStores, FlagsEachBootOfALongHistoryByTheBootsBeforeIt) {
    OpenedStore Opened = Open();
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    ASSERT_TRUE(Store.UpsertMachine("vm1", {}, "tcp://127.0.0.1:1", true));
    int Hour = 0;
    auto Boot = [&](const std::string& State, bool Crashes) {
        char Load[40];
        std::snprintf(Load, sizeof(Load), "2026-12-%02dT%02d:00:00.000Z", 1 + Hour / 24, Hour % 24);
        ++Hour;
        const std::optional<BootOutcome> Outcome = Store.RecordBoot("vm1", {Load, 3, State, NowIso()});
        if (Outcome && Crashes) {
            EXPECT_TRUE(Store.RecordReport("vm1", Entry("0x50_mod.sys!Fail", Load, std::string(Load))));
        }
        return Outcome.value_or(BootOutcome{});
    };
    // Ten crashes, each captured: nothing to flag, though the first of them lost its report long ago.
    EXPECT_TRUE(Boot("normal", false).Added);
    EXPECT_TRUE(Boot("last_bsod", true).CrashWithoutReport);
    for (int Each = 0; Each < 10; ++Each) {
        const BootOutcome Outcome = Boot("normal", true);
        EXPECT_FALSE(Outcome.CrashWithoutReport);
        EXPECT_FALSE(Outcome.BootLoop);
        EXPECT_FALSE(Boot("last_bsod", true).CrashWithoutReport);
    }
    // A crash that left no report, then a loop: flagged from its third boot on, for as long as it lasts.
    EXPECT_FALSE(Boot("normal", false).CrashWithoutReport);
    const BootOutcome Lost = Boot("last_bsod", true);
    EXPECT_TRUE(Lost.CrashWithoutReport);
    EXPECT_FALSE(Lost.BootLoop);
    EXPECT_FALSE(Boot("last_bsod", true).BootLoop);
    EXPECT_TRUE(Boot("last_bsod_new_version", true).BootLoop);
    EXPECT_TRUE(Boot("last_bsod", false).BootLoop);
    const BootOutcome AfterLoop = Boot("normal", false);
    EXPECT_FALSE(AfterLoop.BootLoop);
    EXPECT_FALSE(AfterLoop.CrashWithoutReport);
    // A boot announced twice is recorded once and flags nothing again.
    Hour -= 1;
    EXPECT_FALSE(Boot("normal", false).Added);
    EXPECT_EQ(Store.Machines()[0].Boots, 28U);
}

TEST(LabHealth, FlagsLostReportsBootLoopsAndUnexplainedReboots) {
    // [normal, crashed with a report] [last_bsod]: explained by its report.
    EXPECT_TRUE(DeriveHealth({BootOf("normal", 1), BootOf("last_bsod", 0)}).Flags.empty());
    // [normal, no report] [last_bsod]: the report was lost.
    EXPECT_EQ(DeriveHealth({BootOf("normal", 0), BootOf("last_bsod", 0)}).CrashesWithoutReport, 1U);
    // [normal, no report, running] [normal]: nobody saw it stop.
    EXPECT_EQ(DeriveHealth({BootOf("normal", 0), BootOf("normal", 0)}).UnexplainedReboots, 1U);
    // [normal, no report, source went away] [normal]: a shutdown.
    EXPECT_EQ(DeriveHealth({BootOf("normal", 0, true), BootOf("normal", 0)}).UnexplainedReboots, 0U);
    // Three boots in a row after crashes: a loop, while it lasts.
    const std::vector<BootHealth> Loop = {BootOf("normal", 1), BootOf("last_bsod", 1), BootOf("last_bsod", 1),
                                          BootOf("last_bsod_new_version", 1)};
    EXPECT_TRUE(DeriveHealth(Loop).BootLoop);
    std::vector<BootHealth> Ended = Loop;
    Ended.push_back(BootOf("normal", 0));
    EXPECT_FALSE(DeriveHealth(Ended).BootLoop);
}

}  // namespace
}  // namespace hestolvane::lab
