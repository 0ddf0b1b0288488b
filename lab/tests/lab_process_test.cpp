// hestolvane-lab as a lab runs it: a real process over a TOML file, machines on loopback TCP and in
// followed files fed by hestolvane-sim, read back through its HTTP API.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/un.h>

#include "crash_index.h"
#include "lab_test_support.h"
#include "store.h"

namespace hestolvane::lab {
namespace {

using namespace testing;

std::string FileMachine(const std::string& Name, const std::string& Path) {
    return "[[machine]]\nname = \"" + Name + "\"\nsource = \"file://" + Path + "\"\n";
}

std::string TcpMachine(const std::string& Name, int Port) {
    return "[[machine]]\nname = \"" + Name + "\"\nsource = \"tcp://127.0.0.1:" + std::to_string(Port) +
           "\"\ntags = { pool = \"tcp\" }\n";
}

TEST(LabLive, CollectsTcpAndFileMachinesAndResumesAfterKillWithoutCountingTwice) {
    TempDirectory Work;
    SerialServer Vm1;
    const std::string Vm2 = Work.Path() + "/vm2-serial.log";
    Append(Vm2, SimOutput("--bugcheck 1E,C0000005,FFFFF80012345678,0,0"));
    const std::string Config = "index = \"" + Work.Path() + "/lab.db\"\nbackoff = 0.05\n" + SimSymbols +
                               TcpMachine("vm1", Vm1.Port()) + FileMachine("vm2", Vm2);
    std::optional<LabProcess> Lab(std::in_place, Work.Path(), Config);
    ASSERT_TRUE(Vm1.Send(SimOutput("")));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 2; })) << Lab->Log();
    Append(Vm2, SimOutput("--bugcheck A,0,2,0,FFFFF80012345678"));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 3; })) << Lab->Log();
    EXPECT_EQ(Counts(*Lab).size(), 3U);

    // Killed without warning, then started again: the file is read from where it resumes, the TCP
    // machine is connected again, and nothing already counted is counted again.
    Lab->Signal(SIGKILL);
    Lab->Wait();
    Lab.reset();
    Lab.emplace(Work.Path(), Config);
    ASSERT_TRUE(Vm1.Send(SimOutput("--bugcheck 1E,C0000005,FFFFF80012345678,0,0"), 2));
    Append(Vm2, SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(*Lab)) == 5; })) << Lab->Log();
    const auto Counted = Counts(*Lab);
    EXPECT_EQ(Total(Counted), 5U);
    EXPECT_EQ(Counted.size(), 3U);

    const nlohmann::json Machines = Lab->Get("/api/machines");
    ASSERT_TRUE(Machines.is_object());
    for (const auto& Machine : Machines["machines"]) {
        EXPECT_TRUE(Machine["connected"].get<bool>()) << Machine.dump();
        EXPECT_EQ(Machine["crashes"].get<unsigned>(), Machine["name"] == "vm1" ? 2U : 3U) << Machine.dump();
    }
    // Every report reached the decoder's crash index in the same file too.
    Lab->Signal(SIGTERM);
    EXPECT_EQ(Lab->Wait(), 0);
    auto Index = decode::CrashIndex::Open(Work.Path() + "/lab.db");
    ASSERT_TRUE(Index.Index) << Index.Error;
    unsigned Indexed = 0;
    for (const auto& Bucket : Index.Index->Buckets(decode::BucketKey::Bucket).Buckets) {
        Indexed += Bucket.Count;
    }
    EXPECT_EQ(Indexed, 5U);
}

TEST(LabLive, ReloadsMachinesOnHangupAndLeavesAnUnfinishedReportOutOnTerm) {
    TempDirectory Work;
    const std::string Vm1 = Work.Path() + "/vm1.txt";
    const std::string Vm2 = Work.Path() + "/vm2.txt";
    Append(Vm1, SimOutput(""));
    Append(Vm2, SimOutput(""));
    const std::string Base = "index = \"" + Work.Path() + "/lab.db\"\n" + std::string(SimSymbols);
    LabProcess Lab(Work.Path(), Base + FileMachine("vm1", Vm1));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 1; })) << Lab.Log();

    Lab.Rewrite(Base + FileMachine("vm2", Vm2));
    Lab.Signal(SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 2; })) << Lab.Log();
    const nlohmann::json Machines = Lab.Get("/api/machines");
    ASSERT_EQ(Machines["machines"].size(), 2U);
    EXPECT_FALSE(Machines["machines"][0]["configured"].get<bool>());  // vm1, removed
    EXPECT_TRUE(Machines["machines"][1]["configured"].get<bool>());

    // A report whose end never came is not recorded when the collector is told to stop.
    const std::string Whole = SimOutput("");
    Append(Vm2, Whole.substr(0, Whole.find("CONTEXT")));
    const uint64_t Size = std::filesystem::file_size(Vm2);
    ASSERT_TRUE(Eventually([&] { return Lab.Get("/api/machines")["machines"][1]["bytes"].get<uint64_t>() == Size; }));
    Lab.Signal(SIGTERM);
    EXPECT_EQ(Lab.Wait(), 0);
    EXPECT_NE(Lab.Log().find("was not complete and is left out"), std::string::npos) << Lab.Log();
    OpenedStore Store = OpenSqliteStore(Work.Path() + "/lab.db");
    ASSERT_TRUE(Store.Store) << Store.Error;
    unsigned Recorded = 0;
    for (const BucketRow& Row : Store.Store->Buckets({})) {
        Recorded += Row.Count;
    }
    EXPECT_EQ(Recorded, 2U);
}

