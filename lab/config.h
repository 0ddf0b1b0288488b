// hestolvane-lab's configuration: the TOML file that names the index, the web listener, the symbol
// settings the decoder takes on its command line, and the machines with the source of each one's COM1.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbols.h"

namespace hestolvane::lab {

// Where a machine's COM1 bytes come from.
struct SourceSpec {
    enum class Kind { Tcp, Unix, File, Serial };
    Kind Type = Kind::File;
    std::string Host;  // tcp
    std::string Port;  // tcp
    std::string Path;  // unix socket, file, serial device
    unsigned Baud = 115200;

    bool operator==(const SourceSpec& Other) const;
};

// "tcp://HOST:PORT", "unix:///PATH", "file:///PATH", "serial:///dev/ttyS1?baud=115200". Empty when Error
// says why.
struct ParsedSource {
    std::optional<SourceSpec> Source;
    std::string Error;
};
ParsedSource ParseSource(std::string_view Url);

struct MachineConfig {
    std::string Name;
    std::map<std::string, std::string> Tags;  // pool, build, ...
    std::string SourceUrl;
    SourceSpec Source;
};

// A directory of capture files, one per machine: every file whose name ends in Suffix is a machine named
// after the rest of its name (libvirt keeps NAME-serial.log).
struct WatchConfig {
    std::string Directory;
    std::string Suffix = "-serial.log";
    std::map<std::string, std::string> Tags;
};

// Where alerts go: a webhook (an HTTP POST of the alert's JSON document) or a command (run without a
// shell, the document on its standard input and its fields in its environment).
struct AlertConfig {
    std::string Webhook;               // http://HOST:PORT/PATH
    std::vector<std::string> Command;  // an absolute path, then its arguments
    std::vector<std::string> Events = {"new_bucket", "regression", "crash_without_report", "boot_loop"};

    std::string Key() const;  // how the outbox names the target
};

struct LabConfig {
    std::string Index = "hestolvane-lab.db";
    std::string Listen = "127.0.0.1:8080";
    std::string Token;  // required when Listen is not a loopback address
    decode::SymbolOptions Symbols;
    // Owner rules as hestolvane-decode takes them: the shipped ones unless DefaultRules is off, then each
    // triage.ini file, then the configuration's own lines.
    std::vector<std::string> RulesFiles;
    bool DefaultRules = true;
    std::vector<std::string> RulesLines;
    std::vector<std::string> QualifierFiles;
    std::chrono::milliseconds IdleTimeout{30000};
    std::chrono::milliseconds FirstBackoff{250};
    std::chrono::milliseconds LongestBackoff{8000};
    size_t BufferLimit = 1 << 20;       // bytes one machine may hold in an unfinished report or in the queue
    size_t RawLogLimit = 4 << 20;       // bytes of raw capture kept per machine
    std::vector<MachineConfig> Machines;
    std::vector<WatchConfig> Watches;
    std::vector<AlertConfig> Alerts;
    std::chrono::milliseconds AlertBackoff{std::chrono::seconds(5)};  // the first retry; doubles up to 5 minutes
    // Several collectors on one PostgreSQL database: this one's name in the leases (the host's name and
    // the process when empty), how long a lease runs, and how often it is renewed.
    std::string CollectorId;
    std::chrono::milliseconds Lease{std::chrono::seconds(15)};
    std::chrono::milliseconds LeaseRenewal{std::chrono::seconds(5)};
    // Where completed work waits while the database cannot be reached, and how many bytes it may take.
    std::string SpoolDirectory;  // empty: hestolvane-lab-spool beside the configuration file
    uint64_t SpoolLimit = uint64_t{256} << 20;
};

struct LoadedConfig {
    std::optional<LabConfig> Config;
    std::string Error;
};
// Relative paths in the file are taken relative to the file's directory.
LoadedConfig LoadConfig(const std::string& Path);
LoadedConfig ParseConfig(std::string_view Text, const std::string& BaseDirectory);

// Host and port of a listen address ("127.0.0.1:8080", "[::1]:8080").
struct ListenAddress {
    std::string Host;
    int Port = 0;
};
std::optional<ListenAddress> ParseListen(std::string_view Text);
bool IsLoopback(const std::string& Host);

}  // namespace hestolvane::lab
