// Module table: the driver's own non-paged list of kernel modules, filled ahead of time so that the
// bug-check path can name the module behind any code address without allocating or locking.
#include "hestolvane.h"

DRIVER_GLOBAL LIST_ENTRY ModuleListHead;
DRIVER_GLOBAL KSPIN_LOCK ModuleListLock;

void InsertModuleRecord(ModuleInfo* Record) {
    KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&ModuleListLock);
    InsertTailList(&ModuleListHead, &Record->Links);
    KeReleaseSpinLock(&ModuleListLock, OldIrql);
}

// The record behind a forward link, or NULL at the end of the table. Readers at bug check take no lock
// and may meet a damaged table; a record whose memory is gone also ends the walk, since its forward
// link cannot be read.
ModuleInfo* ReadableModuleRecord(PLIST_ENTRY Link) {
    if (Link == &ModuleListHead || Link == NULL) {
        return NULL;
    }
    ModuleInfo* Record = CONTAINING_RECORD(Link, ModuleInfo, Links);
    if (!MmIsAddressValid(Record) || !MmIsAddressValid((PUCHAR)Record + sizeof(ModuleInfo) - 1)) {
        return NULL;
    }
    return Record;
}

// Image ranges of loaded modules never overlap, so when several records cover an address the older ones
// are stale (a module that unloaded and whose range was reused) or duplicates: the newest record wins.
BOOLEAN FindModuleByAddress(PVOID Address, PCHAR* NameOut, ULONG64* OffsetOut) {
    if (!MmIsAddressValid(Address)) {
        return FALSE;
    }
    const ULONG_PTR Target = (ULONG_PTR)Address;
    const ModuleInfo* Match = NULL;
    for (ModuleInfo* Record = ReadableModuleRecord(ModuleListHead.Flink); Record != NULL;
         Record = ReadableModuleRecord(Record->Links.Flink)) {
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
