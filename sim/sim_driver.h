// Control interface of the simulated kernel's registry, I/O manager and service control: loading and
// unloading the driver as the kernel does it, sending it requests, and boots that follow each other over
// one persistent registry.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_kernel.h"

// The I/O manager's device object. The driver only ever holds a pointer to one; the members the
// simulated I/O manager keeps sit at their x64 offsets from wdm.h.
struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
};
static_assert(__builtin_offsetof(DEVICE_OBJECT, DriverObject) == 0x08, "DEVICE_OBJECT");
static_assert(__builtin_offsetof(DEVICE_OBJECT, Flags) == 0x30, "DEVICE_OBJECT");
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40, "DEVICE_OBJECT");
static_assert(__builtin_offsetof(DEVICE_OBJECT, StackSize) == 0x4C, "DEVICE_OBJECT");

namespace sim {

// ----- Registry --------------------------------------------------------------------------------------

// The registry survives Reset(): it is the machine's disk, not the kernel's memory. ResetRegistry()
// empties it. Keys are absolute paths ("\Registry\Machine\SYSTEM\..."); key paths and value names are
// compared without regard to the case of ASCII letters, as the registry does.
void ResetRegistry();
// What an installer left on the disk before the boot: both the disk and the live registry hold it.
void CreateRegistryKey(const std::u16string& KeyPath);
void SetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name, ULONG Type,
                      const std::vector<UCHAR>& Data);
void SetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name, ULONG Value);
struct RegistryValue {
    ULONG Type;
    std::vector<UCHAR> Data;
};
// The live registry, as the running kernel sees it.
std::optional<RegistryValue> GetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name);
std::optional<ULONG> GetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name);

// Failures on demand: the next call of that service (or every call, while EveryCall) returns Status
// without doing anything. A call with Status STATUS_SUCCESS cancels.
enum class RegistryFault { Open, Query, Set, Delete, Flush };
void FailRegistry(RegistryFault Fault, NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES, bool EveryCall = false);

// Registry writes reach the disk only when their key is flushed (ZwFlushKey) or the system shuts down
// cleanly. A crash (the power goes after a bug check) loses what was not flushed.
void LoseUnflushedRegistryWrites();
void FlushRegistryToDisk();  // what an orderly shutdown does

// Every registry service call since Reset(), in order:
//   "Open <key path> access 0x2001F attributes 0x240", "Query Loaded", "Set Loaded=1" (a four-byte
//   REG_DWORD; other data reads "Set Name type 3, 5 bytes"), "Delete Loaded", "Flush", "Close".
// A call that did not succeed ends in " -> 0xC0000034" (its status).
std::vector<std::string> RegistryJournal();
size_t OpenRegistryHandles();

// ----- Service control: load and unload ---------------------------------------------------------------

// The driver's service key.
const std::u16string& ServiceKeyPath();

// Loads the driver as the kernel starts a service: a fresh copy of its data (ReloadDriverData), a loader
// entry for it at the end of the loaded-module list (its image range is fresh kernel pages standing in
// for the mapped HesTolvaneDrv.sys), a DRIVER_OBJECT whose DriverSection is that entry and whose every
// MajorFunction refuses the request, then DriverEntry at PASSIVE_LEVEL. Returns DriverEntry's status;
// on failure the entry and the object go again, and nothing stays loaded. A second load while loaded
// returns STATUS_IMAGE_ALREADY_LOADED.
NTSTATUS LoadDriver();
// Calls the driver's DriverUnload as the kernel does when the service stops, then removes its loader
// entry and its image. Whatever the driver left behind stays, for TeardownProblems() to report.
void UnloadDriver();
bool DriverLoaded();
PDRIVER_OBJECT LoadedDriverObject();  // NULL when not loaded
// The loader entry LoadDriver made for the driver (NULL when not loaded).
PKLDR_DATA_TABLE_ENTRY DriverLoaderEntry();

void SetSafeBootMode(ULONG Mode);  // InitSafeBootMode; 0 is a normal boot

// ----- I/O manager -----------------------------------------------------------------------------------

