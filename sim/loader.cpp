// The simulated kernel's image loader: the loaded-module list with its loader entries, and the
// load-image notifications with the rundown protection that makes their removal wait for running calls.
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "sim_driver.h"
#include "sim_internal.h"
#include "sim_loader.h"

namespace sim {
namespace {

// ----- Loaded-module list ------------------------------------------------------------------------------

// Loader entries and their names come from one kernel-space arena, a page or more each, so that tests
// can make any one of them invalid or faulting. Its address space is reserved at first use; pages are
// only backed once written.
constexpr size_t LoaderArenaPages = 4096;

struct LoaderState {
    std::mutex Lock;  // stands for the kernel's PsLoadedModuleResource
    UCHAR* Arena = nullptr;
    size_t PagesUsed = 0;
};

// Never destroyed, like every kernel-wide state of the simulation.
LoaderState& Loader() {
    static LoaderState* const Instance = new LoaderState;
    return *Instance;
}

size_t PagesFor(size_t Bytes) {
    return (Bytes + PageSize - 1) / PageSize;
}

// The kernel's list head is a variable among others in ntoskrnl's data, so a walk that takes the head for
// an entry reads its neighbours: kernel pointers, counts and sizes, none of them zero. Page 0 of the arena
// holds the head and such neighbours. Where a loader entry keeps its fields they read as an image base in
// kernel space, a plausible size and two names whose buffers point into this page; the word after either
// name's counted characters is not 0, as nothing makes it so.
constexpr UCHAR HeadNeighbourFill = 0xA5;
constexpr ULONG HeadNeighbourSize = 0x2A000;
constexpr USHORT HeadNeighbourNameLength = 0x18;

void FillHeadNeighbours(UCHAR* Page) {
    std::memset(Page + sizeof(LIST_ENTRY), HeadNeighbourFill, PageSize - sizeof(LIST_ENTRY));
    auto* Neighbours = (PKLDR_DATA_TABLE_ENTRY)Page;
    Neighbours->DllBase = Page + PageSize / 2;
    Neighbours->SizeOfImage = HeadNeighbourSize;
    Neighbours->FullDllName = {HeadNeighbourNameLength, HeadNeighbourNameLength, (PWSTR)(Page + 0x200)};
    Neighbours->BaseDllName = {HeadNeighbourNameLength, HeadNeighbourNameLength, (PWSTR)(Page + 0x300)};
}

UCHAR* ArenaOf(LoaderState& State) {
    if (State.Arena == nullptr) {
        State.Arena = (UCHAR*)MapRegion(LoaderArenaPages * PageSize);
        State.PagesUsed = 1;
        InitializeListHead((PLIST_ENTRY)State.Arena);
        FillHeadNeighbours(State.Arena);
    }
    return State.Arena;
}

void* TakePages(LoaderState& State, size_t Bytes) {
    UCHAR* Arena = ArenaOf(State);
    const size_t Pages = PagesFor(Bytes);
    if (State.PagesUsed + Pages > LoaderArenaPages) {
        throw std::length_error("sim: the loader's arena has no room for another loaded module");
    }
    void* Taken = Arena + State.PagesUsed * PageSize;
    State.PagesUsed += Pages;
    return Taken;
}

// Counted without the terminator, which follows the last character as it does for the kernel's names.
void PlaceName(LoaderState& State, UNICODE_STRING* Name, const std::u16string& Text) {
    const size_t Bytes = (Text.size() + 1) * sizeof(WCHAR);
    if (Bytes > 0xFFFF) {
        throw std::invalid_argument("sim: a loader name longer than a UNICODE_STRING can count");
    }
    auto* Buffer = (WCHAR*)TakePages(State, Bytes);
    std::memcpy(Buffer, Text.data(), Text.size() * sizeof(WCHAR));
    Buffer[Text.size()] = 0;
    Name->Buffer = Buffer;
    Name->Length = (USHORT)(Text.size() * sizeof(WCHAR));
    Name->MaximumLength = (USHORT)Bytes;
}

void InvalidateName(const UNICODE_STRING& Name) {
    if (Name.Buffer != nullptr && Name.MaximumLength != 0) {
        SetPageState(Name.Buffer, Name.MaximumLength, PageState::Invalid);
    }
}

// ----- Load-image notifications ------------------------------------------------------------------------

// One registration, shared by its slot and by the calls that started while it was registered; removal
// waits until no call holds it any more (the kernel's callback block and its rundown protection).
struct NotifyRegistration {
    PLOAD_IMAGE_NOTIFY_ROUTINE Routine;
    size_t CallsRunning = 0;
    bool MadeByDriverEntry = false;  // the driver's own, which must be gone when its image is
};

struct NotifyState {
    std::mutex Lock;
    std::condition_variable CallEnded;
    std::array<std::shared_ptr<NotifyRegistration>, MaxImageNotifyRoutines> Slots;
    bool FailNextRegistration = false;
};

NotifyState& Notify() {
    static NotifyState* const Instance = new NotifyState;
    return *Instance;
}

std::vector<std::shared_ptr<NotifyRegistration>> EnterRegisteredRoutines(NotifyState& State) {
    std::lock_guard<std::mutex> Guard(State.Lock);
    std::vector<std::shared_ptr<NotifyRegistration>> Entered;
    for (const std::shared_ptr<NotifyRegistration>& Slot : State.Slots) {
        if (Slot != nullptr) {
            Slot->CallsRunning++;
            Entered.push_back(Slot);
        }
    }
    return Entered;
}

void LeaveRoutine(NotifyState& State, NotifyRegistration& Registration) {
    {
        std::lock_guard<std::mutex> Guard(State.Lock);
        Registration.CallsRunning--;
    }
    State.CallEnded.notify_all();
}

// What the kernel hands a notify routine lives in its own memory and is gone once the routines return.
struct ImageLoadArguments {
    IMAGE_INFO Info;
    UNICODE_STRING Name;
};

ImageLoadArguments* NewImageLoadArguments(ULONG_PTR ImageBase, SIZE_T ImageSize, bool SystemModeImage,
                                          size_t NameBytes) {
    auto* Arguments = (ImageLoadArguments*)MapRegion(sizeof(ImageLoadArguments) + NameBytes);
    Arguments->Info.Properties = SystemModeImage ? IMAGE_INFO_SYSTEM_MODE_IMAGE : 0;
    Arguments->Info.ImageBase = (PVOID)ImageBase;
    Arguments->Info.ImageSize = ImageSize;
    return Arguments;
}

}  // namespace

PLIST_ENTRY LoadedModuleListHead() {
    LoaderState& State = Loader();
    std::lock_guard<std::mutex> Guard(State.Lock);
    return (PLIST_ENTRY)ArenaOf(State);
}

PKLDR_DATA_TABLE_ENTRY AddLoadedModule(const std::u16string& FullDllName, const std::u16string& BaseDllName,
                                       ULONG_PTR Base, ULONG SizeOfImage) {
    LoaderState& State = Loader();
    std::lock_guard<std::mutex> Guard(State.Lock);
    auto* Entry = (PKLDR_DATA_TABLE_ENTRY)TakePages(State, sizeof(KLDR_DATA_TABLE_ENTRY));
    Entry->DllBase = (PVOID)Base;
    Entry->SizeOfImage = SizeOfImage;
    Entry->LoadCount = 1;
    PlaceName(State, &Entry->FullDllName, FullDllName);
    PlaceName(State, &Entry->BaseDllName, BaseDllName);
    InsertTailList((PLIST_ENTRY)ArenaOf(State), &Entry->InLoadOrderLinks);
    return Entry;
}

void RemoveLoadedModule(PKLDR_DATA_TABLE_ENTRY Entry) {
    LoaderState& State = Loader();
    std::lock_guard<std::mutex> Guard(State.Lock);
    PLIST_ENTRY Links = &Entry->InLoadOrderLinks;
    if (Links->Flink->Blink != Links || Links->Blink->Flink != Links) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Links->Blink->Flink = Links->Flink;
    Links->Flink->Blink = Links->Blink;
    InvalidateName(Entry->FullDllName);
    InvalidateName(Entry->BaseDllName);
    SetPageState(Entry, sizeof(KLDR_DATA_TABLE_ENTRY), PageState::Invalid);
}

void ReportImageLoad(const std::u16string& FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                     HANDLE ProcessId, bool SystemModeImage) {
    const size_t NameBytes = (FullImageName.size() + 1) * sizeof(WCHAR);
    if (NameBytes > 0xFFFF) {
        throw std::invalid_argument("sim: an image name longer than a UNICODE_STRING can count");
    }
    ImageLoadArguments* Arguments = NewImageLoadArguments(ImageBase, ImageSize, SystemModeImage, NameBytes);
    auto* Text = (WCHAR*)(Arguments + 1);
    std::memcpy(Text, FullImageName.data(), FullImageName.size() * sizeof(WCHAR));
    Text[FullImageName.size()] = 0;
    Arguments->Name.Buffer = Text;
    Arguments->Name.Length = (USHORT)(FullImageName.size() * sizeof(WCHAR));
    Arguments->Name.MaximumLength = (USHORT)NameBytes;
    DeliverImageLoad(&Arguments->Name, ProcessId, &Arguments->Info);
    UnmapRegion(Arguments);
}

void ReportImageLoadWithName(PUNICODE_STRING FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                             HANDLE ProcessId, bool SystemModeImage) {
    ImageLoadArguments* Arguments = NewImageLoadArguments(ImageBase, ImageSize, SystemModeImage, 0);
    DeliverImageLoad(FullImageName, ProcessId, &Arguments->Info);
    UnmapRegion(Arguments);
}

void DeliverImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo) {
    RequirePassiveLevel("image-load notification");
    NotifyState& State = Notify();
    for (const std::shared_ptr<NotifyRegistration>& Registration : EnterRegisteredRoutines(State)) {
        Registration->Routine(FullImageName, ProcessId, ImageInfo);
        LeaveRoutine(State, *Registration);
    }
}

