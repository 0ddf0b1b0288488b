// HesTolvaneWineHarness.sys: a test-only driver that lets the real HesTolvaneDrv.sys run under Wine. It is
// never shipped. Loaded first into the same winedevice process, it emulates COM1's port I/O and stands in
// for the bug-check services Wine leaves unimplemented, and can stage a bug check on a client's request.
#include "platform/nt.h"
#include "wine_harness_protocol.h"

// ---------------------------------------------------------------------------------------------------------
// What the harness needs beyond the kernel interface the driver uses. Under Wine a driver is an ordinary
// module of the winedevice process, so the harness may call kernel32 as well.

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[15];
} EXCEPTION_RECORD;
static_assert(sizeof(EXCEPTION_RECORD) == 0x98, "EXCEPTION_RECORD");

typedef struct _EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
} EXCEPTION_POINTERS;

typedef LONG VECTORED_EXCEPTION_HANDLER(EXCEPTION_POINTERS* ExceptionInfo);

typedef struct _IMAGE_IMPORT_DESCRIPTOR {
    ULONG OriginalFirstThunk;  // RVA of the import name table
    ULONG TimeDateStamp;
    ULONG ForwarderChain;
    ULONG Name;        // RVA of the module name
    ULONG FirstThunk;  // RVA of the import address table
} IMAGE_IMPORT_DESCRIPTOR;
static_assert(sizeof(IMAGE_IMPORT_DESCRIPTOR) == 20, "IMAGE_IMPORT_DESCRIPTOR");

constexpr ULONG ImageDirectoryEntryImport = 1;
constexpr ULONG64 ImageOrdinalFlag64 = 0x8000000000000000ull;

extern "C" {
__declspec(dllimport) PVOID AddVectoredExceptionHandler(ULONG First, VECTORED_EXCEPTION_HANDLER* Handler);
__declspec(dllimport) ULONG RemoveVectoredExceptionHandler(PVOID Handle);
__declspec(dllimport) HANDLE CreateFileW(PCWSTR FileName, ULONG DesiredAccess, ULONG ShareMode, PVOID Security,
                                         ULONG CreationDisposition, ULONG FlagsAndAttributes, HANDLE Template);
__declspec(dllimport) int WriteFile(HANDLE File, const void* Buffer, ULONG Length, PULONG Written,
                                    PVOID Overlapped);
__declspec(dllimport) int VirtualProtect(PVOID Address, SIZE_T Size, ULONG NewProtect, PULONG OldProtect);
__declspec(dllimport) int lstrcmpiA(PCSTR First, PCSTR Second);

// The linker places this symbol at the image's own base.
extern const IMAGE_DOS_HEADER __ImageBase;
}

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG64)-1)
constexpr ULONG FileAppendData = 0x0004;
constexpr ULONG FileShareReadWrite = 0x0003;
constexpr ULONG OpenAlways = 4;
constexpr ULONG FileAttributeNormal = 0x80;
constexpr ULONG PageReadWrite = 0x04;
constexpr ACCESS_MASK KeyRead = 0x20019;
constexpr LONG ExceptionContinueExecution = -1;
constexpr LONG ExceptionContinueSearch = 0;
constexpr NTSTATUS StatusPrivilegedInstruction = (NTSTATUS)0xC0000096L;
constexpr NTSTATUS StatusNotFound = (NTSTATUS)0xC0000225L;

// ---------------------------------------------------------------------------------------------------------
// State. The tests drive the harness one step at a time (the driver's start-up, then one request after
// another), so none of it needs a lock.

