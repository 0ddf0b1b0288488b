// hestolvane-lab: collects every machine's COM1 of a lab on one event loop, keeps the lab's record beside
// the crash index, and serves the dashboard. Usage: hestolvane-lab --config FILE.
#include <sys/resource.h>

#include <iostream>
#include <memory>
#include <string>

#include "alerts.h"
#include "collector.h"
#include "config.h"
#include "crash_index.h"
#include "leases.h"
#include "rebucket.h"
#include "recorder.h"
#include "signature.h"
#include "spool.h"
#include "store.h"
#include "web.h"

namespace {

using namespace hestolvane::lab;

constexpr const char* Usage =
    "usage: hestolvane-lab --config FILE [--check]\n"
    "Collects the COM1 output of every machine the configuration names, records boots and crash reports\n"
    "in its index, and serves a dashboard (see lab/README.md).\n"
    "  --config FILE  the TOML configuration; SIGHUP reads it again\n"
    "  --check        read the configuration, say what is wrong with it, and exit\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when the index or the listener cannot be set up, 2 for a bad\n"
    "command line or configuration.\n";

// The owner rules and qualifier tables the reports are signed with, read once at start: files first, then
// the configuration's own rule lines. Lines that cannot be taken are warnings; a file that cannot be read
// stops the start.
std::optional<hestolvane::decode::Triage> LoadTriage(const LabConfig& Config) {
    std::vector<std::string> Warnings;
    std::string Error;
    std::optional<hestolvane::decode::Triage> With = hestolvane::decode::LoadTriage(
        Config.RulesFiles, Config.DefaultRules, Config.QualifierFiles, Warnings, Error);
    if (!With) {
        std::cerr << "hestolvane-lab: " << Error << "\n";
        return std::nullopt;
    }
    std::string Lines;
    for (const std::string& Line : Config.RulesLines) {
        Lines += Line + "\n";
    }
    With->Rules.Add(Lines, "symbols.triage", Warnings);
    for (const std::string& Warning : Warnings) {
        std::cerr << "hestolvane-lab: warning: " << Warning << "\n";
    }
    return With;
}

// The index as the log shows it: a password in a PostgreSQL URI is not for the log.
std::string Shown(const std::string& Index) {
    if (!IsPostgresUri(Index)) {
        return Index;
    }
    const size_t Authority = Index.find("://") + 3;
    const size_t At = Index.find('@', Authority);
    const size_t Colon = Index.find(':', Authority);
    if (At == std::string::npos || Index.find('/', Authority) < At || Colon > At) {
        return Index;
    }
    return Index.substr(0, Colon + 1) + "***" + Index.substr(At);
}

}  // namespace

