// The recorder's thread: symbols, signatures, the crash index and the lab's record, off the event loop.
#include "recorder.h"

#include <cstdio>
#include <iostream>
#include <iterator>

#include "capture_reader.h"
#include "line_forms.h"
#include "output.h"
#include "rebucket.h"

namespace hestolvane::lab {

namespace {

std::string CodeText(const decode::Report& Decoded) {
    if (!Decoded.Check) {
        return "";
    }
    char Text[24];
    std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Decoded.Check->Code));
    return Text;
}

// A spooled report read again from its raw text, for the crash index, which takes the decoded report.
std::optional<decode::Report> Reread(const std::string& Raw) {
    struct OneReport : decode::CaptureSink {
        std::vector<decode::Report> Reports;
        void OnBoot(const decode::Boot&) override {}
        void OnReport(const decode::Report& Decoded) override { Reports.push_back(Decoded); }
    } Read;
    decode::CaptureReader Reader(Read);
    Reader.Feed(Raw);
    Reader.Feed(std::string(decode::EndMarkerText) + "\n");
    Reader.Finish();
    if (Read.Reports.size() != 1) {
        return std::nullopt;
    }
    return std::move(Read.Reports.front());
}

}  // namespace

std::string BootKey(const decode::Boot& Decoded, const std::string& Arrived) {
    return Decoded.LoadTime ? decode::FormatIsoTimestamp(*Decoded.LoadTime) : "unknown, arrived " + Arrived;
}

Recorder::Recorder(LabStore& Store, decode::CrashIndex* Index, decode::SymbolOptions Symbols, decode::Triage Triage,
                   size_t RawLogLimit, Spool* Pending)
    : Store(Store), Index(Index), Symbols(std::move(Symbols)), Triage(std::move(Triage)), RawLogLimit(RawLogLimit),
      Pending(Pending), Worker([this] { Loop(); }) {}

Recorder::~Recorder() {
    Finish();
}

void Recorder::Push(Job Work) {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Queued += Work.Size();
        Queue.push_back(std::move(Work));
    }
    Wake.notify_one();
}

void Recorder::Machine(const MachineConfig& Machine, bool Configured) {
    Job Work;
    Work.What = Job::Kind::Machine;
    Work.Machine = Machine.Name;
    Work.Config = Machine;
    Work.Configured = Configured;
    Push(std::move(Work));
}

void Recorder::Boot(const std::string& Machine, const decode::Boot& Decoded) {
    Job Work;
    Work.What = Job::Kind::Boot;
    Work.Machine = Machine;
    Work.LoadedBy = Decoded;
    Work.Text = NowIso();
    Push(std::move(Work));
}

void Recorder::Report(const std::string& Machine, const decode::Report& Decoded, std::optional<decode::Boot> LoadedBy) {
    Job Work;
    Work.What = Job::Kind::Report;
    Work.Machine = Machine;
    Work.Decoded = Decoded;
    Work.LoadedBy = std::move(LoadedBy);
    Work.Text = NowIso();
    Push(std::move(Work));
}

void Recorder::Stopped(const std::string& Machine) {
    Job Work;
    Work.What = Job::Kind::Stopped;
    Work.Machine = Machine;
    Push(std::move(Work));
}

void Recorder::Resume(const std::string& Machine, const std::string& FileKey, const ResumePoint& Point) {
    Job Work;
    Work.What = Job::Kind::Resume;
    Work.Machine = Machine;
    Work.Text = FileKey;
    Work.Point = Point;
    Push(std::move(Work));
}

std::optional<ResumePoint> Recorder::LoadResume(const std::string& Machine, const std::string& FileKey) {
    return Store.LoadResume(Machine, FileKey);
}

bool Recorder::Raw(const std::string& Machine, std::string Bytes, size_t Limit) {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        size_t& Held = Waiting[Machine];
        if (Held + Bytes.size() > Limit) {
            return false;
        }
        Held += Bytes.size();
    }
    Job Work;
    Work.What = Job::Kind::Raw;
    Work.Machine = Machine;
    Work.Text = std::move(Bytes);
    Push(std::move(Work));
    return true;
}

void Recorder::Touch(const std::string& Machine, const std::string& When) {
    Job Work;
    Work.What = Job::Kind::Touch;
    Work.Machine = Machine;
    Work.Text = When;
    Push(std::move(Work));
}

void Recorder::Finish() {
    {
        std::lock_guard<std::mutex> Hold(Lock);
        Stopping = true;
    }
    Wake.notify_one();
    if (Worker.joinable()) {
        Worker.join();
    }
}

