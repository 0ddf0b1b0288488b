// Several hestolvane-lab processes on one PostgreSQL database, as a lab runs them: machines on loopback
// TCP serial servers and in followed files fed by hestolvane-sim, leases handed over when a collector is
// killed, and a database that goes away for half a minute while reports keep coming.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "crash_index.h"
#include "lab_test_support.h"
#include "store.h"
#include "store_fixture.h"

namespace hestolvane::lab {
namespace {

using namespace testing;

// The status of a GET and its JSON document, whatever the status.
std::pair<int, nlohmann::json> Fetch(const LabProcess& Lab, const std::string& Path) {
    const auto Response = httplib::Client("127.0.0.1", Lab.Port()).Get(Path.c_str());
    if (!Response) {
        return {0, nullptr};
    }
    return {Response->status, nlohmann::json::parse(Response->body, nullptr, false)};
}

std::string Page(const LabProcess& Lab, const std::string& Path) {
    const auto Response = httplib::Client("127.0.0.1", Lab.Port()).Get(Path.c_str());
    return Response ? Response->body : "";
}

// The machines this collector reads now.
std::set<std::string> Reading(const LabProcess& Lab) {
    std::set<std::string> Names;
    const nlohmann::json Machines = Fetch(Lab, "/api/machines").second;
    if (Machines.is_object()) {
        for (const auto& Machine : Machines["machines"]) {
            if (Machine["connected"] == true) {
                Names.insert(Machine["name"].get<std::string>());
            }
        }
    }
    return Names;
}

std::map<std::string, unsigned> CrashesPerMachine(const LabProcess& Lab) {
    std::map<std::string, unsigned> Crashes;
    const nlohmann::json Machines = Fetch(Lab, "/api/machines").second;
    if (Machines.is_object()) {
        for (const auto& Machine : Machines["machines"]) {
            Crashes[Machine["name"].get<std::string>()] = Machine["crashes"].get<unsigned>();
        }
    }
    return Crashes;
}

uint64_t Spooled(const LabProcess& Lab) {
    const nlohmann::json Machines = Fetch(Lab, "/api/machines").second;
    return Machines.is_object() ? Machines.value("spooled_reports", uint64_t{0}) : 0;
}

// Five machines on TCP serial servers and five in followed files.
struct TenMachines {
    explicit TenMachines(const std::string& Directory) {
        for (int Each = 0; Each < 5; ++Each) {
            Servers.push_back(std::make_unique<SerialServer>());
            Config += "[[machine]]\nname = \"vm" + std::to_string(Each) + "\"\nsource = \"tcp://127.0.0.1:" +
                      std::to_string(Servers.back()->Port()) + "\"\n";
        }
        for (int Each = 5; Each < 10; ++Each) {
            Files.push_back(Directory + "/vm" + std::to_string(Each) + ".log");
            Append(Files.back(), "");
            Config += "[[machine]]\nname = \"vm" + std::to_string(Each) + "\"\nsource = \"file://" + Files.back() + "\"\n";
        }
    }
    // A report to machine Each; a TCP machine's once its Connection-th collector is connected.
    bool Send(int Each, unsigned Connection) {
        const std::string Report = SimOutput("");
        if (Each < 5) {
            return Servers[static_cast<size_t>(Each)]->Send(Report, Connection);
        }
        Append(Files[static_cast<size_t>(Each - 5)], Report);
        return true;
    }
    std::vector<std::unique_ptr<SerialServer>> Servers;
    std::vector<std::string> Files;
    std::string Config;
};

// Reports in the decoder's crash index in the same database.
unsigned Indexed(const std::string& Uri) {
    auto Index = decode::CrashIndex::Open(Uri);
    unsigned Count = 0;
    if (Index.Index) {
        for (const auto& Bucket : Index.Index->Buckets(decode::BucketKey::Bucket).Buckets) {
            Count += Bucket.Count;
        }
    }
    return Count;
}

std::string Shared(const std::string& Uri, const std::string& Collector, const std::string& Lease, const std::string& Spool) {
    return "index = \"" + Uri + "\"\ncollector = \"" + Collector + "\"\nlease = " + Lease + "\nlease_renewal = 1\nbackoff = 0.05\n" +
           "spool = \"" + Spool + "\"\n" + SimSymbols;
}

TEST(LabSharedLive, TwoCollectorsReadEachMachineOnceAndTheSurvivorTakesOverAKilledOnesMachines) {
    hestolvane::testing::PostgresServer* Server = nullptr;
    HESTOLVANE_NEED_POSTGRES(Server);
    const std::string Uri = FreshDatabase(*Server);
    ASSERT_FALSE(Uri.empty());
    TempDirectory Work;
    TempDirectory DirectoryA;
    TempDirectory DirectoryB;
    TenMachines Lab(Work.Path());

    // a holds its leases for 3 s; b for two minutes, so that only its giving them up lets them go soon.
    std::optional<LabProcess> A(std::in_place, DirectoryA.Path(), Shared(Uri, "a", "3", DirectoryA.Path() + "/spool") + Lab.Config);
    ASSERT_TRUE(Eventually([&] { return Reading(*A).size() == 10; })) << A->Log();
    LabProcess B(DirectoryB.Path(), Shared(Uri, "b", "120", DirectoryB.Path() + "/spool") + Lab.Config);
    for (int Each = 0; Each < 10; ++Each) {
        ASSERT_TRUE(Lab.Send(Each, 1));
    }
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*A)) == 10; })) << A->Log();
    EXPECT_TRUE(Reading(B).empty());
    const nlohmann::json Machines = Fetch(B, "/api/machines").second;
    ASSERT_TRUE(Machines.is_object());
    EXPECT_EQ(Machines["machines"][0]["problem"], "read by collector a");
    // Both show the same record.
    EXPECT_EQ(Counts(*A), Counts(B));
    for (const auto& [Machine, Crashes] : CrashesPerMachine(B)) {
        EXPECT_EQ(Crashes, 1U) << Machine;
    }

    // a is killed: its leases run out, b takes every machine over and reads what comes after the kill,
    // the files from where a stopped.
    A->Signal(SIGKILL);
    A->Wait();
    A.reset();
    const auto Killed = std::chrono::steady_clock::now();
    for (int Each = 5; Each < 10; ++Each) {
        ASSERT_TRUE(Lab.Send(Each, 0));
    }
    ASSERT_TRUE(Eventually([&] { return Reading(B).size() == 10; })) << B.Log();
    std::cerr << "taken over " << std::chrono::duration<double>(std::chrono::steady_clock::now() - Killed).count()
              << " s after the kill (lease 3 s, renewal 1 s)\n";
    for (int Each = 0; Each < 5; ++Each) {
        ASSERT_TRUE(Lab.Send(Each, 2));
    }
    ASSERT_TRUE(Eventually([&] { return Total(Counts(B)) == 20; })) << B.Log();
    for (const auto& [Machine, Crashes] : CrashesPerMachine(B)) {
        EXPECT_EQ(Crashes, 2U) << Machine;
    }

    // Stopped cleanly, b gives its two-minute leases up at once.
    B.Signal(SIGTERM);
    EXPECT_EQ(B.Wait(), 0);
    OpenedStore Probe = OpenPostgresStore(Uri);
    ASSERT_TRUE(Probe.Store) << Probe.Error;
    std::vector<std::string> Names;
    for (int Each = 0; Each < 10; ++Each) {
        Names.push_back("vm" + std::to_string(Each));
    }
    const auto Holders = Probe.Store->RenewLeases("probe", Names, std::chrono::minutes(1));
    ASSERT_TRUE(Holders);
    for (const auto& [Machine, Holder] : *Holders) {
        EXPECT_EQ(Holder, "probe") << Machine;
    }
    unsigned Recorded = 0;
    for (const BucketRow& Row : Probe.Store->Buckets({})) {
        Recorded += Row.Count;
    }
    EXPECT_EQ(Recorded, 20U);
    EXPECT_EQ(Indexed(Uri), 20U);
}

