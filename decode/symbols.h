// Symbol resolution for decoded reports: finds each module's symbols once per run, by its PDB identity
// or by a binary named for it, and names the frames.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "debug_info.h"
#include "model.h"
#include "symbol_reader.h"
#include "symbol_store.h"

namespace hestolvane::decode {

struct SymbolOptions {
    SymbolSearch Search;
    std::map<std::string, std::string> Images;  // lowercased module name -> binary (--image NAME=PATH)
    std::string ReaderProgram = DefaultSymbolReaderProgram();
    ReaderLimits Reader;
    int StopDescriptor = -1;  // once readable (Ctrl-C), downloads and reads end at once
};

class SymbolResolver {
public:
    explicit SymbolResolver(SymbolOptions Chosen);

    // Fills each row's Symbols and each frame's names.
    void Resolve(Report& Decoded);

    unsigned DatabasesOpened() const { return Opened; }
    unsigned ServerRequests() const { return Fetcher.RequestsMade(); }
    unsigned ReadersStarted() const { return Reader.WorkersStarted(); }

private:
    struct Module {
        SymbolOrigin Origin;
        std::optional<unsigned> Handle;  // in the symbol reader, when the symbols were found
    };

    Module& ModuleFor(const ModuleRow& Row);
    Module FindDatabase(const std::string& PdbName, const std::string& Guid);
    Module TryDatabase(const std::string& File, const std::string& Guid, std::string Detail);
    void ResolveFrames(Report& Decoded, const std::vector<Module*>& ByRow);
    void GiveUp(Module& Failed, const std::string& Error);

    SymbolOptions Chosen;
    SymbolFetcher Fetcher;
    SymbolReaderProcess Reader;
    std::map<std::string, Module> Modules;  // by identity: PDB name and GUID, or the module named by --image
    std::map<std::string, SymbolOrigin> Unreadable;  // files that failed the reader, by canonical path
    unsigned Opened = 0;
};

// Resolves each report on its way to the next sink.
class SymbolizingSink : public CaptureSink {
public:
    SymbolizingSink(SymbolResolver& Resolver, CaptureSink& Next) : Resolver(Resolver), Next(Next) {}
    void OnBoot(const Boot& Decoded) override { Next.OnBoot(Decoded); }
    void OnReport(const Report& Decoded) override;
    void OnQuiet() override { Next.OnQuiet(); }

private:
    SymbolResolver& Resolver;
    CaptureSink& Next;
};

}  // namespace hestolvane::decode
