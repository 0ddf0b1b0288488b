// The crash index through the command, in an SQLite file and in a PostgreSQL database: a capture decoded
// twice counts each report once, the bucket listing, and two processes writing one index at once lose no
// report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

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

std::vector<nlohmann::json> BucketsOf(const std::string& Database) {
    std::istringstream Lines(CommandOutput(Decoder() + " buckets --json --db " + Quoted(Database)));
    std::vector<nlohmann::json> Buckets;
    for (std::string Line; std::getline(Lines, Line);) {
        Buckets.push_back(nlohmann::json::parse(Line));
    }
    return Buckets;
}

// Reports in the crashy module, culprit Fail or Middle, one crash time each.
std::string Capture(const std::vector<std::string>& Culprits, int FirstMillisecond) {
    const auto Map = ReadLinkMap(CrashyDir() + "/crashy.map");
    const RowSpec Row{0xFFFFF80480000000, 0xFFFFF80480010000, "crashy.dll", "crashy.pdb",
                      PdbGuid(CrashyDir() + "/crashy.pdb")};
    std::string Text = BannerText();
    int Millisecond = FirstMillisecond;
    for (const std::string& Culprit : Culprits) {
        Text += ReportText({Row}, {{"", 0xFFFFF80512345678}, {"crashy.dll", Map->Rvas.at(Culprit) + 4}}, Millisecond++);
    }
    return Text;
}

