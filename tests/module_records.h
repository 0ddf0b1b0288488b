// Builds module records the way the discovery routines leave them: non-paged, tagged, zero-filled, with
// 256-byte string buffers, so table and report tests can start from a known table.
#pragma once

#include <cstring>

#include "hestolvane.h"

inline char* NewModuleString(const char* Text) {
    if (Text == nullptr) {
        return nullptr;
    }
    char* Buffer = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, ModuleStringBufferSize, HesTolvanePoolTag));
    std::memset(Buffer, 0, ModuleStringBufferSize);
    std::strncpy(Buffer, Text, ModuleStringMaxCopy);
    return Buffer;
}

inline ModuleInfo* NewModuleRecord(ULONG_PTR Start, ULONG_PTR End, const char* Name, const char* Path = nullptr,
                                   const char* PdbName = "", const UCHAR* Guid = nullptr) {
    auto* Record = static_cast<ModuleInfo*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ModuleInfo), HesTolvanePoolTag));
    std::memset(Record, 0, sizeof(ModuleInfo));
    Record->ImageStart = reinterpret_cast<PVOID>(Start);
    Record->ImageEnd = reinterpret_cast<PVOID>(End);
    Record->ModuleName.Buffer = NewModuleString(Name);
    Record->FullPath.Buffer = NewModuleString(Path);
    std::strncpy(Record->PdbName, PdbName, PdbNameSize - 1);
    if (Guid != nullptr) {
        std::memcpy(&Record->PdbGuid, Guid, sizeof(GUID));
    }
    return Record;
}

inline void InitializeModuleTable() {
    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
}
