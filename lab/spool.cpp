// The spool's files: one JSON line per piece of work, written whole (a temporary file, synced, renamed)
// so that a collector killed while writing leaves either the batch or nothing.
#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "html.h"

namespace hestolvane::lab {

namespace {

using Json = nlohmann::json;

constexpr const char* Suffix = ".batch";

Json Bytes(const std::string& Latin1) {
    return Latin1ToUtf8(Latin1);
}

std::string BytesOf(const Json& Value) {
    return Value.is_string() ? Utf8ToLatin1(Value.get<std::string>()) : "";
}

Json Optional(const std::optional<int>& Value) {
    return Value ? Json(*Value) : Json(nullptr);
}

std::optional<int> OptionalOf(const Json& Value) {
    return Value.is_number_integer() ? std::optional<int>(Value.get<int>()) : std::nullopt;
}

std::optional<decode::BootState> StateNamed(const std::string& Name) {
    for (const decode::BootState State :
         {decode::BootState::Normal, decode::BootState::LastBsod, decode::BootState::LastBsodNewVersion}) {
        if (decode::BootStateName(State) == Name) {
            return State;
        }
    }
    return std::nullopt;
}

bool WriteWhole(const std::string& Path, const std::string& Text) {
    const std::string Temporary = Path + ".tmp";
    const int File = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (File < 0) {
        return false;
    }
    size_t Written = 0;
    while (Written < Text.size()) {
        const ssize_t Done = write(File, Text.data() + Written, Text.size() - Written);
        if (Done < 0 && errno == EINTR) {
            continue;
        }
        if (Done <= 0) {
            close(File);
            unlink(Temporary.c_str());
            return false;
        }
        Written += static_cast<size_t>(Done);
    }
    const bool Synced = fsync(File) == 0;
    close(File);
    if (!Synced || rename(Temporary.c_str(), Path.c_str()) != 0) {
        unlink(Temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string EncodeWork(const SpooledWork& Work) {
    static const char* const Kinds[] = {"machine", "boot", "report", "stopped"};
    Json Line = {{"kind", Kinds[static_cast<int>(Work.What)]}, {"machine", Bytes(Work.Machine)}};
    switch (Work.What) {
    case SpooledWork::Kind::Machine: {
        Json Tags = Json::object();
        for (const auto& [Key, Value] : Work.Tags) {
            Tags[Latin1ToUtf8(Key)] = Bytes(Value);
        }
        Line["tags"] = Tags;
        Line["source"] = Bytes(Work.Source);
        Line["configured"] = Work.Configured;
        break;
    }
    case SpooledWork::Kind::Boot:
        Line["load_time"] = Bytes(Work.Boot.LoadTime);
        Line["driver_version"] = Optional(Work.Boot.DriverVersion);
        Line["state"] = Work.Boot.State ? Bytes(*Work.Boot.State) : Json(nullptr);
        Line["arrived"] = Work.Boot.Arrived;
        break;
    case SpooledWork::Kind::Report: {
        const ReportEntry& Report = Work.Report;
        Line["boot_load_time"] = Report.BootLoadTime ? Bytes(*Report.BootLoadTime) : Json(nullptr);
        Line["crash_time"] = Bytes(Report.CrashTime);
        Line["code"] = Bytes(Report.Code);
        Line["bucket"] = Bytes(Report.Bucket);
        Line["signature"] = Bytes(Report.Signature);
        Line["culprit_module"] = Bytes(Report.CulpritModule);
        Line["culprit_function"] = Bytes(Report.CulpritFunction);
        Line["culprit_source"] = Bytes(Report.CulpritSource);
        Line["owner"] = Bytes(Report.Owner);
        Line["truncated"] = Report.Truncated;
        Line["raw"] = Bytes(Report.Raw);
        Line["document"] = Bytes(Report.Document);
        Line["arrived"] = Report.Arrived;
        if (Work.LoadedBy) {
            const decode::Boot& Boot = *Work.LoadedBy;
            Json Loaded = {{"number", Boot.Number}, {"line", Boot.Line}, {"driver_version", Optional(Boot.DriverVersion)},
                           {"state", Boot.State ? Json(std::string(decode::BootStateName(*Boot.State))) : Json(nullptr)}};
            if (Boot.LoadTime) {
                const decode::Timestamp& Time = *Boot.LoadTime;
                Loaded["load_time"] = {Time.Year, Time.Month, Time.Day, Time.Hour, Time.Minute, Time.Second, Time.Millisecond};
            }
            Line["loaded_by"] = Loaded;
        }
        break;
    }
    case SpooledWork::Kind::Stopped:
        break;
    }
    return Line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<SpooledWork> DecodeWork(const std::string& Text) {
    const Json Line = Json::parse(Text, nullptr, false);
    if (!Line.is_object() || !Line.contains("kind") || !Line["kind"].is_string()) {
        return std::nullopt;
    }
    SpooledWork Work;
    const std::string Kind = Line["kind"].get<std::string>();
    Work.Machine = BytesOf(Line.value("machine", Json()));
    if (Kind == "machine") {
        Work.What = SpooledWork::Kind::Machine;
        if (const auto Tags = Line.find("tags"); Tags != Line.end() && Tags->is_object()) {
            for (const auto& [Key, Value] : Tags->items()) {
                Work.Tags[Utf8ToLatin1(Key)] = BytesOf(Value);
            }
        }
        Work.Source = BytesOf(Line.value("source", Json()));
        Work.Configured = Line.value("configured", true);
    } else if (Kind == "boot") {
        Work.What = SpooledWork::Kind::Boot;
        Work.Boot.LoadTime = BytesOf(Line.value("load_time", Json()));
        Work.Boot.DriverVersion = OptionalOf(Line.value("driver_version", Json()));
        if (Line.value("state", Json()).is_string()) {
            Work.Boot.State = BytesOf(Line["state"]);
        }
        Work.Boot.Arrived = Line.value("arrived", std::string());
    } else if (Kind == "report") {
        Work.What = SpooledWork::Kind::Report;
        ReportEntry& Report = Work.Report;
        if (Line.value("boot_load_time", Json()).is_string()) {
            Report.BootLoadTime = BytesOf(Line["boot_load_time"]);
        }
        Report.CrashTime = BytesOf(Line.value("crash_time", Json()));
        Report.Code = BytesOf(Line.value("code", Json()));
        Report.Bucket = BytesOf(Line.value("bucket", Json()));
        Report.Signature = BytesOf(Line.value("signature", Json()));
        Report.CulpritModule = BytesOf(Line.value("culprit_module", Json()));
        Report.CulpritFunction = BytesOf(Line.value("culprit_function", Json()));
        Report.CulpritSource = BytesOf(Line.value("culprit_source", Json()));
        Report.Owner = BytesOf(Line.value("owner", Json()));
        Report.Truncated = Line.value("truncated", false);
        Report.Raw = BytesOf(Line.value("raw", Json()));
        Report.Document = BytesOf(Line.value("document", Json()));
        Report.Arrived = Line.value("arrived", std::string());
        if (const auto Loaded = Line.find("loaded_by"); Loaded != Line.end() && Loaded->is_object()) {
            decode::Boot Boot;
            Boot.Number = Loaded->value("number", 0U);
            Boot.Line = Loaded->value("line", uint64_t{0});
            Boot.DriverVersion = OptionalOf(Loaded->value("driver_version", Json()));
            if (Loaded->value("state", Json()).is_string()) {
                Boot.State = StateNamed((*Loaded)["state"].get<std::string>());
            }
            const Json Time = Loaded->value("load_time", Json());
            if (Time.is_array() && Time.size() == 7) {
                Boot.LoadTime = decode::Timestamp{Time[0].get<int>(), Time[1].get<int>(), Time[2].get<int>(), Time[3].get<int>(),
                                                  Time[4].get<int>(), Time[5].get<int>(), Time[6].get<int>()};
            }
            Work.LoadedBy = Boot;
        }
    } else if (Kind == "stopped") {
        Work.What = SpooledWork::Kind::Stopped;
    } else {
        return std::nullopt;
    }
    return Work;
}

Spool::Spool(std::string Directory, uint64_t Limit) : Directory(std::move(Directory)), Limit(Limit) {}

bool Spool::Open(std::string& Error) {
    std::lock_guard<std::mutex> Hold(Lock);
    if (mkdir(Directory.c_str(), 0700) != 0 && errno != EEXIST) {
        Error = "cannot make the spool " + Directory + ": " + std::strerror(errno);
        return false;
    }
    DIR* Listing = opendir(Directory.c_str());
    if (Listing == nullptr) {
        Error = "cannot read the spool " + Directory + ": " + std::strerror(errno);
        return false;
    }
    while (const dirent* Entry = readdir(Listing)) {
        const std::string Name = Entry->d_name;
        const std::string Path = Directory + "/" + Name;
        if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".tmp") == 0) {
            unlink(Path.c_str());  // a batch whose writing was cut off: never handed over as kept
            continue;
        }
        if (Name.size() <= std::strlen(Suffix) || Name.compare(Name.size() - std::strlen(Suffix), std::strlen(Suffix), Suffix) != 0) {
            continue;
        }
        std::ifstream In(Path);
        std::string Line;
        uint64_t Size = 0;
        uint64_t Reports = 0;
        while (std::getline(In, Line)) {
            Size += Line.size() + 1;
            const std::optional<SpooledWork> Work = DecodeWork(Line);
            Reports += Work && Work->What == SpooledWork::Kind::Report ? 1 : 0;
        }
        Files[Name] = {Size, Reports};
        Bytes += Size;
        Next = std::max<uint64_t>(Next, std::strtoull(Name.c_str(), nullptr, 10) + 1);
    }
    closedir(Listing);
    return true;
}

bool Spool::Add(const std::vector<SpooledWork>& Batch) {
    std::string Text;
    uint64_t Reports = 0;
    for (const SpooledWork& Work : Batch) {
        Text += EncodeWork(Work) + "\n";
        Reports += Work.What == SpooledWork::Kind::Report ? 1 : 0;
    }
    if (Text.empty()) {
        return true;
    }
    std::lock_guard<std::mutex> Hold(Lock);
    if (Bytes + Text.size() > Limit) {
        Refused += Reports;
        return false;
    }
    char Name[40];
    std::snprintf(Name, sizeof(Name), "%020llu%s", static_cast<unsigned long long>(Next), Suffix);
    if (!WriteWhole(Directory + "/" + Name, Text)) {
        Refused += Reports;
        return false;
    }
    ++Next;
    Files[Name] = {Text.size(), Reports};
    Bytes += Text.size();
    return true;
}

bool Spool::Empty() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return Files.empty();
}

std::optional<std::pair<std::string, std::vector<SpooledWork>>> Spool::Oldest() {
    std::string Name;
    {
        std::lock_guard<std::mutex> Hold(Lock);
        if (Files.empty()) {
            return std::nullopt;
        }
        Name = Files.begin()->first;
    }
    std::ifstream In(Directory + "/" + Name);
    std::vector<SpooledWork> Work;
    std::string Line;
    while (std::getline(In, Line)) {
        if (auto Read = DecodeWork(Line)) {
            Work.push_back(std::move(*Read));
        }
    }
    return std::make_pair(Name, std::move(Work));
}

void Spool::Remove(const std::string& Name) {
    std::lock_guard<std::mutex> Hold(Lock);
    const auto Found = Files.find(Name);
    if (Found == Files.end()) {
        return;
    }
    unlink((Directory + "/" + Name).c_str());
    Bytes -= Found->second.first;
    Files.erase(Found);
}

Spool::Counts Spool::State() const {
    std::lock_guard<std::mutex> Hold(Lock);
    Counts Now;
    Now.Batches = Files.size();
    Now.Bytes = Bytes;
    for (const auto& [Name, Sizes] : Files) {
        Now.Reports += Sizes.second;
    }
    Now.RefusedReports = Refused;
    return Now;
}

}  // namespace hestolvane::lab