// libvirt's and QEMU's -serial unix:PATH,server,nowait, and a serial device (a pseudo-terminal stands in
// for the null-modem cable's adapter).
TEST(LabLive, ReadsAUnixSocketAndASerialDevice) {
    TempDirectory Work;
    const std::string Path = Work.Path() + "/vm1.com1";
    const int Listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    std::snprintf(Address.sun_path, sizeof(Address.sun_path), "%s", Path.c_str());
    ASSERT_EQ(bind(Listening, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)), 0);
    ASSERT_EQ(listen(Listening, 1), 0);
    const int Terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(Terminal, 0);
    ASSERT_EQ(grantpt(Terminal), 0);
    ASSERT_EQ(unlockpt(Terminal), 0);
    const std::string Device = ptsname(Terminal);

    LabProcess Lab(Work.Path(), "index = \"" + Work.Path() + "/lab.db\"\n" + std::string(SimSymbols) +
                                    "[[machine]]\nname = \"vm1\"\nsource = \"unix://" + Path + "\"\n" +
                                    "[[machine]]\nname = \"vm2\"\nsource = \"serial://" + Device + "?baud=115200\"\n");
    const int Client = accept4(Listening, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(Client, 0);
    const std::string First = SimOutput("");
    ASSERT_EQ(send(Client, First.data(), First.size(), MSG_NOSIGNAL), static_cast<ssize_t>(First.size()));
    ASSERT_TRUE(Eventually([&] {
        const nlohmann::json Machines = Lab.Get("/api/machines");
        return Machines.is_object() && Machines["machines"][1]["connected"] == true;
    })) << Lab.Log();
    const std::string Second = SimOutput("--bugcheck 1E,C0000005,FFFFF80012345678,0,0");
    ASSERT_EQ(write(Terminal, Second.data(), Second.size()), static_cast<ssize_t>(Second.size()));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 2; })) << Lab.Log();

    // The VM powers off: its serial server goes away, and the machine shows as not connected.
    close(Listening);
    close(Client);
    ASSERT_TRUE(Eventually([&] { return Lab.Get("/api/machines")["machines"][0]["connected"] == false; }));
    close(Terminal);
}

TEST(LabLive, AWatchedDirectoryMakesAMachineOfEachNewCaptureFile) {
    TempDirectory Work;
    const std::string Libvirt = Work.Path() + "/libvirt";
    std::filesystem::create_directory(Libvirt);
    LabProcess Lab(Work.Path(), "index = \"" + Work.Path() + "/lab.db\"\n" + std::string(SimSymbols) +
                                    "[[watch]]\ndirectory = \"" + Libvirt + "\"\ntags = { pool = \"libvirt\" }\n");
    Append(Libvirt + "/win11-a-serial.log", SimOutput(""));
    Append(Libvirt + "/notes.txt", SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 1; })) << Lab.Log();
    Append(Libvirt + "/win10-b-serial.log", SimOutput("--bugcheck 1E,C0000005,FFFFF80012345678,0,0"));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 2; })) << Lab.Log();
    const nlohmann::json Machines = Lab.Get("/api/machines");
    ASSERT_EQ(Machines["machines"].size(), 2U);
    EXPECT_EQ(Machines["machines"][0]["name"], "win10-b");
    EXPECT_EQ(Machines["machines"][1]["name"], "win11-a");
    EXPECT_EQ(Machines["machines"][1]["tags"]["pool"], "libvirt");
    EXPECT_EQ(Machines["machines"][1]["crashes"], 1);
}

TEST(LabLive, AMachineFloodingAReportCostsOnlyItself) {
    TempDirectory Work;
    SerialServer Flood;
    const std::string Quiet = Work.Path() + "/quiet.txt";
    LabProcess Lab(Work.Path(), "index = \"" + Work.Path() + "/lab.db\"\nbuffer_limit = 65536\n" +
                                    std::string(SimSymbols) + TcpMachine("flood", Flood.Port()) +
                                    FileMachine("quiet", Quiet));
    // A report begun and never ended: a megabyte of frame-like garbage, then a line without end.
    std::string Garbage = "VQN Dump Begin.\n";
    while (Garbage.size() < (1 << 20)) {
        Garbage += "00007FFFAE2FC790  (garbage garbage garbage garbage) nothing.sys + 0000000000009D9D\n";
    }
    ASSERT_TRUE(Flood.Send(Garbage + std::string(200000, 'x')));
    Append(Quiet, SimOutput(""));
    ASSERT_TRUE(Eventually([&] { return Total(Counts(Lab)) == 1; })) << Lab.Log();
    ASSERT_TRUE(Eventually([&] {
        const nlohmann::json Machines = Lab.Get("/api/machines");
        for (const auto& Machine : Machines["machines"]) {
            if (Machine["name"] == "flood" && Machine["bytes"].get<uint64_t>() >= Garbage.size() + 200000) {
                return true;
            }
        }
        return false;
    })) << Lab.Get("/api/machines").dump() << Lab.Log();
    const nlohmann::json Machines = Lab.Get("/api/machines");
    for (const auto& Machine : Machines["machines"]) {
        if (Machine["name"] == "flood") {
            EXPECT_GT(Machine["dropped"].get<uint64_t>(), 0U);
            EXPECT_EQ(Machine["crashes"].get<unsigned>(), 0U);
            EXPECT_NE(Machine["problem"].get<std::string>().find("buffer limit"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace hestolvane::lab