namespace {

constexpr USHORT Com1Data = 0x3F8;
constexpr USHORT Com1LineStatus = 0x3FD;
// Transmitter holding register and transmitter both empty: ready for the next byte at once.
constexpr UCHAR LineStatusReady = 0x60;
constexpr UCHAR OpcodeInAlDx = 0xEC;
constexpr UCHAR OpcodeOutDxAl = 0xEE;

const char DriverUnderTest[] = "HesTolvaneDrv.sys";
constexpr ULONG MaxCallbacks = 4;

HANDLE CaptureFile = INVALID_HANDLE_VALUE;
HANDLE EventsFile = INVALID_HANDLE_VALUE;
PDEVICE_OBJECT HarnessDevice = NULL;

// The driver under test, once its load has been seen: only its own instructions get port I/O.
ULONG_PTR DriverImageStart = 0;
ULONG_PTR DriverImageEnd = 0;

ULONG64 LineStatusReads = 0;
ULONG64 DataBytesWritten = 0;

// What the bug-check stand-ins keep: the registered records, and the five words KiBugCheckData holds
// on a real system (code, then the four parameters) while callbacks run.
PKBUGCHECK_CALLBACK_RECORD Callbacks[MaxCallbacks];
ULONG_PTR StandInBugCheckData[5];
ULONG BugChecksStaged = 0;

char LineBuffer[512];

void AppendToFile(HANDLE File, const void* Data, ULONG Length) {
    ULONG Written = 0;
    if (File != INVALID_HANDLE_VALUE) {
        WriteFile(File, Data, Length, &Written, NULL);
    }
}

HANDLE OpenAppendOnly(PCWSTR Path) {
    return CreateFileW(Path, FileAppendData, FileShareReadWrite, NULL, OpenAlways, FileAttributeNormal, NULL);
}

ULONG64 TextLength(const char* Text) {
    ULONG64 Length = 0;
    while (Text[Length] != '\0') {
        Length++;
    }
    return Length;
}

// One line of the events file; the runner reads these back.
void LogLine(const char* Line) {
    AppendToFile(EventsFile, Line, (ULONG)TextLength(Line));
    AppendToFile(EventsFile, "\n", 1);
}

const IMAGE_NT_HEADERS64* NtHeadersOf(ULONG_PTR Base) {
    return (const IMAGE_NT_HEADERS64*)(Base + ((const IMAGE_DOS_HEADER*)Base)->e_lfanew);
}

ULONG ImageSizeOf(ULONG_PTR Base) {
    return NtHeadersOf(Base)->OptionalHeader.SizeOfImage;
}

BOOLEAN IsInDriverUnderTest(ULONG_PTR Address) {
    return Address >= DriverImageStart && Address < DriverImageEnd;
}

// ---------------------------------------------------------------------------------------------------------
// COM1. IN and OUT fault in user mode (Wine reports them as privileged instructions); the driver uses only
// the one-byte DX forms, so each is decoded from its opcode and skipped after being carried out.

LONG EmulatePortIo(EXCEPTION_POINTERS* Exception) {
    CONTEXT* Context = Exception->ContextRecord;
    if (Exception->ExceptionRecord->ExceptionCode != StatusPrivilegedInstruction ||
        !IsInDriverUnderTest(Context->Rip)) {
        return ExceptionContinueSearch;
    }
    const UCHAR Opcode = *(const UCHAR*)Context->Rip;
    const USHORT Port = (USHORT)Context->Rdx;
    if (Opcode == OpcodeInAlDx && Port == Com1LineStatus) {
        Context->Rax = (Context->Rax & ~0xFFull) | LineStatusReady;
        LineStatusReads++;
    } else if (Opcode == OpcodeOutDxAl && Port == Com1Data) {
        const UCHAR Byte = (UCHAR)Context->Rax;
        AppendToFile(CaptureFile, &Byte, 1);
        DataBytesWritten++;
    } else {
        // Any other port or form is not what the driver is meant to do: let it fail visibly.
        return ExceptionContinueSearch;
    }
    Context->Rip += 1;
    return ExceptionContinueExecution;
}

// ---------------------------------------------------------------------------------------------------------
// Registry, read at the moment the driver registers its callback: between setting its crash marker and
// removing it, which nothing outside the driver can otherwise see.

const WCHAR ServiceKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv";

// The value as text: its number, "absent", or its type when it is not a REG_DWORD.
void DescribeDwordValue(HANDLE Key, PCWSTR Name, char* Out, SIZE_T OutSize) {
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, Name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION Information;
        UCHAR Bytes[64];
    } Value;
    ULONG ResultLength = 0;
    const NTSTATUS Status =
        ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, &Value, sizeof(Value), &ResultLength);
    if (Status == STATUS_OBJECT_NAME_NOT_FOUND) {
        sprintf_s(Out, OutSize, "absent");
    } else if (!NT_SUCCESS(Status)) {
        sprintf_s(Out, OutSize, "unreadable(%08X)", (ULONG)Status);
    } else if (Value.Information.Type != REG_DWORD || Value.Information.DataLength != sizeof(ULONG)) {
        sprintf_s(Out, OutSize, "type%u/%u", Value.Information.Type, Value.Information.DataLength);
    } else {
        ULONG Number;
        RtlCopyMemory(&Number, Value.Information.Data, sizeof(Number));
        sprintf_s(Out, OutSize, "%u", Number);
    }
}

