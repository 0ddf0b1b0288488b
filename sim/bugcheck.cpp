// Bug checks in the simulated kernel: the callback registry, KiBugCheckData and bug-check mode, in which
// the caller's processor runs at HIGH_LEVEL and most kernel services are off limits.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#include "sim_driver.h"
#include "sim_internal.h"

extern "C" {
ULONG_PTR KiBugCheckData[5];
ULONG InitSafeBootMode;
}

namespace sim {
namespace {

constexpr ULONG IrqlNotLessOrEqual = 0x0A;

struct CallbackRegistry {
    std::mutex Lock;
    std::vector<PKBUGCHECK_CALLBACK_RECORD> Records;  // in registration order, which is calling order
    std::vector<PKBUGCHECK_CALLBACK_RECORD> MadeByDriverEntry;  // the driver's own, still registered
    bool FailNextRegistration = false;
};

CallbackRegistry& Registry() {
    static CallbackRegistry* const Instance = new CallbackRegistry;
    return *Instance;
}

// Counts nested bug checks: a callback may bug-check again, and the mode ends with the outermost one.
std::atomic<int> BugCheckDepth{0};

std::vector<PKBUGCHECK_CALLBACK_RECORD>::iterator FindRecord(CallbackRegistry& Callbacks,
                                                             PKBUGCHECK_CALLBACK_RECORD Record) {
    return std::find(Callbacks.Records.begin(), Callbacks.Records.end(), Record);
}

// Callbacks run without the registry's lock so that one of them may bug-check again.
std::vector<PKBUGCHECK_CALLBACK_RECORD> RegisteredRecords() {
    std::lock_guard<std::mutex> Guard(Registry().Lock);
    return Registry().Records;
}

}  // namespace

bool InBugCheck() {
    return BugCheckDepth.load() > 0;
}

size_t RegisteredBugCheckCallbacks() {
    std::lock_guard<std::mutex> Guard(Registry().Lock);
    return Registry().Records.size();
}

size_t DriverBugCheckCallbacks() {
    std::lock_guard<std::mutex> Guard(Registry().Lock);
    return Registry().MadeByDriverEntry.size();
}

void FailNextBugCheckRegistration() {
    std::lock_guard<std::mutex> Guard(Registry().Lock);
    Registry().FailNextRegistration = true;
}

// During a real bug check the one running processor is at HIGH_LEVEL, where services that need a lower
// IRQL stop the system.
void RequireNotInBugCheck(const char* Service) {
    if (InBugCheck()) {
        FatalStop(IrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL " + std::string(Service) + " during bug check");
    }
}

void BugCheck(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    KiBugCheckData[0] = Code;
    KiBugCheckData[1] = P1;
    KiBugCheckData[2] = P2;
    KiBugCheckData[3] = P3;
    KiBugCheckData[4] = P4;
    const KIRQL Interrupted = CurrentIrql();
    BugCheckDepth++;
    SetCurrentIrql(HIGH_LEVEL);
    for (PKBUGCHECK_CALLBACK_RECORD Record : RegisteredRecords()) {
        Record->CallbackRoutine(Record->Buffer, Record->Length);
    }
    SetCurrentIrql(Interrupted);
    BugCheckDepth--;
}

void ResetBugCheck() {
    std::fill(std::begin(KiBugCheckData), std::end(KiBugCheckData), 0);
    InitSafeBootMode = 0;
    BugCheckDepth = 0;
    std::lock_guard<std::mutex> Guard(Registry().Lock);
    Registry().Records.clear();
    Registry().MadeByDriverEntry.clear();
    Registry().FailNextRegistration = false;
}

}  // namespace sim

namespace sim {
namespace {

BOOLEAN Register(PKBUGCHECK_CALLBACK_RECORD CallbackRecord, PKBUGCHECK_CALLBACK_ROUTINE CallbackRoutine,
                 PVOID Buffer, ULONG Length, PUCHAR Component) {
    CallbackRegistry& Callbacks = Registry();
    std::lock_guard<std::mutex> Guard(Callbacks.Lock);
    if (Callbacks.FailNextRegistration || FailureInjectedAt("KeRegisterBugCheckCallback")) {
        Callbacks.FailNextRegistration = false;
        return FALSE;
    }
    // A record not made ready by KeInitializeCallbackRecord, or one already in the list, is refused.
    if (CallbackRecord->State != BufferEmpty ||
        FindRecord(Callbacks, CallbackRecord) != Callbacks.Records.end()) {
        return FALSE;
    }
    CallbackRecord->CallbackRoutine = CallbackRoutine;
    CallbackRecord->Buffer = Buffer;
    CallbackRecord->Length = Length;
    CallbackRecord->Component = Component;
    CallbackRecord->State = BufferInserted;
    Callbacks.Records.push_back(CallbackRecord);
    if (RunningDriverEntry()) {
        Callbacks.MadeByDriverEntry.push_back(CallbackRecord);
    }
    return TRUE;
}

BOOLEAN Deregister(PKBUGCHECK_CALLBACK_RECORD CallbackRecord) {
    CallbackRegistry& Callbacks = Registry();
    std::lock_guard<std::mutex> Guard(Callbacks.Lock);
    auto Found = FindRecord(Callbacks, CallbackRecord);
    if (Found == Callbacks.Records.end()) {
        return FALSE;
    }
    Callbacks.Records.erase(Found);
    Callbacks.MadeByDriverEntry.erase(
        std::remove(Callbacks.MadeByDriverEntry.begin(), Callbacks.MadeByDriverEntry.end(), CallbackRecord),
        Callbacks.MadeByDriverEntry.end());
    CallbackRecord->State = BufferEmpty;
    return TRUE;
}

}  // namespace
}  // namespace sim

// The call is logged after the registry's lock is released: whoever watches the log may bug-check.
extern "C" BOOLEAN KeRegisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD CallbackRecord,
                                              PKBUGCHECK_CALLBACK_ROUTINE CallbackRoutine, PVOID Buffer,
                                              ULONG Length, PUCHAR Component) {
    sim::RequirePassiveLevel("KeRegisterBugCheckCallback");
    const BOOLEAN Registered = sim::Register(CallbackRecord, CallbackRoutine, Buffer, Length, Component);
    sim::LogKernelCall("KeRegisterBugCheckCallback");
    return Registered;
}

extern "C" BOOLEAN KeDeregisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD CallbackRecord) {
    sim::RequirePassiveLevel("KeDeregisterBugCheckCallback");
    const BOOLEAN Deregistered = sim::Deregister(CallbackRecord);
    sim::LogKernelCall("KeDeregisterBugCheckCallback");
    return Deregistered;
}
