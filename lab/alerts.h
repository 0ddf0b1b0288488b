// The alert sender: a thread that takes due alerts from the outbox and delivers them to webhooks and
// commands, retrying with back-off, far from the capture path. What it has not delivered stays in the
// outbox across restarts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "store.h"

namespace hestolvane::lab {

class AlertSender {
public:
    AlertSender(LabStore& Store, std::vector<AlertConfig> Targets, std::chrono::milliseconds FirstBackoff);
    ~AlertSender();
    AlertSender(const AlertSender&) = delete;
    AlertSender& operator=(const AlertSender&) = delete;

    void Stop();

private:
    void Loop();
    // Empty when delivered; otherwise why not.
    std::string Deliver(const AlertConfig& Target, const OutboxEntry& Alert) const;
    std::string Post(const std::string& Url, const OutboxEntry& Alert) const;
    std::string Run(const std::vector<std::string>& Command, const OutboxEntry& Alert) const;

    LabStore& Store;
    std::vector<AlertConfig> Targets;
    std::chrono::milliseconds FirstBackoff;
    std::mutex Lock;
    std::condition_variable Wake;
    bool Stopping = false;
    std::thread Worker;
};

}  // namespace hestolvane::lab
