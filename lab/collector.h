// The collector: every machine's source on one epoll loop. Readiness callbacks read what is there and
// feed the machine's capture reader; complete boots and reports, raw bytes and resume points go to the
// recorder's thread. Files and watched directories are looked at on the loop's timer; signals arrive on
// it too (SIGHUP reloads the configuration, SIGINT and SIGTERM end the loop).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "recorder.h"

namespace hestolvane::lab {

// What the dashboard shows live about a machine's source.
struct LiveState {
    bool Connected = false;
    std::string Since;      // when it connected, or when it was lost
    std::string LastBytes;  // when bytes last arrived
    uint64_t Bytes = 0;
    uint64_t Dropped = 0;   // bytes not kept because the machine exceeded its buffer limit
    std::string Problem;    // the last thing that went wrong with the source
};

class Collector {
public:
    // ConfigPath is read again on SIGHUP. The signals must be blocked in every thread before any starts.
    Collector(std::string ConfigPath, LabConfig Config, Recorder& Record);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Runs until SIGINT or SIGTERM; what is complete has been handed to the recorder when it returns.
    // False when the loop could not be set up (Error says why).
    bool Run();
    const std::string& Error() const { return Failure; }

    std::map<std::string, LiveState> Live() const;
    uint64_t LiveChanges() const;  // connections, losses and machines added or removed so far

    // The signals the loop takes; block them in main before starting any thread.
    static void BlockSignals();

private:
    struct Machine;
    class MachineSink;

    void Apply(const LabConfig& Next);
    void AddMachine(const MachineConfig& Config, const std::string& WatchDirectory);
    void RemoveMachine(const std::string& Name);
    void Tick();
    void ScanWatches();
    void Attempt(Machine& Each);
    void Connected(Machine& Each);
    void Lost(Machine& Each, const std::string& Why);
    void OnReadable(Machine& Each);
    void PollFile(Machine& Each);
    void PollFileBytes(Machine& Each);
    void SaveResume(Machine& Each);
    void Feed(Machine& Each, std::string_view Bytes, uint64_t FileOffset);
    void FlushRaw(Machine& Each);
    // The time bytes read in this turn of the loop arrived, formatted once for all of them.
    const std::string& WakeTime();
    void Publish(const Machine& Each);
    void Watch(Machine& Each, uint32_t Events);
    void Unwatch(Machine& Each);

    std::string ConfigPath;
    std::string ReadBuffer;
    std::string WakeIso;
    LabConfig Config;
    Recorder& Record;
    std::map<std::string, std::unique_ptr<Machine>> Machines;
    std::map<int, Machine*> ByDescriptor;
    int Epoll = -1;
    int Signals = -1;
    int Timer = -1;
    unsigned Ticks = 0;
    std::string Failure;

    mutable std::mutex LiveLock;
    std::map<std::string, LiveState> Shown;
    uint64_t Changes = 0;
};

}  // namespace hestolvane::lab
