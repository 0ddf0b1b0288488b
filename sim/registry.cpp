// The simulated kernel's registry: keys of typed values in two layers, the live registry the running
// kernel sees and the disk beneath it, so that a crash loses exactly the writes that were never flushed.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "sim_driver.h"
#include "sim_internal.h"

namespace sim {
namespace {

constexpr NTSTATUS StatusInvalidHandle = (NTSTATUS)0xC0000008L;
constexpr NTSTATUS StatusAccessDenied = (NTSTATUS)0xC0000022L;
constexpr NTSTATUS StatusObjectNameInvalid = (NTSTATUS)0xC0000033L;
constexpr NTSTATUS StatusObjectPathSyntaxBad = (NTSTATUS)0xC000003BL;
constexpr ULONG InvalidKernelHandle = 0x93;

constexpr ACCESS_MASK KeyQueryValue = 0x0001;
constexpr ACCESS_MASK KeySetValue = 0x0002;

// Kernel handles have the top bit set; the low two bits of a handle are never used.
constexpr ULONG_PTR FirstKernelHandle = 0xFFFFFFFF80000004ull;

struct StoredValue {
    std::u16string Name;  // as first written
    ULONG Type;
    std::vector<UCHAR> Data;
};

// Values by folded name.
using Key = std::map<std::u16string, StoredValue>;
// Keys by folded path.
using Hive = std::map<std::u16string, Key>;

struct OpenKey {
    std::u16string Path;  // folded
    std::u16string Shown;  // as it was opened
    ACCESS_MASK Access;
};

struct PendingFault {
    NTSTATUS Status = STATUS_SUCCESS;
    bool EveryCall = false;
};

struct RegistryState {
    std::mutex Lock;
    Hive Live;
    Hive Disk;
    std::map<ULONG_PTR, OpenKey> Handles;
    ULONG_PTR NextHandle = FirstKernelHandle;
    std::vector<std::string> Journal;
    PendingFault Faults[5];
};

RegistryState& Registry() {
    static RegistryState* const Instance = new RegistryState;
    return *Instance;
}

std::string Hex(ULONG Value) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%X", Value);
    return Text;
}

// Records a call and hands its status back; the kernel call log is written outside the registry's lock
// so that an observer may use the registry.
NTSTATUS Finish(RegistryState& State, std::unique_lock<std::mutex>& Guard, const char* Service,
                const std::string& Entry, NTSTATUS Status) {
    State.Journal.push_back(Status == STATUS_SUCCESS ? Entry : Entry + " -> " + Hex((ULONG)Status));
    Guard.unlock();
    LogKernelCall(Service);
    return Status;
}

// The status the next call of this service must fail with, or STATUS_SUCCESS.
NTSTATUS TakeFault(RegistryState& State, RegistryFault Fault) {
    static const char* const Services[] = {"ZwOpenKey", "ZwQueryValueKey", "ZwSetValueKey", "ZwDeleteValueKey",
                                           "ZwFlushKey"};
    PendingFault& Pending = State.Faults[(int)Fault];
    const NTSTATUS Status = Pending.Status;
    if (!Pending.EveryCall) {
        Pending.Status = STATUS_SUCCESS;
    }
    if (Status == STATUS_SUCCESS && FailureInjectedAt(Services[(int)Fault])) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return Status;
}

const OpenKey* FindHandle(RegistryState& State, HANDLE Handle) {
    auto Found = State.Handles.find((ULONG_PTR)Handle);
    return Found == State.Handles.end() ? nullptr : &Found->second;
}

void SetBoth(RegistryState& State, const std::u16string& KeyPath, const std::u16string& Name, ULONG Type,
             const std::vector<UCHAR>& Data) {
    const std::u16string Path = Folded(KeyPath);
    const StoredValue Value{Name, Type, Data};
    State.Live[Path][Folded(Name)] = Value;
    State.Disk[Path][Folded(Name)] = Value;
}

std::string SetEntry(const std::u16string& Name, ULONG Type, const std::vector<UCHAR>& Data) {
    if (Type == REG_DWORD && Data.size() == sizeof(ULONG)) {
        ULONG Value;
        std::memcpy(&Value, Data.data(), sizeof Value);
        return "Set " + Narrow(Name) + "=" + std::to_string(Value);
    }
    return "Set " + Narrow(Name) + " type " + std::to_string(Type) + ", " + std::to_string(Data.size()) + " bytes";
}

}  // namespace

void ResetRegistry() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Live.clear();
    State.Disk.clear();
    State.Handles.clear();
    State.Journal.clear();
    for (PendingFault& Fault : State.Faults) {
        Fault = PendingFault();
    }
}

// A reboot: the kernel's handles and the journal go, the registry's content stays.
void ResetRegistryHandles() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Handles.clear();
    State.NextHandle = FirstKernelHandle;
    State.Journal.clear();
    for (PendingFault& Fault : State.Faults) {
        Fault = PendingFault();
    }
}

