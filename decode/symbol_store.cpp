// Finding program databases on disk and on symbol servers. Nothing found here is trusted by its name:
// the caller opens each candidate and compares its GUID with the report's.
#include "symbol_store.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

namespace hestolvane::decode {

namespace fs = std::filesystem;

namespace {

std::string TrimSlashes(std::string Text) {
    while (!Text.empty() && (Text.back() == '/' || Text.back() == '\\')) {
        Text.pop_back();
    }
    return Text;
}

std::vector<std::string_view> Split(std::string_view Text, char Separator) {
    std::vector<std::string_view> Parts;
    size_t Start = 0;
    for (;;) {
        const size_t End = Text.find(Separator, Start);
        Parts.push_back(Text.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start));
        if (End == std::string_view::npos) {
            return Parts;
        }
        Start = End + 1;
    }
}

bool EqualsIgnoringCase(std::string_view Left, std::string_view Right) {
    return Left.size() == Right.size() && std::equal(Left.begin(), Left.end(), Right.begin(), [](char A, char B) {
               return std::tolower(static_cast<unsigned char>(A)) == std::tolower(static_cast<unsigned char>(B));
           });
}


size_t WriteToFile(char* Data, size_t Size, size_t Count, void* File) {
    return std::fwrite(Data, Size, Count, static_cast<FILE*>(File)) * Size;
}

void InitialiseCurlOnce() {
    static std::once_flag Once;
    std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool IsServerUrl(std::string_view Text) {
    const size_t Scheme = Text.find("://");
    return Scheme != std::string_view::npos && Scheme + 3 < Text.size() &&
           (EqualsIgnoringCase(Text.substr(0, Scheme), "http") || EqualsIgnoringCase(Text.substr(0, Scheme), "https"));
}

std::string DefaultSymbolCache() {
    if (const char* Xdg = std::getenv("XDG_CACHE_HOME"); Xdg != nullptr && *Xdg != '\0') {
        return std::string(Xdg) + "/hestolvane/symbols";
    }
    const char* Home = std::getenv("HOME");
    return std::string(Home != nullptr ? Home : ".") + "/.cache/hestolvane/symbols";
}

void AddSymbolPath(std::string_view Value, const std::string& DefaultCache, SymbolSearch& Search) {
    std::string Cache = DefaultCache;
    for (std::string_view Element : Split(Value, ';')) {
        if (Element.empty()) {
            continue;
        }
        std::vector<std::string_view> Fields = Split(Element, '*');
        if (Fields.size() == 1) {
            Search.Directories.push_back(TrimSlashes(std::string(Element)));
        } else if (EqualsIgnoringCase(Fields[0], "cache")) {
            if (!Fields[1].empty()) {
                Cache = TrimSlashes(std::string(Fields[1]));
                Search.Directories.push_back(Cache);
            }
        } else if (EqualsIgnoringCase(Fields[0], "srv") || EqualsIgnoringCase(Fields[0], "symsrv")) {
            // symsrv*DLL*CACHE*URL names the server's DLL first; the rest reads as srv*CACHE*URL.
            const size_t First = EqualsIgnoringCase(Fields[0], "symsrv") ? 2 : 1;
            if (Fields.size() <= First || !IsServerUrl(Fields.back())) {
                continue;
            }
            std::string ServerCache = Cache;
            if (Fields.size() > First + 1 && !Fields[First].empty()) {
                ServerCache = TrimSlashes(std::string(Fields[First]));
            }
            Search.Directories.push_back(ServerCache);
            Search.Servers.push_back(SymbolServer{TrimSlashes(std::string(Fields.back())), ServerCache});
        }
    }
}

std::string GuidDigits(std::string_view Guid) {
    std::string Digits;
    for (char Character : Guid) {
        if (Character != '-') {
            Digits.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(Character))));
        }
    }
    return Digits;
}

