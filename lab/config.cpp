// Reading hestolvane-lab's TOML configuration with toml++, and the source addresses of its machines.
#include "config.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

#include "live.h"
#include "store.h"

namespace hestolvane::lab {

namespace {

std::string Lowercase(std::string Text) {
    for (char& Each : Text) {
        if (Each >= 'A' && Each <= 'Z') {
            Each = static_cast<char>(Each - 'A' + 'a');
        }
    }
    return Text;
}

std::string Resolve(const std::string& Path, const std::string& Base) {
    if (Path.empty() || Path.front() == '/' || Base.empty()) {
        return Path;
    }
    return Base + "/" + Path;
}

std::optional<unsigned> Digits(std::string_view Text) {
    if (Text.empty() || Text.size() > 9) {
        return std::nullopt;
    }
    unsigned Value = 0;
    for (const char Each : Text) {
        if (Each < '0' || Each > '9') {
            return std::nullopt;
        }
        Value = Value * 10 + static_cast<unsigned>(Each - '0');
    }
    return Value;
}

bool ReadTags(const toml::node_view<const toml::node>& Node, std::map<std::string, std::string>& Tags,
              std::string& Error) {
    if (!Node) {
        return true;
    }
    const toml::table* Table = Node.as_table();
    if (Table == nullptr) {
        Error = "tags must be a table of strings";
        return false;
    }
    for (const auto& [Key, Value] : *Table) {
        const auto Text = Value.value<std::string>();
        if (!Text) {
            Error = "tag " + std::string(Key.str()) + " must be a string";
            return false;
        }
        Tags[std::string(Key.str())] = *Text;
    }
    return true;
}

bool ReadStrings(const toml::node_view<const toml::node>& Node, std::vector<std::string>& Out, std::string& Error,
                 const std::string& Name) {
    if (!Node) {
        return true;
    }
    const toml::array* Array = Node.as_array();
    if (Array == nullptr) {
        Error = Name + " must be an array of strings";
        return false;
    }
    for (const toml::node& Each : *Array) {
        const auto Text = Each.value<std::string>();
        if (!Text) {
            Error = Name + " must be an array of strings";
            return false;
        }
        Out.push_back(*Text);
    }
    return true;
}

std::optional<std::chrono::milliseconds> Seconds(const toml::node_view<const toml::node>& Node) {
    const auto Value = Node.value<double>();
    if (!Value || !(*Value > 0) || *Value > 86400) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<int64_t>(*Value * 1000));
}

bool ReadSymbols(const toml::node_view<const toml::node>& Node, const std::string& Base, LabConfig& Config,
                 std::string& Error) {
    decode::SymbolSearch& Search = Config.Symbols.Search;
    std::string Cache = decode::DefaultSymbolCache();
    if (const auto Given = Node["cache"].value<std::string>()) {
        Cache = Resolve(*Given, Base);
    }
    std::vector<std::string> Directories;
    std::vector<std::string> Servers;
    if (!ReadStrings(Node["directories"], Directories, Error, "symbols.directories") ||
        !ReadStrings(Node["servers"], Servers, Error, "symbols.servers")) {
        return false;
    }
    for (const std::string& Each : Directories) {
        Search.Directories.push_back(Resolve(Each, Base));
    }
    if (const char* Path = std::getenv("_NT_SYMBOL_PATH"); Path != nullptr) {
        decode::AddSymbolPath(Path, Cache, Search);
    }
    for (std::string Url : Servers) {
        while (!Url.empty() && Url.back() == '/') {
            Url.pop_back();
        }
        Search.Servers.push_back({Url, Cache});
    }
    if (Node["timeout"]) {
        const auto Timeout = Seconds(Node["timeout"]);
        if (!Timeout) {
            Error = "symbols.timeout must be a number of seconds";
            return false;
        }
        Search.Timeout = *Timeout;
    }
    if (const toml::table* Images = Node["images"].as_table(); Images != nullptr) {
        for (const auto& [Key, Value] : *Images) {
            const auto Path = Value.value<std::string>();
            if (!Path) {
                Error = "symbols.images must map module names to paths";
                return false;
            }
            Config.Symbols.Images[Lowercase(std::string(Key.str()))] = Resolve(*Path, Base);
        }
    }
    if (Node["skip"]) {
        Error = "symbols.skip is gone: name the frames to pass over as owner rules, in symbols.triage "
                "(\"module!function=ignore\") or in a triage.ini file in symbols.rules";
        return false;
    }
    std::vector<std::string> RulesFiles;
    std::vector<std::string> QualifierFiles;
    if (!ReadStrings(Node["rules"], RulesFiles, Error, "symbols.rules") ||
        !ReadStrings(Node["triage"], Config.RulesLines, Error, "symbols.triage") ||
        !ReadStrings(Node["qualifiers"], QualifierFiles, Error, "symbols.qualifiers")) {
        return false;
    }
    for (const std::string& Each : RulesFiles) {
        Config.RulesFiles.push_back(Resolve(Each, Base));
    }
    for (const std::string& Each : QualifierFiles) {
        Config.QualifierFiles.push_back(Resolve(Each, Base));
    }
    if (Node["default_rules"]) {
        const auto Default = Node["default_rules"].value<bool>();
        if (!Default) {
            Error = "symbols.default_rules must be true or false";
            return false;
        }
        Config.DefaultRules = *Default;
    }
    return true;
}

bool ValidName(const std::string& Name) {
    if (Name.empty() || Name.size() > 128) {
        return false;
    }
    for (const char Each : Name) {
        if (static_cast<unsigned char>(Each) < 0x20 || Each == 0x7F) {
            return false;
        }
    }
    return true;
}

bool ReadMachines(const toml::table& Root, const std::string& Base, LabConfig& Config, std::string& Error) {
    const toml::node_view<const toml::node> Machines = Root["machine"];
    if (!Machines) {
        return true;
    }
    const toml::array* Array = Machines.as_array();
    if (Array == nullptr) {
        Error = "machine must be an array of tables ([[machine]])";
        return false;
    }
    for (const toml::node& Each : *Array) {
        const toml::table* Table = Each.as_table();
        if (Table == nullptr) {
            Error = "machine must be an array of tables ([[machine]])";
            return false;
        }
        MachineConfig Machine;
        Machine.Name = (*Table)["name"].value_or(std::string());
        Machine.SourceUrl = (*Table)["source"].value_or(std::string());
        if (!ValidName(Machine.Name)) {
            Error = "a machine needs a name of printable characters";
            return false;
        }
        for (const MachineConfig& Earlier : Config.Machines) {
            if (Earlier.Name == Machine.Name) {
                Error = "machine " + Machine.Name + " is named twice";
                return false;
            }
        }
        ParsedSource Source = ParseSource(Machine.SourceUrl);
        if (!Source.Source) {
            Error = "machine " + Machine.Name + ": " + Source.Error;
            return false;
        }
        Machine.Source = *Source.Source;
        if (Machine.Source.Type != SourceSpec::Kind::Tcp) {
            Machine.Source.Path = Resolve(Machine.Source.Path, Base);
        }
        if (!ReadTags((*Table)["tags"], Machine.Tags, Error)) {
            Error.insert(0, "machine " + Machine.Name + ": ");
            return false;
        }
        Config.Machines.push_back(std::move(Machine));
    }
    return true;
}

bool ReadWatches(const toml::table& Root, const std::string& Base, LabConfig& Config, std::string& Error) {
    const toml::node_view<const toml::node> Watches = Root["watch"];
    if (!Watches) {
        return true;
    }
    const toml::array* Array = Watches.as_array();
    if (Array == nullptr) {
        Error = "watch must be an array of tables ([[watch]])";
        return false;
    }
    for (const toml::node& Each : *Array) {
        const toml::table* Table = Each.as_table();
        if (Table == nullptr || !(*Table)["directory"].value<std::string>()) {
            Error = "a watch needs a directory";
            return false;
        }
        WatchConfig Watch;
        Watch.Directory = Resolve(*(*Table)["directory"].value<std::string>(), Base);
        Watch.Suffix = (*Table)["suffix"].value_or(Watch.Suffix);
        if (!ReadTags((*Table)["tags"], Watch.Tags, Error)) {
            return false;
        }
        Config.Watches.push_back(std::move(Watch));
    }
    return true;
}

bool ReadAlerts(const toml::table& Root, LabConfig& Config, std::string& Error) {
    static const std::vector<std::string> Known = {"new_bucket", "regression", "crash_without_report", "boot_loop"};
    const toml::node_view<const toml::node> Alerts = Root["alert"];
    if (!Alerts) {
        return true;
    }
    const toml::array* Array = Alerts.as_array();
    if (Array == nullptr) {
        Error = "alert must be an array of tables ([[alert]])";
        return false;
    }
    for (const toml::node& Each : *Array) {
        const toml::table* Table = Each.as_table();
        if (Table == nullptr) {
            Error = "alert must be an array of tables ([[alert]])";
            return false;
        }
        AlertConfig Alert;
        Alert.Webhook = (*Table)["webhook"].value_or(std::string());
        if (!ReadStrings((*Table)["command"], Alert.Command, Error, "alert.command")) {
            return false;
        }
        if (Alert.Webhook.empty() == Alert.Command.empty()) {
            Error = "an alert needs either a webhook or a command";
            return false;
        }
        if (!Alert.Webhook.empty() && Alert.Webhook.rfind("http://", 0) != 0 && Alert.Webhook.rfind("https://", 0) != 0) {
            Error = "an alert's webhook must be an http:// or https:// address";
            return false;
        }
        if (!Alert.Command.empty() && Alert.Command.front().rfind('/', 0) != 0) {
            Error = "an alert's command must begin with an absolute path";
            return false;
        }
        if ((*Table)["events"]) {
            Alert.Events.clear();
            if (!ReadStrings((*Table)["events"], Alert.Events, Error, "alert.events")) {
                return false;
            }
            for (const std::string& Event : Alert.Events) {
                if (std::find(Known.begin(), Known.end(), Event) == Known.end()) {
                    Error = "unknown alert event: " + Event;
                    return false;
                }
            }
        }
        Config.Alerts.push_back(std::move(Alert));
    }
    return true;
}

}  // namespace

