// Symbol resolution: one lookup of each module's symbols per run, whatever the number of frames and
// reports that use it, then names for the frames.
#include "symbols.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "signature.h"

namespace hestolvane::decode {

namespace fs = std::filesystem;

namespace {

// Every program database begins with the signature of its container, the MSF 7.00 file; anything else
// (an HTML page a server sent with 200, a truncated download) is refused before LLVM sees it. Empty when
// the file begins as one should; else what it begins with.
std::string NotAProgramDatabase(const std::string& File) {
    static constexpr std::string_view Magic("Microsoft C/C++ MSF 7.00\r\n\x1a" "DS\0\0\0", 32);
    std::ifstream In(File, std::ios::binary);
    std::string Head(Magic.size(), '\0');
    In.read(Head.data(), static_cast<std::streamsize>(Head.size()));
    Head.resize(static_cast<size_t>(In.gcount()));
    if (!In && Head.empty()) {
        return "cannot read it";
    }
    if (Head == Magic) {
        return "";
    }
    std::string Shown;
    for (char Character : Head.substr(0, 24)) {
        Shown.push_back(Character >= ' ' && Character <= '~' ? Character : '.');
    }
    return "it begins with \"" + Shown + "\", not the MSF 7.00 signature";
}

std::string Lower(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(),
                   [](unsigned char Character) { return static_cast<char>(std::tolower(Character)); });
    return Text;
}

}  // namespace

SymbolResolver::SymbolResolver(SymbolOptions ChosenIn)
    : Chosen(std::move(ChosenIn)),
      Fetcher(Chosen.Search.Timeout, Chosen.StopDescriptor),
      Reader(Chosen.ReaderProgram, Chosen.Reader, Chosen.StopDescriptor) {}

// A file that made the reader fail is not opened again in this run, under any identity.
SymbolResolver::Module SymbolResolver::TryDatabase(const std::string& File, const std::string& Guid,
                                                   std::string Detail) {
    Module Tried;
    Tried.Origin.File = File;
    std::error_code Failed;
    const std::string Canonical = fs::weakly_canonical(File, Failed).string();
    if (auto Known = Unreadable.find(Canonical); Known != Unreadable.end()) {
        Tried.Origin = Known->second;
        return Tried;
    }
    Tried.Origin.State = SymbolState::Unreadable;
    if (const std::string NotOne = NotAProgramDatabase(File); !NotOne.empty()) {
        Tried.Origin.Detail = "not a program database: " + NotOne;
        return Tried;
    }
    SymbolReaderProcess::Opened Database = Reader.Open(SymbolReaderProcess::Kind::Database, File);
    Opened++;
    if (!Database.Handle) {
        Tried.Origin.Detail = "not a readable program database: " + Database.Error;
        if (!Reader.Stopped()) {
            Unreadable[Canonical] = Tried.Origin;
        }
    } else if (Database.Guid != Guid) {
        Reader.Close(*Database.Handle);
        Tried.Origin.State = SymbolState::Mismatch;
        Tried.Origin.Detail = "symbols do not match: its GUID is " + Database.Guid;
    } else {
        Tried.Origin.State = SymbolState::Found;
        Tried.Origin.Detail = std::move(Detail);
        Tried.Handle = Database.Handle;
    }
    return Tried;
}