std::vector<std::string> RegistryTeardownProblems() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    std::vector<std::string> Problems;
    for (const auto& Handle : State.Handles) {
        char Text[24];
        std::snprintf(Text, sizeof Text, "%016llX", (unsigned long long)Handle.first);
        Problems.push_back("registry key handle " + std::string(Text) + " (" + Narrow(Handle.second.Shown) +
                           ") never closed");
    }
    return Problems;
}

void CreateRegistryKey(const std::u16string& KeyPath) {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Live[Folded(KeyPath)];
    State.Disk[Folded(KeyPath)];
}

void SetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name, ULONG Type,
                      const std::vector<UCHAR>& Data) {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    SetBoth(State, KeyPath, Name, Type, Data);
}

void SetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name, ULONG Value) {
    std::vector<UCHAR> Data(sizeof Value);
    std::memcpy(Data.data(), &Value, sizeof Value);
    SetRegistryValue(KeyPath, Name, REG_DWORD, Data);
}

std::optional<RegistryValue> GetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name) {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    auto FoundKey = State.Live.find(Folded(KeyPath));
    if (FoundKey == State.Live.end()) {
        return std::nullopt;
    }
    auto FoundValue = FoundKey->second.find(Folded(Name));
    if (FoundValue == FoundKey->second.end()) {
        return std::nullopt;
    }
    return RegistryValue{FoundValue->second.Type, FoundValue->second.Data};
}

std::optional<ULONG> GetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name) {
    const std::optional<RegistryValue> Value = GetRegistryValue(KeyPath, Name);
    if (!Value || Value->Type != REG_DWORD || Value->Data.size() != sizeof(ULONG)) {
        return std::nullopt;
    }
    ULONG Dword;
    std::memcpy(&Dword, Value->Data.data(), sizeof Dword);
    return Dword;
}

void FailRegistry(RegistryFault Fault, NTSTATUS Status, bool EveryCall) {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Faults[(int)Fault] = PendingFault{Status, EveryCall && Status != STATUS_SUCCESS};
}

void LoseUnflushedRegistryWrites() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Live = State.Disk;
}

void FlushRegistryToDisk() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Disk = State.Live;
}

std::vector<std::string> RegistryJournal() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Journal;
}

size_t OpenRegistryHandles() {
    RegistryState& State = Registry();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Handles.size();
}

}  // namespace sim