std::string AlertConfig::Key() const {
    if (!Webhook.empty()) {
        return "webhook " + Webhook;
    }
    std::string Key = "command";
    for (const std::string& Each : Command) {
        Key += " ";
        Key += Each;
    }
    return Key;
}

bool SourceSpec::operator==(const SourceSpec& Other) const {
    return Type == Other.Type && Host == Other.Host && Port == Other.Port && Path == Other.Path &&
           Baud == Other.Baud;
}

ParsedSource ParseSource(std::string_view Url) {
    ParsedSource Result;
    const size_t Scheme = Url.find("://");
    if (Scheme == std::string_view::npos) {
        Result.Error = "a source is tcp://HOST:PORT, unix:///PATH, file:///PATH or serial:///DEVICE";
        return Result;
    }
    const std::string Kind = Lowercase(std::string(Url.substr(0, Scheme)));
    std::string_view Rest = Url.substr(Scheme + 3);
    SourceSpec Source;
    if (Kind == "tcp") {
        const auto Target = decode::ParseTcpTarget(Rest);
        if (!Target) {
            Result.Error = "tcp:// needs HOST:PORT";
            return Result;
        }
        Source.Type = SourceSpec::Kind::Tcp;
        Source.Host = Target->Host;
        Source.Port = Target->Port;
    } else if (Kind == "unix" || Kind == "file" || Kind == "serial") {
        Source.Type = Kind == "unix" ? SourceSpec::Kind::Unix
                    : Kind == "file" ? SourceSpec::Kind::File
                                     : SourceSpec::Kind::Serial;
        const size_t Query = Rest.find('?');
        Source.Path = std::string(Rest.substr(0, Query));
        if (Query != std::string_view::npos) {
            const std::string_view Options = Rest.substr(Query + 1);
            const auto Baud = Options.rfind("baud=", 0) == 0 ? Digits(Options.substr(5)) : std::nullopt;
            if (Source.Type != SourceSpec::Kind::Serial || !Baud) {
                Result.Error = "the only option of a source is baud=N, on serial://";
                return Result;
            }
            Source.Baud = *Baud;
        }
        if (Source.Path.empty()) {
            Result.Error = Kind + ":// needs a path";
            return Result;
        }
    } else {
        Result.Error = "unknown kind of source: " + Kind;
        return Result;
    }
    Result.Source = std::move(Source);
    return Result;
}

