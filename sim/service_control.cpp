// The simulated kernel's service control: starting the driver as the kernel starts a service and stopping
// it again, and the log of kernel service calls in the order the kernel saw them.
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "sim_driver.h"
#include "sim_internal.h"
#include "sim_loader.h"

// The image's entry point, which the kernel calls to start the driver.
extern "C" DRIVER_INITIALIZE DriverEntry;

namespace sim {
namespace {

constexpr NTSTATUS StatusImageAlreadyLoaded = (NTSTATUS)0xC000010EL;
constexpr CSHORT IoTypeDriver = 4;
// Fresh kernel pages stand in for the mapped image; the driver's code itself runs from this process.
constexpr size_t DriverImageSize = 0x8000;

constexpr char16_t ServiceKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\HesTolvaneDrv";
constexpr char16_t DriverFullName[] = u"\\SystemRoot\\System32\\drivers\\HesTolvaneDrv.sys";
constexpr char16_t DriverBaseName[] = u"HesTolvaneDrv.sys";
constexpr char16_t DriverObjectName[] = u"\\Driver\\HesTolvaneDrv";

// Everything the kernel keeps for a started driver. The object outlives a failed or finished load
// until the next one, so that devices a driver forgot still point at valid memory.
struct DriverService {
    bool Loaded = false;
    // What the kernel would find wrong once the image was gone: registrations left behind.
    std::vector<std::string> LeftBehind;
    DRIVER_OBJECT Object;
    PKLDR_DATA_TABLE_ENTRY LoaderEntry = nullptr;
    void* Image = nullptr;
    UNICODE_STRING RegistryPath;
    std::u16string ObjectNameText = DriverObjectName;
    std::u16string RegistryPathText = ServiceKey;
};

DriverService& Service() {
    static DriverService* const Instance = new DriverService;
    return *Instance;
}

struct CallLog {
    std::mutex Lock;
    std::vector<std::string> Calls;
    std::function<void(const std::string&)> Observer;
};

CallLog& Calls() {
    static CallLog* const Instance = new CallLog;
    return *Instance;
}

UNICODE_STRING CountedText(std::u16string& Text) {
    UNICODE_STRING Counted;
    Counted.Length = (USHORT)(Text.size() * sizeof(WCHAR));
    Counted.MaximumLength = (USHORT)((Text.size() + 1) * sizeof(WCHAR));
    Counted.Buffer = Text.data();
    return Counted;
}

void PrepareDriverObject(DriverService& Driver) {
    std::memset(&Driver.Object, 0, sizeof Driver.Object);
    Driver.Object.Type = IoTypeDriver;
    Driver.Object.Size = (CSHORT)sizeof(DRIVER_OBJECT);
    Driver.Object.DriverStart = Driver.Image;
    Driver.Object.DriverSize = (ULONG)DriverImageSize;
    Driver.Object.DriverSection = Driver.LoaderEntry;
    Driver.Object.DriverName = CountedText(Driver.ObjectNameText);
    Driver.Object.DriverInit = (PVOID)DriverEntry;
    for (PDRIVER_DISPATCH& Dispatch : Driver.Object.MajorFunction) {
        Dispatch = InvalidDeviceRequest;
    }
    Driver.RegistryPath = CountedText(Driver.RegistryPathText);
}

thread_local bool InDriverEntry = false;

// The kernel would go on calling the driver's routines through these after its code is gone.
void NoteRegistrationsLeftBehind(DriverService& Driver, const char* When) {
    if (DriverBugCheckCallbacks() != 0) {
        Driver.LeftBehind.push_back(std::string("bug-check callback still registered ") + When);
    }
    if (DriverImageNotifyRoutines() != 0) {
        Driver.LeftBehind.push_back(std::string("image-load notify routine still registered ") + When);
    }
}

void RemoveDriverImage(DriverService& Driver) {
    RemoveLoadedModule(Driver.LoaderEntry);
    UnmapRegion(Driver.Image);
    Driver.LoaderEntry = nullptr;
    Driver.Image = nullptr;
    Driver.Loaded = false;
}

}  // namespace

bool RunningDriverEntry() {
    return InDriverEntry;
}

void ResetServiceControl() {
    DriverService& Driver = Service();
    Driver.Loaded = false;
    Driver.LeftBehind.clear();
    InDriverEntry = false;
    Driver.LoaderEntry = nullptr;
    Driver.Image = nullptr;
    CallLog& Log = Calls();
    std::lock_guard<std::mutex> Guard(Log.Lock);
    Log.Calls.clear();
    Log.Observer = nullptr;
}

std::vector<std::string> ServiceTeardownProblems() {
    std::vector<std::string> Problems = Service().LeftBehind;
    if (Service().Loaded) {
        Problems.push_back("driver HesTolvaneDrv still loaded");
    }
    return Problems;
}

const std::u16string& ServiceKeyPath() {
    static const std::u16string Path = ServiceKey;
    return Path;
}

NTSTATUS LoadDriver() {
    DriverService& Driver = Service();
    if (Driver.Loaded) {
        return StatusImageAlreadyLoaded;
    }
    RequirePassiveLevel("LoadDriver");
    ReloadDriverData();
    RestoreInitSections();
    Driver.Image = MapRegion(DriverImageSize);
    Driver.LoaderEntry =
        AddLoadedModule(DriverFullName, DriverBaseName, (ULONG_PTR)Driver.Image, (ULONG)DriverImageSize);
    PrepareDriverObject(Driver);
    Driver.Loaded = true;

    LogKernelCall("DriverEntry");
    InDriverEntry = true;
    const NTSTATUS Status = DriverEntry(&Driver.Object, &Driver.RegistryPath);
    InDriverEntry = false;
    DiscardInitSections();
    if (!NT_SUCCESS(Status)) {
        NoteRegistrationsLeftBehind(Driver, "after a failed start");
        RemoveDriverImage(Driver);
        return Status;
    }
    ClearDevicesInitializing(&Driver.Object);
    return Status;
}

void UnloadDriver() {
    DriverService& Driver = Service();
    if (!Driver.Loaded) {
        throw std::logic_error("sim: UnloadDriver without a loaded driver");
    }
    if (Driver.Object.DriverUnload == nullptr) {
        throw std::logic_error("sim: the driver has no unload routine and cannot be stopped");
    }
    RequirePassiveLevel("UnloadDriver");
    LogKernelCall("DriverUnload");
    Driver.Object.DriverUnload(&Driver.Object);
    NoteRegistrationsLeftBehind(Driver, "after the driver unloaded");
    RemoveDriverImage(Driver);
}

bool DriverLoaded() {
    return Service().Loaded;
}

PDRIVER_OBJECT LoadedDriverObject() {
    return Service().Loaded ? &Service().Object : nullptr;
}

PKLDR_DATA_TABLE_ENTRY DriverLoaderEntry() {
    return Service().Loaded ? Service().LoaderEntry : nullptr;
}

void SetSafeBootMode(ULONG Mode) {
    InitSafeBootMode = Mode;
}

std::vector<std::string> KernelCallLog() {
    CallLog& Log = Calls();
    std::lock_guard<std::mutex> Guard(Log.Lock);
    return Log.Calls;
}

// A run of COM1 bytes is one entry, so the log shows where output happened among the other calls
// without a line per byte.
void LogKernelCall(const char* Service) {
    CallLog& Log = Calls();
    std::function<void(const std::string&)> Observer;
    {
        std::lock_guard<std::mutex> Guard(Log.Lock);
        if (std::strcmp(Service, "COM1") == 0 && !Log.Calls.empty() && Log.Calls.back() == "COM1") {
            return;
        }
        Log.Calls.emplace_back(Service);
        Observer = Log.Observer;
    }
    if (Observer) {
        Observer(Service);
    }
}

void OnKernelCall(std::function<void(const std::string& Service)> Observer) {
    CallLog& Log = Calls();
    std::lock_guard<std::mutex> Guard(Log.Lock);
    Log.Observer = std::move(Observer);
}

}  // namespace sim