int main(int Count, char** Arguments) {
    std::string ConfigPath;
    bool CheckOnly = false;
    for (int Index = 1; Index < Count; ++Index) {
        const std::string Argument = Arguments[Index];
        if (Argument == "--config" && Index + 1 < Count) {
            ConfigPath = Arguments[++Index];
        } else if (Argument == "--check") {
            CheckOnly = true;
        } else if (Argument == "--help") {
            std::cout << Usage;
            return 0;
        } else {
            std::cerr << Usage;
            return 2;
        }
    }
    if (ConfigPath.empty()) {
        std::cerr << Usage;
        return 2;
    }
    const LoadedConfig Loaded = LoadConfig(ConfigPath);
    if (!Loaded.Config) {
        std::cerr << "hestolvane-lab: " << Loaded.Error << "\n";
        return 2;
    }
    if (CheckOnly) {
        return 0;
    }
    const LabConfig& Config = *Loaded.Config;
    const auto Listen = ParseListen(Config.Listen);

    // A descriptor per machine: a lab of a thousand needs more than the usual soft limit of 1,024.
    rlimit Descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &Descriptors) == 0 && Descriptors.rlim_cur < Descriptors.rlim_max) {
        Descriptors.rlim_cur = Descriptors.rlim_max;
        setrlimit(RLIMIT_NOFILE, &Descriptors);
    }

    // Before any thread starts, so that the signals reach only the loop's signalfd.
    Collector::BlockSignals();

    OpenedStore Opened = OpenStore(Config.Index);
    if (!Opened.Store) {
        std::cerr << "hestolvane-lab: " << Opened.Error << "\n";
        return 1;
    }
    const std::optional<hestolvane::decode::Triage> Triage = LoadTriage(Config);
    if (!Triage) {
        return 1;
    }
    hestolvane::decode::CrashIndex::Opened Index = hestolvane::decode::CrashIndex::Open(Config.Index);
    if (!Index.Index) {
        std::cerr << "hestolvane-lab: " << Index.Error << "\n";
        return 1;
    }
    if (Index.Index->NeedsResigning()) {
        hestolvane::decode::SymbolResolver Resolver(Config.Symbols);
        const hestolvane::decode::RebucketCounts Counts =
            hestolvane::decode::RebucketIndex(*Index.Index, Resolver, *Triage, true);
        if (!Counts.Error.empty()) {
            std::cerr << "hestolvane-lab: " << Shown(Config.Index) << ": signing the reports of an earlier version: "
                      << Counts.Error << "\n";
            return 1;
        }
        std::cerr << "hestolvane-lab: " << Shown(Config.Index) << ": reports of an earlier version signed again, "
                  << hestolvane::decode::RebucketSummary(Counts) << "\n";
    }
    std::vector<AlertTarget> Targets;
    for (const AlertConfig& Alert : Config.Alerts) {
        Targets.push_back({Alert.Key(), Alert.Events});
    }
    Opened.Store->SetAlertTargets(Targets);
    AlertSender Alerts(*Opened.Store, Config.Alerts, Config.AlertBackoff);
    Index.Index->SkipSyncOnCommit();
    Index.Index->LeaveCheckpointsToOthers();
    // Work that waits in the spool from an earlier run goes into the record before anything new.
    Spool Pending(Config.SpoolDirectory, Config.SpoolLimit);
    if (std::string Error; !Pending.Open(Error)) {
        std::cerr << "hestolvane-lab: " << Error << "\n";
        return 1;
    }
    Recorder Record(*Opened.Store, Index.Index.get(), Config.Symbols, *Triage, Config.RawLogLimit, &Pending);
    LeaseKeeper Leases(*Opened.Store, Config.CollectorId.empty() ? DefaultCollectorId() : Config.CollectorId, Config.Lease,
                       Config.LeaseRenewal);
    Collector Loop(ConfigPath, Config, Record, Leases);
    Dashboard Web(
        *Opened.Store, [&Loop] { return Loop.Live(); }, [&Loop] { return Loop.LiveChanges(); },
        DashboardOptions{Listen->Host, Listen->Port, Config.Token});
    Web.ShowSpool([&Pending] { return Pending.State(); });
    std::string Error;
    if (!Web.Start(Error)) {
        std::cerr << "hestolvane-lab: " << Error << "\n";
        return 1;
    }
    std::cerr << "hestolvane-lab: dashboard on http://" << Listen->Host << ":" << Web.Port() << "/, "
              << Config.Machines.size() << " machines configured, index " << Shown(Config.Index) << ", collector "
              << Leases.Id() << "\n";
    const bool Ran = Loop.Run();
    Web.Stop();
    Record.Finish();
    // Only once everything read is written, resume points included: whoever takes a machine over
    // continues where this collector stopped.
    Leases.Release();
    Alerts.Stop();
    if (!Ran) {
        std::cerr << "hestolvane-lab: " << Loop.Error() << "\n";
        return 1;
    }
    std::cerr << "hestolvane-lab: stopped; " << Record.Recorded() << " new reports recorded in this run\n";
    return 0;
}