std::string PdbFileName(std::string_view PdbPath) {
    const size_t Separator = PdbPath.find_last_of("/\\");
    return std::string(Separator == std::string_view::npos ? PdbPath : PdbPath.substr(Separator + 1));
}

namespace {

// DIRECTORY/NAME, or the entry whose name differs from NAME only in case: Windows names PDBs without
// regard to case, and a store copied from Windows keeps whatever case the linker wrote.
fs::path EntryIgnoringCase(const fs::path& Directory, const std::string& Name) {
    std::error_code Failed;
    fs::path Exact = Directory / Name;
    if (fs::exists(Exact, Failed)) {
        return Exact;
    }
    for (const fs::directory_entry& Entry : fs::directory_iterator(Directory, Failed)) {
        if (EqualsIgnoringCase(Entry.path().filename().string(), Name)) {
            return Entry.path();
        }
    }
    return Exact;
}

}  // namespace

std::vector<std::string> LocalCandidates(const std::string& Directory, const std::string& PdbName,
                                         const std::string& Digits) {
    std::vector<std::string> Found;
    std::error_code Failed;
    const fs::path Flat = EntryIgnoringCase(Directory, PdbName);
    if (fs::is_regular_file(Flat, Failed)) {
        Found.push_back(Flat.string());
    }
    if (!fs::is_directory(Flat, Failed)) {
        return Found;
    }
    std::vector<std::pair<unsigned long, std::string>> Aged;
    for (const fs::directory_entry& Entry : fs::directory_iterator(Flat, Failed)) {
        const std::string Name = Entry.path().filename().string();
        if (Name.size() <= Digits.size() || GuidDigits(Name.substr(0, Digits.size())) != Digits) {
            continue;
        }
        const std::string AgeText = Name.substr(Digits.size());
        char* End = nullptr;
        const unsigned long Age = std::strtoul(AgeText.c_str(), &End, 16);
        const fs::path File = EntryIgnoringCase(Entry.path(), PdbName);
        if (*End == '\0' && fs::is_regular_file(File, Failed)) {
            Aged.emplace_back(Age, File.string());
        }
    }
    std::sort(Aged.begin(), Aged.end());
    for (auto& Each : Aged) {
        Found.push_back(std::move(Each.second));
    }
    return Found;
}

struct SymbolFetcher::Handle {
    CURL* Easy = nullptr;
    CURLM* Multi = nullptr;
    ~Handle() {
        if (Multi != nullptr) {
            curl_multi_cleanup(Multi);
        }
        if (Easy != nullptr) {
            curl_easy_cleanup(Easy);
        }
    }
};

namespace {

constexpr std::string_view TemporaryPrefix = ".download-";

// A download in progress, in its final directory under a name of its own: created with the umask's
// permissions (a shared cache serves the lab's other users) and locked for as long as it is written, so
// that a later run can tell a leftover of a killed run from another process's download. Removed unless
// it was renamed into place.
class TemporaryDownload {
public:
    explicit TemporaryDownload(const fs::path& Directory) {
        static std::atomic<unsigned> Counter{0};
        for (int Attempt = 0; Attempt < 100 && Descriptor < 0; Attempt++) {
            Path = (Directory / (std::string(TemporaryPrefix) + std::to_string(getpid()) + "-" +
                                 std::to_string(Counter++)))
                       .string();
            Descriptor = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        }
        if (Descriptor >= 0) {
            flock(Descriptor, LOCK_EX);
            File = fdopen(Descriptor, "wb");
        }
    }
    ~TemporaryDownload() {
        Close();
        if (!Kept) {
            unlink(Path.c_str());
        }
    }
    TemporaryDownload(const TemporaryDownload&) = delete;
    TemporaryDownload& operator=(const TemporaryDownload&) = delete;

