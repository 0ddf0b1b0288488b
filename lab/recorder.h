// The recorder: the one thread that does the slow work the event loop must never wait for. It resolves
// symbols, signs each report, writes the crash index and the lab's record, in the order the loop handed
// the work over, and counts what each machine has waiting so that one machine's flood costs only itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "crash_index.h"
#include "model.h"
#include "signature.h"
#include "spool.h"
#include "store.h"
#include "symbols.h"

namespace hestolvane::lab {

class Recorder {
public:
    // Index may be null: reports then go to the lab's record only. Pending, when given, keeps what the
    // record cannot take while its database is unreachable, and is emptied into it when it is back.
    Recorder(LabStore& Store, decode::CrashIndex* Index, decode::SymbolOptions Symbols, decode::Triage Triage,
             size_t RawLogLimit, Spool* Pending = nullptr);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void Machine(const MachineConfig& Machine, bool Configured);
    void Boot(const std::string& Machine, const decode::Boot& Decoded);
    void Report(const std::string& Machine, const decode::Report& Decoded, std::optional<decode::Boot> LoadedBy);
    void Stopped(const std::string& Machine);
    void Resume(const std::string& Machine, const std::string& FileKey, const ResumePoint& Point);
    // Read on the caller's thread: only when a followed file is opened.
    std::optional<ResumePoint> LoadResume(const std::string& Machine, const std::string& FileKey);
    // Raw bytes are dropped, and false returned, when the machine already has Limit bytes waiting.
    bool Raw(const std::string& Machine, std::string Bytes, size_t Limit);
    void Touch(const std::string& Machine, const std::string& When);

    // More than BacklogLimit bytes of work waiting: the loop stops reading until the recorder catches up,
    // so that a lab sending faster than it can be recorded waits in its own buffers, not in our memory.
    bool Backlogged() const;
    static constexpr size_t BacklogLimit = size_t{64} << 20;
    // The most jobs written in one transaction: enough that a commit's cost is shared, few enough that a
    // report waits for a slice of a backlog rather than all of it.
    static constexpr size_t MaxBatchJobs = 2000;

    // Waits until everything handed over so far is written, then stops the thread.
    void Finish();
    uint64_t Failures() const;
    uint64_t Recorded() const;

private:
    struct Job {
        enum class Kind { Machine, Boot, Report, Stopped, Resume, Raw, Touch };
        Kind What = Kind::Boot;
        std::string Machine;
        MachineConfig Config;
        bool Configured = true;
        std::optional<decode::Boot> LoadedBy;
        std::optional<decode::Report> Decoded;
        std::string Text;  // raw bytes, file key or time
        std::string Document;  // a report's JSON object
        ReportEntry Entry;     // a report as the record takes it, once signed
        ResumePoint Point;

        // What the job holds, roughly: a decoded report is several times its raw text.
        size_t Size() const { return 256 + Text.size() + (Decoded ? 4 * Decoded->RawText.size() : 0); }
    };

    void Push(Job Work);
    void Loop();
    void Do(Job& Work);
    void PrepareReport(Job& Work);
    static BootEntry BootEntryOf(const Job& Work);
    // False when the report could not be indexed.
    bool IndexReport(Job& Work);
    void RecordReport(Job& Work);
    void Write(std::deque<Job>& Batch);
    bool SpoolBatch(const std::deque<Job>& Batch);
    void Drain(decode::SymbolResolver& Resolver);
    void Apply(const SpooledWork& Work);
    void Failed();

    LabStore& Store;
    decode::CrashIndex* Index;
    decode::SymbolOptions Symbols;
    decode::Triage Triage;
    size_t RawLogLimit;
    Spool* Pending;

    mutable std::mutex Lock;
    std::condition_variable Wake;
    std::deque<Job> Queue;
    std::map<std::string, size_t> Waiting;  // raw bytes queued per machine
    size_t Queued = 0;                      // the queue's size, roughly, in bytes
    bool Stopping = false;
    uint64_t FailureCount = 0;
    uint64_t RecordedCount = 0;
    std::thread Worker;
};

// The ISO load time that names a boot in the record; a banner cut off before its time has none, and is
// named after its arrival instead so that it still counts.
std::string BootKey(const decode::Boot& Decoded, const std::string& Arrived);

}  // namespace hestolvane::lab
