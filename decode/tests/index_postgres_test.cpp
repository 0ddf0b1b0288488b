// The crash index in PostgreSQL where it differs from a file: a database without an index, a layout of a
// later version, a password kept out of errors, the server stopping and starting again during a run; and
// several decoders writing one index at once, in either store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <thread>

#include "index_stores.h"
#include "symbol_test_support.h"

extern char** environ;

namespace hestolvane::decode {
namespace {

using namespace testing;

std::string Decoder() {
    return HESTOLVANE_DECODE;
}

// Reports without module rows, crash times First, First + 1 ms, ...: each a crash of its own.
std::string Reports(int First, int Count) {
    std::string Text = BannerText();
    for (int Each = First; Each < First + Count; ++Each) {
        std::string Report = ReportText({}, {{"", 0xFFFFF80412345678}}, Each % 1000);
        const std::string Second = "06:04:05:";
        Report.replace(Report.find(Second), Second.size(), "06:04:" + std::to_string(10 + Each / 1000) + ":");
        Text += Report;
    }
    return Text;
}

// Runs the decoders at once, each with its arguments, output thrown away; their exit statuses.
std::vector<int> RunAtOnce(const std::vector<std::vector<std::string>>& Runs) {
    std::vector<pid_t> Started;
    for (const std::vector<std::string>& Arguments : Runs) {
        std::vector<std::string> Words{Decoder()};
        Words.insert(Words.end(), Arguments.begin(), Arguments.end());
        std::vector<char*> Argv;
        for (std::string& Word : Words) {
            Argv.push_back(Word.data());
        }
        Argv.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        pid_t Child = -1;
        if (posix_spawn(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ) == 0) {
            Started.push_back(Child);
        }
        posix_spawn_file_actions_destroy(&Actions);
    }
    std::vector<int> Statuses;
    for (pid_t Child : Started) {
        int Status = 0;
        waitpid(Child, &Status, 0);
        Statuses.push_back(WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status));
    }
    return Statuses;
}

class DecodeIndexConcurrent : public IndexStoreTest {};

INSTANTIATE_TEST_SUITE_P(Stores, DecodeIndexConcurrent, ::testing::Values(Store::Sqlite, Store::Postgres), StoreName);

// Four decoders open one fresh index at the same moment (so its layout is created while they race), each
// records 500 crashes of its own; decoded again, nothing is counted twice; and four decoders recording the
// same capture at once, so that their writes of each crash meet, count each crash once.
TEST_P(DecodeIndexConcurrent, FourWritersCountEveryReportOnce) {
    const std::string Database = Index("shared");
    std::vector<std::vector<std::string>> Runs;
    for (int Writer = 0; Writer < 4; ++Writer) {
        const std::string Capture = Work / ("machine-" + std::to_string(Writer) + ".txt");
        std::ofstream(Capture) << Reports(Writer * 500, 500);
        Runs.push_back({"--json", "--db", Database, Capture});
    }
    EXPECT_EQ(RunAtOnce(Runs), std::vector<int>(4, 0));
    EXPECT_EQ(RowsIn(Database), 2000);
    EXPECT_EQ(RunAtOnce(Runs), std::vector<int>(4, 0));
    EXPECT_EQ(RowsIn(Database), 2000);
    const auto PerSource = Rows(Database, "SELECT source, COUNT(DISTINCT crash_time) FROM reports GROUP BY source");
    ASSERT_EQ(PerSource.size(), 4u);
    for (const auto& Source : PerSource) {
        EXPECT_EQ(Source[1], "500") << Source[0];
    }

    std::ofstream(Work / "same.txt") << Reports(0, 300);
    const std::vector<std::string> Same{"--db", Database, "--source", "one-machine", Work / "same.txt"};
    EXPECT_EQ(RunAtOnce({Same, Same, Same, Same}), std::vector<int>(4, 0));
    EXPECT_EQ(RowsIn(Database), 2300);
}

class DecodeIndexPostgres : public IndexStoreTest {};

INSTANTIATE_TEST_SUITE_P(Server, DecodeIndexPostgres, ::testing::Values(Store::Postgres), StoreName);

TEST_P(DecodeIndexPostgres, DatabaseWithoutAnIndexIsRefusedForReadingAndLeftEmpty) {
    const std::string Database = Index("empty");
    int Exit = -1;
    EXPECT_EQ(CommandOutput(Decoder() + " buckets --db " + Quoted(Database) + " 2>&1", &Exit),
              "hestolvane-decode: " + Database + ": holds no crash index\n");
    EXPECT_EQ(Exit, 4);
    EXPECT_EQ(Rows(Database, "SELECT COUNT(*) FROM pg_tables WHERE schemaname = 'public'"),
              std::vector<std::vector<std::string>>{{"0"}});
}

TEST_P(DecodeIndexPostgres, IndexOfALaterLayoutIsRefused) {
    const std::string Database = Index("later");
    std::ofstream(Work / "lab.txt") << Reports(0, 2);
    int Exit = -1;
    CommandOutput(Decoder() + " --db " + Quoted(Database) + " " + Work / "lab.txt", &Exit);
    ASSERT_EQ(Exit, 0);
    ASSERT_TRUE(Execute(Database, "UPDATE index_layout SET version = 3"));
    const std::string Refusal = "hestolvane-decode: " + Database +
                                ": written by a later hestolvane-decode (index schema 3, this one reads 2)\n";
    EXPECT_EQ(CommandOutput(Decoder() + " buckets --db " + Quoted(Database) + " 2>&1", &Exit), Refusal);
    EXPECT_EQ(Exit, 4);
    CommandOutput(Decoder() + " --db " + Quoted(Database) + " " + Work / "lab.txt" + " 2>&1 >/dev/null", &Exit);
    EXPECT_EQ(Exit, 5);
    EXPECT_EQ(Rows(Database, "SELECT version FROM index_layout"), std::vector<std::vector<std::string>>{{"3"}});
    EXPECT_EQ(RowsIn(Database), 2);
}

// The URI's password, in its user part or as a parameter, never shows in what the decoder says.
TEST_P(DecodeIndexPostgres, PasswordStaysOutOfErrors) {
    const std::string Unreachable =
        "postgresql://someone:hunter2@/crashes?host=" + Work.Path + "&port=1&password=swordfish&connect_timeout=2";
    std::ofstream(Work / "lab.txt") << Reports(0, 1);
    int Exit = -1;
    const std::string Said =
        CommandOutput(Decoder() + " --db " + Quoted(Unreachable) + " " + Work / "lab.txt" + " 2>&1 >/dev/null", &Exit);
    EXPECT_EQ(Exit, 5);
    EXPECT_EQ(Said.rfind("hestolvane-decode: cannot open postgresql://someone@/crashes?host=" + Work.Path +
                             "&port=1&connect_timeout=2: ",
                         0),
              0u)
        << Said;
    EXPECT_EQ(Said.find("hunter2"), std::string::npos) << Said;
    EXPECT_EQ(Said.find("swordfish"), std::string::npos) << Said;
}

// The server stops while a decoder follows a live capture, and starts again: the decoder waits, reconnects,
// writes again what the server lost, and every report is recorded once.
TEST_P(DecodeIndexPostgres, ServerRestartDuringARunLosesNothing) {
    const std::string Database = Index("restart");
    int Input[2];
    ASSERT_EQ(pipe2(Input, O_CLOEXEC), 0);
    const std::string Program = Decoder();
    const pid_t Child = fork();
    if (Child == 0) {
        dup2(Input[0], STDIN_FILENO);
        const int Quiet = open("/dev/null", O_WRONLY);
        dup2(Quiet, STDOUT_FILENO);
        execl(Program.c_str(), Program.c_str(), "--db", Database.c_str(), "--follow", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(Input[0]);
    // Whatever fails below, the decoder does not outlive the test.
    struct Reaper {
        pid_t Child;
        int Input;
        int Status = -1;
        int Wait() {
            if (Input >= 0) {
                close(Input);
                Input = -1;
            }
            if (Status < 0) {
                waitpid(Child, &Status, 0);
            }
            return Status;
        }
        ~Reaper() {
            if (Status < 0) {
                kill(Child, SIGKILL);
                Wait();
            }
        }
    } Running{Child, Input[1]};
    const auto Send = [&](const std::string& Text) {
        for (size_t Sent = 0; Sent < Text.size();) {
            const ssize_t Count = write(Input[1], Text.data() + Sent, Text.size() - Sent);
            if (Count <= 0) {
                return false;
            }
            Sent += static_cast<size_t>(Count);
        }
        return true;
    };
    const std::string All = Reports(0, 400);
    const size_t Half = All.find("VQN Dump Begin.", All.size() / 2);
    ASSERT_TRUE(Send(All.substr(0, Half)));
    // The first half is committed when the input goes quiet after it.
    for (int Wait = 0; Wait < 600 && RowsIn(Database) < 1; ++Wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(Server->Stop());
    // The decoder stops reading while it waits for the server, so the rest goes from a thread of its own.
    bool Sent = false;
    std::thread Sending([&] { Sent = Send(All.substr(Half)); });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const bool Restarted = Server->Restart();
    Sending.join();
    EXPECT_TRUE(Sent);
    ASSERT_TRUE(Restarted);
    const int Status = Running.Wait();
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
    EXPECT_EQ(RowsIn(Database), 400);
}

}  // namespace
}  // namespace hestolvane::decode
