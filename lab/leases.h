// Which machines this collector reads: the leases it holds in the record, taken and renewed on a thread of
// their own so that the event loop never waits on the database.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store.h"

namespace hestolvane::lab {

class LeaseKeeper {
public:
    // Renews every Renewal, each lease running Length from the database's clock. Nothing is held until the
    // first renewal has answered.
    LeaseKeeper(LabStore& Store, std::string Collector, std::chrono::milliseconds Length, std::chrono::milliseconds Renewal);
    ~LeaseKeeper();
    LeaseKeeper(const LeaseKeeper&) = delete;
    LeaseKeeper& operator=(const LeaseKeeper&) = delete;

    // The machines this collector is configured to read; asked for at once when they change.
    void Want(std::vector<std::string> Machines);
    bool Holds(const std::string& Machine) const;
    // Who reads Machine, as last learned; empty when nobody is known to.
    std::string Holder(const std::string& Machine) const;
    // Stops renewing and gives every lease up, so that another collector takes the machines at once.
    void Release();
    const std::string& Id() const { return Collector; }

private:
    void Loop();

    LabStore& Store;
    const std::string Collector;
    const std::chrono::milliseconds Length;
    const std::chrono::milliseconds Renewal;

    mutable std::mutex Lock;
    std::condition_variable Wake;
    std::vector<std::string> Wanted;
    bool WantChanged = false;
    std::map<std::string, std::string> Holders;
    bool Stopping = false;
    std::thread Worker;
};

// This collector's name in the leases when the configuration gives none: the host's name and the process.
std::string DefaultCollectorId();

}  // namespace hestolvane::lab
