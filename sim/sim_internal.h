// Declarations shared between the simulated kernel's own sources; not for tests or the driver.
#pragma once

#include <string>
#include <vector>

#include "sim_kernel.h"

namespace sim {

// Each area of the simulated kernel returns to its freshly booted state; Reset() calls them all.
void ResetPool();
void ResetMemory();
void ResetIrql();
void ResetBugCheck();
void ResetUart();
void ResetTime();
void ResetDebugger();
void ResetUnwinding();
void ResetLoader();
void ResetStrings();
void ResetRegistryHandles();  // the registry's content is the disk and stays
void ResetIo();
void ResetServiceControl();
void ResetDriverSections();  // after ResetMemory: INIT readable again, PAGE code declared pageable

// The driver image's INIT: readable while the entry routine runs, gone once it has returned.
void RestoreInitSections();
void DiscardInitSections();

// Every call of a kernel service that can fail passes here first: TRUE when this call is the failure point
// a sweep asked to fail (sim_kernel.h), and the service then fails as it does when short of resources.
bool FailureInjectedAt(const char* Service);

// Kernel services that may not be called at raised IRQL or during a bug check stop the system, as the
// real kernel would (IRQL_NOT_LESS_OR_EQUAL, or a service used from a bug-check callback).
void RequirePassiveLevel(const char* Service);
void RequireNotInBugCheck(const char* Service);

// FatalStop for callers that cannot allocate, such as the fault handler: only writev() and abort().
[[noreturn]] void StopSystem(ULONG Code, const char* What);

// Writes Value as exactly Digits upper-case hexadecimal digits, without a terminator; async-signal-safe.
void FormatHex(uint64_t Value, int Digits, char* Out);

// What each area would complain about at driver unload; TeardownProblems() gathers them.
std::vector<std::string> PoolTeardownProblems();
std::vector<std::string> IrqlTeardownProblems();
std::vector<std::string> RegistryTeardownProblems();
std::vector<std::string> IoTeardownProblems();
std::vector<std::string> ServiceTeardownProblems();

// Whether this thread is inside the driver's entry routine: what it registers there is the driver's own.
bool RunningDriverEntry();
// The driver's own registrations still in place; once its image is gone the kernel would call into
// unloaded code through each of them.
size_t DriverBugCheckCallbacks();
size_t DriverImageNotifyRoutines();

// An allocation the kernel makes for itself (a device object): the pool's rules, without the verifier's
// rules for the driver's own requests.
void* AllocateKernelPool(POOL_TYPE Type, size_t Bytes, ULONG Tag);

// Whether Address lies inside a pool block that is still allocated.
bool IsPoolAddress(const void* Address);
// Whether Address lies on a page that a live non-paged pool block touches: what the pool's page table
// says, lock-free and in constant time, for MmIsAddressValid.
bool IsNonPagedPoolPage(const void* Address);

// The calling thread's IRQL, set directly: the bug-check path raises to HIGH_LEVEL without a lock. Raising
// to DISPATCH_LEVEL or above pages pageable memory out.
void SetCurrentIrql(KIRQL Irql);

// What the memory map says about one address. Lock-free and async-signal-safe, for the fault handler.
struct PageLookup {
    bool Declared;  // in a mapped or declared region (non-paged pool blocks are not looked up here)
    bool KernelSpace;
    PageState State;
    bool Pageable;  // paged pool or pageable code
    bool Resident;  // always true for memory that is never paged
    bool DriverSection;
};
PageLookup LookupPage(const void* Address);

// Pageable memory: fresh kernel-space pages for paged pool, and driver sections declared pageable (a
// ResidentProtection other than 0). Both are resident when made; PageOutPageableMemory takes all of it out (a processor is raising its IRQL), and
// PageIn brings back the region holding Address, FALSE when that is not pageable memory or the access,
// a write to code, could never succeed. PageIn is lock-free and async-signal-safe, for the fault handler.
void* MapPageableRegion(size_t Size);
void DeclareDriverSection(const void* Base, size_t Size, int ResidentProtection);
void PageOutPageableMemory();
bool PageIn(const void* Address, bool Write);
// Removes a region that DeclareRegion or DeclareDriverSection made, giving pageable code its protection back.
void ForgetDeclaredRegion(const void* Base);

// The fault a guard last caught on this thread: the address touched, the instruction that touched it,
// and whether it was a write. What the kernel's exception record says about an access violation.
struct CaughtFault {
    ULONG_PTR Address;
    ULONG_PTR InstructionAddress;
    bool Write;
};
CaughtFault LastCaughtFault();

// The I/O manager's own handling of requests a driver has no routine for, and its last step after a
// successful DriverEntry: devices created there are ready for requests.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ClearDevicesInitializing(PDRIVER_OBJECT DriverObject);

// Installs the handler that turns SIGSEGV and SIGBUS into kernel exceptions or bug checks. Idempotent;
// Reset() calls it so that it also takes over from a sanitizer's handler installed at start-up.
void InstallFaultHandler();

// Names in the registry and the object namespace: compared without case, shown in ASCII ('?' for any
// other character) in journals and problem reports.
std::u16string Folded(const std::u16string& Text);
std::u16string FromCounted(PCUNICODE_STRING Text);
std::string Narrow(const std::u16string& Text);

}  // namespace sim
