// HesTolvaneDrv: writes a plain-text crash report to COM1 when the system bug-checks.
// This header declares the shared globals, the module record and every routine that crosses subsystems.
#pragma once

#include "platform/nt.h"

// Every allocation the driver makes carries this tag; its bytes in memory read "HesT".
constexpr ULONG HesTolvanePoolTag = (ULONG)'H' | ((ULONG)'e' << 8) | ((ULONG)'s' << 16) | ((ULONG)'T' << 24);

// The last component of the image's version 1.0.0.3; stored in the registry next to the crash marker.
constexpr ULONG DriverVersion = 3;

constexpr SIZE_T FormatBufferSize = 1024;
constexpr SIZE_T ModuleStringBufferSize = 256;
constexpr USHORT ModuleStringMaxCopy = 254;
constexpr SIZE_T PdbNameSize = 256;

// One recorded kernel module. Complete before it is linked, never changed afterwards, and read without
// the lock at bug check, so everything in it lives in non-paged pool.
typedef struct _MODULE_INFO {
    LIST_ENTRY Links;
    PVOID ImageStart;
    PVOID ImageEnd;  // first address past the image
    ANSI_STRING ModuleName;
    ANSI_STRING FullPath;
    GUID PdbGuid;
    CHAR PdbName[PdbNameSize];
} ModuleInfo;

enum BootStateValue : ULONG {
    BootNormal = 1,
    BootLastBsod = 2,
    BootLastBsodNewVersion = 3,
};

enum RegValueOperation : ULONG {
    RegOpQuery = 1,
    RegOpSet = 2,
    RegOpDelete = 3,
};

// Globals. Each is written by start-up (or under ModuleListLock) before the bug-check path can read it.
extern LIST_ENTRY ModuleListHead;
extern KSPIN_LOCK ModuleListLock;
extern ULONG ModuleRecordsLinked;  // raised under ModuleListLock at every insert, never lowered
extern BOOLEAN ModuleTrackingEnabled;
extern ULONG BootState;
extern POOL_TYPE DriverPoolType;  // chosen by start-up before the first allocation, never changed after
extern ULONG64 SerialPortBase;
extern BOOLEAN SerialTransmitterStalled;  // a byte timed out and none has gone through since
extern const ULONG ComPortTable[5];
extern CHAR FormatBuffer[FormatBufferSize];
extern ULONG DumpCount;
extern KBUGCHECK_CALLBACK_RECORD BugCheckCallbackRecord;

// Serial console.
void SerialWrite(const void* Data, ULONG64 Length);
ULONG64 TextLength(const char* Text);
void SerialWriteText(const char* Text);

// Module table, and the test that guards every read of memory the driver does not own.
BOOLEAN IsRangeValid(ULONG_PTR Address, ULONG_PTR Length);
void InsertModuleRecord(ModuleInfo* Record);
ModuleInfo* NextModuleRecordAtBugCheck(const ModuleInfo* Current, ULONG* Visited);
BOOLEAN FindModuleByAddress(PVOID Address, PCHAR* NameOut, ULONG64* OffsetOut);
void FreeModuleTable();
void FreeModuleRecord(ModuleInfo* Record);
ULONG GetModulePdbInfo(ModuleInfo* Record);
BOOLEAN IsValidUnicodeString(PCUNICODE_STRING String);
void EnumLoadedModules(PDRIVER_OBJECT DriverObject);
extern "C" void LoadImageNotify(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

// Boot-state guard.
BOOLEAN ReadRegDword(PCWSTR Name, PULONG Out);
void RegValueOp(PCWSTR Name, ULONG Op, ULONG Value, PULONG Out);
BOOLEAN IsNormalBoot();
BOOLEAN IsOlderVersion();
void DecideBootState();
void RemoveLoadedMarker();

// Crash dump.
extern "C" void BugCheckDumpCallback(PVOID Buffer, ULONG Length);
void PrintModuleInfo(const ModuleInfo* Record);
void PrintStack();
void ReadCrashTime(PTIME_FIELDS TimeFields);

// Lifecycle.
void ChooseDriverPoolType();
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
extern "C" NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
extern "C" NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
extern "C" void UnloadDriver(PDRIVER_OBJECT DriverObject);
