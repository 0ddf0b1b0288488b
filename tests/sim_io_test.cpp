// The simulated I/O manager: device objects from pool, names that collide, symbolic links, and request
// packets that a driver must complete exactly once.
#include <algorithm>
#include <cstring>

#include "kernel_test.h"
#include "sim_driver.h"

namespace {

constexpr ULONG DoExclusive = 0x08;
constexpr ULONG DoDeviceInitializing = 0x80;

class IoManager : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::memset(&Driver, 0, sizeof Driver);
    }

    NTSTATUS Create(const char16_t* Name, ULONG ExtensionSize, BOOLEAN Exclusive, PDEVICE_OBJECT* Device) {
        UNICODE_STRING Text;
        RtlInitUnicodeString(&Text, Name);
        return IoCreateDevice(&Driver, ExtensionSize, &Text, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, Exclusive,
                              Device);
    }

    NTSTATUS Link(const char16_t* Name, const char16_t* Target) {
        UNICODE_STRING LinkText;
        RtlInitUnicodeString(&LinkText, Name);
        UNICODE_STRING TargetText;
        RtlInitUnicodeString(&TargetText, Target);
        return IoCreateSymbolicLink(&LinkText, &TargetText);
    }

    NTSTATUS Unlink(const char16_t* Name) {
        UNICODE_STRING Text;
        RtlInitUnicodeString(&Text, Name);
        return IoDeleteSymbolicLink(&Text);
    }

    DRIVER_OBJECT Driver;
};

// device list: [second] -> [first]
TEST_F(IoManager, DevicesJoinTheFrontOfTheDriversList) {
    PDEVICE_OBJECT First = NULL;
    PDEVICE_OBJECT Second = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\First", 0, FALSE, &First));
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Second", 0, FALSE, &Second));
    EXPECT_EQ(Second, Driver.DeviceObject);
    EXPECT_EQ(First, Second->NextDevice);
    EXPECT_EQ(nullptr, First->NextDevice);
    EXPECT_EQ(&Driver, First->DriverObject);
    IoDeleteDevice(First);
    EXPECT_EQ(Second, Driver.DeviceObject);
    EXPECT_EQ(nullptr, Second->NextDevice);
    IoDeleteDevice(Second);
    EXPECT_EQ(nullptr, Driver.DeviceObject);
}

// One zeroed block of non-paged pool holds the object and its extension.
TEST_F(IoManager, DeviceObjectAndExtensionComeFromPool) {
    PDEVICE_OBJECT Device = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Probe", 24, TRUE, &Device));
    const std::vector<sim::PoolBlock> Pool = sim::OutstandingPool();
    ASSERT_EQ(1u, Pool.size());
    EXPECT_EQ((void*)Device, Pool[0].Address);
    EXPECT_EQ(sim::DeviceObjectPoolTag, Pool[0].Tag);
    EXPECT_EQ(NonPagedPool, Pool[0].Type);
    EXPECT_EQ(sizeof(DEVICE_OBJECT) + 24, Pool[0].Size);
    EXPECT_EQ((PVOID)(Device + 1), Device->DeviceExtension);
    EXPECT_EQ(std::vector<UCHAR>(24, 0),
              std::vector<UCHAR>((UCHAR*)Device->DeviceExtension, (UCHAR*)Device->DeviceExtension + 24));
    EXPECT_EQ(DoDeviceInitializing | DoExclusive, Device->Flags);
    EXPECT_EQ((ULONG)FILE_DEVICE_SECURE_OPEN, Device->Characteristics);
    EXPECT_EQ((ULONG)FILE_DEVICE_UNKNOWN, Device->DeviceType);
    IoDeleteDevice(Device);
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

TEST_F(IoManager, EmptyPoolFailsTheDevice) {
    PDEVICE_OBJECT Device = NULL;
    sim::FailAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    EXPECT_TRUE(sim::Devices().empty());
    EXPECT_EQ(nullptr, Driver.DeviceObject);
}

TEST_F(IoManager, NamesCollideWithoutRegardToCase) {
    PDEVICE_OBJECT Device = NULL;
    PDEVICE_OBJECT Twin = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Create(u"\\DEVICE\\probe", 0, FALSE, &Twin));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Link(u"\\device\\PROBE", u"\\Device\\Other"));
    ASSERT_EQ(STATUS_SUCCESS, Link(u"\\DosDevices\\Probe", u"\\Device\\Probe"));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, Link(u"\\DosDevices\\PROBE", u"\\Device\\Other"));
    EXPECT_EQ(1u, sim::Devices().size());
    EXPECT_EQ(STATUS_SUCCESS, Unlink(u"\\dosdevices\\probe"));
    IoDeleteDevice(Device);
}

