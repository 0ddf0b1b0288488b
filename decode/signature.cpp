// The culprit search and the canonical text of a crash signature. The search walks the frames top down as
// !analyze does with a triage.ini: a definite owner ends it; otherwise the first maybe_ candidate, then the
// first last_ candidate, then the first frame no rule passed over is blamed. The text, and so the hash,
// changes only when the qualifier or the frames' names change: not with load addresses, and not with
// offsets inside a function.
#include "signature.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "symbols.h"

namespace hestolvane::decode {

namespace {

constexpr size_t SignatureFrames = 5;

std::string Lower(std::string_view Text) {
    std::string Lowered(Text);
    std::transform(Lowered.begin(), Lowered.end(), Lowered.begin(),
                   [](unsigned char Character) { return static_cast<char>(std::tolower(Character)); });
    return Lowered;
}

std::string HexOffset(uint64_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
    return Text;
}

std::string ModuleName(const Frame& Walked) {
    return Walked.Module ? Walked.Module->Name.value_or("(null)") : "";
}

// A frame as the canonical text sees it. Module names are lowercased, as Windows compares them.
std::string CanonicalFrame(const Frame& Walked) {
    if (!Walked.Module) {
        return "?";
    }
    const std::string Module = Lower(ModuleName(Walked));
    if (Walked.Function) {
        return Module + "!" + *Walked.Function;
    }
    return Module + "+" + HexOffset(Walked.Module->Offset);
}

// The frame's part of a bucket: "mydriver!Function" with symbols, "IMAGE_mydriver.sys" without. An offset
// is no part of a bucket: it moves with every build.
std::string BucketFrame(const Frame& Walked) {
    if (Walked.Function) {
        return DebuggerModuleName(ModuleName(Walked)) + "!" + *Walked.Function;
    }
    return "IMAGE_" + ModuleName(Walked);
}

struct Search {
    std::optional<size_t> Definite;
    std::optional<size_t> Maybe;
    std::optional<size_t> Last;
    std::optional<size_t> Unmatched;
    const TriageRule* DefiniteRule = nullptr;
    const TriageRule* MaybeRule = nullptr;
    const TriageRule* LastRule = nullptr;
};

void Walk(const Report& Decoded, const TriageRules& Rules, Search& Found, std::vector<ExplainedFrame>& Steps) {
    for (size_t Index = 0; Index < Decoded.Frames.size() && !Found.Definite; Index++) {
        const Frame& Walked = Decoded.Frames[Index];
        ExplainedFrame Step;
        Step.Frame = Index;
        const std::string Module = ModuleName(Walked);
        if (!Walked.Module) {
            Step.Verdict = FrameVerdict::OutsideModules;
        } else if (!Walked.Function && IsKernelModule(Module)) {
            Step.Verdict = FrameVerdict::KernelWithoutSymbols;
        } else if (const TriageRule* Rule = Rules.Match(RuleTarget{Module, Walked.Function}); Rule == nullptr) {
            Step.Verdict = FrameVerdict::NoRule;
            Found.Unmatched = Found.Unmatched.value_or(Index);
        } else {
            Step.Rule = Rule->Text;
            Step.Origin = Rule->Origin;
            switch (Rule->Strength) {
            case RuleStrength::Ignore:
                Step.Verdict = FrameVerdict::Ignored;
                break;
            case RuleStrength::Definite:
                Step.Verdict = FrameVerdict::Owner;
                Found.Definite = Index;
                Found.DefiniteRule = Rule;
                break;
            case RuleStrength::Maybe:
                Step.Verdict = FrameVerdict::Maybe;
                if (!Found.Maybe) {
                    Found.Maybe = Index;
                    Found.MaybeRule = Rule;
                }
                break;
            case RuleStrength::Last:
                Step.Verdict = FrameVerdict::Last;
                if (!Found.Last) {
                    Found.Last = Index;
                    Found.LastRule = Rule;
                }
                break;
            }
        }
        Steps.push_back(std::move(Step));
    }
}

std::optional<std::string> ReadWhole(const std::string& Path) {
    std::ifstream File(Path, std::ios::binary);
    if (!File) {
        return std::nullopt;
    }
    std::ostringstream Text;
    Text << File.rdbuf();
    return Text.str();
}

}  // namespace

std::optional<Triage> LoadTriage(const std::vector<std::string>& RulesFiles, bool DefaultRules,
                                 const std::vector<std::string>& QualifierFiles, std::vector<std::string>& Warnings,
                                 std::string& Error) {
    Triage With;
    if (!DefaultRules) {
        With.Rules = TriageRules();
    }
    for (const std::string& Path : RulesFiles) {
        const auto Text = ReadWhole(Path);
        if (!Text) {
            Error = "cannot read the rules file " + Path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        With.Rules.Add(*Text, Path, Warnings);
    }
    for (const std::string& Path : QualifierFiles) {
        const auto Text = ReadWhole(Path);
        if (!Text) {
            Error = "cannot read the qualifier table " + Path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        With.Qualifiers.Add(*Text, Path, Warnings);
    }
    return With;
}

bool IsTrapHandler(std::string_view Function) {
    static const std::vector<std::string> Patterns = {"Ki*Fault*", "Ki*Trap*", "Ki*Abort*", "KiXmmException*",
                                                      "KiRaiseSecurityCheckFailure*", "KiRaiseAssertion*"};
    const std::string Name(Function);
    return std::any_of(Patterns.begin(), Patterns.end(), [&](const std::string& Pattern) {
        return fnmatch(Pattern.c_str(), Name.c_str(), 0) == 0;
    });
}

bool IsKernelModule(std::string_view Module) {
    const std::string Name = Lower(Module);
    return Name == "ntoskrnl.exe" || Name == "ntkrnlmp.exe" || Name == "ntkrnlpa.exe" || Name == "ntkrpamp.exe";
}

std::string DebuggerModuleName(std::string_view FileName) {
    if (IsKernelModule(FileName)) {
        return "nt";
    }
    const size_t Dot = FileName.rfind('.');
    return std::string(Dot == std::string_view::npos || Dot == 0 ? FileName : FileName.substr(0, Dot));
}

uint64_t Fnv1a64(std::string_view Text) {
    uint64_t Hash = 0xCBF29CE484222325ULL;
    for (char Character : Text) {
        Hash ^= static_cast<unsigned char>(Character);
        Hash *= 0x100000001B3ULL;
    }
    return Hash;
}

CrashSignature ComputeSignature(const Report& Decoded, const Triage& With) {
    CrashSignature Signature;
    Search Found;
    Walk(Decoded, With.Rules, Found, Signature.Explanation);
    const TriageRule* Chosen = nullptr;
    if (Found.Definite) {
        Signature.CulpritFrame = Found.Definite;
        Chosen = Found.DefiniteRule;
        Signature.Decision = "its owner, by " + Chosen->Text + " (" + Chosen->Origin + ")";
    } else if (Found.Maybe) {
        Signature.CulpritFrame = Found.Maybe;
        Chosen = Found.MaybeRule;
        Signature.Decision = "no definite owner on the stack: the first maybe_ owner, by " + Chosen->Text + " (" +
                             Chosen->Origin + ")";
    } else if (Found.Last) {
        Signature.CulpritFrame = Found.Last;
        Chosen = Found.LastRule;
        Signature.Decision = "no definite or maybe_ owner on the stack: the first last_ owner, by " + Chosen->Text +
                             " (" + Chosen->Origin + ")";
    } else if (Found.Unmatched) {
        Signature.CulpritFrame = Found.Unmatched;
        Signature.Decision = "no rule names an owner on the stack: the first frame no rule passed over";
    } else {
        Signature.Decision = "every frame was passed over";
    }
    if (Chosen != nullptr) {
        Signature.Owner = Chosen->Owner;
    }
    for (ExplainedFrame& Step : Signature.Explanation) {
        Step.Chosen = Signature.CulpritFrame == Step.Frame;
    }

    const std::string Code = Decoded.Check ? HexOffset(Decoded.Check->Code) : "?";  // a lost bug-check line
    if (Decoded.Check) {
        const Qualification Qualified = With.Qualifiers.Qualify(*Decoded.Check);
        Signature.Qualifier = Qualified.Qualifier;
        Signature.QualifierReason = Qualified.Reason;
    } else {
        Signature.QualifierReason = "the report has no bug-check line";
    }
    const std::string Qualified = Signature.Qualifier.empty() ? Code : Code + "_" + Signature.Qualifier;
    Signature.Canonical = "hestolvane-signature 2\ncode " + Code + "\n";
    if (!Signature.Qualifier.empty()) {
        Signature.Canonical += "qualifier " + Signature.Qualifier + "\n";
    }
    if (Signature.CulpritFrame) {
        const size_t Index = *Signature.CulpritFrame;
        const Frame& Culprit = Decoded.Frames[Index];
        Signature.Bucket = Qualified + "_" + BucketFrame(Culprit);
        Signature.FunctionBucket = Code + "_" + BucketFrame(Culprit);
        Signature.ModuleBucket = Code + "_IMAGE_" + ModuleName(Culprit);
        for (size_t Taken = 0; Taken < SignatureFrames && Index + Taken < Decoded.Frames.size(); Taken++) {
            Signature.Canonical += "frame " + CanonicalFrame(Decoded.Frames[Index + Taken]) + "\n";
        }
    } else {
        Signature.Bucket = Qualified;
        Signature.FunctionBucket = Code;
        Signature.ModuleBucket = Code;
    }
    char Hash[24];
    std::snprintf(Hash, sizeof(Hash), "%016llx", static_cast<unsigned long long>(Fnv1a64(Signature.Canonical)));
    Signature.Hash = Hash;
    return Signature;
}

void SigningSink::OnReport(const Report& Decoded) {
    Report Signed = Decoded;
    Resolver.Resolve(Signed);
    Signed.Signature = ComputeSignature(Signed, With);
    Next.OnReport(Signed);
}

}  // namespace hestolvane::decode