std::optional<ListenAddress> ParseListen(std::string_view Text) {
    const auto Target = decode::ParseTcpTarget(Text);
    if (!Target) {
        return std::nullopt;
    }
    const auto Port = Digits(Target->Port);
    if (!Port || *Port > 65535) {
        return std::nullopt;
    }
    return ListenAddress{Target->Host, static_cast<int>(*Port)};
}

bool IsLoopback(const std::string& Host) {
    return Host == "localhost" || Host == "::1" || Host.rfind("127.", 0) == 0;
}

LoadedConfig ParseConfig(std::string_view Text, const std::string& BaseDirectory) {
    LoadedConfig Result;
    toml::table Parsed;
    try {
        Parsed = toml::parse(Text);
    } catch (const toml::parse_error& Failure) {
        std::ostringstream Message;
        Message << "line " << Failure.source().begin.line << ": " << Failure.description();
        Result.Error = Message.str();
        return Result;
    }
    const toml::table& Root = Parsed;
    LabConfig Config;
    Config.Index = Root["index"].value_or(Config.Index);
    if (!IsPostgresUri(Config.Index)) {
        Config.Index = Resolve(Config.Index, BaseDirectory);
    }
    Config.Listen = Root["listen"].value_or(Config.Listen);
    Config.Token = Root["token"].value_or(std::string());
    const auto Listen = ParseListen(Config.Listen);
    if (!Listen) {
        Result.Error = "listen must be HOST:PORT";
        return Result;
    }
    if (!IsLoopback(Listen->Host) && Config.Token.size() < 16) {
        Result.Error = "listening beyond loopback needs a token of at least 16 characters";
        return Result;
    }
    if (Root["idle_timeout"]) {
        const auto Idle = Seconds(Root["idle_timeout"]);
        if (!Idle) {
            Result.Error = "idle_timeout must be a number of seconds";
            return Result;
        }
        Config.IdleTimeout = *Idle;
    }
    if (Root["backoff"]) {
        const auto Backoff = Seconds(Root["backoff"]);
        if (!Backoff) {
            Result.Error = "backoff must be a number of seconds";
            return Result;
        }
        Config.FirstBackoff = *Backoff;
    }
    if (Root["alert_backoff"]) {
        const auto Backoff = Seconds(Root["alert_backoff"]);
        if (!Backoff) {
            Result.Error = "alert_backoff must be a number of seconds";
            return Result;
        }
        Config.AlertBackoff = *Backoff;
    }
    Config.CollectorId = Root["collector"].value_or(std::string());
    for (const auto& [Key, Target] : {std::pair<const char*, std::chrono::milliseconds*>{"lease", &Config.Lease},
                                      {"lease_renewal", &Config.LeaseRenewal}}) {
        if (Root[Key]) {
            const auto Given = Seconds(Root[Key]);
            if (!Given) {
                Result.Error = std::string(Key) + " must be a number of seconds";
                return Result;
            }
            *Target = *Given;
        }
    }
    if (Config.LeaseRenewal * 2 > Config.Lease) {
        Result.Error = "lease_renewal must be at most half of lease, so that a renewal late by one period still holds";
        return Result;
    }
    Config.SpoolDirectory = Resolve(Root["spool"].value_or(BaseDirectory + "/hestolvane-lab-spool"), BaseDirectory);
    const int64_t SpoolLimit = Root["spool_limit"].value_or(static_cast<int64_t>(Config.SpoolLimit));
    if (SpoolLimit < 65536) {
        Result.Error = "spool_limit must be at least 65536 bytes";
        return Result;
    }
    Config.SpoolLimit = static_cast<uint64_t>(SpoolLimit);
    const int64_t Buffer = Root["buffer_limit"].value_or(static_cast<int64_t>(Config.BufferLimit));
    const int64_t RawLog = Root["raw_log_limit"].value_or(static_cast<int64_t>(Config.RawLogLimit));
    if (Buffer < 4096 || RawLog < 4096) {
        Result.Error = "buffer_limit and raw_log_limit must be at least 4096 bytes";
        return Result;
    }
    Config.BufferLimit = static_cast<size_t>(Buffer);
    Config.RawLogLimit = static_cast<size_t>(RawLog);
    std::string Error;
    if (!ReadSymbols(Root["symbols"], BaseDirectory, Config, Error) || !ReadMachines(Root, BaseDirectory, Config, Error) ||
        !ReadWatches(Root, BaseDirectory, Config, Error) || !ReadAlerts(Root, Config, Error)) {
        Result.Error = Error;
        return Result;
    }
    Result.Config = std::move(Config);
    return Result;
}

LoadedConfig LoadConfig(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    if (!In) {
        LoadedConfig Result;
        Result.Error = "cannot open " + Path;
        return Result;
    }
    std::ostringstream Text;
    Text << In.rdbuf();
    const size_t Slash = Path.rfind('/');
    const std::string Base = Slash == std::string::npos ? "." : Path.substr(0, Slash == 0 ? 1 : Slash);
    LoadedConfig Result = ParseConfig(Text.str(), Base);
    if (!Result.Config) {
        Result.Error = Path + ": " + Result.Error;
    }
    return Result;
}

}  // namespace hestolvane::lab