void LogMarkerValues(const char* When) {
    char Loaded[32] = "unopened";
    char Version[32] = "unopened";
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, ServiceKeyPath);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE Key = NULL;
    if (NT_SUCCESS(ZwOpenKey(&Key, KeyRead, &Attributes))) {
        DescribeDwordValue(Key, u"Loaded", Loaded, sizeof(Loaded));
        DescribeDwordValue(Key, u"Version", Version, sizeof(Version));
        ZwClose(Key);
    }
    sprintf_s(LineBuffer, sizeof(LineBuffer), "registry %s: Loaded=%s Version=%s", When, Loaded, Version);
    LogLine(LineBuffer);
}

// ---------------------------------------------------------------------------------------------------------
// Stand-ins for what Wine does not provide: its KeRegisterBugCheckCallback and KeDeregisterBugCheckCallback
// are stubs that abort the process, and its KiBugCheckData export is a stub function, not data. They keep
// the kernel's contract: a record is accepted only while empty, and taken back only while inserted.

BOOLEAN StandInRegisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD Record, PKBUGCHECK_CALLBACK_ROUTINE Routine,
                                        PVOID Buffer, ULONG Length, PUCHAR Component) {
    ULONG Slot = 0;
    while (Slot < MaxCallbacks && Callbacks[Slot] != NULL) {
        Slot++;
    }
    const BOOLEAN Accepted = Record->State == BufferEmpty && Slot < MaxCallbacks;
    if (Accepted) {
        Record->CallbackRoutine = Routine;
        Record->Buffer = Buffer;
        Record->Length = Length;
        Record->Component = Component;
        Record->State = BufferInserted;
        Callbacks[Slot] = Record;
    }
    sprintf_s(LineBuffer, sizeof(LineBuffer),
              "KeRegisterBugCheckCallback component=%s routine=%s buffer=%p length=%u -> %s",
              Component != NULL ? (const char*)Component : "(null)",
              IsInDriverUnderTest((ULONG_PTR)Routine) ? "in-driver" : "elsewhere", Buffer, Length,
              Accepted ? "TRUE" : "FALSE");
    LogLine(LineBuffer);
    LogMarkerValues("at registration");
    return Accepted;
}

BOOLEAN StandInDeregisterBugCheckCallback(PKBUGCHECK_CALLBACK_RECORD Record) {
    BOOLEAN Removed = FALSE;
    for (ULONG Slot = 0; Slot < MaxCallbacks; Slot++) {
        if (Callbacks[Slot] == Record && Record->State == BufferInserted) {
            Callbacks[Slot] = NULL;
            Record->State = BufferEmpty;
            Removed = TRUE;
        }
    }
    sprintf_s(LineBuffer, sizeof(LineBuffer), "KeDeregisterBugCheckCallback -> %s", Removed ? "TRUE" : "FALSE");
    LogLine(LineBuffer);
    return Removed;
}

