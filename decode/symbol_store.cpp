// Finding program databases on disk and on symbol servers. Nothing found here is trusted by its name:
// the caller opens each candidate and compares its GUID with the report's.
#include "symbol_store.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
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

bool IsUrl(std::string_view Text) {
    return Text.rfind("http://", 0) == 0 || Text.rfind("https://", 0) == 0;
}

size_t WriteToFile(char* Data, size_t Size, size_t Count, void* File) {
    return std::fwrite(Data, Size, Count, static_cast<FILE*>(File)) * Size;
}

void InitialiseCurlOnce() {
    static std::once_flag Once;
    std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

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
            if (Fields.size() <= First || !IsUrl(Fields.back())) {
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

std::vector<std::string> LocalCandidates(const std::string& Directory, const std::string& PdbName,
                                         const std::string& Digits) {
    std::vector<std::string> Found;
    std::error_code Failed;
    const fs::path Flat = fs::path(Directory) / PdbName;
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
        const fs::path File = Entry.path() / PdbName;
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
    ~Handle() {
        if (Easy != nullptr) {
            curl_easy_cleanup(Easy);
        }
    }
};

SymbolFetcher::SymbolFetcher(std::chrono::milliseconds TimeoutIn) : Curl(std::make_unique<Handle>()), Timeout(TimeoutIn) {
    InitialiseCurlOnce();
    Curl->Easy = curl_easy_init();
}

SymbolFetcher::~SymbolFetcher() = default;

SymbolFetcher::Download SymbolFetcher::Fetch(const SymbolServer& Server, const std::string& PdbName,
                                             const std::string& Digits) {
    Download Outcome;
    if (Curl->Easy == nullptr) {
        Outcome.Error = "libcurl could not be set up";
        return Outcome;
    }
    if (Unreachable.count(Server.Url) != 0) {
        Outcome.Error = Server.Url + " did not answer earlier in this run";
        return Outcome;
    }
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
        std::string Temporary = (Target.parent_path() / ".download-XXXXXX").string();
        const int Descriptor = mkstemp(Temporary.data());
        if (Descriptor < 0) {
            Outcome.Error = "cannot create a file in " + Target.parent_path().string();
            return Outcome;
        }
        FILE* File = fdopen(Descriptor, "wb");
        if (File == nullptr) {
            close(Descriptor);
            unlink(Temporary.c_str());
            Outcome.Error = "cannot write " + Temporary;
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
        curl_easy_setopt(Easy, CURLOPT_WRITEDATA, File);
        Requests++;
        const CURLcode Code = curl_easy_perform(Easy);
        long Status = 0;
        curl_easy_getinfo(Easy, CURLINFO_RESPONSE_CODE, &Status);
        const bool Written = std::fclose(File) == 0;
        if (Code == CURLE_OK && Written) {
            if (std::rename(Temporary.c_str(), Target.c_str()) != 0) {
                unlink(Temporary.c_str());
                Outcome.Error = "cannot store " + Target.string();
                return Outcome;
            }
            Outcome.Outcome = Result::Stored;
            Outcome.File = Target.string();
            Outcome.Url = Url;
            return Outcome;
        }
        unlink(Temporary.c_str());
        fs::remove(Target.parent_path(), Failed);  // only when empty: another process may have stored there
        if (Code == CURLE_HTTP_RETURNED_ERROR && Status >= 400 && Status < 500) {
            continue;
        }
        if (Code == CURLE_OPERATION_TIMEDOUT || Code == CURLE_COULDNT_CONNECT || Code == CURLE_COULDNT_RESOLVE_HOST) {
            Unreachable.insert(Server.Url);
        }
        Outcome.Error = Url + ": " + (Code == CURLE_OK ? "cannot write the download" : curl_easy_strerror(Code));
        return Outcome;
    }
    Outcome.Outcome = Result::NotOnServer;
    return Outcome;
}

}  // namespace hestolvane::decode
