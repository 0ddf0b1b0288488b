// hestolvane-lab under load, run by hand: N machines on loopback TCP serial servers, each streaming
// hestolvane-sim reports at 115,200 baud (11,520 bytes a second), into a real hestolvane-lab process.
// Measures end-marker-to-index and end-marker-to-API latency, the collector's CPU and memory, and then the
// dashboard's page times over a record of 100,000 reports (or --reports N) in SQLite or, with --store
// postgres, in a PostgreSQL server it starts itself. Figures go to BENCHMARKS.md.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>

#include "postgres_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double BytesPerSecond = 11520.0;  // 115,200 baud, 10 bits a byte

struct Options {
    std::string Lab;
    std::string Sim;
    int Machines = 1000;
    int Seconds = 20;
    double Gap = 0;  // seconds of silence after each report
    int PageReports = 100000;
    bool Symbols = true;  // name the frames from hestolvane-sim's binary, as the demo does
    bool Postgres = false;  // the pages over a record in PostgreSQL rather than SQLite
};

// A machine per socket on both sides: the default limit of 1,024 descriptors is too few.
void RaiseDescriptorLimit() {
    rlimit Limit{};
    getrlimit(RLIMIT_NOFILE, &Limit);
    Limit.rlim_cur = Limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &Limit);
}

