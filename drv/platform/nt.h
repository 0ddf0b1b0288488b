// The Windows x64 kernel as the driver sees it: the types, layouts and services it uses, declared with
// fixed-width types so that the same driver sources build for the real kernel and for the simulated one.
#pragma once

#if defined(HESTOLVANE_HOST) == defined(HESTOLVANE_DRIVER)
#error "define exactly one of HESTOLVANE_HOST and HESTOLVANE_DRIVER"
#endif

// ---------------------------------------------------------------------------------------------------------
// Base types. Windows is LLP64: LONG and ULONG are 32 bits everywhere, WCHAR is 16 bits (char16_t here,
// never wchar_t, which is 32 bits on Linux).

typedef char CHAR, CCHAR;
typedef unsigned char UCHAR, BOOLEAN, KIRQL;
typedef short SHORT, CSHORT;
typedef unsigned short USHORT;
typedef int LONG, NTSTATUS;
typedef unsigned int ULONG, ACCESS_MASK, DEVICE_TYPE;
typedef long long LONG64, LONGLONG;
typedef unsigned long long ULONG64, ULONGLONG, ULONG_PTR, SIZE_T;
typedef char16_t WCHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef char* PCHAR;
typedef char* PSTR;
typedef const char* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef ULONG64* PULONG64;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

static_assert(sizeof(CHAR) == 1 && sizeof(USHORT) == 2 && sizeof(ULONG) == 4 && sizeof(ULONG64) == 8, "widths");
static_assert(sizeof(WCHAR) == 2 && sizeof(PVOID) == 8 && sizeof(ULONG_PTR) == sizeof(PVOID), "x64 widths");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3

// ---------------------------------------------------------------------------------------------------------
// Records shared by many services.

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
static_assert(sizeof(LIST_ENTRY) == 0x10, "LIST_ENTRY");

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 0x10 && __builtin_offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING");

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;
static_assert(sizeof(ANSI_STRING) == 0x10 && __builtin_offsetof(ANSI_STRING, Buffer) == 8, "ANSI_STRING");

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID");

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

typedef struct _TIME_FIELDS {
    CSHORT Year;
    CSHORT Month;
    CSHORT Day;
    CSHORT Hour;
    CSHORT Minute;
    CSHORT Second;
    CSHORT Milliseconds;
    CSHORT Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
static_assert(sizeof(TIME_FIELDS) == 16, "TIME_FIELDS");

// ---------------------------------------------------------------------------------------------------------
// Processor context and unwinding (x64).

typedef struct alignas(16) _M128A {
    ULONG64 Low;
    LONG64 High;
} M128A, *PM128A;

typedef struct alignas(16) _CONTEXT {
    ULONG64 P1Home, P2Home, P3Home, P4Home, P5Home, P6Home;
    ULONG ContextFlags;
    ULONG MxCsr;
    USHORT SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    ULONG EFlags;
    ULONG64 Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    ULONG64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    ULONG64 R8, R9, R10, R11, R12, R13, R14, R15;
    ULONG64 Rip;
    M128A FltSave[32];
    M128A VectorRegister[26];
    ULONG64 VectorControl;
    ULONG64 DebugControl;
    ULONG64 LastBranchToRip, LastBranchFromRip, LastExceptionToRip, LastExceptionFromRip;
} CONTEXT, *PCONTEXT;
static_assert(sizeof(CONTEXT) == 0x4D0, "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, SegCs) == 0x38 && __builtin_offsetof(CONTEXT, EFlags) == 0x44, "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, Rax) == 0x78 && __builtin_offsetof(CONTEXT, Rsp) == 0x98, "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, Rip) == 0xF8 && __builtin_offsetof(CONTEXT, FltSave) == 0x100, "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, VectorRegister) == 0x300, "CONTEXT");

typedef struct _KNONVOLATILE_CONTEXT_POINTERS {
    PM128A FloatingContext[16];
    PULONG64 IntegerContext[16];
} KNONVOLATILE_CONTEXT_POINTERS, *PKNONVOLATILE_CONTEXT_POINTERS;
static_assert(sizeof(KNONVOLATILE_CONTEXT_POINTERS) == 0x100, "KNONVOLATILE_CONTEXT_POINTERS");

typedef struct _RUNTIME_FUNCTION {
    ULONG BeginAddress;
    ULONG EndAddress;
    ULONG UnwindData;
} RUNTIME_FUNCTION, *PRUNTIME_FUNCTION;
static_assert(sizeof(RUNTIME_FUNCTION) == 12, "RUNTIME_FUNCTION");

