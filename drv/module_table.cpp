// Module table: the driver's own non-paged list of kernel modules, filled ahead of time so that the
// bug-check path can name the module behind any code address without allocating or locking.
#include "hestolvane.h"

DRIVER_GLOBAL LIST_ENTRY ModuleListHead;
DRIVER_GLOBAL KSPIN_LOCK ModuleListLock;
DRIVER_GLOBAL ULONG ModuleRecordsLinked = 0;

// On a real kernel a fault on an invalid kernel address is a bug check that no handler catches, so every
// read of foreign memory is preceded by a test of each page it touches. Every range tested is shorter than
// a page, so its first and last bytes cover every page it touches.
BOOLEAN IsRangeValid(ULONG_PTR Address, ULONG_PTR Length) {
    return MmIsAddressValid((PVOID)Address) && MmIsAddressValid((PVOID)(Address + Length - 1));
}

void InsertModuleRecord(ModuleInfo* Record) {
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&ModuleListLock);
    InsertTailList(&ModuleListHead, &Record->Links);
    ModuleRecordsLinked++;
    KeReleaseSpinLock(&ModuleListLock, OldIrql);
}

namespace {

// The record behind a forward link, or NULL at the end of the table. Readers at bug check take no lock
// and may meet a damaged table; a record whose memory is gone also ends the walk, since its forward
// link cannot be read.
ModuleInfo* ReadableModuleRecord(PLIST_ENTRY Link) {
    if (Link == &ModuleListHead || Link == NULL) {
        return NULL;
    }
    ModuleInfo* Record = CONTAINING_RECORD(Link, ModuleInfo, Links);
    if (!IsRangeValid((ULONG_PTR)Record, sizeof(ModuleInfo))) {
        return NULL;
    }
    return Record;
}

}  // namespace

// A walk at bug check visits no more records than were ever linked: links damaged into a cycle would
// otherwise hold the dying machine in the walk for ever. Visited counts the records handed out so far.
ModuleInfo* NextModuleRecordAtBugCheck(const ModuleInfo* Current, ULONG* Visited) {
    if (*Visited >= ModuleRecordsLinked) {
        return NULL;
    }
    ModuleInfo* Next = ReadableModuleRecord(Current == NULL ? ModuleListHead.Flink : Current->Links.Flink);
    if (Next != NULL) {
        (*Visited)++;
    }
    return Next;
}

// Image ranges of loaded modules never overlap, so when several records cover an address the older ones
// are stale (a module that unloaded and whose range was reused) or duplicates: the newest record wins.
BOOLEAN FindModuleByAddress(PVOID Address, PCHAR* NameOut, ULONG64* OffsetOut) {
    if (!MmIsAddressValid(Address)) {
        return FALSE;
    }
    const ULONG_PTR Target = (ULONG_PTR)Address;
    const ModuleInfo* Match = NULL;
    ULONG Visited = 0;
    for (ModuleInfo* Record = NextModuleRecordAtBugCheck(NULL, &Visited); Record != NULL;
         Record = NextModuleRecordAtBugCheck(Record, &Visited)) {
        if ((ULONG_PTR)Record->ImageStart <= Target && Target < (ULONG_PTR)Record->ImageEnd) {
            Match = Record;
        }
    }
    if (Match == NULL) {
        return FALSE;
    }
    *NameOut = Match->ModuleName.Buffer;
    *OffsetOut = Target - (ULONG_PTR)Match->ImageStart;
    return TRUE;
}

void FreeModuleRecord(ModuleInfo* Record) {
    if (Record->ModuleName.Buffer != NULL) {
        ExFreePoolWithTag(Record->ModuleName.Buffer, HesTolvanePoolTag);
    }
    if (Record->FullPath.Buffer != NULL) {
        ExFreePoolWithTag(Record->FullPath.Buffer, HesTolvanePoolTag);
    }
    ExFreePoolWithTag(Record, HesTolvanePoolTag);
}