// The I/O manager allocates device objects from non-paged pool under this tag ("Devi"), so a failed
// allocation fails IoCreateDevice as on the real kernel.
constexpr ULONG DeviceObjectPoolTag = 0x69766544;

struct DeviceView {
    std::u16string Name;
    ULONG DeviceType;
    ULONG Characteristics;
    bool Exclusive;
    ULONG ExtensionSize;
    PDEVICE_OBJECT Object;
};
std::vector<DeviceView> Devices();
// Symbolic links as (link name, target).
std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();

// The next call of that service returns Status without doing anything.
enum class IoFault { CreateDevice, CreateSymbolicLink };
void FailIo(IoFault Fault, NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES);

struct RequestResult {
    NTSTATUS Returned;       // what the dispatch routine returned
    NTSTATUS IoStatus;       // IoStatus.Status when the request was completed
    ULONG_PTR Information;   // IoStatus.Information when the request was completed
    bool Completed;          // IofCompleteRequest was called for it, once
    CCHAR PriorityBoost;     // as passed to IofCompleteRequest
};
// A request starts with IoStatus.Status at STATUS_PENDING, so that a routine which never sets it is
// seen, and IoStatus.Information at InitialInformation.
constexpr NTSTATUS RequestStartStatus = 0x00000103;
// Sends one request through the loaded driver's dispatch table to its first device at PASSIVE_LEVEL, as
// the I/O manager does, and waits for it. A request the driver does not complete stays on record and is
// reported by TeardownProblems().
RequestResult SendCreate();
RequestResult SendClose();
RequestResult SendDeviceControl(ULONG IoControlCode, ULONG InputBufferLength, ULONG OutputBufferLength,
                                ULONG_PTR InitialInformation = 0);
RequestResult SendShutdown();

// ----- Events, in the order the kernel saw them -------------------------------------------------------

// One entry per kernel service call, for tests of start-up and unload order: "DriverEntry" and
// "DriverUnload" (service control calling the driver), "IoCreateDevice", "IoCreateSymbolicLink",
// "ZwOpenKey", "ZwQueryValueKey", "ZwSetValueKey", "ZwFlushKey", "ZwDeleteValueKey", "ZwClose",
// "PsSetLoadImageNotifyRoutine", "KeRegisterBugCheckCallback", "IofCompleteRequest", ... and "COM1" for
// a run of bytes written to COM1 with no other call in between. Reset() empties it.
std::vector<std::string> KernelCallLog();
void LogKernelCall(const char* Service);
// Called on the calling thread after each logged call, with the call's name: tests watch the kernel's
// state at a chosen point, or crash the system there (CrashSystem). Reset() removes it.
void OnKernelCall(std::function<void(const std::string& Service)> Observer);

// ----- Boots in a row --------------------------------------------------------------------------------

struct BootResult {
    bool Died;          // the boot ended in a bug check
    ULONG StopCode;     // that bug check's code
    std::string Com1;   // everything COM1 received during the boot
};

// One boot of the machine: Reset() (the registry, the disk, stays), then Body: typically setting the
// kernel's scene, LoadDriver, image loads, requests, UnloadDriver. If Body returns, the system shuts
// down cleanly and the registry is flushed. If the kernel meets an exception no handler catches
// (KMODE_EXCEPTION_NOT_HANDLED, 0x1E, with STATUS_ACCESS_VIOLATION), or Body reaches CrashSystem, the
// registered bug-check callbacks run and the boot ends there: the power goes, and registry writes that
// were never flushed are lost. The dead boot's kernel stays as it was for inspection until the next
// Reset(). Boots are for the thread that runs tests, not for image-load threads.
BootResult Boot(const std::function<void()>& Body);

// Stops the system with a bug check: the registered callbacks run as in BugCheck(). Inside Boot the boot
// ends there; anywhere else the process stops as after FatalStop.
[[noreturn]] void CrashSystem(ULONG Code, ULONG_PTR P1 = 0, ULONG_PTR P2 = 0, ULONG_PTR P3 = 0,
                              ULONG_PTR P4 = 0);

}  // namespace sim
