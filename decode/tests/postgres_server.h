// A throwaway PostgreSQL server for tests: a fresh cluster in a temporary directory, reachable only through a
// Unix socket in that directory, stopped and removed when the object goes away.
#pragma once

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace hestolvane::testing {

class PostgresServer {
public:
    // Starts a throwaway PostgreSQL: initdb into a fresh temporary directory, postgres listening only on a
    // Unix socket in that directory (listen_addresses=''), port chosen free. When run as root, initdb and
    // postgres run as `nobody`, the directory chowned to it. Returns nullptr and fills WhyNot when
    // PostgreSQL's binaries are absent or the start failed.
    static std::unique_ptr<PostgresServer> Start(std::string& WhyNot) { return Start(WhyNot, false); }
    // Durable: every commit waits for the disk, as on a real server (for benchmarks); tests go without.
    static std::unique_ptr<PostgresServer> Start(std::string& WhyNot, bool Durable) {
        const std::optional<std::string> Bin = FindBinaries();
        if (!Bin) {
            WhyNot = "PostgreSQL's server binaries are not installed (no /usr/lib/postgresql/*/bin/postgres)";
            return nullptr;
        }
        std::unique_ptr<PostgresServer> Server(new PostgresServer(*Bin));
        Server->Durable = Durable;
        if (!Server->MakeDirectory(WhyNot) || !Server->InitDb(WhyNot)) {
            return nullptr;
        }
        Server->Port = FreePort();
        if (!Server->Launch(WhyNot)) {
            return nullptr;
        }
        return Server;
    }

    ~PostgresServer() {
        Stop();
        if (!Directory.empty()) {
            std::error_code Ignored;
            std::filesystem::remove_all(Directory, Ignored);
        }
    }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // A libpq URI for that database, as the superuser `postgres`.
    std::string Uri(const std::string& Database = "postgres") const {
        return "postgresql:///" + Database + "?host=" + Directory + "&port=" + std::to_string(Port) + "&user=postgres";
    }

    bool CreateDatabase(const std::string& Name) {
        PGconn* Connection = PQconnectdb(Uri().c_str());
        bool Created = false;
        if (PQstatus(Connection) == CONNECTION_OK) {
            char* Quoted = PQescapeIdentifier(Connection, Name.c_str(), Name.size());
            if (Quoted != nullptr) {
                PGresult* Result = PQexec(Connection, ("CREATE DATABASE " + std::string(Quoted)).c_str());
                Created = PQresultStatus(Result) == PGRES_COMMAND_OK;
                PQclear(Result);
                PQfreemem(Quoted);
            }
        }
        PQfinish(Connection);
        return Created;
    }

    // Stops the server (fast shutdown: sessions are ended, what is committed stays), keeping the data.
    bool Stop() {
        if (Postmaster <= 0) {
            return true;
        }
        kill(Postmaster, SIGINT);
        bool Clean = WaitFor(Postmaster, std::chrono::seconds(30));
        if (!Clean) {
            kill(Postmaster, SIGKILL);
            WaitFor(Postmaster, std::chrono::seconds(30));
        }
        Postmaster = -1;
        return Clean;
    }

    // Starts again on the same socket and port.
    bool Restart() {
        std::string Ignored;
        return Postmaster <= 0 && Launch(Ignored);
    }

private:
    explicit PostgresServer(std::string Bin) : Bin(std::move(Bin)) {}

    // The newest installed major version: Debian keeps each in /usr/lib/postgresql/VERSION/bin.
    static std::optional<std::string> FindBinaries() {
        glob_t Found{};
        std::optional<std::string> Newest;
        int NewestVersion = -1;
        if (glob("/usr/lib/postgresql/*/bin/postgres", 0, nullptr, &Found) == 0) {
            for (size_t Each = 0; Each < Found.gl_pathc; ++Each) {
                const std::filesystem::path Postgres(Found.gl_pathv[Each]);
                const std::filesystem::path BinDir = Postgres.parent_path();
                const int Version = std::atoi(BinDir.parent_path().filename().c_str());
                if (Version > NewestVersion && access((BinDir / "initdb").c_str(), X_OK) == 0 &&
                    access(Postgres.c_str(), X_OK) == 0) {
                    NewestVersion = Version;
                    Newest = BinDir.string();
                }
            }
        }
        globfree(&Found);
        return Newest;
    }

    // The socket's name carries the port, and the directory is ours alone, so any port works; one that no
    // TCP listener holds keeps PostgreSQL's shared-memory key, derived from the port, clear of others.
    static int FreePort() {
        const int Socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int Port = 5432;
        socklen_t Length = sizeof Address;
        if (Socket >= 0 && bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
            getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) == 0) {
            Port = ntohs(Address.sin_port);
        }
        if (Socket >= 0) {
            close(Socket);
        }
        return Port;
    }

    bool MakeDirectory(std::string& WhyNot) {
        // /tmp rather than TMPDIR: `nobody` must reach it, and a socket's path must stay short.
        char Template[] = "/tmp/hestolvane-pg-XXXXXX";
        if (mkdtemp(Template) == nullptr) {
            WhyNot = "cannot make a temporary directory for PostgreSQL";
            return false;
        }
        Directory = Template;
        if (geteuid() == 0) {
            const passwd* Nobody = getpwnam("nobody");
            if (Nobody == nullptr) {
                WhyNot = "running as root and there is no user nobody to run PostgreSQL as";
                return false;
            }
            RunAs = std::make_pair(Nobody->pw_uid, Nobody->pw_gid);
            if (chown(Directory.c_str(), Nobody->pw_uid, Nobody->pw_gid) != 0) {
                WhyNot = "cannot hand " + Directory + " to nobody";
                return false;
            }
        }
        return true;
    }

    std::string DataDirectory() const { return Directory + "/data"; }
    std::string LogFile() const { return Directory + "/server.log"; }

    std::string LogTail() const {
        std::ifstream Log(LogFile());
        std::stringstream Text;
        Text << Log.rdbuf();
        std::string All = Text.str();
        return All.size() > 2000 ? All.substr(All.size() - 2000) : All;
    }

    // Runs Program as the server's user with its output appended to the log; returns its pid. Only
    // async-signal-safe calls between fork and exec: the test process may have threads.
    pid_t Spawn(const std::vector<std::string>& Arguments) const {
        std::vector<char*> Argv;
        for (const std::string& Argument : Arguments) {
            Argv.push_back(const_cast<char*>(Argument.c_str()));
        }
        Argv.push_back(nullptr);
        const std::string Log = LogFile();
        const pid_t Parent = getpid();
        const pid_t Child = fork();
        if (Child != 0) {
            return Child;
        }
        const int Output = open(Log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (Output < 0 || chdir(Directory.c_str()) != 0) {
            _exit(127);
        }
        dup2(Output, STDOUT_FILENO);
        dup2(Output, STDERR_FILENO);
        const int Input = open("/dev/null", O_RDONLY);
        dup2(Input, STDIN_FILENO);
        if (RunAs && (setgroups(0, nullptr) != 0 || setgid(RunAs->second) != 0 || setuid(RunAs->first) != 0)) {
            _exit(127);
        }
        // Set after the change of user, which clears it: a test process that dies takes its server along
        // (SIGINT is the server's fast shutdown).
        prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != Parent) {
            _exit(127);
        }
        execv(Argv[0], Argv.data());
        _exit(127);
    }

    static bool WaitFor(pid_t Child, std::chrono::seconds Limit, int* Status = nullptr) {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (std::chrono::steady_clock::now() < Deadline) {
            int Ended = 0;
            const pid_t Done = waitpid(Child, &Ended, WNOHANG);
            if (Done == Child || Done < 0) {
                if (Status != nullptr) {
                    *Status = Ended;
                }
                return Done == Child;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    bool InitDb(std::string& WhyNot) {
        // Trust on the socket only: the directory is reachable by the test's user and the server's alone.
        const pid_t Child = Spawn({Bin + "/initdb", "-D", DataDirectory(), "-U", "postgres", "-A", "trust", "-E",
                                   "UTF8", "--no-locale", "--no-sync", "--no-instructions"});
        int Status = 0;
        if (Child < 0 || !WaitFor(Child, std::chrono::seconds(120), &Status) || !WIFEXITED(Status) ||
            WEXITSTATUS(Status) != 0) {
            if (Child > 0) {
                kill(Child, SIGKILL);
                WaitFor(Child, std::chrono::seconds(5));
            }
            WhyNot = "initdb failed: " + LogTail();
            return false;
        }
        return true;
    }

    bool Launch(std::string& WhyNot) {
        const std::string Sync = Durable ? "on" : "off";
        Postmaster = Spawn({Bin + "/postgres", "-D", DataDirectory(), "-k", Directory, "-p", std::to_string(Port),
                            "-c", "listen_addresses=", "-c", "fsync=" + Sync, "-c", "full_page_writes=" + Sync, "-c",
                            "shared_buffers=16MB", "-c", "max_connections=60", "-c", "log_min_messages=warning"});
        if (Postmaster < 0) {
            WhyNot = "cannot start postgres";
            return false;
        }
        const std::string Ping = Uri() + "&connect_timeout=2";
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < Deadline) {
            if (PQping(Ping.c_str()) == PQPING_OK) {
                return true;
            }
            int Status = 0;
            if (waitpid(Postmaster, &Status, WNOHANG) == Postmaster) {
                Postmaster = -1;
                WhyNot = "postgres exited at start: " + LogTail();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
        WhyNot = "postgres did not accept connections within a minute: " + LogTail();
        return false;
    }

    std::string Bin;
    std::string Directory;
    std::optional<std::pair<uid_t, gid_t>> RunAs;
    int Port = 0;
    bool Durable = false;
    pid_t Postmaster = -1;
};

}  // namespace hestolvane::testing