void FreeModuleTable() {
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&ModuleListLock);
    while (!IsListEmpty(&ModuleListHead)) {
        FreeModuleRecord(CONTAINING_RECORD(RemoveHeadList(&ModuleListHead), ModuleInfo, Links));
    }
    KeReleaseSpinLock(&ModuleListLock, OldIrql);
}

// ---------------------------------------------------------------------------------------------------------
// Debug identity: the program database's GUID and path from the image's CodeView record.

namespace {

constexpr ULONG CodeViewRsdsSignature = 0x53445352;  // "RSDS"
constexpr ULONG CodeViewGuidOffset = 4;
constexpr ULONG CodeViewPathOffset = 24;
constexpr ULONG MaxLoaderEntries = 4096;
constexpr ULONG_PTR PageSize = 0x1000;

// Offsets inside an image carry no alignment guarantee, so its fields are read by copying: one plain load
// on x64, and well-defined wherever the field lies.
template <typename Field>
Field ReadImageField(ULONG_PTR Address) {
    Field Value;
    RtlCopyMemory(&Value, (const void*)Address, sizeof(Value));
    return Value;
}

struct IdentityRead {
    ULONG_PTR ImageBase;
    GUID Guid;
    CHAR PdbName[PdbNameSize];
    ULONG Result;
};

// Copies the program-database path, testing each page before the first read from it; FALSE when a page
// of the path is not there.
BOOLEAN CopyPdbPath(ULONG_PTR Path, CHAR* Destination) {
    for (ULONG Index = 0; Index < PdbNameSize - 1; Index++) {
        const ULONG_PTR Address = Path + Index;
        if ((Index == 0 || (Address & (PageSize - 1)) == 0) && !MmIsAddressValid((PVOID)Address)) {
            return FALSE;
        }
        const CHAR Character = *(const CHAR*)Address;
        Destination[Index] = Character;
        if (Character == '\0') {
            return TRUE;
        }
    }
    Destination[PdbNameSize - 1] = '\0';
    return TRUE;
}

// The whole read, run under the exception guard. Leaves Result at 1 unless the identity was read whole.
void ReadPdbIdentity(PVOID Argument) {
    IdentityRead* Read = (IdentityRead*)Argument;
    const ULONG_PTR Base = Read->ImageBase;

    if (!IsRangeValid(Base, sizeof(USHORT)) || ReadImageField<USHORT>(Base) != IMAGE_DOS_SIGNATURE) {
        return;
    }
    const ULONG_PTR LfanewAddress = Base + __builtin_offsetof(IMAGE_DOS_HEADER, e_lfanew);
    if (!IsRangeValid(LfanewAddress, sizeof(LONG))) {
        return;
    }
    const LONG Lfanew = ReadImageField<LONG>(LfanewAddress);
    const ULONG_PTR NtAddress = Base + (ULONG_PTR)(LONG64)Lfanew;
    if (!IsRangeValid(NtAddress, sizeof(IMAGE_NT_HEADERS64))) {
        return;
    }
    IMAGE_NT_HEADERS64 Headers;
    RtlCopyMemory(&Headers, (const void*)NtAddress, sizeof(Headers));
    if (Headers.Signature != IMAGE_NT_SIGNATURE || Headers.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 ||
        Headers.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return;
    }

    // Only the first debug entry is examined, whatever the directory's size says.
    const ULONG_PTR DebugEntry =
        Base + Headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG].VirtualAddress;
    if (!MmIsAddressValid((PVOID)DebugEntry)) {
        return;
    }
    const ULONG_PTR TypeAddress = DebugEntry + __builtin_offsetof(IMAGE_DEBUG_DIRECTORY, Type);
    if (!IsRangeValid(TypeAddress, sizeof(ULONG))) {
        return;
    }
    const ULONG Type = ReadImageField<ULONG>(TypeAddress);
    if (Type != IMAGE_DEBUG_TYPE_CODEVIEW) {
        DbgPrint("debug_dir.Type check failed: %d\n", (int)Type);
        return;
    }
    const ULONG_PTR RawDataAddress = DebugEntry + __builtin_offsetof(IMAGE_DEBUG_DIRECTORY, AddressOfRawData);
    if (!IsRangeValid(RawDataAddress, sizeof(ULONG))) {
        return;
    }
    const ULONG_PTR CodeView = Base + ReadImageField<ULONG>(RawDataAddress);
    if (!IsRangeValid(CodeView, sizeof(ULONG)) || ReadImageField<ULONG>(CodeView) != CodeViewRsdsSignature) {
        return;
    }
    if (!IsRangeValid(CodeView + CodeViewGuidOffset, sizeof(GUID))) {
        return;
    }
    RtlCopyMemory(&Read->Guid, (const void*)(CodeView + CodeViewGuidOffset), sizeof(GUID));
    if (!CopyPdbPath(CodeView + CodeViewPathOffset, Read->PdbName)) {
        return;
    }
    Read->Result = 0;
}

}  // namespace

