// Delivery of alerts from the outbox: an HTTP POST per webhook, a process per command (no shell: the
// document on standard input, its fields in the environment), retried with doubling delays.
#include "alerts.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include <httplib.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace hestolvane::lab {

namespace {

constexpr auto PollInterval = std::chrono::milliseconds(250);
constexpr auto LongestBackoff = std::chrono::minutes(5);
constexpr int CommandSeconds = 30;
constexpr unsigned AlertsPerRound = 32;

std::string Field(const nlohmann::json& Document, const char* Name) {
    const auto Found = Document.find(Name);
    if (Found == Document.end() || Found->is_null()) {
        return "";
    }
    return Found->is_string() ? Found->get<std::string>() : Found->dump();
}

}  // namespace

AlertSender::AlertSender(LabStore& Store, std::vector<AlertConfig> Targets, std::chrono::milliseconds FirstBackoff)
    : Store(Store), Targets(std::move(Targets)), FirstBackoff(FirstBackoff), Worker([this] { Loop(); }) {}

AlertSender::~AlertSender() {
    Stop();
}

void AlertSender::Stop() {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Stopping = true;
    }
    Wake.notify_one();
    if (Worker.joinable()) {
        Worker.join();
    }
}

void AlertSender::Loop() {
    std::unique_lock<std::mutex> Hold(Lock);
    while (!Stopping) {
        Hold.unlock();
        for (const OutboxEntry& Alert : Store.DueAlerts(NowIso(), AlertsPerRound)) {
            const auto Target = std::find_if(Targets.begin(), Targets.end(),
                                             [&Alert](const AlertConfig& Each) { return Each.Key() == Alert.Target; });
            const std::string Failure = Target == Targets.end() ? "the target is no longer configured" : Deliver(*Target, Alert);
            if (Failure.empty()) {
                if (!Store.AlertDelivered(Alert.Id)) {
                    std::cerr << "hestolvane-lab: alert " << Alert.Id << " sent but not marked: " << Store.LastReadError() << "\n";
                }
                continue;
            }
            auto Delay = FirstBackoff * (int64_t{1} << std::min(Alert.Attempts, 16));
            Store.AlertFailed(Alert.Id, IsoAfter(std::min<std::chrono::milliseconds>(Delay, LongestBackoff)), Failure);
        }
        Hold.lock();
        Wake.wait_for(Hold, PollInterval, [this] { return Stopping; });
    }
}

std::string AlertSender::Deliver(const AlertConfig& Target, const OutboxEntry& Alert) const {
    return Target.Webhook.empty() ? Run(Target.Command, Alert) : Post(Target.Webhook, Alert);
}

std::string AlertSender::Post(const std::string& Url, const OutboxEntry& Alert) const {
    const size_t Authority = Url.find("://") + 3;
    const size_t PathStart = Url.find('/', Authority);
    const std::string Origin = Url.substr(0, PathStart);
    const std::string Path = PathStart == std::string::npos ? "/" : Url.substr(PathStart);
    httplib::Client Client(Origin);
    Client.set_connection_timeout(5);
    Client.set_read_timeout(10);
    Client.set_write_timeout(10);
    const httplib::Headers Headers = {{"X-Hestolvane-Event", Alert.Event}};
    const auto Response = Client.Post(Path.c_str(), Headers, Alert.Document, "application/json");
    if (!Response) {
        return "POST " + Url + ": " + httplib::to_string(Response.error());
    }
    if (Response->status < 200 || Response->status > 299) {
        return "POST " + Url + ": status " + std::to_string(Response->status);
    }
    return "";
}

std::string AlertSender::Run(const std::vector<std::string>& Command, const OutboxEntry& Alert) const {
    const nlohmann::json Document = nlohmann::json::parse(Alert.Document, nullptr, false);
    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<std::string> Environment;
    for (char** Each = environ; *Each != nullptr; ++Each) {
        if (std::strncmp(*Each, "HESTOLVANE_", 11) != 0) {
            Environment.emplace_back(*Each);
        }
    }
    for (const char* Name : {"event", "machine", "bucket", "report", "detail", "time"}) {
        std::string Variable = "HESTOLVANE_";
        for (const char* Letter = Name; *Letter != '\0'; ++Letter) {
            Variable.push_back(static_cast<char>(*Letter >= 'a' && *Letter <= 'z' ? *Letter - 'a' + 'A' : *Letter));
        }
        std::string Value = Document.is_object() ? Field(Document, Name) : "";
        Value.erase(std::remove(Value.begin(), Value.end(), '\0'), Value.end());
        Variable += "=";
        Variable += Value;
        Environment.push_back(std::move(Variable));
    }
    std::vector<char*> Arguments;
    Arguments.reserve(Command.size() + 1);
    for (const std::string& Each : Command) {
        Arguments.push_back(const_cast<char*>(Each.c_str()));
    }
    Arguments.push_back(nullptr);
    std::vector<char*> Variables;
    Variables.reserve(Environment.size() + 1);
    for (std::string& Each : Environment) {
        Variables.push_back(Each.data());
    }
    Variables.push_back(nullptr);

    int Input[2];
    if (pipe2(Input, O_CLOEXEC) != 0) {
        return std::string("pipe: ") + std::strerror(errno);
    }
    const pid_t Child = fork();
    if (Child < 0) {
        close(Input[0]);
        close(Input[1]);
        return std::string("fork: ") + std::strerror(errno);
    }
    if (Child == 0) {
        dup2(Input[0], STDIN_FILENO);
        execve(Arguments[0], Arguments.data(), Variables.data());
        _exit(127);
    }
    close(Input[0]);
    size_t Written = 0;
    while (Written < Alert.Document.size()) {
        const ssize_t Done = write(Input[1], Alert.Document.data() + Written, Alert.Document.size() - Written);
        if (Done <= 0) {
            break;  // the command need not read its input
        }
        Written += static_cast<size_t>(Done);
    }
    close(Input[1]);
    int Status = 0;
    for (int Waited = 0;; ++Waited) {
        const pid_t Ended = waitpid(Child, &Status, WNOHANG);
        if (Ended == Child) {
            break;
        }
        if (Waited >= CommandSeconds * 100) {
            kill(Child, SIGKILL);
            waitpid(Child, &Status, 0);
            return Command.front() + ": killed after " + std::to_string(CommandSeconds) + " s";
        }
        poll(nullptr, 0, 10);
    }
    if (WIFEXITED(Status) && WEXITSTATUS(Status) == 0) {
        return "";
    }
    return Command.front() + ": " +
           (WIFEXITED(Status) ? "exit status " + std::to_string(WEXITSTATUS(Status)) : std::string("ended by a signal"));
}

}  // namespace hestolvane::lab
