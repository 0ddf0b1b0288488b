// Object and registry names as the simulated kernel compares and shows them.
#include "sim_internal.h"

namespace sim {

std::u16string Folded(const std::u16string& Text) {
    std::u16string Result = Text;
    for (char16_t& Character : Result) {
        if (Character >= u'a' && Character <= u'z') {
            Character = (char16_t)(Character - u'a' + u'A');
        }
    }
    return Result;
}

std::u16string FromCounted(PCUNICODE_STRING Text) {
    return std::u16string(Text->Buffer, Text->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& Text) {
    std::string Result;
    for (char16_t Character : Text) {
        Result += Character < 0x80 ? (char)Character : '?';
    }
    return Result;
}

}  // namespace sim