// 0 when both the GUID and the path were read; 1 otherwise, with the identity left all zero. A half-read
// identity would send a reader of the report to the wrong symbols, so nothing is kept from a failed read.
ULONG GetModulePdbInfo(ModuleInfo* Record) {
    IdentityRead Read;
    RtlZeroMemory(&Read, sizeof(Read));
    Read.ImageBase = (ULONG_PTR)Record->ImageStart;
    Read.Result = 1;
    if (RunGuarded(ReadPdbIdentity, &Read)) {
        DbgPrint("GetModulePdbInfo except. \r\n");
        return 1;
    }
    if (Read.Result != 0) {
        return 1;
    }
    RtlCopyMemory(&Record->PdbGuid, &Read.Guid, sizeof(GUID));
    RtlCopyMemory(Record->PdbName, Read.PdbName, sizeof(Record->PdbName));
    return 0;
}

// ---------------------------------------------------------------------------------------------------------
// Discovery: the kernel's loaded-module list at start-up, image-load notifications afterwards.

// A counted name that can be read whole and is NUL-terminated right after its last character. Every page
// of the buffer is tested: the conversion reads all of it, on a path without an exception handler.
BOOLEAN IsValidUnicodeString(PCUNICODE_STRING String) {
    if (String == NULL || !IsRangeValid((ULONG_PTR)String, sizeof(UNICODE_STRING))) {
        return FALSE;
    }
    if (String->Buffer == NULL || !MmIsAddressValid(String->Buffer)) {
        return FALSE;
    }
    if (String->Length == 0 || String->MaximumLength == 0) {
        return FALSE;
    }
    if (!IsKernelSpaceAddress(String->Buffer)) {
        return FALSE;
    }
    const ULONG_PTR First = (ULONG_PTR)String->Buffer;
    const ULONG_PTR Terminator = First + (String->Length / sizeof(WCHAR)) * sizeof(WCHAR);
    const ULONG_PTR Last = Terminator + sizeof(WCHAR) - 1;
    // A range that runs past the top of the address space is no string at all.
    if (Last < First) {
        return FALSE;
    }
    // The page loop ends on reaching the last page rather than on passing it, so a string in the very last
    // page of the address space cannot make the page address wrap to 0 and the loop run on.
    const ULONG_PTR LastPage = Last & ~(PageSize - 1);
    for (ULONG_PTR Page = First & ~(PageSize - 1);; Page += PageSize) {
        if (!MmIsAddressValid((PVOID)(Page < First ? First : Page))) {
            return FALSE;
        }
        if (Page == LastPage) {
            break;
        }
    }
    return *(const WCHAR*)Terminator == 0;
}

