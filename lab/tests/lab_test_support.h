// Shared by the lab's tests: a temporary directory, captures from hestolvane-sim, and a running
// hestolvane-lab process with its HTTP address.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "capture_reader.h"
#include "model.h"

namespace hestolvane::lab::testing {

class TempDirectory {
public:
    TempDirectory() {
        std::string Pattern = (std::filesystem::temp_directory_path() / "hestolvane-lab-XXXXXX").string();
        Where = mkdtemp(Pattern.data()) != nullptr ? Pattern : "";
    }
    ~TempDirectory() {
        std::error_code Ignored;
        std::filesystem::remove_all(Where, Ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return Where; }

private:
    std::string Where;
};

// What hestolvane-sim writes to COM1 with these arguments.
inline std::string SimOutput(const std::string& Arguments) {
    const std::string Command = std::string(HESTOLVANE_SIM) + " " + Arguments + " 2>/dev/null";
    std::string Output;
    FILE* Pipe = popen(Command.c_str(), "r");
    if (Pipe == nullptr) {
        return Output;
    }
    char Buffer[4096];
    size_t Read = 0;
    while ((Read = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0) {
        Output.append(Buffer, Read);
    }
    pclose(Pipe);
    return Output;
}

struct Decoded : decode::CaptureSink {
    std::vector<decode::Boot> Boots;
    std::vector<decode::Report> Reports;
    void OnBoot(const decode::Boot& Boot) override { Boots.push_back(Boot); }
    void OnReport(const decode::Report& Report) override { Reports.push_back(Report); }
};

inline Decoded DecodeSim(const std::string& Arguments) {
    Decoded Sink;
    decode::CaptureReader Reader(Sink);
    Reader.Feed(SimOutput(Arguments));
    Reader.Finish();
    return Sink;
}

// Polls until Done holds or about 60 s have passed; the result says which.
inline bool Eventually(const std::function<bool()>& Done) {
    for (int Attempt = 0; Attempt < 1200; ++Attempt) {
        if (Done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Done();
}

}  // namespace hestolvane::lab::testing

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace hestolvane::lab::testing {

// A port on 127.0.0.1 that was free a moment ago.
inline int FreePort() {
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

// A serial server as QEMU's -serial tcp:...,server,nowait is one: it listens on loopback, takes one
// collector at a time and writes to whichever is connected.
class SerialServer {
public:
    SerialServer() {
        Listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int Yes = 1;
        setsockopt(Listening, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof(Yes));
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof(Address);
        bind(Listening, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
        listen(Listening, 4);
        getsockname(Listening, reinterpret_cast<sockaddr*>(&Address), &Length);
        PortNumber = ntohs(Address.sin_port);
        Accepting = std::thread([this] {
            for (;;) {
                const int Client = accept4(Listening, nullptr, nullptr, SOCK_CLOEXEC);
                if (Client < 0) {
                    return;
                }
                std::lock_guard<std::mutex> Hold(Lock);
                if (Connected >= 0) {
                    close(Connected);
                }
                Connected = Client;
                ++Accepted;
                Changed.notify_all();
            }
        });
    }
    ~SerialServer() {
        shutdown(Listening, SHUT_RDWR);
        close(Listening);
        Accepting.join();
        if (Connected >= 0) {
            close(Connected);
        }
    }
    SerialServer(const SerialServer&) = delete;
    SerialServer& operator=(const SerialServer&) = delete;

    int Port() const { return PortNumber; }

    // Waits for the Count-th collector to connect, then writes to it.
    bool Send(const std::string& Bytes, unsigned Count = 1) {
        std::unique_lock<std::mutex> Hold(Lock);
        if (!Changed.wait_for(Hold, std::chrono::seconds(60), [&] { return Accepted >= Count; })) {
            return false;
        }
        return send(Connected, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(Bytes.size());
    }

private:
    int Listening = -1;
    int PortNumber = 0;
    std::mutex Lock;
    std::condition_variable Changed;
    int Connected = -1;
    unsigned Accepted = 0;
    std::thread Accepting;
};

// A hestolvane-lab process over a configuration written for it; its standard error goes to a log file.
class LabProcess {
public:
    LabProcess(const std::string& Directory, const std::string& Config)
        : ConfigPath(Directory + "/lab.toml"), LogPath(Directory + "/lab.log"), WebPort(FreePort()) {
        Rewrite(Config);
        Start();
    }
    ~LabProcess() {
        if (Child > 0) {
            kill(Child, SIGKILL);
            waitpid(Child, nullptr, 0);
        }
    }
    LabProcess(const LabProcess&) = delete;
    LabProcess& operator=(const LabProcess&) = delete;

    // The configuration with the listener this process owns prepended.
    void Rewrite(const std::string& Config) {
        std::ofstream(ConfigPath) << "listen = \"127.0.0.1:" << WebPort << "\"\n" << Config;
    }

    void Start() {
        Child = fork();
        if (Child == 0) {
            const int Log = open(LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(Log, STDERR_FILENO);
            execl(HESTOLVANE_LAB, "hestolvane-lab", "--config", ConfigPath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        Eventually([this] { return static_cast<bool>(httplib::Client("127.0.0.1", WebPort).Get("/api/generation")); });
    }

    void Signal(int Number) const { kill(Child, Number); }

    // Waits for the process to end; its exit status, or -1 when a signal ended it.
    int Wait() {
        int Status = 0;
        waitpid(Child, &Status, 0);
        Child = -1;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    }

    nlohmann::json Get(const std::string& Path) const {
        const auto Response = httplib::Client("127.0.0.1", WebPort).Get(Path.c_str());
        if (!Response || Response->status != 200) {
            return nullptr;
        }
        return nlohmann::json::parse(Response->body, nullptr, false);
    }

    std::string Log() const {
        std::ifstream In(LogPath);
        std::ostringstream Text;
        Text << In.rdbuf();
        return Text.str();
    }

    int Port() const { return WebPort; }

private:
    std::string ConfigPath;
    std::string LogPath;
    int WebPort;
    pid_t Child = -1;
};

// Reports per bucket, as /api/buckets gives them.
inline std::map<std::string, unsigned> Counts(const LabProcess& Lab) {
    std::map<std::string, unsigned> Result;
    const nlohmann::json Buckets = Lab.Get("/api/buckets");
    if (Buckets.is_object()) {
        for (const auto& Each : Buckets["buckets"]) {
            Result[Each["bucket"].get<std::string>()] = Each["count"].get<unsigned>();
        }
    }
    return Result;
}

inline unsigned Total(const std::map<std::string, unsigned>& Counted) {
    unsigned Sum = 0;
    for (const auto& [Bucket, Count] : Counted) {
        Sum += Count;
    }
    return Sum;
}

inline void Append(const std::string& Path, const std::string& Bytes) {
    std::ofstream(Path, std::ios::app | std::ios::binary) << Bytes;
}

// The simulator's symbols and the culprit past its own bug-check path, as the README's lab config has them.
constexpr const char* SimSymbols =
    "[symbols]\n"
    "images = { \"hestolvane-sim.sys\" = \"" HESTOLVANE_SIM "\" }\n"
    "triage = [\"hestolvane-sim.sys!BugCheckDumpCallback=ignore\", \"hestolvane-sim.sys!sim::*=ignore\"]\n";

}  // namespace hestolvane::lab::testing
