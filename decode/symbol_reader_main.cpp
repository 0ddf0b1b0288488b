// hestolvane-symbol-reader: the process in which the decoder reads symbol files. Program databases come
// from servers and shared caches, and LLVM's readers can crash or loop for ever on a damaged one, so they
// run here, bounded in memory, where a fault costs this process and not the decoder. It answers one JSON
// object per line on standard output for each request on standard input (see symbol_reader.h).
#include <sys/resource.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <new>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "debug_info.h"
#include "symbol_reader.h"

namespace {

using hestolvane::decode::DebugInfo;
using nlohmann::json;

// The sanitizers reserve terabytes of address space for their shadow memory, so an address-space limit
// would stop them from starting at all; instrumented builds run without one.
void LimitMemory(unsigned long long Bytes) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const rlimit Memory{Bytes, Bytes};
    setrlimit(RLIMIT_AS, &Memory);
#else
    static_cast<void>(Bytes);
#endif
    const rlimit NoCore{0, 0};
    setrlimit(RLIMIT_CORE, &NoCore);
}

json LookupAnswer(DebugInfo& Reader, uint64_t Rva) {
    const hestolvane::decode::SymbolLookup Found = Reader.Lookup(Rva);
    json Answer = {{"ok", true}};
    if (!Found.Function) {
        return Answer;
    }
    Answer["function"] = *Found.Function;
    Answer["offset"] = Found.FunctionOffset;
    if (Found.SourceFile) {
        Answer["file"] = *Found.SourceFile;
    }
    if (Found.SourceLine) {
        Answer["line"] = *Found.SourceLine;
    }
    json Inlined = json::array();
    for (const auto& Call : Found.Inlined) {
        json Each = {{"function", Call.Function}};
        if (Call.SourceFile) {
            Each["file"] = *Call.SourceFile;
        }
        if (Call.SourceLine) {
            Each["line"] = *Call.SourceLine;
        }
        Inlined.push_back(std::move(Each));
    }
    Answer["inlined"] = std::move(Inlined);
    return Answer;
}

json Answer(const json& Request, std::map<unsigned, std::unique_ptr<DebugInfo>>& Open) {
    const std::string Operation = Request.at("op").get<std::string>();
    const auto Handle = Request.at("handle").get<unsigned>();
    if (Operation == "open_pdb") {
        hestolvane::decode::OpenedDatabase Opened =
            hestolvane::decode::OpenProgramDatabase(Request.at("path").get<std::string>());
        if (!Opened.Reader) {
            return {{"ok", false}, {"error", Opened.Error}};
        }
        Open[Handle] = std::move(Opened.Reader);
        return {{"ok", true}, {"guid", Opened.Guid}, {"age", Opened.Age}};
    }
    if (Operation == "open_binary") {
        hestolvane::decode::OpenedBinary Opened = hestolvane::decode::OpenBinary(Request.at("path").get<std::string>());
        if (!Opened.Reader) {
            return {{"ok", false}, {"error", Opened.Error}};
        }
        Open[Handle] = std::move(Opened.Reader);
        return {{"ok", true}};
    }
    if (Operation == "close") {
        Open.erase(Handle);
        return {{"ok", true}};
    }
    if (Operation == "lookup") {
        auto Found = Open.find(Handle);
        if (Found == Open.end()) {
            return {{"ok", false}, {"error", "no such handle"}};
        }
        return LookupAnswer(*Found->second, Request.at("rva").get<uint64_t>());
    }
    return {{"ok", false}, {"error", "unknown request " + Operation}};
}

int Serve(unsigned long long MemoryBytes) {
    LimitMemory(MemoryBytes);
    std::ios::sync_with_stdio(false);
    std::map<unsigned, std::unique_ptr<DebugInfo>> Open;
    std::string Line;
    while (std::getline(std::cin, Line)) {
        json Reply;
        try {
            Reply = Answer(json::parse(Line), Open);
        } catch (const json::exception& Failed) {
            Reply = {{"ok", false}, {"error", std::string("bad request: ") + Failed.what()}};
        }
        std::cout << Reply.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        std::cout.flush();
    }
    return 0;
}

}  // namespace

// Exit statuses the decoder reads: 2 for a bad command line, OutOfMemoryStatus when the memory bound
// was reached, 4 for any other failure.
int main(int Count, char** Values) {
    if (Count != 2) {
        return 2;
    }
    try {
        return Serve(std::strtoull(Values[1], nullptr, 10));
    } catch (const std::bad_alloc&) {
        return hestolvane::decode::SymbolReaderOutOfMemory;
    } catch (...) {
        return 4;
    }
}
