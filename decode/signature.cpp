// The culprit search and the canonical text of a crash signature. The text, and so the hash, changes
// only when the frames' names change: not with load addresses, and not with offsets inside a function.
#include "signature.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

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

bool Glob(const std::string& Pattern, const std::string& Text) {
    return fnmatch(Pattern.c_str(), Text.c_str(), 0) == 0;
}

// In "module!function" the module is compared without case, as Windows names modules.
bool MatchesAny(const std::vector<std::string>& Patterns, const std::string& Module, const std::string& Function) {
    return std::any_of(Patterns.begin(), Patterns.end(), [&](const std::string& Pattern) {
        const size_t Bang = Pattern.find('!');
        if (Bang == std::string::npos) {
            return Glob(Pattern, Function);
        }
        return fnmatch(Pattern.substr(0, Bang).c_str(), Module.c_str(), FNM_CASEFOLD) == 0 &&
               Glob(Pattern.substr(Bang + 1), Function);
    });
}

// A frame as the signature sees it. Module names are lowercased in the canonical text, as Windows
// compares them; the bucket keeps them as printed.
std::string FrameText(const Frame& Walked, bool Lowercase) {
    if (!Walked.Module) {
        return "?";
    }
    const std::string Name = Walked.Module->Name.value_or("(null)");
    const std::string Module = Lowercase ? Lower(Name) : Name;
    if (Walked.Function) {
        return Module + "!" + *Walked.Function;
    }
    return Module + "+" + HexOffset(Walked.Module->Offset);
}

}  // namespace

const std::vector<std::string>& DefaultSkipPatterns() {
    static const std::vector<std::string> Patterns = {
        "KeBugCheck*",        "KiBugCheck*",           "KiDisplayBlueScreen*", "Ki*Fault*",
        "Ki*Trap*",           "Ki*Abort*",             "KiXmmException*",      "KiRaiseSecurityCheckFailure*",
        "KiRaiseAssertion*",  "KiExceptionDispatch*",  "KiDispatchException*", "KiSystemServiceHandler*",
        "RtlDispatchException*", "RtlpExecuteHandler*", "RtlRaiseStatus*",     "ExRaiseStatus*",
        "__C_specific_handler*", "_C_specific_handler*", "MmAccessFault*",
    };
    return Patterns;
}

bool IsTrapHandler(std::string_view Function) {
    static const std::vector<std::string> Patterns = {"Ki*Fault*", "Ki*Trap*", "Ki*Abort*", "KiXmmException*",
                                                      "KiRaiseSecurityCheckFailure*", "KiRaiseAssertion*"};
    const std::string Name(Function);
    return std::any_of(Patterns.begin(), Patterns.end(), [&](const std::string& Pattern) { return Glob(Pattern, Name); });
}

bool IsKernelModule(std::string_view Module) {
    const std::string Name = Lower(Module);
    return Name == "ntoskrnl.exe" || Name == "ntkrnlmp.exe" || Name == "ntkrnlpa.exe" || Name == "ntkrpamp.exe";
}

uint64_t Fnv1a64(std::string_view Text) {
    uint64_t Hash = 0xCBF29CE484222325ULL;
    for (char Character : Text) {
        Hash ^= static_cast<unsigned char>(Character);
        Hash *= 0x100000001B3ULL;
    }
    return Hash;
}

CrashSignature ComputeSignature(const Report& Decoded, const std::vector<std::string>& SkipPatterns) {
    const std::vector<Frame>& Frames = Decoded.Frames;
    size_t Index = 0;
    while (Index < Frames.size() && !Frames[Index].Module) {
        Index++;
    }
    while (Index < Frames.size()) {
        const Frame& Walked = Frames[Index];
        const std::string Module = Walked.Module ? Walked.Module->Name.value_or("") : "";
        const bool Machinery = Walked.Function ? MatchesAny(SkipPatterns, Module, *Walked.Function)
                                               : Walked.Module && IsKernelModule(Module);
        if (!Machinery) {
            break;
        }
        Index++;
    }

    CrashSignature Signature;
    const std::string Code = Decoded.Check ? HexOffset(Decoded.Check->Code) : "?";  // a lost bug-check line
    Signature.Canonical = "hestolvane-signature 1\ncode " + Code + "\n";
    if (Index < Frames.size()) {
        Signature.CulpritFrame = Index;
        Signature.Bucket = Code + "_" + FrameText(Frames[Index], false);
        for (size_t Taken = 0; Taken < SignatureFrames && Index + Taken < Frames.size(); Taken++) {
            Signature.Canonical += "frame " + FrameText(Frames[Index + Taken], true) + "\n";
        }
    } else {
        Signature.Bucket = Code + "_unknown";
    }
    char Hash[24];
    std::snprintf(Hash, sizeof(Hash), "%016llx", static_cast<unsigned long long>(Fnv1a64(Signature.Canonical)));
    Signature.Hash = Hash;
    return Signature;
}

}  // namespace hestolvane::decode
