// Symbols through LLVM: program databases with its native PDB reader (no image needed, so a report's
// module + offset resolves from the PDB alone), and binaries through its symbolizer.
#include "debug_info.h"

#include <llvm/DebugInfo/CodeView/GUID.h>
#include <llvm/DebugInfo/DIContext.h>
#include <llvm/DebugInfo/PDB/IPDBEnumChildren.h>
#include <llvm/DebugInfo/PDB/IPDBLineNumber.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/IPDBSourceFile.h>
#include <llvm/DebugInfo/PDB/Native/InfoStream.h>
#include <llvm/DebugInfo/PDB/Native/NativeSession.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/PDBSymbolFunc.h>
#include <llvm/DebugInfo/PDB/PDBSymbolPublicSymbol.h>
#include <llvm/DebugInfo/Symbolize/Symbolize.h>
#include <llvm/Demangle/Demangle.h>
#include <llvm/Object/COFF.h>
#include <llvm/Object/ObjectFile.h>
#include <llvm/Support/Error.h>

#include <cstdio>

namespace hestolvane::decode {

namespace {

using namespace llvm;
using namespace llvm::pdb;

std::string FormatGuid(const codeview::GUID& Identity) {
    const uint8_t* Bytes = Identity.Guid;
    char Text[40];
    std::snprintf(Text, sizeof(Text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", Bytes[3],
                  Bytes[2], Bytes[1], Bytes[0], Bytes[5], Bytes[4], Bytes[7], Bytes[6], Bytes[8], Bytes[9], Bytes[10],
                  Bytes[11], Bytes[12], Bytes[13], Bytes[14], Bytes[15]);
    return Text;
}

std::string SourceFileName(const IPDBSession& Session, const IPDBLineNumber& Line) {
    std::unique_ptr<IPDBSourceFile> File = Session.getSourceFileById(Line.getSourceFileId());
    return File ? File->getFileName() : std::string();
}

class ProgramDatabase : public DebugInfo {
public:
    explicit ProgramDatabase(std::unique_ptr<IPDBSession> Opened) : Session(std::move(Opened)) {}

    SymbolLookup Lookup(uint64_t Rva) override {
        SymbolLookup Found;
        if (Rva > UINT32_MAX) {
            return Found;
        }
        const auto Address = static_cast<uint32_t>(Rva);
        std::unique_ptr<PDBSymbol> Symbol = Session->findSymbolByRVA(Address, PDB_SymType::Function);
        if (const auto* Function = dyn_cast_or_null<PDBSymbolFunc>(Symbol.get())) {
            Found.Function = Function->getName();
            Found.FunctionOffset = Address - Function->getRelativeVirtualAddress();
            AddInlinedCalls(*Function, Address, Found);
        } else if (auto Public = Session->findSymbolByRVA(Address, PDB_SymType::PublicSymbol)) {
            // A routine without debug records still has its public name, mangled as the linker saw it.
            const auto& Named = cast<PDBSymbolPublicSymbol>(*Public);
            Found.Function = demangle(Named.getName());
            Found.FunctionOffset = Address - Named.getRelativeVirtualAddress();
        } else {
            return Found;
        }
        if (auto Lines = Session->findLineNumbersByRVA(Address, 1)) {
            if (std::unique_ptr<IPDBLineNumber> Line = Lines->getNext()) {
                Found.SourceFile = SourceFileName(*Session, *Line);
                Found.SourceLine = Line->getLineNumber();
            }
        }
        return Found;
    }

private:
    // The inline sites covering the address come innermost first, each with the line it is at there.
    void AddInlinedCalls(const PDBSymbolFunc& Function, uint32_t Address, SymbolLookup& Found) const {
        auto Sites = Function.findInlineFramesByVA(Session->getLoadAddress() + Address);
        if (!Sites) {
            return;
        }
        while (std::unique_ptr<PDBSymbol> Site = Sites->getNext()) {
            InlinedCall Call{Site->getName(), std::nullopt, std::nullopt};
            if (auto Lines = Site->findInlineeLinesByVA(Session->getLoadAddress() + Address, 1)) {
                if (std::unique_ptr<IPDBLineNumber> Line = Lines->getNext()) {
                    Call.SourceFile = SourceFileName(*Session, *Line);
                    Call.SourceLine = Line->getLineNumber();
                }
            }
            Found.Inlined.push_back(std::move(Call));
        }
    }

    std::unique_ptr<IPDBSession> Session;
};

// The symbolizer takes addresses as the binary's own: image base plus RVA for a PE file, the RVA itself
// for an ELF file, whose preferred base is zero once relocated.
class Binary : public DebugInfo {
public:
    Binary(std::string PathIn, uint64_t BaseIn) : Path(std::move(PathIn)), Base(BaseIn), Symbolizer(Settings()) {}

    SymbolLookup Lookup(uint64_t Rva) override {
        SymbolLookup Found;
        Expected<DIInliningInfo> Frames =
            Symbolizer.symbolizeInlinedCode(Path, {Base + Rva, object::SectionedAddress::UndefSection});
        if (!Frames) {
            consumeError(Frames.takeError());
            return Found;
        }
        const uint32_t Count = Frames->getNumberOfFrames();
        if (Count == 0 || Frames->getFrame(Count - 1).FunctionName == DILineInfo::BadString) {
            return Found;
        }
        const DILineInfo& Outer = Frames->getFrame(Count - 1);
        Found.Function = Outer.FunctionName;
        Found.FunctionOffset = Outer.StartAddress ? Base + Rva - *Outer.StartAddress : 0;
        if (Outer.FileName != DILineInfo::BadString) {
            Found.SourceFile = Outer.FileName;
            Found.SourceLine = Outer.Line;
        }
        for (uint32_t Index = 0; Index + 1 < Count; Index++) {
            const DILineInfo& Inner = Frames->getFrame(Index);
            InlinedCall Call{Inner.FunctionName, std::nullopt, std::nullopt};
            if (Inner.FileName != DILineInfo::BadString) {
                Call.SourceFile = Inner.FileName;
                Call.SourceLine = Inner.Line;
            }
            Found.Inlined.push_back(std::move(Call));
        }
        return Found;
    }

private:
    static symbolize::LLVMSymbolizer::Options Settings() {
        symbolize::LLVMSymbolizer::Options Chosen;
        Chosen.Demangle = true;
        return Chosen;
    }

    std::string Path;
    uint64_t Base;
    symbolize::LLVMSymbolizer Symbolizer;
};

}  // namespace

OpenedDatabase OpenProgramDatabase(const std::string& Path) {
    OpenedDatabase Opened;
    std::unique_ptr<IPDBSession> Session;
    if (Error Failed = NativeSession::createFromPdbPath(Path, Session)) {
        Opened.Error = toString(std::move(Failed));
        return Opened;
    }
    auto& Native = static_cast<NativeSession&>(*Session);
    Expected<InfoStream&> Info = Native.getPDBFile().getPDBInfoStream();
    if (!Info) {
        Opened.Error = toString(Info.takeError());
        return Opened;
    }
    Opened.Guid = FormatGuid(Info->getGuid());
    Opened.Age = Info->getAge();
    Opened.Reader = std::make_unique<ProgramDatabase>(std::move(Session));
    return Opened;
}

OpenedBinary OpenBinary(const std::string& Path) {
    OpenedBinary Opened;
    Expected<object::OwningBinary<object::ObjectFile>> File = object::ObjectFile::createObjectFile(Path);
    if (!File) {
        Opened.Error = toString(File.takeError());
        return Opened;
    }
    uint64_t Base = 0;
    if (const auto* Image = dyn_cast<object::COFFObjectFile>(File->getBinary())) {
        Base = Image->getImageBase();
    }
    Opened.Reader = std::make_unique<Binary>(Path, Base);
    return Opened;
}

}  // namespace hestolvane::decode