// Runs every registered callback the way the kernel does at a bug check, after filling in the data the
// callbacks read. Unlike the kernel's, this "system" goes on afterwards, so each record goes back to
// inserted and can still be deregistered at unload. The port counters show what this report cost on COM1.
NTSTATUS StageBugCheck(const ULONG64* Words) {
    RtlCopyMemory(StandInBugCheckData, Words, sizeof(StandInBugCheckData));
    BugChecksStaged++;
    const ULONG64 BytesBefore = DataBytesWritten;
    const ULONG64 ReadsBefore = LineStatusReads;
    ULONG Ran = 0;
    for (ULONG Slot = 0; Slot < MaxCallbacks; Slot++) {
        PKBUGCHECK_CALLBACK_RECORD Record = Callbacks[Slot];
        if (Record == NULL) {
            continue;
        }
        Record->State = BufferStarted;
        Record->CallbackRoutine(Record->Buffer, Record->Length);
        Record->State = BufferInserted;
        Ran++;
    }
    sprintf_s(LineBuffer, sizeof(LineBuffer),
              "bugcheck %u code=%llX callbacks=%u bytes=%llu line-status-reads=%llu harness=%p-%p", BugChecksStaged,
              Words[0], Ran, DataBytesWritten - BytesBefore, LineStatusReads - ReadsBefore, (const void*)&__ImageBase,
              (const void*)((const UCHAR*)&__ImageBase + ImageSizeOf((ULONG_PTR)&__ImageBase)));
    LogLine(LineBuffer);
    return Ran != 0 ? STATUS_SUCCESS : StatusNotFound;
}

// ---------------------------------------------------------------------------------------------------------
// Import patching, done from the load-image notification: Wine has resolved the driver's imports by then
// but not yet called its DriverEntry.

struct StandIn {
    const char* Name;
    PVOID Replacement;
};

const StandIn StandIns[] = {
    {"KeRegisterBugCheckCallback", (PVOID)StandInRegisterBugCheckCallback},
    {"KeDeregisterBugCheckCallback", (PVOID)StandInDeregisterBugCheckCallback},
    // A data import: the slot holds the address of the data, so it is pointed at the harness's copy.
    {"KiBugCheckData", (PVOID)StandInBugCheckData},
};

void PatchSlot(ULONG_PTR Base, const char* Name, PVOID* Slot, PVOID Replacement) {
    ULONG OldProtect = 0;
    BOOLEAN Patched = FALSE;
    if (VirtualProtect(Slot, sizeof(*Slot), PageReadWrite, &OldProtect)) {
        *Slot = Replacement;
        VirtualProtect(Slot, sizeof(*Slot), OldProtect, &OldProtect);
        Patched = TRUE;
    }
    sprintf_s(LineBuffer, sizeof(LineBuffer), "%s %s (import slot at +%llX)", Patched ? "patched" : "unpatchable",
              Name, (ULONG64)((ULONG_PTR)Slot - Base));
    LogLine(LineBuffer);
}

void PatchImports(ULONG_PTR Base) {
    const IMAGE_DATA_DIRECTORY Imports = NtHeadersOf(Base)->OptionalHeader.DataDirectory[ImageDirectoryEntryImport];
    for (const IMAGE_IMPORT_DESCRIPTOR* Module = (const IMAGE_IMPORT_DESCRIPTOR*)(Base + Imports.VirtualAddress);
         Imports.Size != 0 && Module->Name != 0; Module++) {
        if (lstrcmpiA((PCSTR)(Base + Module->Name), "ntoskrnl.exe") != 0) {
            continue;
        }
        const ULONG64* Names = (const ULONG64*)(Base + Module->OriginalFirstThunk);
        PVOID* Slots = (PVOID*)(Base + Module->FirstThunk);
        for (ULONG Index = 0; Names[Index] != 0; Index++) {
            if (Names[Index] & ImageOrdinalFlag64) {
                continue;
            }
            // A hint/name entry: a two-byte hint, then the name.
            const char* Name = (const char*)(Base + (ULONG_PTR)Names[Index] + sizeof(USHORT));
            for (const StandIn& Entry : StandIns) {
                if (lstrcmpiA(Name, Entry.Name) == 0) {
                    PatchSlot(Base, Entry.Name, &Slots[Index], Entry.Replacement);
                }
            }
        }
    }
}