    FILE* Stream() const { return File; }
    const std::string& Name() const { return Path; }
    // Everything written is in the file; the lock is kept until it is renamed or removed.
    bool Finish() { return File != nullptr && std::fflush(File) == 0 && std::ferror(File) == 0; }
    bool Close() {
        bool Written = true;
        if (File != nullptr) {
            Written = std::fflush(File) == 0;
            // The lock goes with the descriptor.
            Written = std::fclose(File) == 0 && Written;
            File = nullptr;
            Descriptor = -1;
        } else if (Descriptor >= 0) {
            close(Descriptor);
            Descriptor = -1;
        }
        return Written;
    }
    void Discard() {
        unlink(Path.c_str());
        Close();
        Kept = true;
    }
    bool MoveTo(const fs::path& Target) {
        Kept = std::rename(Path.c_str(), Target.c_str()) == 0;
        Close();
        return Kept;
    }

private:
    std::string Path;
    int Descriptor = -1;
    FILE* File = nullptr;
    bool Kept = false;
};

// A temporary download nobody holds the lock of belongs to a run that was killed.
void RemoveLeftovers(const fs::path& Directory) {
    std::error_code Failed;
    for (const fs::directory_entry& Entry : fs::directory_iterator(Directory, Failed)) {
        const std::string Name = Entry.path().filename().string();
        if (Name.rfind(TemporaryPrefix, 0) != 0) {
            continue;
        }
        const int Descriptor = open(Entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (Descriptor < 0) {
            continue;
        }
        if (flock(Descriptor, LOCK_EX | LOCK_NB) == 0) {
            unlink(Entry.path().c_str());
        }
        close(Descriptor);
    }
}

// Removes the age directory and the PDB name's directory above it, each only when empty: another
// process may have stored there meanwhile.
void RemoveIfEmpty(const fs::path& AgeDirectory) {
    std::error_code Ignored;
    if (fs::is_empty(AgeDirectory, Ignored) && !Ignored) {
        fs::remove(AgeDirectory, Ignored);
    }
    const fs::path NameDirectory = AgeDirectory.parent_path();
    if (fs::is_empty(NameDirectory, Ignored) && !Ignored) {
        fs::remove(NameDirectory, Ignored);
    }
}

}  // namespace

SymbolFetcher::SymbolFetcher(std::chrono::milliseconds TimeoutIn, int StopDescriptorIn)
    : Curl(std::make_unique<Handle>()), Timeout(TimeoutIn), StopDescriptor(StopDescriptorIn) {
    InitialiseCurlOnce();
    Curl->Easy = curl_easy_init();
    Curl->Multi = curl_multi_init();
}

SymbolFetcher::~SymbolFetcher() = default;

// One transfer through the multi interface, whose wait also wakes on the stop descriptor.
SymbolFetcher::Transfer SymbolFetcher::Perform() {
    Transfer Done;
    Done.Code = CURLE_FAILED_INIT;
    if (curl_multi_add_handle(Curl->Multi, Curl->Easy) != CURLM_OK) {
        Done.Code = CURLE_FAILED_INIT;
        return Done;
    }
    int Running = 1;
    for (;;) {
        if (curl_multi_perform(Curl->Multi, &Running) != CURLM_OK || Running == 0) {
            break;
        }
        curl_waitfd Stop{StopDescriptor, CURL_WAIT_POLLIN, 0};
        if (curl_multi_poll(Curl->Multi, &Stop, StopDescriptor >= 0 ? 1 : 0, 1000, nullptr) != CURLM_OK) {
            break;
        }
        if (Stop.revents != 0) {
            Done.Stopped = true;
            break;
        }
    }
    int Left = 0;
    while (CURLMsg* Message = curl_multi_info_read(Curl->Multi, &Left)) {
        if (Message->msg == CURLMSG_DONE && Message->easy_handle == Curl->Easy) {
            Done.Code = Message->data.result;
        }
    }
    curl_multi_remove_handle(Curl->Multi, Curl->Easy);
    return Done;
}

SymbolFetcher::Download SymbolFetcher::Fetch(const SymbolServer& Server, const std::string& PdbName,
                                             const std::string& Digits, const Check& Accept) {
    Download Outcome;
    if (Curl->Easy == nullptr || Curl->Multi == nullptr) {
        Outcome.Error = "libcurl could not be set up";
        return Outcome;
    }
    if (Unreachable.count(Server.Url) != 0) {
        Outcome.Error = Server.Url + " did not answer earlier in this run";
        return Outcome;
    }
    std::string Refused;
    for (unsigned Age = 1; Age <= ServerAgesTried; Age++) {
        char AgeText[16];
        std::snprintf(AgeText, sizeof(AgeText), "%X", Age);
        std::string Relative = PdbName;
        Relative.append("/").append(Digits).append(AgeText).append("/").append(PdbName);
        const fs::path Target = fs::path(Server.Cache) / Relative;
        std::error_code Failed;
        fs::create_directories(Target.parent_path(), Failed);
        if (Failed) {
            Outcome.Error = "cannot create " + Target.parent_path().string() + ": " + Failed.message();
            return Outcome;
        }
        RemoveLeftovers(Target.parent_path());
        TemporaryDownload Temporary(Target.parent_path());
        if (Temporary.Stream() == nullptr) {
            RemoveIfEmpty(Target.parent_path());
            Outcome.Error = "cannot create a file in " + Target.parent_path().string();
            return Outcome;
        }
        const std::string Url = Server.Url + "/" + Relative;
        CURL* Easy = Curl->Easy;
        curl_easy_reset(Easy);
        curl_easy_setopt(Easy, CURLOPT_URL, Url.c_str());
        curl_easy_setopt(Easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(Easy, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(Easy, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(Easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(Easy, CURLOPT_TIMEOUT_MS, static_cast<long>(Timeout.count()));
        curl_easy_setopt(Easy, CURLOPT_USERAGENT, "hestolvane-decode");
        curl_easy_setopt(Easy, CURLOPT_WRITEFUNCTION, WriteToFile);
        curl_easy_setopt(Easy, CURLOPT_WRITEDATA, Temporary.Stream());
        Requests++;
        const Transfer Done = Perform();
        long Status = 0;
        curl_easy_getinfo(Easy, CURLINFO_RESPONSE_CODE, &Status);
        const bool Written = Temporary.Finish();
        if (Done.Stopped) {
            Temporary.Discard();
            RemoveIfEmpty(Target.parent_path());
            Outcome.Error = Url + ": stopped";
            return Outcome;
        }
        if (Done.Code == CURLE_OK && Written) {
            if (std::string Why = Accept(Temporary.Name(), Url); !Why.empty()) {
                Refused = std::move(Why);
                Temporary.Discard();
                RemoveIfEmpty(Target.parent_path());
                continue;
            }
            if (!Temporary.MoveTo(Target)) {
                Temporary.Discard();
                RemoveIfEmpty(Target.parent_path());
                Outcome.Error = "cannot store " + Target.string();
                return Outcome;
            }
            Outcome.Outcome = Result::Stored;
            Outcome.File = Target.string();
            Outcome.Url = Url;
            return Outcome;
        }
        Temporary.Discard();
        RemoveIfEmpty(Target.parent_path());
        if (Done.Code == CURLE_HTTP_RETURNED_ERROR && Status >= 400 && Status < 500) {
            continue;
        }
        if (Done.Code == CURLE_OPERATION_TIMEDOUT || Done.Code == CURLE_COULDNT_CONNECT ||
            Done.Code == CURLE_COULDNT_RESOLVE_HOST) {
            Unreachable.insert(Server.Url);
        }
        Outcome.Error = Url + ": " + (Done.Code == CURLE_OK ? "cannot write the download" : curl_easy_strerror(static_cast<CURLcode>(Done.Code)));
        return Outcome;
    }
    if (!Refused.empty()) {
        Outcome.Error = Refused;
        return Outcome;
    }
    Outcome.Outcome = Result::NotOnServer;
    return Outcome;
}

}  // namespace hestolvane::decode
