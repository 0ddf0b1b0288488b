// The simulated kernel's memory map: regions it mapped or declared, the state of each of their pages, the
// pager that takes pageable regions out whenever a processor raises its IRQL, and MmIsAddressValid's answer
// for any address at all.
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>

#include "sim_internal.h"

namespace sim {
namespace {

constexpr size_t MaxRegions = 1024;  // room for a few hundred mapped images with their guard pages

// Every field is atomic because the fault handler reads slots while another thread may be changing
// them; a slot's fields are written before Live is set and read only after Live is seen set.
struct Region {
    std::atomic<uintptr_t> Start;
    std::atomic<uintptr_t> End;  // first byte past the region
    std::atomic<std::atomic<unsigned char>*> PageStates;  // one per page the region touches
    std::atomic<bool> Live;
    std::atomic<bool> KernelSpace;
    std::atomic<bool> Mapped;
    // Pageable regions only: whether the pages are resident now, a flag that keeps the pager and the fault
    // handler from changing residency at the same time, and the protection the pages have while resident
    // (0 for a region that is never paged).
    std::atomic<bool> Resident;
    std::atomic_flag Paging;
    std::atomic<int> ResidentProtection;
    // A section of the driver's image: it may lie inside host memory declared as a whole, and is then what
    // the memory map says about its own pages.
    std::atomic<bool> DriverSection;
};

Region Regions[MaxRegions];
std::atomic<size_t> SlotsInUse{0};  // slots at and past this index have never been live since Reset
std::mutex RegionWriters;           // serialises changes; readers take no lock

uintptr_t PageOf(uintptr_t Address) {
    return Address & ~(uintptr_t)(PageSize - 1);
}

size_t PagesSpanned(uintptr_t Start, uintptr_t End) {
    return (PageOf(End - 1) - PageOf(Start)) / PageSize + 1;
}

// Slot lookups by address; the caller decides whether it needs the writers' lock. A driver section wins
// over the host memory around it.
Region* RegionContaining(uintptr_t Address) {
    Region* Found = nullptr;
    const size_t Slots = SlotsInUse.load(std::memory_order_acquire);
    for (size_t Index = 0; Index < Slots; Index++) {
        Region& Candidate = Regions[Index];
        if (Candidate.Live.load(std::memory_order_acquire) &&
            Address >= Candidate.Start.load(std::memory_order_relaxed) &&
            Address < Candidate.End.load(std::memory_order_relaxed)) {
            if (Candidate.DriverSection.load(std::memory_order_relaxed)) {
                return &Candidate;
            }
            Found = &Candidate;
        }
    }
    return Found;
}

// Regions never overlap, except that a driver section may lie wholly inside host memory declared around it.
bool OverlapsLiveRegion(uintptr_t Start, uintptr_t End, bool Mapped, bool DriverSection) {
    for (size_t Index = 0; Index < SlotsInUse.load(); Index++) {
        const Region& Other = Regions[Index];
        if (!Other.Live.load() || End <= Other.Start.load() || Other.End.load() <= Start) {
            continue;
        }
        const bool OtherMapped = Other.Mapped.load();
        const bool OtherSection = Other.DriverSection.load();
        const bool SectionInsideOther = DriverSection && !OtherSection && !OtherMapped &&
                                        Start >= Other.Start.load() && End <= Other.End.load();
        const bool OtherInsideThis = OtherSection && !DriverSection && !Mapped &&
                                     Other.Start.load() >= Start && Other.End.load() <= End;
        if (!SectionInsideOther && !OtherInsideThis) {
            return true;
        }
    }
    return false;
}

Region& FreeSlot() {
    for (size_t Index = 0; Index < SlotsInUse.load(); Index++) {
        if (!Regions[Index].Live.load()) {
            return Regions[Index];
        }
    }
    if (SlotsInUse.load() == MaxRegions) {
        throw std::length_error("sim: more than 1024 memory regions at once");
    }
    return Regions[SlotsInUse.fetch_add(1)];
}

void AddRegion(uintptr_t Start, size_t Size, bool KernelSpace, bool Mapped, int ResidentProtection = 0,
               bool DriverSection = false) {
    if (Size == 0) {
        throw std::invalid_argument("sim: an empty memory region");
    }
    const uintptr_t End = Start + Size;
    std::lock_guard<std::mutex> Guard(RegionWriters);
    if (OverlapsLiveRegion(Start, End, Mapped, DriverSection)) {
        throw std::invalid_argument("sim: memory region overlaps one already declared");
    }
    const size_t Pages = PagesSpanned(Start, End);
    auto* States = new std::atomic<unsigned char>[Pages];
    for (size_t Page = 0; Page < Pages; Page++) {
        States[Page].store((unsigned char)PageState::Valid, std::memory_order_relaxed);
    }
    Region& Slot = FreeSlot();
    Slot.Start.store(Start, std::memory_order_relaxed);
    Slot.End.store(End, std::memory_order_relaxed);
    Slot.KernelSpace.store(KernelSpace, std::memory_order_relaxed);
    Slot.Mapped.store(Mapped, std::memory_order_relaxed);
    Slot.PageStates.store(States, std::memory_order_relaxed);
    Slot.ResidentProtection.store(ResidentProtection, std::memory_order_relaxed);
    Slot.Resident.store(true, std::memory_order_relaxed);
    Slot.DriverSection.store(DriverSection, std::memory_order_relaxed);
    Slot.Live.store(true, std::memory_order_release);
}

// Spins rather than blocks: the fault handler takes the flag too, and it may not sleep on a mutex.
void SetResidency(Region& Slot, bool Resident) {
    while (Slot.Paging.test_and_set(std::memory_order_acquire)) {
        __builtin_ia32_pause();
    }
    const uintptr_t Start = Slot.Start.load(std::memory_order_relaxed);
    const int Protection = Resident ? Slot.ResidentProtection.load(std::memory_order_relaxed) : PROT_NONE;
    mprotect((void*)Start, Slot.End.load(std::memory_order_relaxed) - Start, Protection);
    Slot.Resident.store(Resident, std::memory_order_release);
    Slot.Paging.clear(std::memory_order_release);
}

// The slot stops being visible before its memory goes away. A fault handler or MmIsAddressValid call
// racing with this on another thread is the test's own race, as unmapping under a reader is in a kernel.
void RemoveRegion(Region& Slot) {
    Slot.Live.store(false, std::memory_order_release);
    // Host code that was pageable goes back to its own protection; the program still runs it.
    if (Slot.ResidentProtection.load() != 0 && !Slot.Resident.load() && !Slot.Mapped.load()) {
        SetResidency(Slot, true);
    }
    if (Slot.Mapped.load()) {
        const uintptr_t Start = Slot.Start.load();
        munmap((void*)Start, Slot.End.load() - Start);
    }
    delete[] Slot.PageStates.exchange(nullptr);
}

void ProtectPages(uintptr_t FirstPage, size_t Pages, PageState State) {
    const int Protection = State == PageState::Valid ? PROT_READ | PROT_WRITE : PROT_NONE;
    if (mprotect((void*)FirstPage, Pages * PageSize, Protection) != 0) {
        throw std::runtime_error("sim: mprotect failed on a mapped region");
    }
}

// Wanted null places the pages anywhere; otherwise exactly at Wanted, and never over memory in use.
// ResidentProtection other than 0 makes the region pageable.
void* MapFreshPages(void* Wanted, size_t Size, bool KernelSpace, int ResidentProtection = 0) {
    if (Size == 0) {
        throw std::invalid_argument("sim: a region of no bytes");
    }
    const size_t Rounded = (Size + PageSize - 1) / PageSize * PageSize;
    const int Placement = Wanted == nullptr ? 0 : MAP_FIXED_NOREPLACE;
    void* Base = mmap(Wanted, Rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | Placement, -1, 0);
    if (Base == MAP_FAILED && Wanted == nullptr) {
        throw std::bad_alloc();
    }
    // Kernels older than 4.17 take MAP_FIXED_NOREPLACE as a mere hint and map elsewhere.
    if (Base != Wanted && Wanted != nullptr) {
        if (Base != MAP_FAILED) {
            munmap(Base, Rounded);
        }
        throw std::invalid_argument("sim: MapRegionAt over memory already in use");
    }
    AddRegion((uintptr_t)Base, Rounded, KernelSpace, true, ResidentProtection);
    return Base;
}

// Reads one byte through the kernel's own access checks rather than by dereferencing, so that an
// unmapped or PROT_NONE address answers "no" instead of faulting.
bool IsReadableByThisProcess(const void* Address) {
    unsigned char Byte;
    iovec Local = {&Byte, 1};
    iovec Remote = {const_cast<void*>(Address), 1};
    return process_vm_readv(getpid(), &Local, 1, &Remote, 1, 0) == 1;
}

}  // namespace

PageLookup LookupPage(const void* Address) {
    const uintptr_t Where = (uintptr_t)Address;
    const Region* Found = RegionContaining(Where);
    if (Found == nullptr) {
        return PageLookup{false, false, PageState::Valid, false, true, false};
    }
    const size_t Page = (PageOf(Where) - PageOf(Found->Start.load(std::memory_order_relaxed))) / PageSize;
    const std::atomic<unsigned char>* States = Found->PageStates.load(std::memory_order_relaxed);
    const bool Pageable = Found->ResidentProtection.load(std::memory_order_relaxed) != 0;
    return PageLookup{true, Found->KernelSpace.load(std::memory_order_relaxed),
                      (PageState)States[Page].load(std::memory_order_relaxed), Pageable,
                      !Pageable || Found->Resident.load(std::memory_order_acquire),
                      Found->DriverSection.load(std::memory_order_relaxed)};
}

void* MapPageableRegion(size_t Size) {
    return MapFreshPages(nullptr, Size, true, PROT_READ | PROT_WRITE);
}

void DeclareDriverSection(const void* Base, size_t Size, int ResidentProtection) {
    if ((uintptr_t)Base % PageSize != 0 || Size % PageSize != 0) {
        throw std::invalid_argument("sim: a driver section that does not fill whole pages");
    }
    AddRegion((uintptr_t)Base, Size, true, false, ResidentProtection, true);
}

void ForgetDeclaredRegion(const void* Base) {
    std::lock_guard<std::mutex> Guard(RegionWriters);
    Region* Slot = RegionContaining((uintptr_t)Base);
    if (Slot == nullptr || Slot->Start.load() != (uintptr_t)Base || Slot->Mapped.load()) {
        throw std::invalid_argument("sim: ForgetDeclaredRegion of something not declared");
    }
    RemoveRegion(*Slot);
}

// Whatever a processor raises its IRQL over may be touched at that level; everything pageable goes out
// first, so that a touch of it there is caught every time rather than when memory happens to be short.
void PageOutPageableMemory() {
    const size_t Slots = SlotsInUse.load(std::memory_order_acquire);
    for (size_t Index = 0; Index < Slots; Index++) {
        Region& Candidate = Regions[Index];
        if (Candidate.Live.load(std::memory_order_acquire) &&
            Candidate.ResidentProtection.load(std::memory_order_relaxed) != 0 &&
            Candidate.Resident.load(std::memory_order_acquire)) {
            SetResidency(Candidate, false);
        }
    }
}

bool PageIn(const void* Address, bool Write) {
    Region* Found = RegionContaining((uintptr_t)Address);
    if (Found == nullptr || Found->ResidentProtection.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    if (Write && (Found->ResidentProtection.load(std::memory_order_relaxed) & PROT_WRITE) == 0) {
        return false;
    }
    SetResidency(*Found, true);
    return true;
}

void* MapRegion(size_t Size, bool KernelSpace) {
    return MapFreshPages(nullptr, Size, KernelSpace);
}

void* MapRegionAt(ULONG_PTR Address, size_t Size, bool KernelSpace) {
    if (Address % PageSize != 0) {
        throw std::invalid_argument("sim: MapRegionAt of an address inside a page");
    }
    return MapFreshPages((void*)Address, Size, KernelSpace);
}

void UnmapRegion(void* Base) {
    std::lock_guard<std::mutex> Guard(RegionWriters);
    Region* Slot = RegionContaining((uintptr_t)Base);
    if (Slot == nullptr || Slot->Start.load() != (uintptr_t)Base || !Slot->Mapped.load()) {
        throw std::invalid_argument("sim: UnmapRegion of something MapRegion did not return");
    }
    RemoveRegion(*Slot);
}

void DeclareRegion(const void* Base, size_t Size, bool KernelSpace) {
    AddRegion((uintptr_t)Base, Size, KernelSpace, false);
}

// Pages of declared regions keep their protection: that memory belongs to the host program, so only
// MmIsAddressValid's answer changes. Pages of mapped regions really stop being readable.
void SetPageState(const void* Address, size_t Length, PageState State) {
    const uintptr_t Start = (uintptr_t)Address;
    std::lock_guard<std::mutex> Guard(RegionWriters);
    Region* Slot = RegionContaining(Start);
    if (Length == 0 || Slot == nullptr || Start + Length > Slot->End.load()) {
        throw std::invalid_argument("sim: SetPageState outside any one region");
    }
    const size_t FirstIndex = (PageOf(Start) - PageOf(Slot->Start.load())) / PageSize;
    const size_t Pages = PagesSpanned(Start, Start + Length);
    if (Slot->Mapped.load()) {
        ProtectPages(PageOf(Start), Pages, State);
    }
    std::atomic<unsigned char>* States = Slot->PageStates.load();
    for (size_t Page = FirstIndex; Page < FirstIndex + Pages; Page++) {
        States[Page].store((unsigned char)State);
    }
}

bool IsDeclared(const void* Address) {
    return IsPoolAddress(Address) || LookupPage(Address).Declared;
}

void ResetMemory() {
    std::lock_guard<std::mutex> Guard(RegionWriters);
    for (size_t Index = 0; Index < SlotsInUse.load(); Index++) {
        if (Regions[Index].Live.load()) {
            RemoveRegion(Regions[Index]);
        }
    }
    SlotsInUse.store(0);
}

}  // namespace sim

// A page-table walk's cost, taking no lock: the memory map's regions (paged pool and pageable code are
// valid only while resident), then the non-paged pool's page table, then the host's own answer.
extern "C" BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
    const sim::PageLookup Page = sim::LookupPage(VirtualAddress);
    if (Page.Declared) {
        return Page.State != sim::PageState::Invalid && Page.Resident;
    }
    if (sim::IsNonPagedPoolPage(VirtualAddress)) {
        return TRUE;
    }
    return sim::IsReadableByThisProcess(VirtualAddress) ? TRUE : FALSE;
}

extern "C" BOOLEAN IsKernelSpaceAddress(const void* Address) {
    if (sim::IsPoolAddress(Address)) {
        return TRUE;
    }
    const sim::PageLookup Page = sim::LookupPage(Address);
    return Page.Declared && Page.KernelSpace ? TRUE : FALSE;
}