// Local directories first, then the servers. A refused file is remembered and reported only when
// nothing better turns up. A download is opened in the reader before it is stored: only a program
// database with the GUID asked for enters the cache.
SymbolResolver::Module SymbolResolver::FindDatabase(const std::string& PdbName, const std::string& Guid) {
    const std::string Digits = GuidDigits(Guid);
    Module Refused;
    Refused.Origin.State = SymbolState::NotFound;
    Refused.Origin.Detail = Chosen.Search.Directories.empty() && Chosen.Search.Servers.empty()
                                ? "no symbol directory or server given"
                                : "no " + PdbName + " with GUID " + Guid + " found";
    auto Keep = [&Refused](Module Tried) {
        if (Refused.Origin.State == SymbolState::NotFound || Tried.Origin.State == SymbolState::Mismatch) {
            Refused = std::move(Tried);
        }
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
        Module Downloaded;
        auto Accept = [&](const std::string& Temporary, const std::string& Url) {
            Module Tried = TryDatabase(Temporary, Guid, "downloaded from " + Url);
            if (Tried.Origin.State == SymbolState::Found) {
                Downloaded = std::move(Tried);
                return std::string();
            }
            Tried.Origin.File = Url;
            Tried.Origin.Detail = Url + ": " + Tried.Origin.Detail + "; not stored";
            std::string Why = Tried.Origin.Detail;
            Keep(std::move(Tried));
            return Why;
        };
        SymbolFetcher::Download Got = Fetcher.Fetch(Server, PdbName, Digits, Accept);
        if (Got.Outcome == SymbolFetcher::Result::Stored) {
            Downloaded.Origin.File = Got.File;
            return Downloaded;
        }
        if (Downloaded.Handle) {
            Reader.Close(*Downloaded.Handle);  // accepted, but it could not be stored
        }
        if (Got.Outcome == SymbolFetcher::Result::Failed && Refused.Origin.State == SymbolState::NotFound) {
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
            SymbolReaderProcess::Opened Binary = Reader.Open(SymbolReaderProcess::Kind::Binary, Image->second);
            Opened++;
            Loaded.Origin.State = Binary.Handle ? SymbolState::Found : SymbolState::Unreadable;
            Loaded.Origin.Detail = Binary.Handle ? "the binary named with --image" : "not a readable binary: " + Binary.Error;
            Loaded.Handle = Binary.Handle;
            Known = Modules.emplace(Key, std::move(Loaded)).first;
        }
        return Known->second;
    }
    const std::string PdbName = PdbFileName(Row.PdbPath.value_or(""));
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

// The reader failed on a file it had opened: the module has no symbols from now on, and the file is not
// opened again in this run.
void SymbolResolver::GiveUp(Module& Failed, const std::string& Error) {
    Failed.Handle.reset();
    Failed.Origin.State = SymbolState::Unreadable;
    Failed.Origin.Detail = "cannot be read: " + Error;
    if (!Reader.Stopped()) {
        std::error_code Ignored;
        Unreadable[fs::weakly_canonical(Failed.Origin.File, Ignored).string()] = Failed.Origin;
    }
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
        if (!Walked.Module || !Walked.Module->Row || !ByRow[*Walked.Module->Row]->Handle) {
            continue;
        }
        Module& Symbols = *ByRow[*Walked.Module->Row];
        const uint64_t Offset = Walked.Module->Offset;
        const uint64_t Back = Exact || Offset == 0 ? 0 : 1;
        std::string Error;
        std::optional<SymbolLookup> Found = Reader.Lookup(*Symbols.Handle, Offset - Back, Error);
        if (!Found) {
            GiveUp(Symbols, Error);
            continue;
        }
        if (!Found->Function) {
            continue;
        }
        AfterTrap = IsTrapHandler(*Found->Function);
        Walked.Function = std::move(Found->Function);
        Walked.FunctionOffset = Found->FunctionOffset + Back;
        Walked.SourceFile = std::move(Found->SourceFile);
        Walked.SourceLine = Found->SourceLine;
        Walked.Inlined = std::move(Found->Inlined);
    }
    // A module whose file failed partway keeps no names from it in this report either.
    for (Frame& Walked : Decoded.Frames) {
        if (Walked.Module && Walked.Module->Row && ByRow[*Walked.Module->Row]->Origin.State == SymbolState::Unreadable) {
            Walked.Function.reset();
            Walked.FunctionOffset.reset();
            Walked.SourceFile.reset();
            Walked.SourceLine.reset();
            Walked.Inlined.clear();
        }
    }
}

void SymbolResolver::Resolve(Report& Decoded) {
    std::vector<Module*> ByRow;
    ByRow.reserve(Decoded.Modules.size());
    for (const ModuleRow& Row : Decoded.Modules) {
        ByRow.push_back(&ModuleFor(Row));
    }
    ResolveFrames(Decoded, ByRow);
    for (size_t Index = 0; Index < Decoded.Modules.size(); Index++) {
        Decoded.Modules[Index].Symbols = ByRow[Index]->Origin;
    }
}

void SymbolizingSink::OnReport(const Report& Decoded) {
    Report Resolved = Decoded;
    Resolver.Resolve(Resolved);
    Next.OnReport(Resolved);
}

}  // namespace hestolvane::decode
