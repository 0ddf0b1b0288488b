// The simulated kernel's I/O manager: named device objects, symbolic links, and request packets sent
// through a driver's dispatch table and completed by it, each exactly once.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "sim_driver.h"
#include "sim_internal.h"

namespace sim {
namespace {

constexpr CSHORT IoTypeDevice = 3;
constexpr CSHORT IoTypeIrp = 6;
constexpr ULONG DoExclusive = 0x00000008;
constexpr ULONG DoDeviceInitializing = 0x00000080;
constexpr ULONG MultipleIrpCompleteRequests = 0x44;
constexpr ULONG ReferenceByPointer = 0x18;

struct DeviceRecord {
    std::u16string Name;
    std::u16string FoldedName;
    ULONG ExtensionSize;
    bool Exclusive;
};

struct LinkRecord {
    std::u16string Name;
    std::u16string Target;
};

// One request packet with its single stack location, as the I/O manager allocates them together.
struct RequestPacket {
    IRP Irp;
    IO_STACK_LOCATION Stack;
    bool Completed;
    CCHAR PriorityBoost;
    const char* What;
};

struct IoState {
    std::mutex Lock;
    std::map<PDEVICE_OBJECT, DeviceRecord> Devices;
    std::map<std::u16string, LinkRecord> Links;  // by folded name
    std::map<PIRP, std::unique_ptr<RequestPacket>> Requests;
    std::vector<std::string> Unfinished;  // requests a dispatch routine returned from without completing
    NTSTATUS FailCreateDevice = STATUS_SUCCESS;
    NTSTATUS FailCreateSymbolicLink = STATUS_SUCCESS;
};

IoState& Io() {
    static IoState* const Instance = new IoState;
    return *Instance;
}

// Object names are looked up without regard to case.
std::string StatusText(NTSTATUS Status) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%08X", (ULONG)Status);
    return Text;
}

bool NameInUse(const IoState& State, const std::u16string& FoldedName) {
    for (const auto& Device : State.Devices) {
        if (Device.second.FoldedName == FoldedName) {
            return true;
        }
    }
    return State.Links.count(FoldedName) != 0;
}

NTSTATUS TakeFault(NTSTATUS& Pending, const char* Service) {
    const NTSTATUS Status = Pending;
    Pending = STATUS_SUCCESS;
    if (Status == STATUS_SUCCESS && FailureInjectedAt(Service)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return Status;
}

RequestResult Send(UCHAR MajorFunction, const char* What, ULONG IoControlCode, ULONG InputBufferLength,
                   ULONG OutputBufferLength, ULONG_PTR InitialInformation) {
    PDRIVER_OBJECT Driver = LoadedDriverObject();
    if (Driver == nullptr || Driver->DeviceObject == nullptr) {
        throw std::logic_error(std::string("sim: ") + What + " without a loaded driver that has a device");
    }
    RequirePassiveLevel(What);
    PDEVICE_OBJECT Device = Driver->DeviceObject;
    auto Owned = std::make_unique<RequestPacket>();
    RequestPacket* Packet = Owned.get();
    std::memset(&Packet->Irp, 0, sizeof Packet->Irp);
    std::memset(&Packet->Stack, 0, sizeof Packet->Stack);
    Packet->Completed = false;
    Packet->PriorityBoost = 0;
    Packet->What = What;
    Packet->Irp.Type = IoTypeIrp;
    Packet->Irp.Size = (USHORT)(sizeof(IRP) + sizeof(IO_STACK_LOCATION));
    Packet->Irp.IoStatus.Status = RequestStartStatus;
    Packet->Irp.IoStatus.Information = InitialInformation;
    Packet->Irp.Tail.Overlay.CurrentStackLocation = &Packet->Stack;
    Packet->Stack.MajorFunction = MajorFunction;
    Packet->Stack.DeviceObject = Device;
    if (MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        Packet->Stack.Parameters.DeviceIoControl.IoControlCode = IoControlCode;
        Packet->Stack.Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
        Packet->Stack.Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    }
    {
        std::lock_guard<std::mutex> Guard(Io().Lock);
        Io().Requests[&Packet->Irp] = std::move(Owned);
    }

    const NTSTATUS Returned = Driver->MajorFunction[MajorFunction](Device, &Packet->Irp);

    std::lock_guard<std::mutex> Guard(Io().Lock);
    const RequestResult Result{Returned, Packet->Irp.IoStatus.Status, Packet->Irp.IoStatus.Information,
                               Packet->Completed, Packet->PriorityBoost};
    if (!Packet->Completed) {
        Io().Unfinished.push_back(std::string(What) + " request returned " + StatusText(Returned) +
                                  " without being completed");
    }
    return Result;
}

}  // namespace

// What the I/O manager gives every major function the driver does not handle.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void ResetIo() {
    IoState& State = Io();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Devices.clear();
    State.Links.clear();
    State.Requests.clear();
    State.Unfinished.clear();
    State.FailCreateDevice = STATUS_SUCCESS;
    State.FailCreateSymbolicLink = STATUS_SUCCESS;
}