namespace {

ModuleInfo* AllocateModuleRecord() {
    ModuleInfo* Record = (ModuleInfo*)ExAllocatePoolWithTag(DriverPoolType, sizeof(ModuleInfo), HesTolvanePoolTag);
    if (Record != NULL) {
        RtlZeroMemory(Record, sizeof(ModuleInfo));
    }
    return Record;
}

PCHAR AllocateModuleString() {
    PCHAR Buffer = (PCHAR)ExAllocatePoolWithTag(DriverPoolType, ModuleStringBufferSize, HesTolvanePoolTag);
    if (Buffer != NULL) {
        RtlZeroMemory(Buffer, ModuleStringBufferSize);
    }
    return Buffer;
}

USHORT CappedCopyLength(USHORT Length) {
    return Length < ModuleStringMaxCopy ? Length : ModuleStringMaxCopy;
}

// Fills one string field of a record from a loader name; a failure leaves the field empty.
void ConvertLoaderName(ANSI_STRING* Field, PCUNICODE_STRING Source) {
    ANSI_STRING Converted;
    const NTSTATUS Status = RtlUnicodeStringToAnsiString(&Converted, Source, TRUE);
    if (Status != STATUS_SUCCESS) {
        DbgPrint("RtlUnicodeStringToAnsiString err: 0x%x-%S\n", Status, Source->Buffer);
        return;
    }
    PCHAR Buffer = AllocateModuleString();
    if (Buffer == NULL) {
        DbgPrint("ExAllocatePoolWithTag err.%S\n", Source->Buffer);
    } else {
        Field->Buffer = Buffer;
        Field->Length = Converted.Length;
        Field->MaximumLength = Converted.MaximumLength;
        RtlCopyMemory(Buffer, Converted.Buffer, CappedCopyLength(Converted.Length));
    }
    RtlFreeAnsiString(&Converted);
}

// The loader entry fields the walk reads, from its links at offset 0 to the end of BaseDllName.
constexpr ULONG_PTR LoaderEntryReadLength = __builtin_offsetof(KLDR_DATA_TABLE_ENTRY, BaseDllName) + sizeof(UNICODE_STRING);

BOOLEAN IsRecordableLoaderEntry(const KLDR_DATA_TABLE_ENTRY* Entry) {
    if (!IsRangeValid((ULONG_PTR)Entry, LoaderEntryReadLength)) {
        return FALSE;
    }
    if (Entry->SizeOfImage == 0 || !IsKernelSpaceAddress(Entry->DllBase)) {
        return FALSE;
    }
    return IsValidUnicodeString(&Entry->BaseDllName) && IsValidUnicodeString(&Entry->FullDllName);
}

void RecordLoaderEntry(const KLDR_DATA_TABLE_ENTRY* Entry) {
    ModuleInfo* Record = AllocateModuleRecord();
    if (Record == NULL) {
        return;
    }
    Record->ImageStart = Entry->DllBase;
    Record->ImageEnd = (PUCHAR)Entry->DllBase + Entry->SizeOfImage;
    ConvertLoaderName(&Record->ModuleName, &Entry->BaseDllName);
    ConvertLoaderName(&Record->FullPath, &Entry->FullDllName);
    if (GetModulePdbInfo(Record) != 0) {
        DbgPrint("xxxxxx %S\n", Entry->BaseDllName.Buffer);
    }
    InsertModuleRecord(Record);
}

}  // namespace

// Walks the kernel's loaded-module list from this driver's own entry round to it again, so the driver
// itself is never recorded and the list's bare head is met once and fails the entry tests. The list is
// read in place without a lock; a link into memory that is not there, or a list that never comes back
// round, ends the walk instead of crashing or hanging start-up.
void EnumLoadedModules(PDRIVER_OBJECT DriverObject) {
    PLIST_ENTRY Own = (PLIST_ENTRY)DriverObject->DriverSection;
    if (Own == NULL || !IsRangeValid((ULONG_PTR)Own, sizeof(LIST_ENTRY))) {
        return;
    }
    PLIST_ENTRY Link = Own->Flink;
    for (ULONG Visited = 0; Visited < MaxLoaderEntries && Link != Own; Visited++) {
        if (!IsRangeValid((ULONG_PTR)Link, sizeof(LIST_ENTRY))) {
            return;
        }
        const KLDR_DATA_TABLE_ENTRY* Entry = CONTAINING_RECORD(Link, KLDR_DATA_TABLE_ENTRY, InLoadOrderLinks);
        if (IsRecordableLoaderEntry(Entry)) {
            RecordLoaderEntry(Entry);
        }
        Link = Link->Flink;
    }
}

