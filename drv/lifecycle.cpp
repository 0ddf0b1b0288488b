// Driver lifecycle: start-up, the device's request handlers and unload. The entry routine and the texts
// only it uses live in INIT, which the kernel discards once start-up returns.
#include "hestolvane.h"

// Executable non-paged pool is the one type every kernel the driver runs on accepts, so it stands until
// start-up has asked the kernel for its version.
DRIVER_GLOBAL POOL_TYPE DriverPoolType = NonPagedPool;

namespace {

// The kernel keeps a pointer to the component name for as long as the callback is registered, so it
// lives with the callback record in the driver's non-paged data.
DRIVER_GLOBAL UCHAR BugCheckComponentName[] = "HesTolvane";

INIT_TEXT const WCHAR EntryDeviceName[] = u"\\Device\\HestrelTolvnae";
INIT_TEXT const WCHAR EntryLinkName[] = u"\\DosDevices\\HestrelTolvnae";
INIT_TEXT const char LoadBannerFormat[] = "HesTolvaneDrv ver: %d, Load: %04d-%02d-%02d %02d:%02d:%02d:%d\n";

// Unload's own copy of the link name: the entry routine's copy is gone by then.
const WCHAR UnloadLinkName[] = u"\\DosDevices\\HestrelTolvnae";

const char NormalBootLine[] = "normal boot.\n";
const char LastBsodLine[] = "last bsod.\n";
const char LastBsodNewVersionLine[] = "last bsod, but new version.\n";

// Reads the INIT format text, so it must itself be INIT code: nothing that outlives start-up may refer
// to INIT.
INIT_CODE void WriteLoadBanner() {
    TIME_FIELDS Time;
    ReadCrashTime(&Time);
    RtlZeroMemory(FormatBuffer, sizeof(FormatBuffer));
    sprintf_s(FormatBuffer, FormatBufferSize, LoadBannerFormat, (int)DriverVersion, (int)Time.Year,
              (int)Time.Month, (int)Time.Day, (int)Time.Hour, (int)Time.Minute, (int)Time.Second,
              (int)Time.Milliseconds);
    SerialWriteText(FormatBuffer);
}

// Out of line, so that it stays the non-paged routine its texts belong to: inlined into the entry
// routine, the texts and the table the compiler makes of them would be used by INIT code alone.
__attribute__((noinline)) void WriteBootStateLine() {
    if (BootState == BootNormal) {
        SerialWriteText(NormalBootLine);
    } else if (BootState == BootLastBsod) {
        SerialWriteText(LastBsodLine);
    } else if (BootState == BootLastBsodNewVersion) {
        SerialWriteText(LastBsodNewVersionLine);
    }
}

}  // namespace

// Windows 8 brought non-executable non-paged pool. From there on the driver never asks for executable
// memory: memory integrity and Driver Verifier's code-integrity option stop the system on such a request.
// Windows 7 knows no NonPagedPoolNx and stops the system on it instead, so it keeps NonPagedPool.
INIT_CODE void ChooseDriverPoolType() {
    RTL_OSVERSIONINFOW Version;
    RtlZeroMemory(&Version, sizeof(Version));
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (!NT_SUCCESS(RtlGetVersion(&Version))) {
        return;
    }
    if (Version.dwMajorVersion > 6 || (Version.dwMajorVersion == 6 && Version.dwMinorVersion >= 2)) {
        DriverPoolType = NonPagedPoolNx;
    }
}

// Start-up. Each failure undoes, in reverse order, exactly what the steps before it did. The marker is
// set before the walk and removed after it, so a crash during the walk leaves it behind for the next
// boot to find.
INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    if (InitSafeBootMode != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    ChooseDriverPoolType();

    UNICODE_STRING DeviceName;
    RtlInitUnicodeString(&DeviceName, EntryDeviceName);
    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status = IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &Device);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    DriverObject->DriverUnload = UnloadDriver;

    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, EntryLinkName);
    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(Device);
        return Status;
    }

    DecideBootState();

    InitializeListHead(&ModuleListHead);
    KeInitializeSpinLock(&ModuleListLock);
    if (ModuleTrackingEnabled) {
        PsSetLoadImageNotifyRoutine(LoadImageNotify);
    }

    KeInitializeCallbackRecord(&BugCheckCallbackRecord);
    if (!KeRegisterBugCheckCallback(&BugCheckCallbackRecord, BugCheckDumpCallback, NULL, 0,
                                    BugCheckComponentName)) {
        // A start that merely failed must not read as a crash next boot, so the marker goes too.
        if (ModuleTrackingEnabled) {
            PsRemoveLoadImageNotifyRoutine(LoadImageNotify);
            FreeModuleTable();
            RemoveLoadedMarker();
        }
        IoDeleteSymbolicLink(&LinkName);
        IoDeleteDevice(Device);
        return STATUS_UNSUCCESSFUL;
    }

    SerialPortBase = ComPortTable[1];
    WriteLoadBanner();
    WriteBootStateLine();

    if (ModuleTrackingEnabled) {
        EnumLoadedModules(DriverObject);
        RemoveLoadedMarker();
    }
    return Status;
}

PAGEABLE_CODE NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The device offers no control codes at all: every request is refused, and the status only tells a
// request that carried both buffers from one that did not.
PAGEABLE_CODE NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = STATUS_INVALID_PARAMETER;
    if (Stack->Parameters.DeviceIoControl.InputBufferLength != 0 &&
        Stack->Parameters.DeviceIoControl.OutputBufferLength != 0) {
        Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Non-paged: shutdown requests may arrive when paging is no longer possible.
NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The notification goes first so that no image load can add a record while the table is being freed.
void UnloadDriver(PDRIVER_OBJECT DriverObject) {
    PDEVICE_OBJECT Device = DriverObject->DeviceObject;
    if (ModuleTrackingEnabled) {
        PsRemoveLoadImageNotifyRoutine(LoadImageNotify);
    }
    KeDeregisterBugCheckCallback(&BugCheckCallbackRecord);
    DbgPrint("Unload!!!\n");
    FreeModuleTable();
    UNICODE_STRING LinkName;
    RtlInitUnicodeString(&LinkName, UnloadLinkName);
    IoDeleteSymbolicLink(&LinkName);
    if (Device != NULL) {
        IoDeleteDevice(Device);
    }
}
