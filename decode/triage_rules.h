// Owner rules in the triage.ini format of Microsoft's debuggers: `module[!function]=owner` lines that say
// who owns a frame, which frames to pass over (`ignore`) and which to blame only when nothing better turns
// up (`maybe_` and `last_` owners). They choose the culprit frame of a crash signature.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_sources.h"

namespace hestolvane::decode {

// What a rule says about a frame it matches.
enum class RuleStrength {
    Ignore,    // pass over the frame
    Definite,  // the owner: the search ends here
    Maybe,     // `maybe_OWNER`: blamed only when no definite owner is found lower down
    Last,      // `last_OWNER`: blamed only when no definite or maybe_ owner is found
};

struct TriageRule {
    std::string Module;    // as written, without its trailing '*'
    bool ModulePrefix = false;
    std::string Function;  // empty with FunctionAny
    bool FunctionPrefix = false;
    bool FunctionAny = true;  // no "!function", "!*" or "!default"
    RuleStrength Strength = RuleStrength::Definite;
    std::string Owner;  // without its maybe_ or last_ prefix; empty for ignore
    std::string Text;   // the line as written, for explanations
    std::string Origin; // "FILE:LINE"
};

// A frame as the rules see it: its module's file name (as the report prints it) and, where symbols name
// it, its function.
struct RuleTarget {
    std::string_view Module;
    std::optional<std::string_view> Function;
};

class TriageRules {
public:
    // The rules hestolvane-decode ships (decode/data/triage.ini): the kernel's bug-check, trap and
    // exception-dispatch routines are ignored.
    static TriageRules Defaults();

    // Adds the rules of one file's text. Lines that are not rules are left out, each with a warning that
    // names Origin and the line number; the others apply.
    void Add(std::string_view Text, const std::string& Origin, std::vector<std::string>& Warnings);

    // The most precise rule matching Target, if any. A module match outranks a function match, an exact
    // name outranks a prefix, a longer prefix a shorter one, and of two equal rules the later one wins (so a
    // lab's file overrides the defaults).
    const TriageRule* Match(const RuleTarget& Target) const;

    const std::vector<TriageRule>& Rules() const { return All; }

    // Names the rule set for the crash index: FNV-1a of every text added, in order, and their origins.
    std::string Identity() const;

private:
    std::vector<TriageRule> All;
    TextSources Sources;
};

// The shipped rules file's text.
std::string_view DefaultTriageIni();

}  // namespace hestolvane::decode