typedef struct _UNWIND_HISTORY_TABLE* PUNWIND_HISTORY_TABLE;
typedef PVOID PEXCEPTION_ROUTINE;

#define UNW_FLAG_NHANDLER 0x0
#define UNW_FLAG_EHANDLER 0x1
#define UNW_FLAG_UHANDLER 0x2

// ---------------------------------------------------------------------------------------------------------
// Bug-check callbacks.

typedef void KBUGCHECK_CALLBACK_ROUTINE(PVOID Buffer, ULONG Length);
typedef KBUGCHECK_CALLBACK_ROUTINE* PKBUGCHECK_CALLBACK_ROUTINE;

typedef enum _KBUGCHECK_BUFFER_DUMP_STATE {
    BufferEmpty,
    BufferInserted,
    BufferStarted,
    BufferFinished,
    BufferIncomplete
} KBUGCHECK_BUFFER_DUMP_STATE;

typedef struct _KBUGCHECK_CALLBACK_RECORD {
    LIST_ENTRY Entry;
    PKBUGCHECK_CALLBACK_ROUTINE CallbackRoutine;
    PVOID Buffer;
    ULONG Length;
    PUCHAR Component;
    ULONG_PTR Checksum;
    UCHAR State;
} KBUGCHECK_CALLBACK_RECORD, *PKBUGCHECK_CALLBACK_RECORD;
static_assert(sizeof(KBUGCHECK_CALLBACK_RECORD) == 0x40, "KBUGCHECK_CALLBACK_RECORD");
static_assert(__builtin_offsetof(KBUGCHECK_CALLBACK_RECORD, Component) == 0x28, "KBUGCHECK_CALLBACK_RECORD");
static_assert(__builtin_offsetof(KBUGCHECK_CALLBACK_RECORD, State) == 0x38, "KBUGCHECK_CALLBACK_RECORD");

// ---------------------------------------------------------------------------------------------------------
// I/O manager.

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define IO_NO_INCREMENT 0

struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(sizeof(DRIVER_OBJECT) == 0x150, "DRIVER_OBJECT");
static_assert(__builtin_offsetof(DRIVER_OBJECT, DeviceObject) == 0x08, "DRIVER_OBJECT");
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverSection) == 0x28, "DRIVER_OBJECT");
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x68, "DRIVER_OBJECT");
static_assert(__builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x70, "DRIVER_OBJECT");

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 0x10, "IO_STATUS_BLOCK");

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1, Argument2, Argument3, Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
static_assert(sizeof(IO_STACK_LOCATION) == 0x48, "IO_STACK_LOCATION");
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 0x08, "IRP");
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 0x10, "IRP");
static_assert(__builtin_offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28, "IO_STACK_LOCATION");

// Only the members the driver touches are named; the rest is kept as opaque bytes at its x64 place.
struct _IRP {
    CSHORT Type;
    USHORT Size;
    UCHAR Opaque0[0x2C];
    IO_STATUS_BLOCK IoStatus;
    UCHAR Opaque1[0x38];
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PVOID OriginalFileObject;
            PVOID IrpExtension;
        } Overlay;
    } Tail;
};
static_assert(sizeof(IRP) == 0xD0, "IRP");
static_assert(__builtin_offsetof(IRP, IoStatus) == 0x30, "IRP");
static_assert(__builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8, "IRP");

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

// ---------------------------------------------------------------------------------------------------------
// Image loading: the loader's record of a module and the notification's description of an image.

typedef struct _KLDR_DATA_TABLE_ENTRY {
    LIST_ENTRY InLoadOrderLinks;
    PVOID ExceptionTable;
    ULONG ExceptionTableSize;
    PVOID GpValue;
    PVOID NonPagedDebugInfo;
    PVOID DllBase;
    PVOID EntryPoint;
    ULONG SizeOfImage;
    UNICODE_STRING FullDllName;
    UNICODE_STRING BaseDllName;
    ULONG Flags;
    USHORT LoadCount;
    USHORT SignatureLevelAndType;
} KLDR_DATA_TABLE_ENTRY, *PKLDR_DATA_TABLE_ENTRY;
static_assert(__builtin_offsetof(KLDR_DATA_TABLE_ENTRY, DllBase) == 0x30, "KLDR_DATA_TABLE_ENTRY");
static_assert(__builtin_offsetof(KLDR_DATA_TABLE_ENTRY, SizeOfImage) == 0x40, "KLDR_DATA_TABLE_ENTRY");
static_assert(__builtin_offsetof(KLDR_DATA_TABLE_ENTRY, FullDllName) == 0x48, "KLDR_DATA_TABLE_ENTRY");
static_assert(__builtin_offsetof(KLDR_DATA_TABLE_ENTRY, BaseDllName) == 0x58, "KLDR_DATA_TABLE_ENTRY");

