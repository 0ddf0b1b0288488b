// Control interface of the simulated Windows kernel: how tests and hestolvane-sim set the kernel up,
// drive it (image loads, bug checks, driver load and unload) and inspect what the driver did to it.
// Driver sources never include this header; they see only drv/platform/nt.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../drv/platform/nt.h"

namespace sim {

// ----- Whole-kernel lifecycle ------------------------------------------------------------------------

// A freshly booted kernel: empty pool, no declared memory beyond the pool, UART idle and always ready,
// IRQL at PASSIVE_LEVEL, time 0, no debugger messages, no registrations, bug-check mode off, no driver
// loaded, no devices, links or open key handles. The registry's content is the machine's disk and stays.
void Reset();

// Problems a real kernel would show at driver unload or shutdown: pool blocks still outstanding, spin
// locks still held, IRQL not back at PASSIVE_LEVEL, and (sim_driver.h) the driver still loaded, devices,
// symbolic links or registry key handles left behind, requests never completed. Empty when all is well.
std::vector<std::string> TeardownProblems();

// Something the real kernel would answer with a bug check of its own (bad pool call, an untouchable page
// touched, a lock taken at bug check, a fast-fail). Prints "*** STOP 0x%08X <what>" to stderr and aborts
// the process, which tests observe with EXPECT_DEATH.
[[noreturn]] void FatalStop(ULONG Code, const std::string& What);

// ----- The machine -----------------------------------------------------------------------------------

// The Windows release the kernel is, as RtlGetVersion reports it; it decides which pool types exist.
// Like the registry it belongs to the machine, not to the kernel's memory: it survives Reset(), so that
// boots in a row run the same release. The default is Windows 11.
struct WindowsRelease {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
    std::u16string ServicePack;  // szCSDVersion, empty without one
};
WindowsRelease Windows7Sp1();
WindowsRelease Windows10();
WindowsRelease Windows11();
void SetWindowsRelease(const WindowsRelease& Release);
WindowsRelease CurrentWindowsRelease();
// Whether the kernel knows NonPagedPoolNx: Windows 8 (6.2) and later. Earlier kernels stop the system on
// it with BAD_POOL_CALLER, as on any pool type they do not know.
bool KernelHasNonExecutablePool();

// Driver Verifier's code-integrity option (verifier /flags 0x02000000) on the driver: its request for an
// executable pool type stops the system with DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4), parameter 1
// 0x2000, parameter 2 the call site, 3 the pool type, 4 the tag. The kernel's own allocations are not
// verified. Survives Reset() like the release; off by default.
void SetVerifierCodeIntegrity(bool On);
bool VerifierCodeIntegrity();

// ----- Pool ------------------------------------------------------------------------------------------

struct PoolBlock {
    void* Address;
    ULONG Tag;
    POOL_TYPE Type;
    size_t Size;
};

std::vector<PoolBlock> OutstandingPool();
size_t AllocationCount();  // successful allocations since Reset()
// Fail the Nth allocation from now (1 = the next one). Only one pending failure at a time; 0 cancels.
void FailAllocation(size_t Nth);
// Fail every allocation from now on (or stop doing so).
void FailAllAllocations(bool Fail);

// ----- Failure points --------------------------------------------------------------------------------

// Every call of a kernel service that can fail is a failure point, counted from Reset() in call order on
// all threads: pool allocations (the kernel's own for devices and converted strings included), each
// registry service but ZwClose, RtlUnicodeStringToAnsiString, both registrations, device and link
// creation. FailFailurePoint(N) fails the Nth point from now (1 = the next) as that service fails when
// short of resources; 0 cancels.
void FailFailurePoint(size_t Nth);
size_t FailurePointsPassed();
std::string FailedFailurePoint();  // the service the injected failure hit; empty until one has

// ----- Memory ----------------------------------------------------------------------------------------

// Valid: readable and MmIsAddressValid says TRUE. Invalid: MmIsAddressValid says FALSE and any touch is a
// bug check, even inside a guarded region. Faulting: MmIsAddressValid says TRUE but a touch raises an
// exception, which a guarded region catches (an in-page error, or a page unmapped under the reader).
enum class PageState { Valid, Invalid, Faulting };

constexpr size_t PageSize = 4096;

// Maps fresh zeroed pages (size rounded up to pages) that the kernel declares as its own; Valid.
void* MapRegion(size_t Size, bool KernelSpace = true);
// The same at a fixed address, so that tests can write the addresses they expect out literally.
void* MapRegionAt(ULONG_PTR Address, size_t Size, bool KernelSpace = true);
void UnmapRegion(void* Base);
// Sets every page the range touches; the range must lie in one region (std::invalid_argument otherwise).
void SetPageState(const void* Address, size_t Length, PageState State);
// Declares memory that already exists in this process (an executable's image) as kernel memory. Its
// page states change only what MmIsAddressValid answers: the host's memory keeps its protection.
void DeclareRegion(const void* Base, size_t Size, bool KernelSpace = true);
// Whether Address lies in memory the simulated kernel declared (pool, mapped or declared regions).
bool IsDeclared(const void* Address);

// The loaded range of the host executable or shared object that holds Address: this process's own code
// can then be recorded as a kernel module and found again in a real stack walk.
struct HostImage {
    ULONG_PTR Start;
    ULONG_PTR End;
    std::string Path;
};
HostImage HostImageOf(const void* Address);

// ----- IRQL and locks --------------------------------------------------------------------------------

KIRQL CurrentIrql();
size_t SpinLocksHeld();  // by all threads
size_t SpinLockWaiters(PKSPIN_LOCK SpinLock);  // threads spinning to acquire it now

// ----- Bug check -------------------------------------------------------------------------------------

// Sets KiBugCheckData, enters bug-check mode (this thread at HIGH_LEVEL, every pool call and spin-lock
// acquisition a fatal stop) and calls every registered bug-check callback, then leaves the mode so that
// the test can go on. Calls may nest (a second bug check from inside a callback).
void BugCheck(ULONG Code, ULONG_PTR P1 = 0, ULONG_PTR P2 = 0, ULONG_PTR P3 = 0, ULONG_PTR P4 = 0);
bool InBugCheck();
size_t RegisteredBugCheckCallbacks();
// The next KeRegisterBugCheckCallback returns FALSE.
void FailNextBugCheckRegistration();

// ----- UART ------------------------------------------------------------------------------------------

struct PortAccess {
    USHORT Port;
    bool Write;
    UCHAR Value;
    bool operator==(const PortAccess& Other) const {
        return Port == Other.Port && Write == Other.Write && Value == Other.Value;
    }
};

enum class LineStatusScript {
    AlwaysReady,  // 0x60: THR and transmitter empty
    NeverReady,   // 0x00
    ReadyAfter,   // after each written byte, the next N status reads answer 0x00, then 0x60
    Floating,     // 0xFF: a bus with no UART behind it
    Fixed,        // always the value SetFixedLineStatus gave, whatever is written
};

void SetLineStatus(LineStatusScript Script, unsigned ReadsBeforeReady = 0);
void SetFixedLineStatus(UCHAR Value);
const std::vector<PortAccess>& PortAccesses();
void RecordPortAccesses(bool Record);  // on by default; benchmarks switch it off
size_t PortAccessCount();             // counted even when not recorded
std::string ComTranscript(int ComPort = 1);
// Forgets the recorded accesses and transcripts (the access count goes on), for long benchmark runs.
void ClearUartLog();
// Called with every byte written to COM1 (hestolvane-sim streams the transcript to stdout).
void SetCom1Sink(void (*Sink)(UCHAR Byte));

// ----- Time ------------------------------------------------------------------------------------------

void SetSystemTime(LONG64 SystemTime);  // 100 ns units since 1601-01-01 UTC
LONG64 SystemTimeFromFields(int Year, int Month, int Day, int Hour, int Minute, int Second, int Milliseconds);

// ----- Debugger output -------------------------------------------------------------------------------

const std::vector<std::string>& DebuggerMessages();
// Echoed messages start with "DbgPrint: ", so that they cannot be mistaken for serial output.
void EchoDebuggerMessages(bool ToStderr);

// ----- Unwinding -------------------------------------------------------------------------------------

// One scripted frame: at ControlPc, is there an unwind record, and what does one unwind give.
struct ScriptedFrame {
    ULONG64 ControlPc;
    bool HasFunctionEntry;
    ULONG64 CallerRip;  // used when HasFunctionEntry
    ULONG64 CallerRsp;
};

// Real mode (the default): RtlCaptureContext captures this thread's registers and RtlVirtualUnwind
// unwinds the host process's own stack from its unwind tables.
void UseRealUnwinding();
// Scripted mode: RtlCaptureContext fills in Captured; the lookup and the unwind follow Frames by
// ControlPc. A ControlPc not in Frames has no unwind record.
void UseScriptedUnwinding(const CONTEXT& Captured, const std::vector<ScriptedFrame>& Frames);

// ----- The driver image ------------------------------------------------------------------------------

// Gives the driver's globals their load-time values, as mapping a fresh copy of the image would.
void ReloadDriverData();

}  // namespace sim