// Opens an existing key, by absolute path or relative to an open key; never creates one.
extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    sim::RequirePassiveLevel("ZwOpenKey");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    if (ObjectAttributes->ObjectName == NULL || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return sim::Finish(State, Guard, "ZwOpenKey", "Open (bad attributes)", sim::StatusObjectNameInvalid);
    }
    std::u16string Path = sim::FromCounted(ObjectAttributes->ObjectName);
    if (ObjectAttributes->RootDirectory != NULL) {
        const sim::OpenKey* Root = sim::FindHandle(State, ObjectAttributes->RootDirectory);
        if (Root == nullptr) {
            return sim::Finish(State, Guard, "ZwOpenKey", "Open " + sim::Narrow(Path) + " (bad root)",
                               sim::StatusInvalidHandle);
        }
        Path = Root->Shown + u"\\" + Path;
    }
    const std::string Entry = "Open " + sim::Narrow(Path) + " access " + sim::Hex(DesiredAccess) + " attributes " +
                              sim::Hex(ObjectAttributes->Attributes);
    const NTSTATUS Fault = sim::TakeFault(State, sim::RegistryFault::Open);
    if (Fault != STATUS_SUCCESS) {
        return sim::Finish(State, Guard, "ZwOpenKey", Entry, Fault);
    }
    if (Path.empty() || Path[0] != u'\\') {
        return sim::Finish(State, Guard, "ZwOpenKey", Entry, sim::StatusObjectPathSyntaxBad);
    }
    const std::u16string FoldedPath = sim::Folded(Path);
    if (State.Live.count(FoldedPath) == 0) {
        return sim::Finish(State, Guard, "ZwOpenKey", Entry, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    const ULONG_PTR Handle = State.NextHandle;
    State.NextHandle += 4;
    State.Handles[Handle] = sim::OpenKey{FoldedPath, Path, DesiredAccess};
    *KeyHandle = (HANDLE)Handle;
    return sim::Finish(State, Guard, "ZwOpenKey", Entry, STATUS_SUCCESS);
}

// Only the partial information is kept. As on the real kernel, a buffer too small for the fixed part
// gets nothing (STATUS_BUFFER_TOO_SMALL); one too small for the data gets the fixed part and as much
// data as fits (STATUS_BUFFER_OVERFLOW). ResultLength always tells the size the whole answer needs.
extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    sim::RequirePassiveLevel("ZwQueryValueKey");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    const std::u16string Name = sim::FromCounted(ValueName);
    const std::string Entry = "Query " + sim::Narrow(Name);
    const sim::OpenKey* Key = sim::FindHandle(State, KeyHandle);
    if (Key == nullptr) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, sim::StatusInvalidHandle);
    }
    if ((Key->Access & sim::KeyQueryValue) == 0) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, sim::StatusAccessDenied);
    }
    if (KeyValueInformationClass != KeyValuePartialInformation) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, STATUS_INVALID_PARAMETER);
    }
    const NTSTATUS Fault = sim::TakeFault(State, sim::RegistryFault::Query);
    if (Fault != STATUS_SUCCESS) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, Fault);
    }
    const sim::Key& Values = State.Live[Key->Path];
    auto Found = Values.find(sim::Folded(Name));
    if (Found == Values.end()) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, STATUS_OBJECT_NAME_NOT_FOUND);
    }

    const sim::StoredValue& Value = Found->second;
    constexpr ULONG Header = __builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG DataLength = (ULONG)Value.Data.size();
    *ResultLength = Header + DataLength;
    if (Length < Header) {
        return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, STATUS_BUFFER_TOO_SMALL);
    }
    const ULONG Fields[3] = {0, Value.Type, DataLength};
    std::memcpy(KeyValueInformation, Fields, sizeof Fields);
    const ULONG Copied = Length - Header < DataLength ? Length - Header : DataLength;
    if (Copied != 0) {
        std::memcpy((UCHAR*)KeyValueInformation + Header, Value.Data.data(), Copied);
    }
    const NTSTATUS Status = Copied < DataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    return sim::Finish(State, Guard, "ZwQueryValueKey", Entry, Status);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                  PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    sim::RequirePassiveLevel("ZwSetValueKey");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    const std::u16string Name = sim::FromCounted(ValueName);
    std::vector<UCHAR> Bytes((const UCHAR*)Data, (const UCHAR*)Data + DataSize);
    const std::string Entry = sim::SetEntry(Name, Type, Bytes);
    const sim::OpenKey* Key = sim::FindHandle(State, KeyHandle);
    if (Key == nullptr) {
        return sim::Finish(State, Guard, "ZwSetValueKey", Entry, sim::StatusInvalidHandle);
    }
    if ((Key->Access & sim::KeySetValue) == 0) {
        return sim::Finish(State, Guard, "ZwSetValueKey", Entry, sim::StatusAccessDenied);
    }
    const NTSTATUS Fault = sim::TakeFault(State, sim::RegistryFault::Set);
    if (Fault != STATUS_SUCCESS) {
        return sim::Finish(State, Guard, "ZwSetValueKey", Entry, Fault);
    }
    State.Live[Key->Path][sim::Folded(Name)] = sim::StoredValue{Name, Type, std::move(Bytes)};
    return sim::Finish(State, Guard, "ZwSetValueKey", Entry, STATUS_SUCCESS);
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    sim::RequirePassiveLevel("ZwDeleteValueKey");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    const std::u16string Name = sim::FromCounted(ValueName);
    const std::string Entry = "Delete " + sim::Narrow(Name);
    const sim::OpenKey* Key = sim::FindHandle(State, KeyHandle);
    if (Key == nullptr) {
        return sim::Finish(State, Guard, "ZwDeleteValueKey", Entry, sim::StatusInvalidHandle);
    }
    if ((Key->Access & sim::KeySetValue) == 0) {
        return sim::Finish(State, Guard, "ZwDeleteValueKey", Entry, sim::StatusAccessDenied);
    }
    const NTSTATUS Fault = sim::TakeFault(State, sim::RegistryFault::Delete);
    if (Fault != STATUS_SUCCESS) {
        return sim::Finish(State, Guard, "ZwDeleteValueKey", Entry, Fault);
    }
    if (State.Live[Key->Path].erase(sim::Folded(Name)) == 0) {
        return sim::Finish(State, Guard, "ZwDeleteValueKey", Entry, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    return sim::Finish(State, Guard, "ZwDeleteValueKey", Entry, STATUS_SUCCESS);
}

// Writes the key's values, as they are now, to the disk.
extern "C" NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    sim::RequirePassiveLevel("ZwFlushKey");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    const sim::OpenKey* Key = sim::FindHandle(State, KeyHandle);
    if (Key == nullptr) {
        return sim::Finish(State, Guard, "ZwFlushKey", "Flush", sim::StatusInvalidHandle);
    }
    const NTSTATUS Fault = sim::TakeFault(State, sim::RegistryFault::Flush);
    if (Fault != STATUS_SUCCESS) {
        return sim::Finish(State, Guard, "ZwFlushKey", "Flush", Fault);
    }
    State.Disk[Key->Path] = State.Live[Key->Path];
    return sim::Finish(State, Guard, "ZwFlushKey", "Flush", STATUS_SUCCESS);
}

// Registry keys are the only handles in this kernel. Closing a handle that is not open is the bug check
// the real kernel gives a driver that closes a kernel handle twice.
extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    sim::RequirePassiveLevel("ZwClose");
    sim::RegistryState& State = sim::Registry();
    std::unique_lock<std::mutex> Guard(State.Lock);
    if (State.Handles.erase((ULONG_PTR)Handle) == 0) {
        Guard.unlock();
        char Text[24];
        std::snprintf(Text, sizeof Text, "%016llX", (unsigned long long)(ULONG_PTR)Handle);
        sim::FatalStop(sim::InvalidKernelHandle, "INVALID_KERNEL_HANDLE ZwClose of " + std::string(Text));
    }
    return sim::Finish(State, Guard, "ZwClose", "Close", STATUS_SUCCESS);
}