#define IMAGE_INFO_SYSTEM_MODE_IMAGE 0x100

typedef struct _IMAGE_INFO {
    ULONG Properties;
    PVOID ImageBase;
    ULONG ImageSelector;
    SIZE_T ImageSize;
    ULONG ImageSectionNumber;
} IMAGE_INFO, *PIMAGE_INFO;
static_assert(sizeof(IMAGE_INFO) == 0x28 && __builtin_offsetof(IMAGE_INFO, ImageSize) == 0x18, "IMAGE_INFO");

typedef void LOAD_IMAGE_NOTIFY_ROUTINE(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);
typedef LOAD_IMAGE_NOTIFY_ROUTINE* PLOAD_IMAGE_NOTIFY_ROUTINE;

// ---------------------------------------------------------------------------------------------------------
// PE/COFF records read from images in memory.

#define IMAGE_DOS_SIGNATURE 0x5A4D
#define IMAGE_NT_SIGNATURE 0x00004550
#define IMAGE_FILE_MACHINE_AMD64 0x8664
#define IMAGE_NT_OPTIONAL_HDR64_MAGIC 0x20B
#define IMAGE_NUMBEROF_DIRECTORY_ENTRIES 16
#define IMAGE_DIRECTORY_ENTRY_DEBUG 6
#define IMAGE_DEBUG_TYPE_CODEVIEW 2

typedef struct _IMAGE_DOS_HEADER {
    USHORT e_magic;
    USHORT e_cblp, e_cp, e_crlc, e_cparhdr, e_minalloc, e_maxalloc, e_ss, e_sp, e_csum, e_ip, e_cs;
    USHORT e_lfarlc, e_ovno, e_res[4], e_oemid, e_oeminfo, e_res2[10];
    LONG e_lfanew;
} IMAGE_DOS_HEADER;
static_assert(sizeof(IMAGE_DOS_HEADER) == 64 && __builtin_offsetof(IMAGE_DOS_HEADER, e_lfanew) == 0x3C, "DOS");

typedef struct _IMAGE_FILE_HEADER {
    USHORT Machine;
    USHORT NumberOfSections;
    ULONG TimeDateStamp;
    ULONG PointerToSymbolTable;
    ULONG NumberOfSymbols;
    USHORT SizeOfOptionalHeader;
    USHORT Characteristics;
} IMAGE_FILE_HEADER;
static_assert(sizeof(IMAGE_FILE_HEADER) == 20, "IMAGE_FILE_HEADER");

typedef struct _IMAGE_DATA_DIRECTORY {
    ULONG VirtualAddress;
    ULONG Size;
} IMAGE_DATA_DIRECTORY;

typedef struct _IMAGE_OPTIONAL_HEADER64 {
    USHORT Magic;
    UCHAR MajorLinkerVersion, MinorLinkerVersion;
    ULONG SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode;
    ULONGLONG ImageBase;
    ULONG SectionAlignment, FileAlignment;
    USHORT MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion;
    USHORT MajorSubsystemVersion, MinorSubsystemVersion;
    ULONG Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    USHORT Subsystem, DllCharacteristics;
    ULONGLONG SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    ULONG LoaderFlags, NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
} __attribute__((packed, aligned(4))) IMAGE_OPTIONAL_HEADER64;
static_assert(sizeof(IMAGE_OPTIONAL_HEADER64) == 240, "IMAGE_OPTIONAL_HEADER64");

typedef struct _IMAGE_NT_HEADERS64 {
    ULONG Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER64 OptionalHeader;
} IMAGE_NT_HEADERS64;
static_assert(sizeof(IMAGE_NT_HEADERS64) == 264, "IMAGE_NT_HEADERS64");
static_assert(__builtin_offsetof(IMAGE_NT_HEADERS64, OptionalHeader) == 24, "IMAGE_NT_HEADERS64");
static_assert(__builtin_offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) == 24 + 112, "NT headers");

typedef struct _IMAGE_DEBUG_DIRECTORY {
    ULONG Characteristics;
    ULONG TimeDateStamp;
    USHORT MajorVersion;
    USHORT MinorVersion;
    ULONG Type;
    ULONG SizeOfData;
    ULONG AddressOfRawData;
    ULONG PointerToRawData;
} IMAGE_DEBUG_DIRECTORY;
static_assert(sizeof(IMAGE_DEBUG_DIRECTORY) == 28, "IMAGE_DEBUG_DIRECTORY");
static_assert(__builtin_offsetof(IMAGE_DEBUG_DIRECTORY, Type) == 0x0C, "IMAGE_DEBUG_DIRECTORY");
static_assert(__builtin_offsetof(IMAGE_DEBUG_DIRECTORY, AddressOfRawData) == 0x14, "IMAGE_DEBUG_DIRECTORY");