namespace {

struct ImageLoadRecording {
    PUNICODE_STRING FullImageName;
    HANDLE ProcessId;
    PIMAGE_INFO ImageInfo;
    ModuleInfo* Record;
    ANSI_STRING Converted;
    BOOLEAN ConvertedAllocated;
    BOOLEAN Linked;
};

// The file name is the text after the last backslash. Its lengths count the backslash too, so they are
// one more than the name's length; the copy of Length - Offset bytes takes the name with its NUL.
void FillModuleNameFromPath(ANSI_STRING* Name, const ANSI_STRING* Path, PCUNICODE_STRING Source) {
    PCHAR Buffer = AllocateModuleString();
    if (Buffer == NULL) {
        DbgPrint("ExAllocatePoolWithTag err.%S\n", Source->Buffer);
        return;
    }
    Name->Buffer = Buffer;
    PCHAR Backslash = strrchr(Path->Buffer, '\\');
    if (Backslash == NULL) {
        DbgPrint("Find pos failed: %S\n", Source->Buffer);
        return;
    }
    const USHORT Offset = (USHORT)(Backslash - Path->Buffer);
    Name->Length = (USHORT)(Path->Length - Offset);
    Name->MaximumLength = (USHORT)(Path->MaximumLength - Offset);
    RtlCopyMemory(Buffer, Backslash + 1, CappedCopyLength(Name->Length));
}

void RecordLoadedImage(PVOID Argument) {
    ImageLoadRecording* Load = (ImageLoadRecording*)Argument;
    if (Load->ProcessId != NULL || (Load->ImageInfo->Properties & IMAGE_INFO_SYSTEM_MODE_IMAGE) == 0 ||
        !IsValidUnicodeString(Load->FullImageName)) {
        return;
    }
    Load->Record = AllocateModuleRecord();
    if (Load->Record == NULL) {
        return;
    }
    ModuleInfo* Record = Load->Record;
    Record->ImageStart = Load->ImageInfo->ImageBase;
    Record->ImageEnd = (PUCHAR)Load->ImageInfo->ImageBase + Load->ImageInfo->ImageSize;

    const NTSTATUS Status = RtlUnicodeStringToAnsiString(&Load->Converted, Load->FullImageName, TRUE);
    if (Status != STATUS_SUCCESS) {
        DbgPrint("RtlUnicodeStringToAnsiString err: 0x%x-%S\n", Status, Load->FullImageName->Buffer);
    } else {
        Load->ConvertedAllocated = TRUE;
        PCHAR PathBuffer = AllocateModuleString();
        if (PathBuffer == NULL) {
            DbgPrint("ExAllocatePoolWithTag err.%S\n", Load->FullImageName->Buffer);
        } else {
            Record->FullPath.Buffer = PathBuffer;
            Record->FullPath.Length = Load->Converted.Length;
            Record->FullPath.MaximumLength = Load->Converted.MaximumLength;
            RtlCopyMemory(PathBuffer, Load->Converted.Buffer, CappedCopyLength(Load->Converted.Length));
        }
        FillModuleNameFromPath(&Record->ModuleName, &Load->Converted, Load->FullImageName);
        Load->ConvertedAllocated = FALSE;
        RtlFreeAnsiString(&Load->Converted);
    }

    GetModulePdbInfo(Record);
    InsertModuleRecord(Record);
    Load->Linked = TRUE;
}

}  // namespace

// Records every kernel-mode image loaded after start-up. A fault while reading what the kernel handed in
// loses this image only; whatever the call had allocated by then is given back.
extern "C" void LoadImageNotify(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    ImageLoadRecording Load;
    RtlZeroMemory(&Load, sizeof(Load));
    Load.FullImageName = FullImageName;
    Load.ProcessId = ProcessId;
    Load.ImageInfo = ImageInfo;
    if (!RunGuarded(RecordLoadedImage, &Load)) {
        return;
    }
    DbgPrint("Catch except. \r\n");
    if (Load.ConvertedAllocated) {
        RtlFreeAnsiString(&Load.Converted);
    }
    if (Load.Record != NULL && !Load.Linked) {
        FreeModuleRecord(Load.Record);
    }
}