bool Recorder::Backlogged() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return Queued > BacklogLimit;
}

uint64_t Recorder::Failures() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return FailureCount;
}

uint64_t Recorder::Recorded() const {
    std::lock_guard<std::mutex> Hold(Lock);
    return RecordedCount;
}

void Recorder::Loop() {
    // The resolver, with its worker process, belongs to this thread alone.
    decode::SymbolResolver Resolver(Symbols);
    std::unique_lock<std::mutex> Hold(Lock);
    const auto Ready = [this] { return Stopping || !Queue.empty(); };
    for (;;) {
        // With work in the spool, look every second whether the database is back.
        if (Pending != nullptr && !Pending->Empty()) {
            Wake.wait_for(Hold, std::chrono::seconds(1), Ready);
        } else {
            Wake.wait(Hold, Ready);
        }
        if (Queue.empty()) {
            Hold.unlock();
            Drain(Resolver);
            if (Stopping) {
                return;
            }
            Hold.lock();
            continue;
        }
        // Everything waiting is one batch: symbols and signatures first, then the crash index and the
        // lab's record, each in one transaction, which keeps up with a thousand machines.
        std::deque<Job> Batch;
        if (Queue.size() <= MaxBatchJobs) {
            Batch.swap(Queue);
        } else {
            // A backlog goes in slices: each commits, and so becomes visible, without waiting for the rest.
            const auto SliceEnd = Queue.begin() + static_cast<std::ptrdiff_t>(MaxBatchJobs);
            Batch.assign(std::make_move_iterator(Queue.begin()), std::make_move_iterator(SliceEnd));
            Queue.erase(Queue.begin(), SliceEnd);
        }
        Hold.unlock();
        for (Job& Work : Batch) {
            if (Work.What == Job::Kind::Report) {
                Resolver.Resolve(*Work.Decoded);
                Work.Decoded->Signature = decode::ComputeSignature(*Work.Decoded, Triage);
                Work.Document = decode::ReportJson(*Work.Decoded);
                PrepareReport(Work);
            }
        }
        Drain(Resolver);
        Write(Batch);
        Hold.lock();
        for (const Job& Work : Batch) {
            if (Work.What == Job::Kind::Raw) {
                Waiting[Work.Machine] -= Work.Text.size();
            }
            Queued -= Work.Size();
        }
    }
}

void Recorder::Failed() {
    std::lock_guard<std::mutex> Counting(Lock);
    ++FailureCount;
}

void Recorder::Write(std::deque<Job>& Batch) {
    // Behind work already waiting in the spool, or with the database away: into the spool, in order.
    if (Pending != nullptr && (!Pending->Empty() || !Store.WriterReachable())) {
        SpoolBatch(Batch);
        return;
    }
    bool Linked = true;
    for (Job& Work : Batch) {
        if (Work.What == Job::Kind::Report) {
            Linked = IndexReport(Work) && Linked;
        }
    }
    // The crash index gathers the batch's reports in one transaction, which must end before the
    // lab's own connection writes the same file.
    if (Index != nullptr) {
        if (const std::string Failed = Index->Commit(); !Failed.empty()) {
            std::cerr << "hestolvane-lab: the batch's reports were not indexed: " << Failed << "\n";
            Linked = false;
        }
    }
    // The record may point at the crash index's rows only when it holds the whole batch.
    if (!Linked) {
        for (Job& Work : Batch) {
            Work.Entry.IndexRow.reset();
        }
    }
    // Raw bytes go in as one piece per machine and batch: a read of a few bytes is not worth a row.
    const bool Batched = Store.BeginBatch();
    std::map<std::string, std::string> RawOf;
    for (Job& Work : Batch) {
        if (Work.What == Job::Kind::Raw) {
            RawOf[Work.Machine] += Work.Text;
        } else {
            Do(Work);
        }
    }
    for (const auto& [Machine, Bytes] : RawOf) {
        if (!Store.AppendRaw(Machine, Bytes, RawLogLimit)) {
            std::cerr << "hestolvane-lab: " << Machine << ": raw bytes not logged: " << Store.LastError() << "\n";
            Failed();
        }
    }
    const bool Committed = Batched && Store.CommitBatch();
    if (Batched && !Committed) {
        std::cerr << "hestolvane-lab: the record was not written: " << Store.LastError() << "\n";
    }
    // The database went away during the batch (or just before it): none of it is known to be written, and
    // writing it again counts nothing twice.
    if (Pending != nullptr && !Committed && !Store.WriterReachable()) {
        SpoolBatch(Batch);
    }
}

