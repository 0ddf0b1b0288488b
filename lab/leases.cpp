// The lease keeper's thread: renewals on the database's clock, and the answer kept for the loop to read.
#include "leases.h"

#include <unistd.h>

#include <iostream>

namespace hestolvane::lab {

LeaseKeeper::LeaseKeeper(LabStore& Store, std::string Collector, std::chrono::milliseconds Length,
                         std::chrono::milliseconds Renewal)
    : Store(Store), Collector(std::move(Collector)), Length(Length), Renewal(Renewal), Worker([this] { Loop(); }) {}

LeaseKeeper::~LeaseKeeper() {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Stopping = true;
    }
    Wake.notify_one();
    if (Worker.joinable()) {
        Worker.join();
    }
}

void LeaseKeeper::Want(std::vector<std::string> Machines) {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Wanted = std::move(Machines);
        WantChanged = true;
    }
    Wake.notify_one();
}

bool LeaseKeeper::Holds(const std::string& Machine) const {
    std::lock_guard<std::mutex> Hold(Lock);
    const auto Found = Holders.find(Machine);
    return Found != Holders.end() && Found->second == Collector;
}

std::string LeaseKeeper::Holder(const std::string& Machine) const {
    std::lock_guard<std::mutex> Hold(Lock);
    const auto Found = Holders.find(Machine);
    return Found != Holders.end() ? Found->second : "";
}

void LeaseKeeper::Release() {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Stopping = true;
        Holders.clear();
    }
    Wake.notify_one();
    if (Worker.joinable()) {
        Worker.join();
    }
    if (!Store.ReleaseLeases(Collector)) {
        std::cerr << "hestolvane-lab: the leases were not given up; other collectors take the machines when they expire\n";
    }
}

void LeaseKeeper::Loop() {
    std::unique_lock<std::mutex> Hold(Lock);
    bool Reported = false;
    // Not before the loop says which machines it has: a renewal of none would give up what a restarted
    // collector of the same name still holds.
    Wake.wait(Hold, [this] { return Stopping || WantChanged; });
    while (!Stopping) {
        const std::vector<std::string> Asking = Wanted;
        WantChanged = false;
        Hold.unlock();
        const auto Answer = Store.RenewLeases(Collector, Asking, Length);
        Hold.lock();
        if (Stopping) {
            return;
        }
        // While the database cannot be asked, nobody can take a lease over: the machines held stay held,
        // and what they send waits in the spool.
        if (Answer) {
            Holders = *Answer;
            Reported = false;
        } else if (!Reported) {
            std::cerr << "hestolvane-lab: the leases cannot be renewed; the machines held are read on\n";
            Reported = true;
        }
        Wake.wait_for(Hold, Renewal, [this] { return Stopping || WantChanged; });
    }
}

std::string DefaultCollectorId() {
    char Host[256] = {};
    if (gethostname(Host, sizeof(Host) - 1) != 0) {
        Host[0] = '\0';
    }
    return std::string(Host) + ":" + std::to_string(getpid());
}

}  // namespace hestolvane::lab
