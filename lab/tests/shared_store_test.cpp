// The record shared by several collectors in one PostgreSQL database: tables made once however many
// start at once, each report and alert once whoever records it, leases that pass on, and a database
// that goes away and comes back.
#include <gtest/gtest.h>

#include <thread>

#include "lab_test_support.h"
#include "store.h"
#include "store_fixture.h"

namespace hestolvane::lab {
namespace {

using testing::Eventually;
using testing::FreshDatabase;

ReportEntry Numbered(unsigned Number) {
    ReportEntry Report;
    Report.CrashTime = "2026-12-08T06:" + std::to_string(10 + Number / 60) + ":" + std::to_string(10 + Number % 60) + ".000Z";
    Report.Code = "0x50";
    Report.Bucket = "0x50_mod.sys!Fail" + std::to_string(Number % 5);
    Report.Signature = "0123456789abcdef";
    Report.CulpritModule = "mod.sys";
    Report.Raw = "VQN Dump Begin.\nreport " + std::to_string(Number) + "\n";
    Report.Document = "{}";
    Report.Arrived = NowIso();
    return Report;
}

TEST(LabSharedStoreConcurrent, CollectorsStartingAtOnceMakeTheTablesOnceAndCountEachReportOnce) {
    hestolvane::testing::PostgresServer* Server = nullptr;
    HESTOLVANE_NEED_POSTGRES(Server);
    const std::string Uri = FreshDatabase(*Server);
    ASSERT_FALSE(Uri.empty());
    // Both record the same 60 reports of the same machine, as two collectors would after a hand-over that
    // read a capture twice, each in batches of ten.
    std::vector<std::string> Errors(2);
    std::vector<unsigned> Added(2, 0);
    std::vector<std::thread> Collectors;
    for (size_t Each = 0; Each < 2; ++Each) {
        Collectors.emplace_back([&, Each] {
            OpenedStore Opened = OpenPostgresStore(Uri);
            if (!Opened.Store) {
                Errors[Each] = Opened.Error;
                return;
            }
            Opened.Store->SetAlertTargets({{"command /bin/true", {"new_bucket"}}});
            if (!Opened.Store->UpsertMachine("vm1", {}, "tcp://127.0.0.1:1", true)) {
                Errors[Each] = Opened.Store->LastError();
                return;
            }
            for (unsigned Batch = 0; Batch < 6; ++Batch) {
                Opened.Store->BeginBatch();
                for (unsigned Number = Batch * 10; Number < Batch * 10 + 10; ++Number) {
                    const auto Outcome = Opened.Store->RecordReport("vm1", Numbered(Number));
                    if (!Outcome) {
                        Errors[Each] = Opened.Store->LastError();
                    } else if (Outcome->Added) {
                        ++Added[Each];
                    }
                }
                if (!Opened.Store->CommitBatch()) {
                    Errors[Each] = Opened.Store->LastError();
                }
            }
        });
    }
    for (std::thread& Each : Collectors) {
        Each.join();
    }
    EXPECT_EQ(Errors[0], "");
    EXPECT_EQ(Errors[1], "");
    EXPECT_EQ(Added[0] + Added[1], 60U);
    OpenedStore Reading = OpenPostgresStore(Uri);
    ASSERT_TRUE(Reading.Store) << Reading.Error;
    EXPECT_EQ(Reading.Store->SchemaVersion(), LabPostgresSchemaVersion);
    unsigned Total = 0;
    for (const BucketRow& Row : Reading.Store->Buckets({})) {
        Total += Row.Count;
    }
    EXPECT_EQ(Total, 60U);
    // One alert per new bucket, whichever collector recorded the bucket's first report.
    EXPECT_EQ(Reading.Store->DueAlerts(IsoAfter(std::chrono::seconds(1)), 100).size(), 5U);
    // Each claimed by the collector that took it: another finds none due.
    OpenedStore Other = OpenPostgresStore(Uri);
    ASSERT_TRUE(Other.Store) << Other.Error;
    EXPECT_TRUE(Other.Store->DueAlerts(IsoAfter(std::chrono::seconds(1)), 100).empty());
}

TEST(LabSharedStore, LeasesPassOnWhenGivenUpAndWhenTheyRunOut) {
    hestolvane::testing::PostgresServer* Server = nullptr;
    HESTOLVANE_NEED_POSTGRES(Server);
    OpenedStore Opened = OpenPostgresStore(FreshDatabase(*Server));
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    const std::vector<std::string> Both = {"vm1", "vm2"};
    const auto Long = std::chrono::minutes(10);

    const auto First = Store.RenewLeases("a", Both, Long);
    ASSERT_TRUE(First);
    EXPECT_EQ(First->at("vm1"), "a");
    EXPECT_EQ(First->at("vm2"), "a");
    const auto Refused = Store.RenewLeases("b", Both, Long);
    ASSERT_TRUE(Refused);
    EXPECT_EQ(Refused->at("vm1"), "a");

    // Given up, at once: the next collector to ask takes them.
    ASSERT_TRUE(Store.ReleaseLeases("a"));
    const auto Taken = Store.RenewLeases("b", Both, std::chrono::milliseconds(300));
    ASSERT_TRUE(Taken);
    EXPECT_EQ(Taken->at("vm1"), "b");
    // A machine b no longer wants is left to others at once; one b stops renewing, once it runs out.
    ASSERT_TRUE(Store.RenewLeases("b", {"vm1"}, std::chrono::milliseconds(300)));
    const auto Left = Store.RenewLeases("a", {"vm2"}, Long);
    ASSERT_TRUE(Left);
    EXPECT_EQ(Left->at("vm2"), "a");
    EXPECT_TRUE(Eventually([&] {
        const auto Asked = Store.RenewLeases("a", Both, Long);
        return Asked && Asked->at("vm1") == "a";
    }));
}

TEST(LabSharedStore, SaysWhenTheDatabaseCannotBeReachedAndConnectsAgainWhenItIsBack) {
    hestolvane::testing::PostgresServer* Server = nullptr;
    HESTOLVANE_NEED_POSTGRES(Server);
    OpenedStore Opened = OpenPostgresStore(FreshDatabase(*Server));
    ASSERT_TRUE(Opened.Store) << Opened.Error;
    LabStore& Store = *Opened.Store;
    ASSERT_TRUE(Store.UpsertMachine("vm1", {}, "file:///x", true));
    ASSERT_EQ(Store.Machines().size(), 1U);
    const LabStore::ReadHealth Before = Store.ReadState();
    EXPECT_TRUE(Before.Reachable);
    EXPECT_FALSE(Before.LastRead.empty());

    ASSERT_TRUE(Server->Stop());
    EXPECT_TRUE(Store.Machines().empty());
    const LabStore::ReadHealth During = Store.ReadState();
    EXPECT_FALSE(During.Reachable);
    EXPECT_EQ(During.LastRead, Before.LastRead);
    EXPECT_FALSE(Store.WriterReachable());
    EXPECT_FALSE(Store.RenewLeases("a", {"vm1"}, std::chrono::seconds(10)));

    ASSERT_TRUE(Server->Restart());
    EXPECT_TRUE(Store.WriterReachable());
    ASSERT_TRUE(Store.RecordReport("vm1", Numbered(1)));
    ASSERT_EQ(Store.Machines().size(), 1U);
    EXPECT_EQ(Store.Machines()[0].Crashes, 1U);
    EXPECT_TRUE(Store.ReadState().Reachable);
}

}  // namespace
}  // namespace hestolvane::lab
