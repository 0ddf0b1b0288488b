// The recorder's thread: symbols, signatures, the crash index and the lab's record, off the event loop.
#include "recorder.h"

#include <cstdio>
#include <iostream>
#include <iterator>

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

}  // namespace

std::string BootKey(const decode::Boot& Decoded, const std::string& Arrived) {
    return Decoded.LoadTime ? decode::FormatIsoTimestamp(*Decoded.LoadTime) : "unknown, arrived " + Arrived;
}

Recorder::Recorder(LabStore& Store, decode::CrashIndex* Index, decode::SymbolOptions Symbols, decode::Triage Triage,
                   size_t RawLogLimit)
    : Store(Store), Index(Index), Symbols(std::move(Symbols)), Triage(std::move(Triage)), RawLogLimit(RawLogLimit),
      Worker([this] { Loop(); }) {}

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
    for (;;) {
        Wake.wait(Hold, [this] { return Stopping || !Queue.empty(); });
        if (Queue.empty()) {
            return;
        }
        // Everything waiting is one batch: symbols and the crash index first (the index is another
        // connection to the same file, so it must not wait for a transaction of ours), then the lab's
        // record in one transaction, which keeps up with a thousand machines.
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
                IndexReport(Work);
            }
        }
        // The crash index gathers the batch's reports in one transaction, which must end before the
        // lab's own connection writes the same file.
        if (Index != nullptr) {
            if (const std::string Failed = Index->Commit(); !Failed.empty()) {
                std::cerr << "hestolvane-lab: the batch's reports were not indexed: " << Failed << "\n";
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
                std::lock_guard<std::mutex> Counting(Lock);
                ++FailureCount;
            }
        }
        if (Batched && !Store.CommitBatch()) {
            std::cerr << "hestolvane-lab: the record was not written: " << Store.LastError() << "\n";
        }
        Hold.lock();
        for (const Job& Work : Batch) {
            if (Work.What == Job::Kind::Raw) {
                Waiting[Work.Machine] -= Work.Text.size();
            }
            Queued -= Work.Size();
        }
    }
}

void Recorder::IndexReport(Job& Work) {
    Work.Document = decode::ReportJson(*Work.Decoded);
    if (Index == nullptr) {
        return;
    }
    const decode::CrashIndex::RecordResult Indexed = Index->Record(Work.Machine, *Work.Decoded, Work.LoadedBy, Work.Document,
                                                                     decode::SigningOf(Triage));
    if (!Indexed.Outcome) {
        std::cerr << "hestolvane-lab: " << Work.Machine << ": report not indexed: " << Indexed.Error << "\n";
    }
}

void Recorder::Do(Job& Work) {
    bool Done = true;
    switch (Work.What) {
    case Job::Kind::Machine:
        Done = Store.UpsertMachine(Work.Machine, Work.Config.Tags, Work.Config.SourceUrl, Work.Configured);
        break;
    case Job::Kind::Boot: {
        const decode::Boot& Decoded = *Work.LoadedBy;
        BootEntry Entry;
        Entry.LoadTime = BootKey(Decoded, Work.Text);
        Entry.DriverVersion = Decoded.DriverVersion;
        if (Decoded.State) {
            Entry.State = std::string(decode::BootStateName(*Decoded.State));
        }
        Entry.Arrived = Work.Text;
        Done = Store.RecordBoot(Work.Machine, Entry).has_value();
        break;
    }
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

void Recorder::RecordReport(Job& Work) {
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
    const std::optional<ReportOutcome> Outcome = Store.RecordReport(Work.Machine, Entry);
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