std::vector<std::string> IoTeardownProblems() {
    IoState& State = Io();
    std::lock_guard<std::mutex> Guard(State.Lock);
    std::vector<std::string> Problems;
    for (const auto& Device : State.Devices) {
        Problems.push_back("device " + Narrow(Device.second.Name) + " never deleted");
    }
    for (const auto& Link : State.Links) {
        Problems.push_back("symbolic link " + Narrow(Link.second.Name) + " -> " + Narrow(Link.second.Target) +
                           " never deleted");
    }
    for (const std::string& Request : State.Unfinished) {
        Problems.push_back(Request);
    }
    return Problems;
}

void ClearDevicesInitializing(PDRIVER_OBJECT DriverObject) {
    std::lock_guard<std::mutex> Guard(Io().Lock);
    for (PDEVICE_OBJECT Device = DriverObject->DeviceObject; Device != nullptr; Device = Device->NextDevice) {
        Device->Flags &= ~DoDeviceInitializing;
    }
}

std::vector<DeviceView> Devices() {
    std::lock_guard<std::mutex> Guard(Io().Lock);
    std::vector<DeviceView> Views;
    for (const auto& Device : Io().Devices) {
        Views.push_back(DeviceView{Device.second.Name, Device.first->DeviceType, Device.first->Characteristics,
                                   Device.second.Exclusive, Device.second.ExtensionSize, Device.first});
    }
    return Views;
}

std::vector<std::pair<std::u16string, std::u16string>> SymbolicLinks() {
    std::lock_guard<std::mutex> Guard(Io().Lock);
    std::vector<std::pair<std::u16string, std::u16string>> Links;
    for (const auto& Link : Io().Links) {
        Links.emplace_back(Link.second.Name, Link.second.Target);
    }
    return Links;
}

void FailIo(IoFault Fault, NTSTATUS Status) {
    std::lock_guard<std::mutex> Guard(Io().Lock);
    (Fault == IoFault::CreateDevice ? Io().FailCreateDevice : Io().FailCreateSymbolicLink) = Status;
}

RequestResult SendCreate() {
    return Send(IRP_MJ_CREATE, "IRP_MJ_CREATE", 0, 0, 0, 0);
}

RequestResult SendClose() {
    return Send(IRP_MJ_CLOSE, "IRP_MJ_CLOSE", 0, 0, 0, 0);
}

RequestResult SendDeviceControl(ULONG IoControlCode, ULONG InputBufferLength, ULONG OutputBufferLength,
                                ULONG_PTR InitialInformation) {
    return Send(IRP_MJ_DEVICE_CONTROL, "IRP_MJ_DEVICE_CONTROL", IoControlCode, InputBufferLength,
                OutputBufferLength, InitialInformation);
}

RequestResult SendShutdown() {
    return Send(IRP_MJ_SHUTDOWN, "IRP_MJ_SHUTDOWN", 0, 0, 0, 0);
}

}  // namespace sim

