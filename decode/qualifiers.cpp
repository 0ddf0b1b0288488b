// The qualifier table: one row a bug-check code, read from text so that a lab can extend it without a
// rebuild. A value the row does not list gives no qualifier: it is not a documented kind of failure, and a
// guess would split or merge buckets on nothing.
#include "qualifiers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace hestolvane::decode {

namespace {

// "0x" and hexadecimal digits, nothing else.
std::optional<uint64_t> ReadHex(const std::string& Text) {
    if (Text.size() < 3 || Text[0] != '0' || (Text[1] != 'x' && Text[1] != 'X')) {
        return std::nullopt;
    }
    char* End = nullptr;
    errno = 0;
    const unsigned long long Value = std::strtoull(Text.c_str() + 2, &End, 16);
    if (errno != 0 || *End != '\0' || Text[2] == '-' || Text[2] == '+') {
        return std::nullopt;
    }
    return Value;
}

std::string LowerHex(uint64_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof(Text), "%llx", static_cast<unsigned long long>(Value));
    return Text;
}

std::string UpperCode(uint64_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
    return Text;
}

std::optional<QualifierKind> ReadKind(const std::string& Word) {
    if (Word == "access") {
        return QualifierKind::Access;
    }
    if (Word == "status") {
        return QualifierKind::Status;
    }
    if (Word == "subtype") {
        return QualifierKind::Subtype;
    }
    return std::nullopt;
}

// Why a row cannot be read, or nothing when Row holds it.
std::optional<std::string> ReadRow(const std::string& Line, QualifierRow& Row) {
    std::istringstream Words(Line);
    std::string Code;
    std::string Parameter;
    std::string Kind;
    Words >> Code >> Parameter >> Kind;
    const auto CodeValue = ReadHex(Code);
    if (!CodeValue) {
        return "the bug-check code must be written 0x and hexadecimal digits";
    }
    if (Parameter.size() != 1 || Parameter[0] < '1' || Parameter[0] > '4') {
        return "the parameter must be 1, 2, 3 or 4";
    }
    const auto KindValue = ReadKind(Kind);
    if (!KindValue) {
        return "the kind must be access, status or subtype";
    }
    Row.Code = *CodeValue;
    Row.Parameter = Parameter[0] - '0';
    Row.Kind = *KindValue;
    for (std::string Token; Words >> Token;) {
        if (Row.Kind == QualifierKind::Status) {
            return "a status row lists no values";
        }
        if (Token == "*" && Row.Kind == QualifierKind::Subtype) {
            Row.AnyValue = true;
            continue;
        }
        const size_t Equals = Token.find('=');
        const auto Value = ReadHex(Token.substr(0, Equals));
        if (!Value) {
            return "a value must be written 0x and hexadecimal digits: " + Token;
        }
        std::string Qualifier = Equals == std::string::npos ? LowerHex(*Value) : Token.substr(Equals + 1);
        if (Qualifier.empty() || Qualifier.find_first_of("_!") != std::string::npos) {
            return "a qualifier may hold neither '_' nor '!', nor be empty: " + Token;
        }
        if (Row.Kind == QualifierKind::Access && Equals == std::string::npos) {
            return "an access value needs its qualifier, as in 0x1=W: " + Token;
        }
        Row.Values[*Value] = std::move(Qualifier);
    }
    if (Row.Kind != QualifierKind::Status && Row.Values.empty() && !Row.AnyValue) {
        return "the row lists no values";
    }
    return std::nullopt;
}

}  // namespace

void QualifierTable::Add(std::string_view Text, const std::string& Origin, std::vector<std::string>& Warnings) {
    Sources.Add(Text, Origin);
    size_t LineNumber = 0;
    while (!Text.empty()) {
        const size_t End = Text.find('\n');
        std::string Line(Text.substr(0, End));
        Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
        LineNumber++;
        if (const size_t Comment = Line.find('#'); Comment != std::string::npos) {
            Line.resize(Comment);
        }
        if (Line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        QualifierRow Row;
        Row.Origin = Origin + ":" + std::to_string(LineNumber);
        if (auto Refused = ReadRow(Line, Row)) {
            Warnings.push_back(Row.Origin + ": " + *Refused + ", row left out");
            continue;
        }
        ByCode[Row.Code] = std::move(Row);
    }
}

Qualification QualifierTable::Qualify(const BugCheck& Check) const {
    Qualification Result;
    const auto Found = ByCode.find(Check.Code);
    if (Found == ByCode.end()) {
        Result.Reason = "no row for " + UpperCode(Check.Code) + " in the qualifier table";
        return Result;
    }
    const QualifierRow& Row = Found->second;
    const uint64_t Value = Check.Parameters[static_cast<size_t>(Row.Parameter - 1)];
    const std::string Read = "parameter " + std::to_string(Row.Parameter) + " is 0x" + LowerHex(Value);
    if (Row.Kind == QualifierKind::Status) {
        char Status[16];
        std::snprintf(Status, sizeof(Status), "%08llx", static_cast<unsigned long long>(Value & 0xFFFFFFFFULL));
        Result.Qualifier = Status;
    } else if (const auto Listed = Row.Values.find(Value); Listed != Row.Values.end()) {
        Result.Qualifier = Listed->second;
    } else if (Row.AnyValue) {
        Result.Qualifier = LowerHex(Value);
    } else {
        Result.Reason = Read + ", not a value the table lists for " + UpperCode(Check.Code) + " (" + Row.Origin + ")";
        return Result;
    }
    Result.Reason = Read + ": " + Result.Qualifier + " (" + Row.Origin + ")";
    return Result;
}

std::string QualifierTable::Identity() const {
    return Sources.Identity();
}

QualifierTable QualifierTable::Defaults() {
    QualifierTable Table;
    std::vector<std::string> Warnings;
    Table.Add(DefaultQualifierTable(), "(default qualifiers.txt)", Warnings);
    return Table;
}

}  // namespace hestolvane::decode
