// Boot-state guard: a marker in the service key that survives a crash during module collection, so that
// the next boot runs without it.
#include "hestolvane.h"

DRIVER_GLOBAL BOOLEAN ModuleTrackingEnabled = TRUE;
DRIVER_GLOBAL ULONG BootState = 0;

namespace {

// The guard's texts stay in non-paged data of their own: the guard may run after start-up, when the
// entry routine's INIT copies are gone.
const WCHAR ServiceKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv";
const WCHAR LoadedValueName[] = u"Loaded";
const WCHAR VersionValueName[] = u"Version";

// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY: what the marker's reader has always asked for.
constexpr ACCESS_MASK MarkerReadAccess = 0x2001F;

// The partial-information header and room for a DWORD with a few bytes to spare; longer data does not
// fit and reads as a failure.
constexpr ULONG ValueInformationSize = 20;

// The service key is opened by its absolute path and never created: without it the driver was not
// installed as a service, and the guard has nothing to remember.
NTSTATUS OpenServiceKey(ACCESS_MASK DesiredAccess, PHANDLE Key) {
    UNICODE_STRING Path;
    RtlInitUnicodeString(&Path, ServiceKeyPath);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(Key, DesiredAccess, &Attributes);
}

}  // namespace

// TRUE only when the value is a REG_DWORD with at least four bytes of data and Out received them. A
// shorter DWORD would leave the rest of the pool buffer as the allocator left it, so it reads as a
// failure instead of as whatever bytes happened to be there.
BOOLEAN ReadRegDword(PCWSTR Name, PULONG Out) {
    HANDLE Key = NULL;
    if (!NT_SUCCESS(OpenServiceKey(MarkerReadAccess, &Key))) {
        return FALSE;
    }
    PKEY_VALUE_PARTIAL_INFORMATION Information = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(
        DriverPoolType, ValueInformationSize, HesTolvanePoolTag);
    if (Information == NULL) {
        ZwClose(Key);
        return FALSE;
    }

    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, Name);
    ULONG ResultLength = 0;
    const NTSTATUS Status = ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, Information,
                                            ValueInformationSize, &ResultLength);
    BOOLEAN Read = FALSE;
    if (NT_SUCCESS(Status) && Information->Type == REG_DWORD && Information->DataLength >= sizeof(ULONG) &&
        Out != NULL) {
        const UCHAR* Data = (const UCHAR*)Information + __builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        RtlCopyMemory(Out, Data, sizeof(ULONG));
        Read = TRUE;
    }

    ExFreePoolWithTag(Information, HesTolvanePoolTag);
    ZwClose(Key);
    return Read;
}

// Failures are ignored: the guard only ever makes the next boot more careful or less, never stops this
// one. A write is flushed at once because the registry reaches the disk lazily and a bug check does not
// flush it: a marker lost that way would let the same crash repeat on every boot, and a lost deletion
// would switch module collection off for good.
void RegValueOp(PCWSTR Name, ULONG Op, ULONG Value, PULONG Out) {
    HANDLE Key = NULL;
    if (!NT_SUCCESS(OpenServiceKey(KEY_ALL_ACCESS, &Key))) {
        return;
    }
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, Name);

    if (Op == RegOpQuery) {
        ReadRegDword(Name, Out);
    } else if (Op == RegOpSet) {
        if (NT_SUCCESS(ZwSetValueKey(Key, &ValueName, 0, REG_DWORD, &Value, sizeof(Value)))) {
            ZwFlushKey(Key);
        }
    } else if (Op == RegOpDelete) {
        if (NT_SUCCESS(ZwDeleteValueKey(Key, &ValueName))) {
            ZwFlushKey(Key);
        }
    }
    ZwClose(Key);
}

// The marker is present only while a start-up is between setting it and finishing the walk, so any
// other state of "Loaded" means the last boot did not die there.
BOOLEAN IsNormalBoot() {
    ULONG Loaded = 0;
    if (!ReadRegDword(LoadedValueName, &Loaded)) {
        return TRUE;
    }
    return Loaded != 1;
}

// Versions 1 and 2 wrote the same marker; a marker without a version, or with this version or a later
// one, was written by a walk that is this one.
BOOLEAN IsOlderVersion() {
    ULONG Version = 0;
    RegValueOp(VersionValueName, RegOpQuery, 0, &Version);
    return Version >= 1 && Version < DriverVersion;
}

// A marker left by an older version blames a walk that has since changed, so this version tries again
// and sets its own marker. A marker of its own means its walk crashed the last boot: this boot runs
// without module collection, and leaves the marker for the boots after it.
void DecideBootState() {
    if (IsNormalBoot()) {
        BootState = BootNormal;
    } else if (IsOlderVersion()) {
        BootState = BootLastBsodNewVersion;
    } else {
        BootState = BootLastBsod;
        ModuleTrackingEnabled = FALSE;
        return;
    }
    RegValueOp(LoadedValueName, RegOpSet, 1, NULL);
    RegValueOp(VersionValueName, RegOpSet, DriverVersion, NULL);
}

void RemoveLoadedMarker() {
    RegValueOp(LoadedValueName, RegOpDelete, 0, NULL);
}