// Only the link's own name must be free: a link may point at nothing yet.
TEST_F(IoManager, LinkMayNameATargetThatDoesNotExist) {
    EXPECT_EQ(STATUS_SUCCESS, Link(u"\\DosDevices\\Dangling", u"\\Device\\Nowhere"));
    EXPECT_EQ((std::vector<std::pair<std::u16string, std::u16string>>{
                  {u"\\DosDevices\\Dangling", u"\\Device\\Nowhere"}}),
              sim::SymbolicLinks());
    EXPECT_EQ(STATUS_SUCCESS, Unlink(u"\\DosDevices\\Dangling"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Unlink(u"\\DosDevices\\Dangling"));
}

TEST_F(IoManager, FailureOnDemandHitsTheNextCallOnly) {
    PDEVICE_OBJECT Device = NULL;
    sim::FailIo(sim::IoFault::CreateDevice, (NTSTATUS)0xC0000022);
    EXPECT_EQ((NTSTATUS)0xC0000022, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    sim::FailIo(sim::IoFault::CreateSymbolicLink);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Link(u"\\DosDevices\\Probe", u"\\Device\\Probe"));
    EXPECT_EQ(STATUS_SUCCESS, Link(u"\\DosDevices\\Probe", u"\\Device\\Probe"));
    Unlink(u"\\DosDevices\\Probe");
    IoDeleteDevice(Device);
}

TEST_F(IoManager, DevicesAndLinksLeftBehindAreTeardownProblems) {
    PDEVICE_OBJECT Device = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    ASSERT_EQ(STATUS_SUCCESS, Link(u"\\DosDevices\\Probe", u"\\Device\\Probe"));
    std::vector<std::string> Problems = sim::TeardownProblems();
    // The pool block of the device object comes first.
    ASSERT_EQ(3u, Problems.size());
    EXPECT_EQ("device \\Device\\Probe never deleted", Problems[1]);
    EXPECT_EQ("symbolic link \\DosDevices\\Probe -> \\Device\\Probe never deleted", Problems[2]);
    Unlink(u"\\DosDevices\\Probe");
    IoDeleteDevice(Device);
}

TEST_F(IoManager, DeletingADeviceTwiceStopsTheSystem) {
    PDEVICE_OBJECT Device = NULL;
    ASSERT_EQ(STATUS_SUCCESS, Create(u"\\Device\\Probe", 0, FALSE, &Device));
    IoDeleteDevice(Device);
    EXPECT_DEATH(IoDeleteDevice(Device),
                 "\\*\\*\\* STOP 0x00000018 REFERENCE_BY_POINTER IoDeleteDevice of a device that does not exist");
}

TEST_F(IoManager, CompletingARequestNeverSentStopsTheSystem) {
    IRP Irp;
    std::memset(&Irp, 0, sizeof Irp);
    EXPECT_DEATH(IofCompleteRequest(&Irp, IO_NO_INCREMENT),
                 "\\*\\*\\* STOP 0x00000044 MULTIPLE_IRP_COMPLETE_REQUESTS IofCompleteRequest of a request never sent");
}

// ---------------------------------------------------------------------------------------------------------
// Requests, through the real driver's device, with the test playing a driver that misbehaves.

class Requests : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::ResetRegistry();
        ASSERT_EQ(STATUS_SUCCESS, sim::LoadDriver());
    }

    void TearDown() override {
        if (sim::DriverLoaded()) {
            sim::UnloadDriver();
        }
        KernelTest::TearDown();
    }
};

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NeverComplete(PDEVICE_OBJECT, PIRP) {
    return STATUS_SUCCESS;
}

NTSTATUS ReportStackLocation(PDEVICE_OBJECT Device, PIRP Irp) {
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = (ULONG_PTR)Stack->MajorFunction << 56 |
                                (ULONG_PTR)Stack->Parameters.DeviceIoControl.IoControlCode << 24 |
                                Stack->Parameters.DeviceIoControl.InputBufferLength << 12 |
                                Stack->Parameters.DeviceIoControl.OutputBufferLength;
    EXPECT_EQ(Device, Stack->DeviceObject);
    IofCompleteRequest(Irp, 2);
    return STATUS_SUCCESS;
}

TEST_F(Requests, RequestCarriesItsStackLocation) {
    sim::LoadedDriverObject()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ReportStackLocation;
    const sim::RequestResult Result = sim::SendDeviceControl(0x222004, 0x10, 0x20);
    EXPECT_EQ(0x0E00222004010020ull, Result.Information);
    EXPECT_EQ(2, Result.PriorityBoost);
}

TEST_F(Requests, RequestStartsPendingWithTheGivenInformation) {
    sim::LoadedDriverObject()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = NeverComplete;
    const sim::RequestResult Result = sim::SendDeviceControl(0x222000, 0, 0, 0x77);
    EXPECT_EQ(sim::RequestStartStatus, Result.IoStatus);
    EXPECT_EQ(0x77u, Result.Information);
    EXPECT_FALSE(Result.Completed);
    const std::vector<std::string> Problems = sim::TeardownProblems();
    EXPECT_NE(Problems.end(), std::find(Problems.begin(), Problems.end(),
                                        "IRP_MJ_DEVICE_CONTROL request returned 0x00000000 without being completed"));
    sim::UnloadDriver();
    sim::Reset();
}

TEST_F(Requests, UnhandledMajorFunctionIsRefusedByTheIoManager) {
    PDRIVER_OBJECT Driver = sim::LoadedDriverObject();
    Driver->MajorFunction[IRP_MJ_CREATE] = Driver->MajorFunction[IRP_MJ_MAXIMUM_FUNCTION];
    const sim::RequestResult Result = sim::SendCreate();
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Result.Returned);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Result.IoStatus);
    EXPECT_TRUE(Result.Completed);
}

TEST_F(Requests, CompletingARequestTwiceStopsTheSystem) {
    sim::LoadedDriverObject()->MajorFunction[IRP_MJ_CREATE] = CompleteTwice;
    EXPECT_DEATH(sim::SendCreate(),
                 "\\*\\*\\* STOP 0x00000044 MULTIPLE_IRP_COMPLETE_REQUESTS IRP_MJ_CREATE completed twice");
}

}  // namespace
