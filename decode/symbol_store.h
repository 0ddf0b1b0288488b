// Where program databases are found: local directories in flat or symbol-store layout, and symbol servers
// whose downloads land in a local cache in store layout.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace hestolvane::decode {

// Ages tried on a symbol server for one GUID: the report carries no age, and a PDB's age rises only with
// incremental relinks, so a small range finds it without many requests.
constexpr unsigned ServerAgesTried = 4;

struct SymbolServer {
    std::string Url;    // without a trailing slash
    std::string Cache;  // downloads are stored here in store layout
};

struct SymbolSearch {
    std::vector<std::string> Directories;  // searched in order, before any server
    std::vector<SymbolServer> Servers;
    std::chrono::milliseconds Timeout{std::chrono::seconds(20)};  // per request
};

// An http:// or https:// URL, the scheme in any case: the only kinds of symbol server asked.
bool IsServerUrl(std::string_view Text);

// $XDG_CACHE_HOME/hestolvane/symbols, else ~/.cache/hestolvane/symbols.
std::string DefaultSymbolCache();

// Adds the elements of an _NT_SYMBOL_PATH value, separated by semicolons: a plain directory; cache*DIR,
// whose directory is searched and receives the downloads of servers without their own cache; srv*URL and
// srv*CACHE*URL (symsrv*DLL*... likewise, the DLL ignored). A server's cache is searched before it.
void AddSymbolPath(std::string_view Value, const std::string& DefaultCache, SymbolSearch& Search);

// "D2BE1EBE-776D-..." as a store directory wants it: 32 uppercase digits without dashes.
std::string GuidDigits(std::string_view Guid);

// The last component of a PDB path as the driver printed it, with either kind of separator.
std::string PdbFileName(std::string_view PdbPath);

// The files in a directory that may hold a PDB of this name and GUID: DIR/NAME, then DIR/NAME/<GUID><AGE>/NAME
// for every age directory present, lowest age first. Only files that exist are returned.
std::vector<std::string> LocalCandidates(const std::string& Directory, const std::string& PdbName,
                                         const std::string& Digits);

// Downloads over HTTP(S) with libcurl, one connection reused across requests. A transfer also watches the
// stop descriptor, so Ctrl-C ends it at once rather than after the timeout.
class SymbolFetcher {
public:
    enum class Result { Stored, NotOnServer, Failed };
    struct Download {
        Result Outcome = Result::Failed;
        std::string File;   // the stored file, when Stored
        std::string Url;    // what was fetched, when Stored
        std::string Error;  // why, when Failed
    };
    // Looks at a download before it is stored: empty to store it, else why not. (Temporary file, URL.)
    using Check = std::function<std::string(const std::string&, const std::string&)>;

    SymbolFetcher(std::chrono::milliseconds Timeout, int StopDescriptor = -1);
    ~SymbolFetcher();
    SymbolFetcher(const SymbolFetcher&) = delete;
    SymbolFetcher& operator=(const SymbolFetcher&) = delete;

    // Asks for ages 1 to ServerAgesTried in turn; the first found that Accept takes is written to a
    // temporary file in its cache directory and renamed into place, since several processes may share a
    // cache; one it refuses is removed and the next age asked for. A server that times out or cannot be
    // reached is not asked again in this run. Temporary files left by a run that was killed are removed,
    // and a miss leaves no directory behind.
    Download Fetch(const SymbolServer& Server, const std::string& PdbName, const std::string& Digits,
                   const Check& Accept);

    unsigned RequestsMade() const { return Requests; }

private:
    struct Handle;
    struct Transfer {
        int Code = 0;  // a CURLcode
        bool Stopped = false;
    };
    Transfer Perform();

    std::unique_ptr<Handle> Curl;
    std::chrono::milliseconds Timeout;
    int StopDescriptor;
    std::set<std::string> Unreachable;
    unsigned Requests = 0;
};

}  // namespace hestolvane::decode