// The file name after the last backslash, compared without regard to case.
BOOLEAN IsDriverUnderTest(PCUNICODE_STRING FullImageName) {
    if (FullImageName == NULL || FullImageName->Buffer == NULL) {
        return FALSE;
    }
    const ULONG Characters = FullImageName->Length / sizeof(WCHAR);
    ULONG Start = 0;
    for (ULONG Index = 0; Index < Characters; Index++) {
        if (FullImageName->Buffer[Index] == u'\\' || FullImageName->Buffer[Index] == u'/') {
            Start = Index + 1;
        }
    }
    char Name[64];
    ULONG Length = 0;
    for (ULONG Index = Start; Index < Characters && Length + 1 < sizeof(Name); Index++) {
        const WCHAR Character = FullImageName->Buffer[Index];
        Name[Length++] = Character < 0x80 ? (char)Character : '?';
    }
    Name[Length] = '\0';
    return lstrcmpiA(Name, DriverUnderTest) == 0;
}

void NotifyImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    (void)ProcessId;
    if (!IsDriverUnderTest(FullImageName)) {
        return;
    }
    const ULONG_PTR Base = (ULONG_PTR)ImageInfo->ImageBase;
    DriverImageStart = Base;
    DriverImageEnd = Base + ImageSizeOf(Base);
    sprintf_s(LineBuffer, sizeof(LineBuffer), "loading %s at %p-%p", DriverUnderTest, (PVOID)DriverImageStart,
              (PVOID)DriverImageEnd);
    LogLine(LineBuffer);
    PatchImports(Base);
}

// ---------------------------------------------------------------------------------------------------------
// The harness's device: opened by the client to stage a bug check.

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS HarnessCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    return CompleteWith(Irp, STATUS_SUCCESS);
}

NTSTATUS HarnessDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.IoControlCode != HARNESS_IOCTL_BUGCHECK ||
        Stack->Parameters.DeviceIoControl.InputBufferLength != HARNESS_BUGCHECK_WORDS * sizeof(ULONG64) ||
        Stack->Parameters.DeviceIoControl.Type3InputBuffer == NULL) {
        return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    }
    ULONG64 Words[HARNESS_BUGCHECK_WORDS];
    RtlCopyMemory(Words, Stack->Parameters.DeviceIoControl.Type3InputBuffer, sizeof(Words));
    return CompleteWith(Irp, StageBugCheck(Words));
}

}  // namespace

// No unload routine: once the driver under test has run, its import slots point into this image, so the
// harness must outlive it. The test ends by ending the whole Wine session.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    // Wine's loader treats a native image that imports kernel32 as a DLL and also calls its entry point
    // with DllMain's arguments (the image's own base first) when loading and unloading it. Those calls
    // are only acknowledged; winedevice calls the entry point as DriverEntry afterwards.
    if ((const void*)DriverObject == (const void*)&__ImageBase) {
        return TRUE;
    }
    CaptureFile = OpenAppendOnly(HARNESS_CAPTURE_PATH);
    EventsFile = OpenAppendOnly(HARNESS_EVENTS_PATH);
    if (CaptureFile == INVALID_HANDLE_VALUE || EventsFile == INVALID_HANDLE_VALUE) {
        return STATUS_UNSUCCESSFUL;
    }
    // Read through the import exactly as the driver under test reads it: its start-up refuses to run
    // when this is not 0.
    sprintf_s(LineBuffer, sizeof(LineBuffer), "harness loaded; InitSafeBootMode=%u", InitSafeBootMode);
    LogLine(LineBuffer);

    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, HARNESS_DEVICE_NAME);
    NTSTATUS Status =
        IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &HarnessDevice);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, HARNESS_LINK_NAME);
    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(HarnessDevice);
        return Status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = HarnessCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = HarnessCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HarnessDeviceControl;

    // First in line, ahead of Wine's own handler for the instructions it does emulate.
    PVOID Handler = AddVectoredExceptionHandler(1, EmulatePortIo);
    Status = Handler != NULL ? PsSetLoadImageNotifyRoutine(NotifyImageLoad) : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(Status)) {
        if (Handler != NULL) {
            RemoveVectoredExceptionHandler(Handler);
        }
        IoDeleteSymbolicLink(&LinkName);
        IoDeleteDevice(HarnessDevice);
        LogLine("harness failed: no exception handler or load-image notification");
        return Status;
    }
    LogLine("harness ready");
    return STATUS_SUCCESS;
}
