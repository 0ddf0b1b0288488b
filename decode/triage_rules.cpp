// Reading and matching triage.ini rules as Microsoft documents them for !analyze and !owner: a '*' only at
// the end of a name (elsewhere it is a character like any other), "default" as a wildcard, spaces in an
// owner ignored, and module names as the debugger writes them ("nt", "mydriver") or as the report prints
// them ("mydriver.sys"), compared without regard to case.
#include "triage_rules.h"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "signature.h"

namespace hestolvane::decode {

namespace {

bool SameText(std::string_view Left, std::string_view Right) {
    return Left.size() == Right.size() &&
           std::equal(Left.begin(), Left.end(), Right.begin(), [](unsigned char A, unsigned char B) {
               return std::tolower(A) == std::tolower(B);
           });
}

bool StartsWithText(std::string_view Text, std::string_view Prefix) {
    return Text.size() >= Prefix.size() && SameText(Text.substr(0, Prefix.size()), Prefix);
}

std::string_view Trim(std::string_view Text) {
    while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.front()))) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.back()))) {
        Text.remove_suffix(1);
    }
    return Text;
}

// A name pattern: "default" and a lone '*' match anything, a trailing '*' makes a prefix.
struct NamePattern {
    std::string Name;
    bool Prefix = false;
    bool Any = false;
};

NamePattern ReadPattern(std::string_view Text) {
    NamePattern Pattern;
    if (SameText(Text, "default") || Text == "*") {
        Pattern.Any = true;
        Pattern.Prefix = true;
        return Pattern;
    }
    if (!Text.empty() && Text.back() == '*') {
        Pattern.Prefix = true;
        Text.remove_suffix(1);
    }
    Pattern.Name = std::string(Text);
    return Pattern;
}

// How closely a pattern fits a name: 2 and the length for the name itself, 1 and the prefix's length for a
// prefix, 0 for a wildcard; empty when it does not fit.
std::optional<std::pair<int, size_t>> Fit(const std::string& Name, bool Prefix, std::string_view Candidate) {
    if (!Prefix) {
        return SameText(Name, Candidate) ? std::optional(std::make_pair(2, Name.size())) : std::nullopt;
    }
    if (!StartsWithText(Candidate, Name)) {
        return std::nullopt;
    }
    return std::make_pair(Name.empty() ? 0 : 1, Name.size());
}

// The names a module goes by: as printed, without its extension, and "nt" for the kernel.
std::vector<std::string_view> ModuleNames(std::string_view FileName) {
    std::vector<std::string_view> Names = {FileName};
    if (const size_t Dot = FileName.rfind('.'); Dot != std::string_view::npos && Dot > 0) {
        Names.push_back(FileName.substr(0, Dot));
    }
    if (IsKernelModule(FileName)) {
        Names.emplace_back("nt");
    }
    return Names;
}

}  // namespace

void TriageRules::Add(std::string_view Text, const std::string& Origin, std::vector<std::string>& Warnings) {
    Sources.Add(Text, Origin);
    size_t LineNumber = 0;
    while (!Text.empty()) {
        const size_t End = Text.find('\n');
        const std::string_view Raw = Text.substr(0, End);
        Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
        LineNumber++;
        const std::string_view Line = Trim(Raw);
        if (Line.empty() || Line.front() == ';' || Line.front() == '#' ||
            (Line.front() == '[' && Line.back() == ']')) {
            continue;
        }
        const std::string Where = Origin + ":" + std::to_string(LineNumber);
        auto Refuse = [&](const std::string& Why) {
            std::string Warning = Where;
            Warning.append(": ").append(Why).append(", line left out: \"").append(Line).append("\"");
            Warnings.push_back(std::move(Warning));
        };
        const size_t Equals = Line.find('=');
        if (Equals == std::string_view::npos) {
            Refuse("no '=' between the name and its owner");
            continue;
        }
        const std::string_view Name = Trim(Line.substr(0, Equals));
        std::string Owner;
        for (const char Character : Line.substr(Equals + 1)) {
            if (!std::isspace(static_cast<unsigned char>(Character))) {
                Owner.push_back(Character);
            }
        }
        const size_t Bang = Name.find('!');
        const std::string_view ModuleText = Name.substr(0, Bang);
        const std::string_view FunctionText = Bang == std::string_view::npos ? "*" : Name.substr(Bang + 1);
        if (ModuleText.empty()) {
            Refuse("no module name");
            continue;
        }
        if (FunctionText.empty() || FunctionText.find('!') != std::string_view::npos) {
            Refuse("a function name must follow one '!'");
            continue;
        }
        TriageRule Rule;
        const NamePattern Module = ReadPattern(ModuleText);
        const NamePattern Function = ReadPattern(FunctionText);
        Rule.Module = Module.Name;
        Rule.ModulePrefix = Module.Prefix;
        Rule.Function = Function.Name;
        Rule.FunctionPrefix = Function.Prefix;
        Rule.FunctionAny = Function.Any;
        if (SameText(Owner, "ignore")) {
            Rule.Strength = RuleStrength::Ignore;
        } else if (StartsWithText(Owner, "maybe_")) {
            Rule.Strength = RuleStrength::Maybe;
            Rule.Owner = Owner.substr(6);
        } else if (StartsWithText(Owner, "last_")) {
            Rule.Strength = RuleStrength::Last;
            Rule.Owner = Owner.substr(5);
        } else {
            Rule.Owner = Owner;
        }
        if (Rule.Strength != RuleStrength::Ignore && Rule.Owner.empty()) {
            Refuse("no owner after '='");
            continue;
        }
        Rule.Text = std::string(Line);
        Rule.Origin = Where;
        All.push_back(std::move(Rule));
    }
}

const TriageRule* TriageRules::Match(const RuleTarget& Target) const {
    const std::vector<std::string_view> Names = ModuleNames(Target.Module);
    const TriageRule* Best = nullptr;
    std::tuple<int, size_t, int, size_t> BestRank{};
    for (const TriageRule& Rule : All) {
        std::optional<std::pair<int, size_t>> ModuleFit;
        for (std::string_view Name : Names) {
            const auto Each = Fit(Rule.Module, Rule.ModulePrefix, Name);
            if (Each && (!ModuleFit || *Each > *ModuleFit)) {
                ModuleFit = Each;
            }
        }
        if (!ModuleFit) {
            continue;
        }
        std::pair<int, size_t> FunctionFit{0, 0};
        if (!Rule.FunctionAny) {
            if (!Target.Function) {
                continue;
            }
            const auto Each = Fit(Rule.Function, Rule.FunctionPrefix, *Target.Function);
            if (!Each) {
                continue;
            }
            FunctionFit = *Each;
        }
        const std::tuple<int, size_t, int, size_t> Rank{ModuleFit->first, ModuleFit->second, FunctionFit.first,
                                                        FunctionFit.second};
        if (Best == nullptr || Rank >= BestRank) {
            Best = &Rule;
            BestRank = Rank;
        }
    }
    return Best;
}

std::string TriageRules::Identity() const {
    return Sources.Identity();
}

TriageRules TriageRules::Defaults() {
    TriageRules Rules;
    std::vector<std::string> Warnings;
    Rules.Add(DefaultTriageIni(), "(default triage.ini)", Warnings);
    return Rules;
}

}  // namespace hestolvane::decode
