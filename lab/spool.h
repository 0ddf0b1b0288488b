// The spool: completed work the record could not take while its database was unreachable, kept on disk
// (one file per recorder batch, survives a restart) and written, in order, when the database is back.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model.h"
#include "store.h"

namespace hestolvane::lab {

// One piece of durable work: a machine's row, a boot, a report (signed, with the boot the crash index
// needs), or a source that stopped. Raw bytes, resume points and last-bytes times are not kept: the raw
// log misses what arrived during the outage, and a followed file is read again from its last saved point.
struct SpooledWork {
    enum class Kind { Machine, Boot, Report, Stopped };
    Kind What = Kind::Report;
    std::string Machine;
    std::map<std::string, std::string> Tags;
    std::string Source;
    bool Configured = true;
    BootEntry Boot;
    ReportEntry Report;
    std::optional<decode::Boot> LoadedBy;
};

std::string EncodeWork(const SpooledWork& Work);
std::optional<SpooledWork> DecodeWork(const std::string& Line);

// Bounded in bytes: a batch that would pass the limit is refused, its reports counted, so that what
// waits from the outage's start is kept whole.
class Spool {
public:
    Spool(std::string Directory, uint64_t Limit);
    // Makes the directory and takes over what an earlier run left in it.
    bool Open(std::string& Error);

    bool Add(const std::vector<SpooledWork>& Batch);
    bool Empty() const;
    // The oldest batch's file name and its work; nothing when the spool is empty.
    std::optional<std::pair<std::string, std::vector<SpooledWork>>> Oldest();
    void Remove(const std::string& Name);

    struct Counts {
        uint64_t Batches = 0;
        uint64_t Bytes = 0;
        uint64_t Reports = 0;          // waiting
        uint64_t RefusedReports = 0;   // not kept, the spool being full
    };
    Counts State() const;

private:
    std::string Directory;
    uint64_t Limit;
    mutable std::mutex Lock;
    std::map<std::string, std::pair<uint64_t, uint64_t>> Files;  // name -> bytes, reports
    uint64_t Next = 0;
    uint64_t Bytes = 0;
    uint64_t Refused = 0;
};

}  // namespace hestolvane::lab