bool Recorder::SpoolBatch(const std::deque<Job>& Batch) {
    std::vector<SpooledWork> Kept;
    for (const Job& Work : Batch) {
        SpooledWork Each;
        Each.Machine = Work.Machine;
        switch (Work.What) {
        case Job::Kind::Machine:
            Each.What = SpooledWork::Kind::Machine;
            Each.Tags = Work.Config.Tags;
            Each.Source = Work.Config.SourceUrl;
            Each.Configured = Work.Configured;
            break;
        case Job::Kind::Boot:
            Each.What = SpooledWork::Kind::Boot;
            Each.Boot = BootEntryOf(Work);
            break;
        case Job::Kind::Report:
            Each.What = SpooledWork::Kind::Report;
            Each.Report = Work.Entry;
            Each.LoadedBy = Work.LoadedBy;
            break;
        case Job::Kind::Stopped:
            Each.What = SpooledWork::Kind::Stopped;
            break;
        case Job::Kind::Resume:
        case Job::Kind::Raw:
        case Job::Kind::Touch:
            continue;
        }
        Kept.push_back(std::move(Each));
    }
    if (Pending->Add(Kept)) {
        return true;
    }
    const Spool::Counts Now = Pending->State();
    std::cerr << "hestolvane-lab: the spool is full (" << Now.Bytes << " bytes): a batch was refused; "
              << Now.RefusedReports << " reports refused so far\n";
    Failed();
    return false;
}

void Recorder::Drain(decode::SymbolResolver& Resolver) {
    if (Pending == nullptr) {
        return;
    }
    bool Drained = false;
    while (!Pending->Empty() && Store.WriterReachable()) {
        auto Oldest = Pending->Oldest();
        if (!Oldest) {
            return;
        }
        if (Index != nullptr) {
            for (const SpooledWork& Work : Oldest->second) {
                if (Work.What != SpooledWork::Kind::Report) {
                    continue;
                }
                std::optional<decode::Report> Decoded = Reread(Work.Report.Raw);
                if (!Decoded) {
                    continue;
                }
                Resolver.Resolve(*Decoded);
                Decoded->Signature = decode::ComputeSignature(*Decoded, Triage);
                const auto Indexed = Index->Record(Work.Machine, *Decoded, Work.LoadedBy, Work.Report.Document,
                                                   decode::SigningOf(Triage));
                if (!Indexed.Outcome) {
                    std::cerr << "hestolvane-lab: " << Work.Machine << ": spooled report not indexed: " << Indexed.Error << "\n";
                }
            }
            if (const std::string Failed = Index->Commit(); !Failed.empty()) {
                std::cerr << "hestolvane-lab: spooled reports were not indexed: " << Failed << "\n";
            }
        }
        const bool Batched = Store.BeginBatch();
        if (!Batched && !Store.WriterReachable()) {
            return;
        }
        for (const SpooledWork& Work : Oldest->second) {
            Apply(Work);
        }
        if (Batched && !Store.CommitBatch()) {
            if (!Store.WriterReachable()) {
                return;
            }
            std::cerr << "hestolvane-lab: a spooled batch could not be written and is dropped: " << Store.LastError() << "\n";
            Failed();
        }
        Pending->Remove(Oldest->first);
        Drained = true;
    }
    if (Drained && Pending->Empty()) {
        std::cerr << "hestolvane-lab: the spool is written to the record\n";
    }
}

void Recorder::Apply(const SpooledWork& Work) {
    bool Done = true;
    switch (Work.What) {
    case SpooledWork::Kind::Machine:
        Done = Store.UpsertMachine(Work.Machine, Work.Tags, Work.Source, Work.Configured);
        break;
    case SpooledWork::Kind::Boot:
        Done = Store.RecordBoot(Work.Machine, Work.Boot).has_value();
        break;
    case SpooledWork::Kind::Report: {
        const std::optional<ReportOutcome> Outcome = Store.RecordReport(Work.Machine, Work.Report);
        Done = Outcome.has_value();
        if (Outcome && Outcome->Added) {
            std::lock_guard<std::mutex> Counting(Lock);
            ++RecordedCount;
        }
        break;
    }
    case SpooledWork::Kind::Stopped:
        Done = Store.MarkStopped(Work.Machine);
        break;
    }
    if (!Done) {
        std::cerr << "hestolvane-lab: " << Work.Machine << ": spooled work not written: " << Store.LastError() << "\n";
        Failed();
    }
}

