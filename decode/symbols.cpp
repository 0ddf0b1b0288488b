// Symbol resolution: one lookup of each module's symbols per run, whatever the number of frames and
// reports that use it, then names for the frames.
#include "symbols.h"

#include <algorithm>
#include <cctype>

#include "signature.h"

namespace hestolvane::decode {

namespace {

std::string Lower(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char Character) { return static_cast<char>(std::tolower(Character)); });
    return Text;
}

}  // namespace

SymbolResolver::SymbolResolver(SymbolOptions ChosenIn) : Chosen(std::move(ChosenIn)), Fetcher(Chosen.Search.Timeout) {}

SymbolResolver::Module SymbolResolver::TryDatabase(const std::string& File, const std::string& Guid,
                                                   std::string Detail) {
    Module Tried;
    Tried.Origin.File = File;
    OpenedDatabase Database = OpenProgramDatabase(File);
    Opened++;
    if (!Database.Reader) {
        Tried.Origin.State = SymbolState::Unreadable;
        Tried.Origin.Detail = "not a readable program database: " + Database.Error;
    } else if (Database.Guid != Guid) {
        Tried.Origin.State = SymbolState::Mismatch;
        Tried.Origin.Detail = "symbols do not match: its GUID is " + Database.Guid;
    } else {
        Tried.Origin.State = SymbolState::Found;
        Tried.Origin.Detail = std::move(Detail);
        Tried.Reader = std::move(Database.Reader);
    }
    return Tried;
}

// Local directories first, then the servers. A refused file is remembered and reported only when
// nothing better turns up.
SymbolResolver::Module SymbolResolver::FindDatabase(const std::string& PdbName, const std::string& Guid) {
    const std::string Digits = GuidDigits(Guid);
    Module Refused;
    Refused.Origin.State = SymbolState::NotFound;
    Refused.Origin.Detail = Chosen.Search.Directories.empty() && Chosen.Search.Servers.empty()
                                ? "no symbol directory or server given"
                                : "no " + PdbName + " with GUID " + Guid + " found";
    auto Keep = [&Refused](Module Tried) {
        if (Tried.Origin.State == SymbolState::Found) {
            return true;
        }
        if (Refused.Origin.State == SymbolState::NotFound || Tried.Origin.State == SymbolState::Mismatch) {
            Refused = std::move(Tried);
        }
        return false;
    };
    for (const std::string& Directory : Chosen.Search.Directories) {
        for (const std::string& File : LocalCandidates(Directory, PdbName, Digits)) {
            Module Tried = TryDatabase(File, Guid, "read from " + File);
            if (Tried.Origin.State == SymbolState::Found) {
                return Tried;
            }
            Keep(std::move(Tried));
        }
    }
    for (const SymbolServer& Server : Chosen.Search.Servers) {
        SymbolFetcher::Download Got = Fetcher.Fetch(Server, PdbName, Digits);
        if (Got.Outcome == SymbolFetcher::Result::Stored) {
            Module Tried = TryDatabase(Got.File, Guid, "downloaded from " + Got.Url);
            if (Tried.Origin.State == SymbolState::Found) {
                return Tried;
            }
            Keep(std::move(Tried));
        } else if (Got.Outcome == SymbolFetcher::Result::Failed && Refused.Origin.State == SymbolState::NotFound) {
            Refused.Origin.Detail += "; " + Got.Error;
        }
    }
    return Refused;
}

SymbolResolver::Module& SymbolResolver::ModuleFor(const ModuleRow& Row) {
    const std::string Name = Lower(Row.Name.value_or(""));
    if (auto Image = Chosen.Images.find(Name); Image != Chosen.Images.end()) {
        const std::string Key = "image|" + Name;
        auto Known = Modules.find(Key);
        if (Known == Modules.end()) {
            Module Loaded;
            Loaded.Origin.File = Image->second;
            OpenedBinary Binary = OpenBinary(Image->second);
            Opened++;
            Loaded.Origin.State = Binary.Reader ? SymbolState::Found : SymbolState::Unreadable;
            Loaded.Origin.Detail = Binary.Reader ? "the binary named with --image" : "not a readable binary: " + Binary.Error;
            Loaded.Reader = std::move(Binary.Reader);
            Known = Modules.emplace(Key, std::move(Loaded)).first;
        }
        return Known->second;
    }
    const std::string PdbName = PdbFileName(Row.PdbPath);
    if (!Row.HasIdentity() || PdbName.empty()) {
        const std::string Key = "none|";
        auto Known = Modules.find(Key);
        if (Known == Modules.end()) {
            Module Without;
            Without.Origin.State = SymbolState::NoIdentity;
            Without.Origin.Detail = "the report gives no PDB identity for this module";
            Known = Modules.emplace(Key, std::move(Without)).first;
        }
        return Known->second;
    }
    const std::string Key = "pdb|" + Lower(PdbName) + "|" + GuidDigits(Row.Guid);
    auto Known = Modules.find(Key);
    if (Known == Modules.end()) {
        Known = Modules.emplace(Key, FindDatabase(PdbName, Row.Guid)).first;
    }
    return Known->second;
}

// Frames hold return addresses: the call that made each frame ends just before it, and a call to a
// routine that never returns may be the last instruction of its function, so each is looked up one byte
// back. The frame after a trap handler's is the faulting instruction itself and is looked up as it is.
// The function offset shown is still that of the address as reported.
void SymbolResolver::ResolveFrames(Report& Decoded, const std::vector<Module*>& ByRow) {
    bool AfterTrap = false;
    for (Frame& Walked : Decoded.Frames) {
        const bool Exact = AfterTrap;
        AfterTrap = false;
        if (!Walked.Module || !Walked.Module->Row || ByRow[*Walked.Module->Row]->Reader == nullptr) {
            continue;
        }
        const uint64_t Offset = Walked.Module->Offset;
        const uint64_t Back = Exact || Offset == 0 ? 0 : 1;
        SymbolLookup Found = ByRow[*Walked.Module->Row]->Reader->Lookup(Offset - Back);
        if (!Found.Function) {
            continue;
        }
        AfterTrap = IsTrapHandler(*Found.Function);
        Walked.Function = std::move(Found.Function);
        Walked.FunctionOffset = Found.FunctionOffset + Back;
        Walked.SourceFile = std::move(Found.SourceFile);
        Walked.SourceLine = Found.SourceLine;
        Walked.Inlined = std::move(Found.Inlined);
    }
}

void SymbolResolver::Resolve(Report& Decoded) {
    std::vector<Module*> ByRow;
    ByRow.reserve(Decoded.Modules.size());
    for (ModuleRow& Row : Decoded.Modules) {
        Module& Symbols = ModuleFor(Row);
        Row.Symbols = Symbols.Origin;
        ByRow.push_back(&Symbols);
    }
    ResolveFrames(Decoded, ByRow);
}

void SymbolizingSink::OnReport(const Report& Decoded) {
    Report Resolved = Decoded;
    Resolver.Resolve(Resolved);
    Next.OnReport(Resolved);
}

}  // namespace hestolvane::decode
