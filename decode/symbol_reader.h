// The decoder's side of hestolvane-symbol-reader, the worker process that reads symbol files: a symbol
// file is untrusted input, and a damaged one can crash LLVM's reader or send it into an endless loop. One
// worker serves the whole run and keeps every file it opened, so each file is still opened once; each
// request is bounded in time, the worker in memory, and a file that crashes or stalls it is answered as
// unreadable, with the reason, and the worker is started again for the others.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "debug_info.h"

namespace hestolvane::decode {

// The worker's exit status when its memory bound was reached.
constexpr int SymbolReaderOutOfMemory = 3;

struct ReaderLimits {
    std::chrono::milliseconds Timeout{std::chrono::seconds(60)};  // per request: an open or one look-up
    unsigned long long MemoryBytes = 4ULL << 30;                 // the worker's address space
};

// hestolvane-symbol-reader next to the running program when it is there, else the one of this build.
std::string DefaultSymbolReaderProgram();

class SymbolReaderProcess {
public:
    // StopDescriptor, when not -1, is watched while waiting for an answer: once readable, the wait ends.
    SymbolReaderProcess(std::string Program, ReaderLimits Limits, int StopDescriptor);
    ~SymbolReaderProcess();
    SymbolReaderProcess(const SymbolReaderProcess&) = delete;
    SymbolReaderProcess& operator=(const SymbolReaderProcess&) = delete;

    enum class Kind { Database, Binary };
    struct Opened {
        std::optional<unsigned> Handle;  // empty when Error says why
        std::string Guid;                // of a program database
        uint32_t Age = 0;
        std::string Error;
    };
    Opened Open(Kind What, const std::string& Path);

    // A miss is a SymbolLookup without a function; an empty result means the file made the reader fail,
    // and Error says how. The handle is then closed.
    std::optional<SymbolLookup> Lookup(unsigned Handle, uint64_t Rva, std::string& Error);

    void Close(unsigned Handle);

    // Whether the stop descriptor has fired: nothing more is asked of the worker then.
    bool Stopped() const;
    unsigned WorkersStarted() const { return Started; }

private:
    struct File {
        Kind What;
        std::string Path;
        unsigned Generation = 0;  // the worker that has it open; 0 for none
    };

    bool Start(std::string& Error);
    void Kill();
    std::optional<std::string> Ask(const std::string& Request, std::string& Error);
    bool Reopen(unsigned Handle, File& Known, std::string& Error, Opened* Identity);
    std::string WhyItDied();

    std::string Program;
    ReaderLimits Limits;
    int StopDescriptor;
    pid_t Worker = -1;
    int Channel = -1;
    std::string Received;  // bytes after the last answer
    unsigned Generation = 0;
    unsigned Started = 0;
    unsigned NextHandle = 1;
    std::map<unsigned, File> Files;
};

}  // namespace hestolvane::decode
