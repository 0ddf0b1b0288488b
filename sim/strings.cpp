// The kernel's string conversions, RtlUnicodeStringToAnsiString and RtlFreeAnsiString, with a ledger of
// the strings it allocated so that a converted string the driver never gave back is seen.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "sim_driver.h"
#include "sim_internal.h"
#include "sim_loader.h"

namespace sim {
namespace {

constexpr ULONG BadPoolCaller = 0xC2;

// A UNICODE_STRING counts at most 0xFFFF bytes, so this many characters.
constexpr size_t MaxUnicodeCharacters = 0xFFFF / sizeof(WCHAR);

struct PendingPageChange {
    bool Armed = false;
    const void* Address = nullptr;
    size_t Length = 0;
    PageState State = PageState::Valid;
};

struct ConversionLedger {
    std::mutex Lock;
    std::set<const char*> Outstanding;
    size_t CallsUntilFailure = 0;  // 0: no failure pending
    NTSTATUS FailureStatus = STATUS_NO_MEMORY;
    PendingPageChange PageChange;
};

// Never destroyed: image-load threads may still convert names while the process exits.
ConversionLedger& Ledger() {
    static ConversionLedger* const Instance = new ConversionLedger;
    return *Instance;
}

// The system code page is taken to be plain ASCII: a character it cannot represent becomes the default
// character '?', as the kernel's conversion does for characters outside the code page.
char AnsiCharacter(WCHAR Character) {
    return Character <= 0x7F ? (char)Character : '?';
}

// Reads the whole source before anything is allocated or locked, so that a fault on it unwinds to the
// caller's exception handler without leaving a block or a lock behind. Returns the character count.
size_t ConvertSource(PCUNICODE_STRING Source, char* Out) {
    const size_t Characters = Source->Length / sizeof(WCHAR);
    const WCHAR* Text = Source->Buffer;
    for (size_t Index = 0; Index < Characters; Index++) {
        Out[Index] = AnsiCharacter(Text[Index]);
    }
    return Characters;
}

bool TakeInjectedFailure(NTSTATUS* Status) {
    ConversionLedger& State = Ledger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    if (State.CallsUntilFailure != 0 && --State.CallsUntilFailure == 0) {
        *Status = State.FailureStatus;
        return true;
    }
    if (FailureInjectedAt("RtlUnicodeStringToAnsiString")) {
        *Status = STATUS_NO_MEMORY;
        return true;
    }
    return false;
}

void ApplyPendingPageChange() {
    PendingPageChange Change;
    {
        ConversionLedger& State = Ledger();
        std::lock_guard<std::mutex> Guard(State.Lock);
        Change = State.PageChange;
        State.PageChange = PendingPageChange();
    }
    if (Change.Armed) {
        SetPageState(Change.Address, Change.Length, Change.State);
    }
}

NTSTATUS ConvertIntoNewBuffer(PANSI_STRING Destination, const char* Converted, size_t Characters) {
    char* Buffer = (char*)sim::AllocateKernelPool(PagedPool, Characters + 1, StringPoolTag);
    if (Buffer == NULL) {
        return STATUS_NO_MEMORY;
    }
    std::memcpy(Buffer, Converted, Characters);
    Buffer[Characters] = '\0';
    {
        ConversionLedger& State = Ledger();
        std::lock_guard<std::mutex> Guard(State.Lock);
        State.Outstanding.insert(Buffer);
    }
    Destination->Buffer = Buffer;
    Destination->Length = (USHORT)Characters;
    Destination->MaximumLength = (USHORT)(Characters + 1);
    return STATUS_SUCCESS;
}

// Into the caller's buffer: what fits is converted and terminated, and a string that did not fit whole
// is reported as an overflow.
NTSTATUS ConvertIntoCallerBuffer(PANSI_STRING Destination, const char* Converted, size_t Characters) {
    NTSTATUS Status = STATUS_SUCCESS;
    if (Characters >= Destination->MaximumLength) {
        if (Destination->MaximumLength == 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
        Characters = Destination->MaximumLength - 1u;
        Status = STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(Destination->Buffer, Converted, Characters);
    Destination->Buffer[Characters] = '\0';
    Destination->Length = (USHORT)Characters;
    return Status;
}

std::string AddressText(const void* Address) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%p", Address);
    return Text;
}

}  // namespace

void FailStringConversion(size_t Nth, NTSTATUS Status) {
    ConversionLedger& State = Ledger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.CallsUntilFailure = Nth;
    State.FailureStatus = Status;
}

void ChangePageStateAfterNextConversion(const void* Address, size_t Length, PageState NewState) {
    ConversionLedger& State = Ledger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.PageChange = PendingPageChange{true, Address, Length, NewState};
}

size_t OutstandingAnsiStrings() {
    ConversionLedger& State = Ledger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Outstanding.size();
}

// The pool takes its blocks back at Reset, converted strings among them.
void ResetStrings() {
    ConversionLedger& State = Ledger();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Outstanding.clear();
    State.CallsUntilFailure = 0;
    State.FailureStatus = STATUS_NO_MEMORY;
    State.PageChange = PendingPageChange();
}

namespace {

NTSTATUS Convert(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString) {
    char Converted[sim::MaxUnicodeCharacters];
    const size_t Characters = sim::ConvertSource(SourceString, Converted);
    NTSTATUS Status;
    if (sim::TakeInjectedFailure(&Status)) {
        return Status;
    }
    Status = AllocateDestinationString ? sim::ConvertIntoNewBuffer(DestinationString, Converted, Characters)
                                       : sim::ConvertIntoCallerBuffer(DestinationString, Converted, Characters);
    if (Status == STATUS_SUCCESS) {
        sim::ApplyPendingPageChange();
    }
    return Status;
}

}  // namespace
}  // namespace sim

// The kernel converts with pageable code and tables, hence PASSIVE_LEVEL only. The call is logged after
// the conversion, so that an observer of the log sees the converted string.
extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString) {
    sim::RequirePassiveLevel("RtlUnicodeStringToAnsiString");
    const NTSTATUS Status = sim::Convert(DestinationString, SourceString, AllocateDestinationString);
    sim::LogKernelCall("RtlUnicodeStringToAnsiString");
    return Status;
}

extern "C" void RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer == NULL) {
        return;
    }
    {
        sim::ConversionLedger& State = sim::Ledger();
        std::lock_guard<std::mutex> Guard(State.Lock);
        if (State.Outstanding.erase(AnsiString->Buffer) == 0) {
            sim::FatalStop(sim::BadPoolCaller, "BAD_POOL_CALLER RtlFreeAnsiString of " +
                                                   sim::AddressText(AnsiString->Buffer) +
                                                   ", which RtlUnicodeStringToAnsiString did not allocate");
        }
    }
    ExFreePoolWithTag(AnsiString->Buffer, sim::StringPoolTag);
    AnsiString->Buffer = NULL;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}