// ---------------------------------------------------------------------------------------------------------
// Registry.

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define KEY_ALL_ACCESS 0xF003F
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 0x30 && __builtin_offsetof(OBJECT_ATTRIBUTES, Attributes) == 0x18, "OA");

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name, ULONG Flags,
                                       HANDLE Root, PVOID SecurityDescriptor) {
    Attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    Attributes->RootDirectory = Root;
    Attributes->Attributes = Flags;
    Attributes->ObjectName = Name;
    Attributes->SecurityDescriptor = SecurityDescriptor;
    Attributes->SecurityQualityOfService = NULL;
}

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;
static_assert(__builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION");

// ---------------------------------------------------------------------------------------------------------
// Pool.

// NonPagedPoolNx exists from Windows 8 on; earlier kernels refuse it as an unknown type. NonPagedPool is
// executable, which memory integrity and Driver Verifier's code-integrity option refuse in turn.
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

// ---------------------------------------------------------------------------------------------------------
// Version.

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW");
static_assert(__builtin_offsetof(RTL_OSVERSIONINFOW, szCSDVersion) == 20, "RTL_OSVERSIONINFOW");

// ---------------------------------------------------------------------------------------------------------
// Services exported by ntoskrnl.exe.

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
BOOLEAN MmIsAddressValid(PVOID VirtualAddress);

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

BOOLEAN KeRegisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD CallbackRecord,
                                   PKBUGCHECK_CALLBACK_ROUTINE CallbackRoutine, PVOID Buffer, ULONG Length,
                                   PUCHAR Component);
BOOLEAN KeDeregisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD CallbackRecord);

NTSTATUS PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);
NTSTATUS PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
NTSTATUS ZwFlushKey(HANDLE KeyHandle);
NTSTATUS ZwClose(HANDLE Handle);

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);
void RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

void RtlCaptureContext(PCONTEXT ContextRecord);
PRUNTIME_FUNCTION RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase, PUNWIND_HISTORY_TABLE HistoryTable);
PEXCEPTION_ROUTINE RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase, ULONG64 ControlPc,
                                    PRUNTIME_FUNCTION FunctionEntry, PCONTEXT ContextRecord, PVOID* HandlerData,
                                    PULONG64 EstablisherFrame, PKNONVOLATILE_CONTEXT_POINTERS ContextPointers);

int sprintf_s(char* Buffer, SIZE_T SizeOfBuffer, const char* Format, ...);
ULONG DbgPrint(PCSTR Format, ...);
}

// ---------------------------------------------------------------------------------------------------------
// The platform's inline routines: the same in both builds.

// Not exported on x64; wdm.h defines both inline.
inline void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

inline void KeInitializeCallbackRecord(PKBUGCHECK_CALLBACK_RECORD CallbackRecord) {
    CallbackRecord->State = BufferEmpty;
}

inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead;
    ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return ListHead->Flink == ListHead;
}

// A kernel-space address has at least one of its top 16 bits set. Kept apart from the build-specific test
// below so that the real kernel's rule has a unit test of its own.
inline BOOLEAN AddressHasKernelSpaceBits(ULONG_PTR Address) {
    return (Address & 0xFFFF000000000000ull) != 0;
}

// Everything that genuinely differs between the real kernel and the simulated one.
#if defined(HESTOLVANE_DRIVER)
#include "nt_driver.h"
#else
#include "nt_host.h"
#endif

// The checked list forms of wdm.h: a corrupt neighbour stops the system instead of spreading the damage.
inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY PrevEntry = ListHead->Blink;
    if (PrevEntry->Flink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = PrevEntry;
    PrevEntry->Flink = Entry;
    ListHead->Blink = Entry;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY NextEntry = Entry->Flink;
    if (Entry->Blink != ListHead || NextEntry->Blink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = NextEntry;
    NextEntry->Blink = ListHead;
    return Entry;
}

#define CONTAINING_RECORD(address, type, field) ((type*)((char*)(address) - __builtin_offsetof(type, field)))

inline void RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    __builtin_memset(Destination, 0, Length);
}

inline void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    __builtin_memcpy(Destination, Source, Length);
}