std::string Run(const std::string& Command) {
    std::string Output;
    FILE* Pipe = popen(Command.c_str(), "r");
    char Buffer[4096];
    size_t Read = 0;
    while (Pipe != nullptr && (Read = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0) {
        Output.append(Buffer, Read);
    }
    if (Pipe != nullptr) {
        pclose(Pipe);
    }
    return Output;
}

// The driver's time format, for a synthetic time Serial milliseconds after 2027-01-01.
std::string DriverTime(uint64_t Serial) {
    const time_t Seconds = 1798761600 + static_cast<time_t>(Serial / 1000);
    std::tm Utc{};
    gmtime_r(&Seconds, &Utc);
    char Text[48];
    std::snprintf(Text, sizeof(Text), "%04d-%02d-%02d %02d:%02d:%02d:%03d", Utc.tm_year + 1900, Utc.tm_mon + 1,
                  Utc.tm_mday, Utc.tm_hour, Utc.tm_min, Utc.tm_sec, static_cast<int>(Serial % 1000));
    return Text;
}

// A capture with its banner and crash times replaced, so that every report sent is a new one.
std::string Unique(const std::string& Template, uint64_t Serial) {
    std::string Capture = Template;
    for (const char* Label : {"Load: ", "CRASHED ON: "}) {
        const size_t At = Capture.find(Label);
        const size_t End = Capture.find('\n', At);
        Capture.replace(At + std::strlen(Label), End - At - std::strlen(Label), DriverTime(Serial));
    }
    return Capture;
}

int64_t ProcessTicks(pid_t Process) {
    std::ifstream Stat("/proc/" + std::to_string(Process) + "/stat");
    std::string Text((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    std::istringstream Fields(Text.substr(Text.rfind(')') + 2));
    std::string Field;
    int64_t User = 0;
    int64_t System = 0;
    for (int Index = 3; Fields >> Field; ++Index) {
        if (Index == 14) {
            User = std::stoll(Field);
        } else if (Index == 15) {
            System = std::stoll(Field);
            break;
        }
    }
    return User + System;
}

std::string Memory(pid_t Process, const char* Key) {
    std::ifstream Status("/proc/" + std::to_string(Process) + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
        if (Line.rfind(Key, 0) == 0) {
            return Line.substr(std::strlen(Key) + 1);
        }
    }
    return "?";
}

pid_t StartLab(const Options& Chosen, const std::string& Config, int Port) {
    const pid_t Child = fork();
    if (Child == 0) {
        const int Null = open("/dev/null", O_WRONLY);
        dup2(Null, STDERR_FILENO);
        execl(Chosen.Lab.c_str(), "hestolvane-lab", "--config", Config.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int Attempt = 0; Attempt < 600 && !httplib::Client("127.0.0.1", Port).Get("/api/generation"); ++Attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Child;
}

void StopLab(pid_t Child) {
    kill(Child, SIGTERM);
    waitpid(Child, nullptr, 0);
}

int FreePort() {
    const int Socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof(Address);
    bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
    getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length);
    close(Socket);
    return ntohs(Address.sin_port);
}

double Percentile(std::vector<double> Values, double Fraction) {
    if (Values.empty()) {
        return 0;
    }
    std::sort(Values.begin(), Values.end());
    return Values[std::min(Values.size() - 1, static_cast<size_t>(Fraction * static_cast<double>(Values.size())))];
}

// The k-th report to end is taken to be the k-th to become visible: the lab records in arrival order.
std::vector<double> Latencies(std::vector<Clock::time_point> Ends, const std::vector<std::pair<Clock::time_point, int64_t>>& Seen) {
    std::sort(Ends.begin(), Ends.end());
    std::vector<double> Result;
    size_t Sample = 0;
    for (size_t Index = 0; Index < Ends.size(); ++Index) {
        while (Sample < Seen.size() && Seen[Sample].second < static_cast<int64_t>(Index + 1)) {
            ++Sample;
        }
        if (Sample == Seen.size()) {
            break;
        }
        Result.push_back(std::chrono::duration<double, std::milli>(Seen[Sample].first - Ends[Index]).count());
    }
    return Result;
}

struct Machine {
    int Listener = -1;
    int Socket = -1;
    std::string Capture;
    size_t Sent = 0;
    size_t EndOfReport = 0;
    Clock::time_point Resume;
    double Allowance = 0;
};

void LiveRun(const Options& Chosen, const std::vector<std::string>& Templates, const std::string& Work) {
    std::vector<Machine> Machines(static_cast<size_t>(Chosen.Machines));
    std::ostringstream Config;
    if (Chosen.Symbols) {
        Config << "[symbols]\nimages = { \"hestolvane-sim.sys\" = \"" << Chosen.Sim << "\" }\n"
               << "triage = [\"hestolvane-sim.sys!BugCheckDumpCallback=ignore\", "
                  "\"hestolvane-sim.sys!sim::*=ignore\"]\n";
    }
    const int Epoll = epoll_create1(0);
    uint64_t Serial = 0;
    for (size_t Index = 0; Index < Machines.size(); ++Index) {
        Machine& Each = Machines[Index];
        Each.Listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof(Address);
        bind(Each.Listener, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
        listen(Each.Listener, 1);
        getsockname(Each.Listener, reinterpret_cast<sockaddr*>(&Address), &Length);
        Config << "[[machine]]\nname = \"vm" << Index << "\"\nsource = \"tcp://127.0.0.1:" << ntohs(Address.sin_port) << "\"\n";
        epoll_event Event{};
        Event.events = EPOLLIN;
        Event.data.u64 = Index;
        epoll_ctl(Epoll, EPOLL_CTL_ADD, Each.Listener, &Event);
        Each.Capture = Unique(Templates[Index % Templates.size()], Serial++);
        Each.EndOfReport = Each.Capture.find("VQN Dump End.\n") + 14;
    }
    // Picked once the machines' listeners hold their ports, so that none of them can have taken it.
    const int Web = FreePort();
    const std::string ConfigPath = Work + "/live.toml";
    std::ofstream(ConfigPath) << "index = \"" << Work << "/live.db\"\nlisten = \"127.0.0.1:" << Web
                              << "\"\nbackoff = 0.05\n" << Config.str();
    const pid_t Lab = StartLab(Chosen, ConfigPath, Web);

    std::atomic<bool> Polling{true};
    std::mutex Lock;
    std::vector<std::pair<Clock::time_point, int64_t>> IndexSeen;
    std::vector<std::pair<Clock::time_point, int64_t>> ApiSeen;
    std::thread IndexPoller([&] {
        sqlite3* Database = nullptr;
        sqlite3_open_v2((Work + "/live.db").c_str(), &Database, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(Database, 1000);
        while (Polling) {
            sqlite3_stmt* Query = nullptr;
            sqlite3_prepare_v2(Database, "SELECT COUNT(*) FROM lab_reports", -1, &Query, nullptr);
            if (sqlite3_step(Query) == SQLITE_ROW) {
                std::lock_guard<std::mutex> Hold(Lock);
                IndexSeen.emplace_back(Clock::now(), sqlite3_column_int64(Query, 0));
            }
            sqlite3_finalize(Query);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        sqlite3_close(Database);
    });
    std::thread ApiPoller([&] {
        httplib::Client Client("127.0.0.1", Web);
        while (Polling) {
            const auto Response = Client.Get("/api/buckets");
            const Clock::time_point Now = Clock::now();
            if (Response && Response->status == 200) {
                int64_t Count = 0;
                const nlohmann::json Buckets = nlohmann::json::parse(Response->body, nullptr, false);
                for (const auto& Bucket : Buckets["buckets"]) {
                    Count += Bucket["count"].get<int64_t>();
                }
                std::lock_guard<std::mutex> Hold(Lock);
                ApiSeen.emplace_back(Now, Count);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::vector<Clock::time_point> Ends;
    const int64_t TicksBefore = ProcessTicks(Lab);
    const Clock::time_point Start = Clock::now();
    Clock::time_point Last = Start;
    std::vector<epoll_event> Ready(256);
    while (Clock::now() - Start < std::chrono::seconds(Chosen.Seconds)) {
        const int Count = epoll_wait(Epoll, Ready.data(), static_cast<int>(Ready.size()), 10);
        for (int Index = 0; Index < Count; ++Index) {
            Machine& Each = Machines[Ready[static_cast<size_t>(Index)].data.u64];
            const int Client = accept4(Each.Listener, nullptr, nullptr, SOCK_NONBLOCK);
            if (Client >= 0) {
                // With a gap, the machines' first reports are spread over it, as a lab's crashes are.
                const auto Offset = Chosen.Gap * static_cast<double>(Ready[static_cast<size_t>(Index)].data.u64) /
                                    static_cast<double>(Chosen.Machines);
                Each.Socket = Client;
                Each.Resume = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(Offset * 1000));
            }
        }
        const Clock::time_point Now = Clock::now();
        const double Elapsed = std::chrono::duration<double>(Now - Last).count();
        Last = Now;
        for (Machine& Each : Machines) {
            if (Each.Socket < 0 || Now < Each.Resume) {
                continue;
            }
            Each.Allowance = std::min(Each.Allowance + Elapsed * BytesPerSecond, BytesPerSecond);
            const size_t Wanted = std::min(static_cast<size_t>(Each.Allowance), Each.Capture.size() - Each.Sent);
            const ssize_t Written = Wanted == 0 ? 0 : send(Each.Socket, Each.Capture.data() + Each.Sent, Wanted, MSG_NOSIGNAL);
            if (Written <= 0) {
                continue;
            }
            const size_t Before = Each.Sent;
            Each.Sent += static_cast<size_t>(Written);
            Each.Allowance -= static_cast<double>(Written);
            if (Before < Each.EndOfReport && Each.Sent >= Each.EndOfReport) {
                Ends.push_back(Clock::now());
            }
            if (Each.Sent == Each.Capture.size()) {
                Each.Capture = Unique(Templates[Serial % Templates.size()], Serial);
                ++Serial;
                Each.EndOfReport = Each.Capture.find("VQN Dump End.\n") + 14;
                Each.Sent = 0;
                Each.Resume = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(Chosen.Gap * 1000));
            }
        }
    }
    const double Wall = std::chrono::duration<double>(Clock::now() - Start).count();
    const int64_t Ticks = ProcessTicks(Lab) - TicksBefore;
    const std::string Peak = Memory(Lab, "VmHWM:");
    const std::string Resident = Memory(Lab, "VmRSS:");
    for (int Wait = 0; Wait < 1200; ++Wait) {
        std::lock_guard<std::mutex> Hold(Lock);
        if (!IndexSeen.empty() && !ApiSeen.empty() && IndexSeen.back().second >= static_cast<int64_t>(Ends.size()) &&
            ApiSeen.back().second >= static_cast<int64_t>(Ends.size())) {
            break;
        }
        Lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Lock.lock();
    }
    const double Drained = std::chrono::duration<double>(Clock::now() - Start).count() - Wall;
    // The collector's whole cost of a report, its backlog included: the figure that stays comparable when
    // other work shares the machine and the per-second figures do not.
    const int64_t TicksToDrain = ProcessTicks(Lab) - TicksBefore;
    Polling = false;
    IndexPoller.join();
    ApiPoller.join();
    StopLab(Lab);
    const std::vector<double> ToIndex = Latencies(Ends, IndexSeen);
    const std::vector<double> ToApi = Latencies(Ends, ApiSeen);
    std::printf("live: %d machines, %.1f s at 11,520 B/s each, %.1f s gap after each report, symbols %s\n", Chosen.Machines,
                Wall, Chosen.Gap, Chosen.Symbols ? "on" : "off");
    std::printf("  reports ended: %zu (%.0f a second); recorded: %zu; seen through the API: %zu; drained %.1f s after the end\n",
                Ends.size(), static_cast<double>(Ends.size()) / Wall, ToIndex.size(), ToApi.size(), Drained);
    std::printf("  end marker to index: p50 %.0f ms, p99 %.0f ms\n", Percentile(ToIndex, 0.5), Percentile(ToIndex, 0.99));
    std::printf("  end marker to API:   p50 %.0f ms, p99 %.0f ms\n", Percentile(ToApi, 0.5), Percentile(ToApi, 0.99));
    std::printf("  collector CPU: %.0f %% of one core; memory: peak %s, at the end %s\n",
                100.0 * static_cast<double>(Ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / Wall, Peak.c_str(),
                Resident.c_str());
    std::printf("  collector CPU per report, until every report was seen: %.2f ms\n",
                1000.0 * static_cast<double>(TicksToDrain) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                    static_cast<double>(std::max<size_t>(Ends.size(), 1)));
    for (Machine& Each : Machines) {
        close(Each.Listener);
        if (Each.Socket >= 0) {
            close(Each.Socket);
        }
    }
    close(Epoll);
}

// What each report's row holds in the fill: the page benchmark's 200 buckets, a fifth of the reports in
// the busiest, arrivals ten seconds apart going back from now.
struct FillRow {
    std::string Bucket;
    std::string CrashTime;
    std::string Arrived;
};

FillRow RowFor(int Index, std::chrono::system_clock::time_point Now) {
    FillRow Row;
    Row.Bucket = Index % 5 == 0 ? "0x50_mydriver.sys!Busiest" : "0x50_mydriver.sys!Routine" + std::to_string(Index % 199);
    Row.CrashTime = "2027-01-01T00:00:00." + std::to_string(Index);
    const time_t When = std::chrono::system_clock::to_time_t(Now - std::chrono::seconds(static_cast<int64_t>(Index) * 10));
    std::tm Utc{};
    gmtime_r(&When, &Utc);
    char Arrived[40];
    std::strftime(Arrived, sizeof(Arrived), "%Y-%m-%dT%H:%M:%S.000Z", &Utc);
    Row.Arrived = Arrived;
    return Row;
}

void FillSqlite(const std::string& Path, int Reports, const std::string& Template, const std::string& Document) {
    sqlite3* Database = nullptr;
    sqlite3_open(Path.c_str(), &Database);
    sqlite3_exec(Database, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* Machine = nullptr;
    sqlite3_prepare_v2(Database, "INSERT INTO lab_machines (name, first_seen) VALUES (?1, '2027-01-01T00:00:00.000Z')", -1, &Machine, nullptr);
    for (int Index = 0; Index < 1000; ++Index) {
        const std::string Name = "vm" + std::to_string(Index);
        sqlite3_bind_text(Machine, 1, Name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(Machine);
        sqlite3_reset(Machine);
    }
    sqlite3_finalize(Machine);
    sqlite3_stmt* Insert = nullptr;
    sqlite3_prepare_v2(Database,
                       "INSERT INTO lab_reports (machine_id, crash_time, code, bucket, signature, culprit_module, raw,"
                       " document, arrived, raw_hash) VALUES (?1, ?2, '0x50', ?3, 'd6df848dc4d9dfb8', 'mydriver.sys', ?4, ?5,"
                       " ?6, ?2)",
                       -1, &Insert, nullptr);
    const auto Now = std::chrono::system_clock::now();
    for (int Index = 0; Index < Reports; ++Index) {
        const FillRow Row = RowFor(Index, Now);
        sqlite3_bind_int64(Insert, 1, 1 + Index % 1000);
        sqlite3_bind_text(Insert, 2, Row.CrashTime.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 3, Row.Bucket.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 4, Template.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(Insert, 5, Document.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(Insert, 6, Row.Arrived.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(Insert);
        sqlite3_reset(Insert);
    }
    sqlite3_finalize(Insert);
    sqlite3_exec(Database, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(Database);
}

// COPY's text form: backslash, tab and line ends escaped.
std::string CopyField(const std::string& Text) {
    std::string Field;
    for (const char Each : Text) {
        switch (Each) {
        case '\\': Field += "\\\\"; break;
        case '\t': Field += "\\t"; break;
        case '\n': Field += "\\n"; break;
        case '\r': Field += "\\r"; break;
        default: Field += Each;
        }
    }
    return Field;
}

bool Execute(PGconn* Connection, const char* Sql) {
    PGresult* Result = PQexec(Connection, Sql);
    const bool Done = PQresultStatus(Result) == PGRES_COMMAND_OK;
    if (!Done) {
        std::fprintf(stderr, "%s: %s", Sql, PQerrorMessage(Connection));
    }
    PQclear(Result);
    return Done;
}

// Through COPY, as a bulk load would: the collector itself writes report by report.
bool FillPostgres(const std::string& Uri, int Reports, const std::string& Template, const std::string& Document) {
    PGconn* Connection = PQconnectdb(Uri.c_str());
    if (PQstatus(Connection) != CONNECTION_OK ||
        !Execute(Connection, "INSERT INTO lab_machines (name, first_seen) SELECT 'vm' || n, '2027-01-01T00:00:00.000Z'"
                             " FROM generate_series(0, 999) n")) {
        PQfinish(Connection);
        return false;
    }
    PGresult* Copying = PQexec(Connection, "COPY lab_reports (machine_id, crash_time, code, bucket, signature, culprit_module,"
                                           " raw, document, arrived, raw_hash) FROM STDIN");
    bool Done = PQresultStatus(Copying) == PGRES_COPY_IN;
    PQclear(Copying);
    if (!Done) {
        std::fprintf(stderr, "COPY: %s", PQerrorMessage(Connection));
        PQfinish(Connection);
        return false;
    }
    const std::string Raw = CopyField(Template);
    const std::string Json = CopyField(Document);
    const auto Now = std::chrono::system_clock::now();
    std::string Chunk;
    for (int Index = 0; Index < Reports; ++Index) {
        const FillRow Row = RowFor(Index, Now);
        Chunk += std::to_string(1 + Index % 1000) + "\t" + Row.CrashTime + "\t0x50\t" + Row.Bucket +
                 "\td6df848dc4d9dfb8\tmydriver.sys\t" + Raw + "\t" + Json + "\t" + Row.Arrived + "\t" + Row.CrashTime + "\n";
        if (Chunk.size() > (1 << 20) || Index + 1 == Reports) {
            Done = PQputCopyData(Connection, Chunk.data(), static_cast<int>(Chunk.size())) == 1 && Done;
            Chunk.clear();
        }
    }
    Done = PQputCopyEnd(Connection, nullptr) == 1 && Done;
    while (PGresult* Result = PQgetResult(Connection)) {
        if (PQresultStatus(Result) != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "COPY: %s", PQerrorMessage(Connection));
            Done = false;
        }
        PQclear(Result);
    }
    // What a database that has been running for a while has: statistics and a visibility map, so that the
    // covering index is read without the table.
    Done = Execute(Connection, "VACUUM ANALYZE lab_reports") && Done;
    PQfinish(Connection);
    return Done;
}

// The record filled directly: PageReports reports over 1,000 machines and 200 buckets, a fifth of them in
// one bucket, each with a real report's JSON object; then each page asked for 20 times.
void PageRun(const Options& Chosen, const std::string& Template, const std::string& Work) {
    const int Web = FreePort();
    const std::string Config = Work + "/pages.toml";
    std::unique_ptr<hestolvane::testing::PostgresServer> Server;
    std::string Index = Work + "/pages.db";
    if (Chosen.Postgres) {
        std::string WhyNot;
        Server = hestolvane::testing::PostgresServer::Start(WhyNot);
        if (!Server || !Server->CreateDatabase("pages")) {
            std::printf("pages: no PostgreSQL server: %s\n", WhyNot.c_str());
            return;
        }
        Index = Server->Uri("pages");
    }
    std::ofstream(Config) << "index = \"" << Index << "\"\nlisten = \"127.0.0.1:" << Web << "\"\n";
    pid_t Lab = StartLab(Chosen, Config, Web);
    StopLab(Lab);
    const std::string Decoded = Run(Chosen.Sim + " 2>/dev/null | " +
                                    std::filesystem::path(Chosen.Lab).parent_path().parent_path().string() +
                                    "/decode/hestolvane-decode --json");
    const size_t Begin = Decoded.find("{\"kind\":\"report\"");
    const std::string Document = Decoded.substr(Begin, Decoded.find('\n', Begin) - Begin);
    const Clock::time_point Filling = Clock::now();
    if (Chosen.Postgres) {
        if (!FillPostgres(Index, Chosen.PageReports, Template, Document)) {
            std::printf("pages: the fill failed\n");
            return;
        }
    } else {
        FillSqlite(Index, Chosen.PageReports, Template, Document);
    }
    std::printf("filled %d reports into %s in %.0f s\n", Chosen.PageReports, Chosen.Postgres ? "PostgreSQL" : "SQLite",
                std::chrono::duration<double>(Clock::now() - Filling).count());

    Lab = StartLab(Chosen, Config, Web);
    httplib::Client Client("127.0.0.1", Web);
    Client.set_read_timeout(std::chrono::seconds(300));
    std::printf("pages over %d reports, 1,000 machines, 200 buckets (the busiest %d reports):\n", Chosen.PageReports, Chosen.PageReports / 5);
    for (const char* Path : {"/bucket?name=0x50_mydriver.sys%21Busiest", "/api/bucket?name=0x50_mydriver.sys%21Busiest",
                             "/buckets", "/api/buckets", "/report?id=50000", "/machines"}) {
        std::vector<double> Times;
        for (int Round = 0; Round < 20; ++Round) {
            const Clock::time_point Asked = Clock::now();
            const auto Response = Client.Get(Path);
            Times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - Asked).count());
            if (!Response || Response->status != 200) {
                std::printf("  %s: failed\n", Path);
                break;
            }
        }
        std::printf("  %-46s p50 %6.1f ms, p99 %6.1f ms\n", Path, Percentile(Times, 0.5), Percentile(Times, 0.99));
    }
    StopLab(Lab);
}

}  // namespace

int main(int Count, char** Arguments) {
    Options Chosen;
    bool Live = true;
    bool Pages = true;
    for (int Index = 1; Index + 1 < Count; ++Index) {
        const std::string Argument = Arguments[Index];
        if (Argument == "--lab") {
            Chosen.Lab = Arguments[++Index];
        } else if (Argument == "--sim") {
            Chosen.Sim = Arguments[++Index];
        } else if (Argument == "--machines") {
            Chosen.Machines = std::stoi(Arguments[++Index]);
        } else if (Argument == "--seconds") {
            Chosen.Seconds = std::stoi(Arguments[++Index]);
        } else if (Argument == "--gap") {
            Chosen.Gap = std::stod(Arguments[++Index]);
        } else if (Argument == "--reports") {
            Chosen.PageReports = std::stoi(Arguments[++Index]);
        } else if (Argument == "--store") {
            Chosen.Postgres = std::string(Arguments[++Index]) == "postgres";
        } else if (Argument == "--symbols") {
            Chosen.Symbols = std::string(Arguments[++Index]) == "on";
        } else if (Argument == "--only") {
            Live = std::string(Arguments[Index + 1]) == "live";
            Pages = !Live;
            ++Index;
        }
    }
    if (Chosen.Lab.empty() || Chosen.Sim.empty()) {
        std::cerr << "usage: hestolvane_lab_bench --lab PATH --sim PATH [--machines N] [--seconds S] [--gap S]"
                     " [--reports N] [--store sqlite|postgres] [--symbols on|off] [--only live|pages]\n";
        return 2;
    }
    RaiseDescriptorLimit();
    std::string Work = (std::filesystem::temp_directory_path() / "hestolvane-lab-bench-XXXXXX").string();
    if (mkdtemp(Work.data()) == nullptr) {
        return 1;
    }
    std::vector<std::string> Templates;
    for (const char* Code : {"50,FFFFF80000001000,0,FFFFF80012345678,2", "1E,C0000005,FFFFF80012345678,0,0",
                             "D1,0,2,0,FFFFF80012345678", "A,0,2,0,FFFFF80012345678"}) {
        Templates.push_back(Run(Chosen.Sim + " --bugcheck " + Code + " 2>/dev/null"));
    }
    std::printf("one report: %zu bytes, %.2f s on the wire at 115,200 baud\n", Templates[0].size(),
                static_cast<double>(Templates[0].size()) / BytesPerSecond);
    if (Live) {
        LiveRun(Chosen, Templates, Work);
    }
    if (Pages) {
        PageRun(Chosen, Templates[0], Work);
    }
    std::filesystem::remove_all(Work);
    return 0;
}