bool Recorder::IndexReport(Job& Work) {
    if (Index == nullptr) {
        return true;
    }
    const decode::CrashIndex::RecordResult Indexed = Index->Record(Work.Machine, *Work.Decoded, Work.LoadedBy, Work.Document,
                                                                     decode::SigningOf(Triage));
    if (!Indexed.Outcome) {
        // The failure may have rolled the batch back: none of its rows can be pointed at.
        std::cerr << "hestolvane-lab: " << Work.Machine << ": report not indexed: " << Indexed.Error << "\n";
        return false;
    }
    // A truncated reading's row is replaced when the whole report is read later; the record keeps that
    // reading's raw text and JSON object itself.
    if (!Work.Entry.Truncated) {
        Work.Entry.IndexRow = Indexed.Row;
    }
    return true;
}

void Recorder::Do(Job& Work) {
    bool Done = true;
    switch (Work.What) {
    case Job::Kind::Machine:
        Done = Store.UpsertMachine(Work.Machine, Work.Config.Tags, Work.Config.SourceUrl, Work.Configured);
        break;
    case Job::Kind::Boot:
        Done = Store.RecordBoot(Work.Machine, BootEntryOf(Work)).has_value();
        break;
    case Job::Kind::Report:
        RecordReport(Work);
        return;
    case Job::Kind::Stopped:
        Done = Store.MarkStopped(Work.Machine);
        break;
    case Job::Kind::Resume:
        Done = Store.SaveResume(Work.Machine, Work.Text, Work.Point);
        break;
    case Job::Kind::Raw:  // appended per batch by Loop
        break;
    case Job::Kind::Touch:
        Done = Store.TouchMachine(Work.Machine, Work.Text);
        break;
    }
    if (!Done) {
        std::cerr << "hestolvane-lab: " << Work.Machine << ": the record was not written: " << Store.LastError() << "\n";
        std::lock_guard<std::mutex> Hold(Lock);
        ++FailureCount;
    }
}

BootEntry Recorder::BootEntryOf(const Job& Work) {
    const decode::Boot& Decoded = *Work.LoadedBy;
    BootEntry Entry;
    Entry.LoadTime = BootKey(Decoded, Work.Text);
    Entry.DriverVersion = Decoded.DriverVersion;
    if (Decoded.State) {
        Entry.State = std::string(decode::BootStateName(*Decoded.State));
    }
    Entry.Arrived = Work.Text;
    return Entry;
}

void Recorder::PrepareReport(Job& Work) {
    const decode::Report& Decoded = *Work.Decoded;
    const decode::CrashSignature Signature = Decoded.Signature.value_or(decode::CrashSignature{});
    ReportEntry Entry;
    if (Work.LoadedBy) {
        Entry.BootLoadTime = BootKey(*Work.LoadedBy, Work.Text);
    }
    Entry.CrashTime = Decoded.CrashTime ? decode::FormatIsoTimestamp(*Decoded.CrashTime) : "";
    Entry.Code = CodeText(Decoded);
    Entry.Bucket = Signature.Bucket;
    Entry.Signature = Signature.Hash;
    if (Signature.CulpritFrame && *Signature.CulpritFrame < Decoded.Frames.size()) {
        const decode::Frame& Culprit = Decoded.Frames[*Signature.CulpritFrame];
        if (Culprit.Module) {
            Entry.CulpritModule = Culprit.Module->Name.value_or("");
        }
        Entry.CulpritFunction = Culprit.Function.value_or("");
        if (Culprit.SourceFile) {
            Entry.CulpritSource = *Culprit.SourceFile + (Culprit.SourceLine ? ":" + std::to_string(*Culprit.SourceLine) : "");
        }
    }
    Entry.Owner = Signature.Owner.value_or("");
    Entry.Truncated = Decoded.End == decode::ReportEnd::Truncated;
    Entry.Raw = Decoded.RawText;
    Entry.Document = Work.Document;
    Entry.Arrived = Work.Text;
    Work.Entry = std::move(Entry);
}

void Recorder::RecordReport(Job& Work) {
    const std::optional<ReportOutcome> Outcome = Store.RecordReport(Work.Machine, Work.Entry);
    {
        std::lock_guard<std::mutex> Hold(Lock);
        if (!Outcome) {
            std::cerr << "hestolvane-lab: " << Work.Machine << ": report not recorded: " << Store.LastError() << "\n";
            ++FailureCount;
            return;
        }
        if (Outcome->Added) {
            ++RecordedCount;
        }
    }
}

}  // namespace hestolvane::lab
