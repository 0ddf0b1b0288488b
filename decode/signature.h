// Crash signatures: which frame is to blame (by the owner rules), the bucket named after it and the bug
// check's qualifier, its alternative keys, and a hash that stays the same across load addresses and, where
// symbols name the functions, across rebuilds that move code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model.h"
#include "qualifiers.h"
#include "triage_rules.h"

namespace hestolvane::decode {

class SymbolResolver;

// The trap handlers: the frame after one of these holds the faulting instruction itself, not a return
// address.
bool IsTrapHandler(std::string_view Function);

// ntoskrnl.exe under any of the names the kernel's builds use.
bool IsKernelModule(std::string_view Module);

// A module as the debugger names it in a bucket: the file name without its extension, "nt" for the kernel.
std::string DebuggerModuleName(std::string_view FileName);

// FNV-1a, 64 bits.
uint64_t Fnv1a64(std::string_view Text);

// What a report is signed with: the owner rules and the qualifier table.
struct Triage {
    TriageRules Rules = TriageRules::Defaults();
    QualifierTable Qualifiers = QualifierTable::Defaults();
};

// The owner rules and qualifier table of a run: the shipped ones (the shipped rules only with DefaultRules),
// then each file in order. Empty when a file cannot be read, with Error saying which and why; lines that
// cannot be taken are Warnings, with their file and line, and the rest applies.
std::optional<Triage> LoadTriage(const std::vector<std::string>& RulesFiles, bool DefaultRules,
                                 const std::vector<std::string>& QualifierFiles, std::vector<std::string>& Warnings,
                                 std::string& Error);

// Reads the frames as symbol resolution left them (names where it found them).
CrashSignature ComputeSignature(const Report& Decoded, const Triage& With);

// Resolves each report's symbols and signs it on its way to the next sink.
class SigningSink : public CaptureSink {
public:
    SigningSink(SymbolResolver& Resolver, const Triage& With, CaptureSink& Next)
        : Resolver(Resolver), With(With), Next(Next) {}
    void OnBoot(const Boot& Decoded) override { Next.OnBoot(Decoded); }
    void OnReport(const Report& Decoded) override;
    // Passed on: the crash index commits its batch when the input goes quiet.
    void OnQuiet() override { Next.OnQuiet(); }

private:
    SymbolResolver& Resolver;
    const Triage& With;
    CaptureSink& Next;
};

}  // namespace hestolvane::decode