TEST(LabSharedLive, KeepsReportsInTheSpoolWhileTheDatabaseIsDownAndWritesEachOnceWhenItIsBack) {
    hestolvane::testing::PostgresServer* Server = nullptr;
    HESTOLVANE_NEED_POSTGRES(Server);
    const std::string Uri = FreshDatabase(*Server);
    ASSERT_FALSE(Uri.empty());
    TempDirectory Work;
    SerialServer Tcp;
    const std::string File = Work.Path() + "/vm1.log";
    Append(File, "");
    const std::string Config = Shared(Uri, "a", "3", Work.Path() + "/spool") + "[[machine]]\nname = \"vm0\"\nsource = \"tcp://127.0.0.1:" +
                               std::to_string(Tcp.Port()) + "\"\n[[machine]]\nname = \"vm1\"\nsource = \"file://" + File + "\"\n";
    std::optional<LabProcess> Lab(std::in_place, Work.Path(), Config);
    ASSERT_TRUE(Tcp.Send(SimOutput("")));
    Append(File, SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 2; })) << Lab->Log();

    // Half a minute without the database, a report every three seconds; every page says so meanwhile.
    ASSERT_TRUE(Server->Stop());
    unsigned Sent = 2;
    for (int Round = 0; Round < 10; ++Round) {
        if (Round % 2 == 0) {
            ASSERT_TRUE(Tcp.Send(SimOutput("")));
        } else {
            Append(File, SimOutput(""));
        }
        ++Sent;
        const auto [Status, Buckets] = Fetch(*Lab, "/api/buckets");
        EXPECT_EQ(Status, 503);
        ASSERT_TRUE(Buckets.is_object()) << Status;
        EXPECT_EQ(Buckets["index_reachable"], false);
        EXPECT_TRUE(Buckets["index_last_read"].is_string());
        EXPECT_NE(Page(*Lab, "/buckets").find("id=\"unreachable\""), std::string::npos);
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    EXPECT_TRUE(Eventually([&] { return Spooled(*Lab) == 10; })) << Lab->Log();
    EXPECT_NE(Page(*Lab, "/machines").find("10 reports wait in the spool"), std::string::npos);

    ASSERT_TRUE(Server->Restart());
    ASSERT_TRUE(Eventually([&] { return Spooled(*Lab) == 0 && Total(Counts(*Lab)) == Sent; })) << Lab->Log();
    const auto [Status, Buckets] = Fetch(*Lab, "/api/buckets");
    EXPECT_EQ(Status, 200);
    EXPECT_EQ(Buckets["index_reachable"], true);
    EXPECT_EQ(CrashesPerMachine(*Lab), (std::map<std::string, unsigned>{{"vm0", 6}, {"vm1", 6}}));

    // The spool outlives the collector: killed with reports in it, the next run writes them.
    ASSERT_TRUE(Server->Stop());
    Append(File, SimOutput(""));
    ASSERT_TRUE(Tcp.Send(SimOutput("")));
    Sent += 2;
    ASSERT_TRUE(Eventually([&] { return Spooled(*Lab) == 2; })) << Lab->Log();
    Lab->Signal(SIGKILL);
    Lab->Wait();
    Lab.reset();
    ASSERT_TRUE(Server->Restart());
    Lab.emplace(Work.Path(), Config);
    ASSERT_TRUE(Eventually([&] { return Spooled(*Lab) == 0 && Total(Counts(*Lab)) == Sent; })) << Lab->Log();
    EXPECT_EQ(Total(Counts(*Lab)), Sent);
    // The spooled reports reached the decoder's crash index too, once each.
    Lab->Signal(SIGTERM);
    EXPECT_EQ(Lab->Wait(), 0);
    EXPECT_EQ(Indexed(Uri), Sent);
}

}  // namespace
}  // namespace hestolvane::lab
