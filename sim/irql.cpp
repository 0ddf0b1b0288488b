// IRQL and spin locks of the simulated kernel: every host thread stands for a processor with its own
// IRQL, and a spin lock really excludes, so image loads on several threads contend as on hardware.
#include <cstdio>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "sim_internal.h"

namespace sim {
namespace {

constexpr ULONG IrqlNotLessOrEqual = 0x0A;
constexpr ULONG SpinLockAlreadyOwned = 0x0F;
constexpr ULONG SpinLockNotOwned = 0x10;

thread_local KIRQL ThreadIrql = PASSIVE_LEVEL;

// Its address stands for the thread in the word of a lock it holds: distinct for every live thread and
// never zero, which is the word of a free lock.
thread_local char ThreadIdentity;

ULONG_PTR OwnerWord() {
    return (ULONG_PTR)&ThreadIdentity;
}

// Which locks are held, for teardown, and how many threads spin on each, for tests that must know a
// thread is waiting without sleeping; the locks themselves live in the driver's memory.
struct HeldLockSet {
    std::mutex Lock;
    std::set<PKSPIN_LOCK> Locks;
    std::map<PKSPIN_LOCK, size_t> Waiters;
};

HeldLockSet& HeldLocks() {
    static HeldLockSet* const Instance = new HeldLockSet;
    return *Instance;
}

std::string LockText(PKSPIN_LOCK SpinLock) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%p", (void*)SpinLock);
    return Text;
}

// The host may run more contending threads than it has cores; yielding lets a preempted owner finish.
void WaitForOwner() {
    __builtin_ia32_pause();
    std::this_thread::yield();
}

bool TryTake(PKSPIN_LOCK SpinLock, ULONG_PTR Owner) {
    ULONG_PTR Free = 0;
    return __atomic_compare_exchange_n(SpinLock, &Free, Owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

}  // namespace

KIRQL CurrentIrql() {
    return ThreadIrql;
}

// Code that runs at DISPATCH_LEVEL or above cannot wait for a page to come in, so whatever is pageable is
// taken out as the level rises: a touch of it up there is then caught as the kernel would catch it.
void SetCurrentIrql(KIRQL Irql) {
    if (Irql >= DISPATCH_LEVEL && ThreadIrql < DISPATCH_LEVEL) {
        PageOutPageableMemory();
    }
    ThreadIrql = Irql;
}

size_t SpinLocksHeld() {
    std::lock_guard<std::mutex> Guard(HeldLocks().Lock);
    return HeldLocks().Locks.size();
}

size_t SpinLockWaiters(PKSPIN_LOCK SpinLock) {
    std::lock_guard<std::mutex> Guard(HeldLocks().Lock);
    auto Found = HeldLocks().Waiters.find(SpinLock);
    return Found == HeldLocks().Waiters.end() ? 0 : Found->second;
}

void CountWaiter(PKSPIN_LOCK SpinLock, bool Waiting) {
    std::lock_guard<std::mutex> Guard(HeldLocks().Lock);
    size_t& Count = HeldLocks().Waiters[SpinLock];
    if (Waiting) {
        Count++;
    } else if (--Count == 0) {
        HeldLocks().Waiters.erase(SpinLock);
    }
}

void RequirePassiveLevel(const char* Service) {
    if (ThreadIrql != PASSIVE_LEVEL) {
        FatalStop(IrqlNotLessOrEqual,
                  "IRQL_NOT_LESS_OR_EQUAL " + std::string(Service) + " at IRQL " + std::to_string(ThreadIrql));
    }
}

std::vector<std::string> IrqlTeardownProblems() {
    std::vector<std::string> Problems;
    {
        std::lock_guard<std::mutex> Guard(HeldLocks().Lock);
        for (PKSPIN_LOCK SpinLock : HeldLocks().Locks) {
            Problems.push_back("spin lock " + LockText(SpinLock) + " still held");
        }
    }
    if (ThreadIrql != PASSIVE_LEVEL) {
        Problems.push_back("IRQL " + std::to_string(ThreadIrql) + " at teardown, not PASSIVE_LEVEL");
    }
    return Problems;
}

void ResetIrql() {
    ThreadIrql = PASSIVE_LEVEL;
    std::lock_guard<std::mutex> Guard(HeldLocks().Lock);
    HeldLocks().Locks.clear();
    HeldLocks().Waiters.clear();
}

}  // namespace sim

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    sim::RequireNotInBugCheck("KeAcquireSpinLockRaiseToDpc");
    const ULONG_PTR Self = sim::OwnerWord();
    // On one processor the second acquisition would spin for ever; stop instead of hanging the test.
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == Self) {
        sim::FatalStop(sim::SpinLockAlreadyOwned,
                       "SPIN_LOCK_ALREADY_OWNED KeAcquireSpinLockRaiseToDpc of " + sim::LockText(SpinLock));
    }
    if (!sim::TryTake(SpinLock, Self)) {
        sim::CountWaiter(SpinLock, true);
        while (!sim::TryTake(SpinLock, Self)) {
            sim::WaitForOwner();
        }
        sim::CountWaiter(SpinLock, false);
    }
    {
        std::lock_guard<std::mutex> Guard(sim::HeldLocks().Lock);
        sim::HeldLocks().Locks.insert(SpinLock);
    }
    const KIRQL Previous = sim::ThreadIrql;
    sim::SetCurrentIrql(DISPATCH_LEVEL);
    return Previous;
}

extern "C" void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != sim::OwnerWord()) {
        sim::FatalStop(sim::SpinLockNotOwned,
                       "SPIN_LOCK_NOT_OWNED KeReleaseSpinLock of " + sim::LockText(SpinLock) +
                           ", which this thread does not hold");
    }
    // Releasing may only lower the IRQL: a higher one means the caller passed back the wrong value.
    if (NewIrql > sim::ThreadIrql) {
        sim::FatalStop(sim::IrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL KeReleaseSpinLock to IRQL " +
                                                    std::to_string(NewIrql) + " from IRQL " +
                                                    std::to_string(sim::ThreadIrql));
    }
    {
        std::lock_guard<std::mutex> Guard(sim::HeldLocks().Lock);
        sim::HeldLocks().Locks.erase(SpinLock);
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    sim::ThreadIrql = NewIrql;
}
