// Bucket qualifiers: for the bug checks whose parameters say what kind of failure it was (a read or a
// write, which exception, which subtype of the check), the word that goes into the bucket after the code,
// as in 0xD1_W_mydriver!Foo. The table is data: hestolvane-decode ships decode/data/qualifiers.txt and a
// lab may add rows or replace them with its own file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"
#include "text_sources.h"

namespace hestolvane::decode {

enum class QualifierKind {
    Access,   // the parameter's documented values name an access kind: R, W or X
    Status,   // the parameter is an NTSTATUS: its 32 bits as 8 lowercase hexadecimal digits
    Subtype,  // the parameter's documented values are subtypes: each in lowercase hexadecimal
};

struct QualifierRow {
    uint64_t Code = 0;
    int Parameter = 1;  // 1 to 4, as Microsoft numbers them
    QualifierKind Kind = QualifierKind::Subtype;
    std::map<uint64_t, std::string> Values;  // value -> qualifier; empty for Status
    bool AnyValue = false;                   // a Subtype row written with '*': every value is one
    std::string Origin;                      // "FILE:LINE"
};

// The qualifier of one bug check, and what was read to find it or why there is none.
struct Qualification {
    std::string Qualifier;  // empty when there is none
    std::string Reason;     // "parameter 3 is 0x1: W (qualifiers.txt:12)"
};

class QualifierTable {
public:
    // The table hestolvane-decode ships.
    static QualifierTable Defaults();

    // Adds the rows of one file's text; a row for a code already in the table replaces it. Lines that are
    // not rows are left out, each with a warning naming Origin and the line number.
    void Add(std::string_view Text, const std::string& Origin, std::vector<std::string>& Warnings);

    Qualification Qualify(const BugCheck& Check) const;

    const std::map<uint64_t, QualifierRow>& Rows() const { return ByCode; }

    // Names the table for the crash index, as TriageRules::Identity does.
    std::string Identity() const;

private:
    std::map<uint64_t, QualifierRow> ByCode;
    TextSources Sources;
};

// The shipped table's text.
std::string_view DefaultQualifierTable();

}  // namespace hestolvane::decode
