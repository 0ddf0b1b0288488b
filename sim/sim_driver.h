// Control interface of the simulated kernel's registry, I/O manager and service control: loading and
// unloading the driver as the kernel does it, sending it requests, and boots that follow each other over
// one persistent registry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim_kernel.h"

namespace sim {

// ----- Registry --------------------------------------------------------------------------------------

// The registry survives Reset(): it is the machine's disk, not the kernel's memory. ResetRegistry()
// empties it. Keys are absolute paths ("\Registry\Machine\SYSTEM\..."), compared case-insensitively.
void ResetRegistry();
void CreateRegistryKey(const std::u16string& KeyPath);
void SetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name, ULONG Type,
                      const std::vector<UCHAR>& Data);
void SetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name, ULONG Value);
struct RegistryValue {
    ULONG Type;
    std::vector<UCHAR> Data;
};
std::optional<RegistryValue> GetRegistryValue(const std::u16string& KeyPath, const std::u16string& Name);
std::optional<ULONG> GetRegistryDword(const std::u16string& KeyPath, const std::u16string& Name);

// Failures on demand, each for the next call of that service (or every call, while set).
enum class RegistryFault { Open, Query, Set, Delete, Flush };
void FailRegistry(RegistryFault Fault, bool EveryCall = false);

// Registry writes reach the disk only when the key is flushed (ZwFlushKey) or the system shuts down
// cleanly. A crash (the power goes after a bug check) loses what was not flushed.
void LoseUnflushedRegistryWrites();
void FlushRegistryToDisk();  // what an orderly shutdown does
// Every registry service call the driver made since Reset, e.g. "Open \Registry\...", "Set Loaded=1".
const std::vector<std::string>& RegistryJournal();

// ----- Service control: load and unload ---------------------------------------------------------------

// The driver's service key.
const std::u16string& ServiceKeyPath();

// Loads the driver as the kernel starts a service: a fresh copy of its data (ReloadDriverData), a loader
// entry for it among the loaded modules, a DRIVER_OBJECT whose DriverSection is that entry, then
// DriverEntry at PASSIVE_LEVEL. Returns DriverEntry's status; on failure nothing stays loaded.
NTSTATUS LoadDriver();
// Calls the driver's DriverUnload as the kernel does when the service stops, then deletes its objects.
void UnloadDriver();
bool DriverLoaded();
PDRIVER_OBJECT LoadedDriverObject();

void SetSafeBootMode(ULONG Mode);  // InitSafeBootMode; 0 is a normal boot

// ----- I/O manager -----------------------------------------------------------------------------------

struct DeviceView {
    std::u16string Name;
    ULONG DeviceType;
    ULONG Characteristics;
    bool Exclusive;
    ULONG ExtensionSize;
};
std::vector<DeviceView> Devices();
// Symbolic links as (link name, target).
std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks();

enum class IoFault { CreateDevice, CreateSymbolicLink };
void FailIo(IoFault Fault);

struct RequestResult {
    NTSTATUS Returned;
    NTSTATUS IoStatus;
    ULONG_PTR Information;
    bool Completed;
};
// Sends one request through the driver's dispatch table to its first device, as the I/O manager does.
RequestResult SendCreate();
RequestResult SendClose();
RequestResult SendDeviceControl(ULONG IoControlCode, ULONG InputBufferLength, ULONG OutputBufferLength);
RequestResult SendShutdown();

// ----- Events, in the order the kernel saw them -------------------------------------------------------

// "IoCreateDevice", "IoCreateSymbolicLink", "ZwOpenKey", "PsSetLoadImageNotifyRoutine",
// "KeRegisterBugCheckCallback", "COM1" (first byte on the port), "PsRemoveLoadImageNotifyRoutine", ...:
// one entry per kernel service call the driver made, for tests of start-up and unload order.
const std::vector<std::string>& KernelCallLog();
void LogKernelCall(const std::string& Service);

}  // namespace sim
