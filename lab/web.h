// The dashboard hestolvane-lab serves itself: Buckets, Bucket, Report and Machines pages rendered on the
// server from the record, each with a JSON twin under /api/, no asset from anywhere else.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json_fwd.hpp>

#include "collector.h"
#include "spool.h"
#include "store.h"

namespace httplib {
class Server;
struct Response;
}

namespace hestolvane::lab {

struct DashboardOptions {
    std::string Host = "127.0.0.1";
    int Port = 8080;
    std::string Token;  // when set, every request must carry it (a bearer header or the cookie /login sets)
};

class Dashboard {
public:
    using LiveSource = std::function<std::map<std::string, LiveState>()>;
    // LiveChanges counts the sources' connections and losses, so that open pages follow them too.
    Dashboard(LabStore& Store, LiveSource Live, std::function<uint64_t()> LiveChanges, DashboardOptions Options);
    ~Dashboard();
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    // Binds and serves on a thread of its own; false when the address cannot be bound.
    bool Start(std::string& Error);
    void Stop();
    int Port() const { return Bound; }
    // What waits in the spool, shown on every page while anything does.
    void ShowSpool(std::function<Spool::Counts()> Counts) { SpoolCounts = std::move(Counts); }

private:
    void Routes();
    // Every page and JSON document says whether the record could be read for it, and when it last was;
    // what waits in the spool is not in the record yet.
    void Deliver(httplib::Response& Response, std::string Html) const;
    void DeliverJson(httplib::Response& Response, nlohmann::json Document) const;

    LabStore& Store;
    LiveSource Live;
    std::function<uint64_t()> LiveChanges;
    std::function<Spool::Counts()> SpoolCounts;
    DashboardOptions Options;
    std::string Csrf;  // the secret every state-changing form carries
    std::unique_ptr<httplib::Server> Server;
    std::thread Serving;
    int Bound = 0;
};

}  // namespace hestolvane::lab