// The device object and its extension come from non-paged pool in one block, zeroed, and join the front
// of the driver's device list, as on the real kernel.
extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                                   BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
    sim::RequirePassiveLevel("IoCreateDevice");
    sim::IoState& State = sim::Io();
    NTSTATUS Status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        const std::u16string Name = DeviceName != NULL ? sim::FromCounted(DeviceName) : std::u16string();
        Status = sim::TakeFault(State.FailCreateDevice, "IoCreateDevice");
        if (Status == STATUS_SUCCESS && !Name.empty() && sim::NameInUse(State, sim::Folded(Name))) {
            Status = STATUS_OBJECT_NAME_COLLISION;
        }
        PDEVICE_OBJECT Device = NULL;
        if (Status == STATUS_SUCCESS) {
            const SIZE_T Size = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
            Device = (PDEVICE_OBJECT)sim::AllocateKernelPool(NonPagedPool, Size, sim::DeviceObjectPoolTag);
            if (Device == NULL) {
                Status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                std::memset(Device, 0, Size);
            }
        }
        if (Status == STATUS_SUCCESS) {
            Device->Type = sim::IoTypeDevice;
            Device->Size = (USHORT)sizeof(DEVICE_OBJECT);
            Device->DriverObject = DriverObject;
            Device->NextDevice = DriverObject->DeviceObject;
            Device->Flags = sim::DoDeviceInitializing | (Exclusive ? sim::DoExclusive : 0);
            Device->Characteristics = DeviceCharacteristics;
            Device->DeviceExtension = DeviceExtensionSize != 0 ? (PVOID)(Device + 1) : NULL;
            Device->DeviceType = DeviceType;
            Device->StackSize = 1;
            DriverObject->DeviceObject = Device;
            State.Devices[Device] =
                sim::DeviceRecord{Name, sim::Folded(Name), DeviceExtensionSize, Exclusive != FALSE};
            *DeviceObject = Device;
        }
    }
    sim::LogKernelCall("IoCreateDevice");
    return Status;
}

// Deleting a device that does not exist, or deleting one twice, drops a reference the object never had.
extern "C" void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    sim::RequirePassiveLevel("IoDeleteDevice");
    sim::IoState& State = sim::Io();
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        if (State.Devices.erase(DeviceObject) == 0) {
            sim::FatalStop(sim::ReferenceByPointer,
                           "REFERENCE_BY_POINTER IoDeleteDevice of a device that does not exist");
        }
        PDEVICE_OBJECT* Link = &DeviceObject->DriverObject->DeviceObject;
        while (*Link != NULL && *Link != DeviceObject) {
            Link = &(*Link)->NextDevice;
        }
        if (*Link == DeviceObject) {
            *Link = DeviceObject->NextDevice;
        }
    }
    ExFreePoolWithTag(DeviceObject, sim::DeviceObjectPoolTag);
    sim::LogKernelCall("IoDeleteDevice");
}

// A link may name a target that does not exist (yet); only the link's own name must be free.
extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    sim::RequirePassiveLevel("IoCreateSymbolicLink");
    sim::IoState& State = sim::Io();
    NTSTATUS Status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        const std::u16string Name = sim::FromCounted(SymbolicLinkName);
        Status = sim::TakeFault(State.FailCreateSymbolicLink, "IoCreateSymbolicLink");
        if (Status == STATUS_SUCCESS && sim::NameInUse(State, sim::Folded(Name))) {
            Status = STATUS_OBJECT_NAME_COLLISION;
        }
        if (Status == STATUS_SUCCESS) {
            State.Links[sim::Folded(Name)] = sim::LinkRecord{Name, sim::FromCounted(DeviceName)};
        }
    }
    sim::LogKernelCall("IoCreateSymbolicLink");
    return Status;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    sim::RequirePassiveLevel("IoDeleteSymbolicLink");
    sim::IoState& State = sim::Io();
    NTSTATUS Status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        if (State.Links.erase(sim::Folded(sim::FromCounted(SymbolicLinkName))) == 0) {
            Status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    sim::LogKernelCall("IoDeleteSymbolicLink");
    return Status;
}

// Completing a request twice, or one the I/O manager never sent, is the real kernel's
// MULTIPLE_IRP_COMPLETE_REQUESTS.
extern "C" void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    sim::RequireNotInBugCheck("IofCompleteRequest");
    sim::IoState& State = sim::Io();
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        auto Found = State.Requests.find(Irp);
        if (Found == State.Requests.end()) {
            sim::FatalStop(sim::MultipleIrpCompleteRequests,
                           "MULTIPLE_IRP_COMPLETE_REQUESTS IofCompleteRequest of a request never sent");
        }
        sim::RequestPacket& Packet = *Found->second;
        if (Packet.Completed) {
            sim::FatalStop(sim::MultipleIrpCompleteRequests,
                           std::string("MULTIPLE_IRP_COMPLETE_REQUESTS ") + Packet.What + " completed twice");
        }
        Packet.Completed = true;
        Packet.PriorityBoost = PriorityBoost;
    }
    sim::LogKernelCall("IofCompleteRequest");
}