class DecodeIndex : public IndexStoreTest {
protected:
    void SetUp() override {
        if (!ReadLinkMap(CrashyDir() + "/crashy.map") || PdbGuid(CrashyDir() + "/crashy.pdb").empty()) {
            GTEST_SKIP() << "the cross toolchain did not build " << CrashyDir();
        }
        IndexStoreTest::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, DecodeIndex, ::testing::Values(Store::Sqlite, Store::Postgres), StoreName);

TEST_P(DecodeIndex, CaptureDecodedTwiceCountsEachReportOnce) {
    std::ofstream(Work / "lab.txt") << Capture({"Fail", "Middle", "Fail"}, 101);
    const std::string Database = Index("crashes");
    const std::string Run =
        Decoder() + " --symbols " + CrashyDir() + " --db " + Quoted(Database) + " " + Work / "lab.txt";
    int Exit = -1;
    CommandOutput(Run, &Exit);
    EXPECT_EQ(Exit, 0);
    CommandOutput(Run, &Exit);
    EXPECT_EQ(Exit, 0);
    const auto Twice = BucketsOf(Database);
    ASSERT_EQ(Twice.size(), 2u);
    EXPECT_EQ(Twice[0], nlohmann::json::parse(R"({"kind": "bucket", "schema": 2, "by": "bucket",
        "bucket": "0x50_R_crashy!Fail", "count": 2, "first_crash": "2026-12-08T06:04:05.101Z",
        "last_crash": "2026-12-08T06:04:05.103Z", "sources": [")" + Work / "lab.txt" + R"("], "owners": []})"));
    EXPECT_EQ(Twice[1]["bucket"], "0x50_R_crashy!Middle");
    EXPECT_EQ(Twice[1]["count"], 1);

    // Another source is another record of the same crashes.
    CommandOutput(Run + " --source rack-7", &Exit);
    const auto Buckets = BucketsOf(Database);
    EXPECT_EQ(Buckets[0]["count"], 4);
    EXPECT_EQ(Buckets[0]["sources"], nlohmann::json::parse(R"([")" + Work / "lab.txt" + R"(", "rack-7"])"));

    const std::string Listing = CommandOutput(Decoder() + " buckets --db " + Quoted(Database), &Exit);
    EXPECT_EQ(Exit, 0);
    EXPECT_EQ(Listing,
              "reports  first crash               last crash                bucket\n"
              "      4  2026-12-08T06:04:05.101Z  2026-12-08T06:04:05.103Z  0x50_R_crashy!Fail\n"
              "         sources: " + Work / "lab.txt" + ", rack-7\n"
              "      2  2026-12-08T06:04:05.102Z  2026-12-08T06:04:05.102Z  0x50_R_crashy!Middle\n"
              "         sources: " + Work / "lab.txt" + ", rack-7\n");
}

// One capture under every name it can have is one source: relative, with "./", absolute, and standard
// input redirected from it.
TEST_P(DecodeIndex, OneFileUnderEveryNameIsOneSource) {
    std::ofstream(Work / "x.txt") << Capture({"Fail", "Middle"}, 101);
    const std::string Database = Index("crashes");
    const std::string Run = Decoder() + " --symbols " + CrashyDir() + " --db " + Quoted(Database);
    for (const std::string& Input : std::vector<std::string>{"x.txt", "./x.txt", Work / "x.txt", "- < x.txt"}) {
        int Exit = -1;
        CommandOutput("cd " + Work.Path + " && " + Run + " " + Input, &Exit);
        EXPECT_EQ(Exit, 0) << Input;
    }
    const auto Buckets = BucketsOf(Database);
    ASSERT_EQ(Buckets.size(), 2u);
    for (const auto& Bucket : Buckets) {
        EXPECT_EQ(Bucket["count"], 1);
        EXPECT_EQ(Bucket["sources"], nlohmann::json::parse(R"([")" + Work / "x.txt" + R"("])"));
    }
}

// A report cut off (by the idle timeout, the end of a capture still being written) and later read whole
// is one crash, and the whole reading is what stays, whichever came first.
TEST_P(DecodeIndex, TruncatedReadingIsReplacedByTheWholeOne) {
    const std::string Whole = Capture({"Fail"}, 101);
    const std::string Cut = Whole.substr(0, Whole.find("ControlPc"));
    std::ofstream(Work / "cut.txt") << Cut;
    std::ofstream(Work / "whole.txt") << Whole;
    const std::string Database = Index("crashes");
    auto Record = [&](const std::string& File) {
        int Exit = -1;
        CommandOutput(Decoder() + " --symbols " + CrashyDir() + " --source vm-1 --db " + Quoted(Database) + " " +
                          Work / File,
                      &Exit);
        return Exit;
    };
    EXPECT_EQ(Record("cut.txt"), 1);  // a warning: truncated
    EXPECT_EQ(Record("whole.txt"), 0);
    EXPECT_EQ(Record("cut.txt"), 1);
    ASSERT_EQ(BucketsOf(Database).size(), 1u);
    EXPECT_EQ(BucketsOf(Database)[0]["count"], 1);
    const auto Stored = Rows(Database, "SELECT document, raw, complete FROM reports");
    ASSERT_EQ(Stored.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(Stored[0][0])["end"], "control_pc");
    const size_t Begin = Whole.find("VQN Dump Begin.");
    EXPECT_EQ(Stored[0][1], Whole.substr(Begin, Whole.find("VQN Dump End.") - Begin));
    EXPECT_EQ(Stored[0][2], "1");
}

// Reports are recorded in batches: every report the decoder has printed when SIGTERM comes is in the
// index after it ends, while its input is still open.
TEST_P(DecodeIndex, EveryPrintedReportIsRecordedWhenStopped) {
    const std::string Database = Index("crashes");
    int Input[2];
    int Output[2];
    ASSERT_EQ(pipe2(Input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(Output, O_CLOEXEC), 0);
    const std::string Program = Decoder();
    const pid_t Child = fork();
    if (Child == 0) {
        dup2(Input[0], STDIN_FILENO);
        dup2(Output[1], STDOUT_FILENO);
        execl(Program.c_str(), Program.c_str(), "--json", "--db", Database.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(Input[0]);
    close(Output[1]);
    const std::string Reports = Capture(std::vector<std::string>(300, "Fail"), 0);
    std::thread Writing([&] {
        for (size_t Sent = 0; Sent < Reports.size();) {
            const ssize_t Count = write(Input[1], Reports.data() + Sent, Reports.size() - Sent);
            if (Count <= 0) {
                return;
            }
            Sent += static_cast<size_t>(Count);
        }
    });
    std::string Printed;
    size_t Seen = 0;
    char Buffer[65536];
    while (Seen < 300) {
        pollfd Ready{Output[0], POLLIN, 0};
        if (poll(&Ready, 1, 20000) <= 0) {
            break;
        }
        const ssize_t Count = read(Output[0], Buffer, sizeof(Buffer));
        if (Count <= 0) {
            break;
        }
        Printed.append(Buffer, static_cast<size_t>(Count));
        Seen = 0;
        for (size_t At = Printed.find("\"kind\":\"report\""); At != std::string::npos;
             At = Printed.find("\"kind\":\"report\"", At + 1)) {
            Seen++;
        }
    }
    kill(Child, SIGTERM);
    int Status = 0;
    waitpid(Child, &Status, 0);
    Writing.join();
    close(Input[1]);
    close(Output[0]);
    EXPECT_EQ(Seen, 300u);
    EXPECT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(RowsIn(Database), 300);
}

TEST(DecodeIndexReading, BucketsOfAMissingIndexCreateNothing) {
    TemporaryDirectory Work;
    int Exit = -1;
    CommandOutput(Decoder() + " buckets --db " + Work / "none.db" + " 2>/dev/null", &Exit);
    EXPECT_EQ(Exit, 4);
    EXPECT_FALSE(fs::exists(Work / "none.db"));
}

// Each process commits one transaction per report, 150 each, so their writes interleave; whether they
// do or not, every report must be there.
TEST_P(DecodeIndex, TwoProcessesWritingAtOnceLoseNothing) {
    std::vector<std::string> Culprits(150, "Fail");
    std::ofstream(Work / "a.txt") << Capture(Culprits, 0);
    std::ofstream(Work / "b.txt") << Capture(Culprits, 500);
    const std::string Database = Index("shared");
    std::ofstream(Work / "both.sh") << Decoder() << " --db \"$1\" --source a " << Work / "a.txt" << " >/dev/null & "
                                    << Decoder() << " --db \"$1\" --source b " << Work / "b.txt"
                                    << " >/dev/null & wait $! && wait\n";
    int Exit = -1;
    CommandOutput("timeout 120 sh " + Work / "both.sh" + " " + Quoted(Database), &Exit);
    EXPECT_EQ(Exit, 0);
    const auto Buckets = BucketsOf(Database);
    ASSERT_EQ(Buckets.size(), 1u);
    EXPECT_EQ(Buckets[0]["count"], 300);
    EXPECT_EQ(Buckets[0]["sources"], nlohmann::json::parse(R"(["a", "b"])"));
}

}  // namespace
}  // namespace hestolvane::decode