size_t RegisteredImageNotifyRoutines() {
    NotifyState& State = Notify();
    std::lock_guard<std::mutex> Guard(State.Lock);
    size_t Count = 0;
    for (const std::shared_ptr<NotifyRegistration>& Slot : State.Slots) {
        Count += Slot != nullptr ? 1 : 0;
    }
    return Count;
}

void FailNextImageNotifyRegistration() {
    NotifyState& State = Notify();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.FailNextRegistration = true;
}

size_t DriverImageNotifyRoutines() {
    NotifyState& State = Notify();
    std::lock_guard<std::mutex> Guard(State.Lock);
    size_t Count = 0;
    for (const std::shared_ptr<NotifyRegistration>& Slot : State.Slots) {
        Count += Slot != nullptr && Slot->MadeByDriverEntry ? 1 : 0;
    }
    return Count;
}

// The arena's pages go with the rest of memory at Reset; only the loader's own records are forgotten.
void ResetLoader() {
    {
        LoaderState& State = Loader();
        std::lock_guard<std::mutex> Guard(State.Lock);
        State.Arena = nullptr;
        State.PagesUsed = 0;
    }
    NotifyState& State = Notify();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Slots.fill(nullptr);
    State.FailNextRegistration = false;
}

namespace {

NTSTATUS RegisterNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine) {
    sim::NotifyState& State = sim::Notify();
    std::lock_guard<std::mutex> Guard(State.Lock);
    if (State.FailNextRegistration || sim::FailureInjectedAt("PsSetLoadImageNotifyRoutine")) {
        State.FailNextRegistration = false;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (std::shared_ptr<sim::NotifyRegistration>& Slot : State.Slots) {
        if (Slot == nullptr) {
            Slot = std::make_shared<sim::NotifyRegistration>(
                sim::NotifyRegistration{NotifyRoutine, 0, sim::RunningDriverEntry()});
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

// A call of the routine already running on another processor finishes before removal returns, so that
// the caller may then unload the routine's code.
NTSTATUS RemoveNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine) {
    sim::NotifyState& State = sim::Notify();
    std::unique_lock<std::mutex> Guard(State.Lock);
    for (std::shared_ptr<sim::NotifyRegistration>& Slot : State.Slots) {
        if (Slot != nullptr && Slot->Routine == NotifyRoutine) {
            std::shared_ptr<sim::NotifyRegistration> Removed = std::move(Slot);
            Slot = nullptr;
            State.CallEnded.wait(Guard, [&Removed] { return Removed->CallsRunning == 0; });
            return STATUS_SUCCESS;
        }
    }
    return STATUS_PROCEDURE_NOT_FOUND;
}

}  // namespace
}  // namespace sim

// Both calls are logged once the notification lock is released: whoever watches the log may report an
// image load of its own.
extern "C" NTSTATUS PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine) {
    sim::RequirePassiveLevel("PsSetLoadImageNotifyRoutine");
    const NTSTATUS Status = sim::RegisterNotifyRoutine(NotifyRoutine);
    sim::LogKernelCall("PsSetLoadImageNotifyRoutine");
    return Status;
}

extern "C" NTSTATUS PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine) {
    sim::RequirePassiveLevel("PsRemoveLoadImageNotifyRoutine");
    const NTSTATUS Status = sim::RemoveNotifyRoutine(NotifyRoutine);
    sim::LogKernelCall("PsRemoveLoadImageNotifyRoutine");
    return Status;
}
