// Simulated kernel pool: non-paged blocks come from malloc, so AddressSanitizer guards their bounds; paged
// blocks get pages of their own that the pager can take out. A ledger keeps what the real pool's headers
// keep (tag, type, size) so that bad frees and leaks are caught.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "sim_internal.h"

namespace sim {
namespace {

constexpr ULONG BadPoolCaller = 0xC2;
constexpr ULONG DriverVerifierDetectedViolation = 0xC4;
constexpr ULONG CodeIntegrityExecutablePool = 0x2000;

// Fresh pool holds whatever its previous owner left. A pattern that is never zero makes a driver that
// reads a field before writing it see nonsense at once instead of a lucky zero.
constexpr unsigned char FreshPoolByte = 0xCD;

struct PoolLedger {
    std::mutex Lock;
    std::map<uintptr_t, PoolBlock> Blocks;  // ordered by address for interval lookups
    // Freed addresses not handed out again, so that a second free reads as a double free and not as
    // a free of something the pool never owned.
    std::set<uintptr_t> Freed;
    size_t Allocations = 0;
    size_t CallsUntilFailure = 0;  // 0: no failure pending
    bool FailEverything = false;
};

// Never destroyed: image-load threads may still call into the pool while the process exits.
PoolLedger& Pool() {
    static PoolLedger* const Instance = new PoolLedger;
    return *Instance;
}

std::string TagText(ULONG Tag) {
    std::string Text;
    for (int Shift = 0; Shift < 32; Shift += 8) {
        char Byte = (char)((Tag >> Shift) & 0xFF);
        Text += (Byte >= 0x20 && Byte < 0x7F) ? Byte : '?';
    }
    return "'" + Text + "'";
}

const char* PoolTypeName(POOL_TYPE Type) {
    switch (Type) {
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    default:
        return "NonPagedPool";
    }
}

bool PoolTypeKnown(POOL_TYPE Type) {
    if (Type == NonPagedPool || Type == PagedPool) {
        return true;
    }
    return Type == NonPagedPoolNx && KernelHasNonExecutablePool();
}

// Paged pool has not been executable since Windows 8 either; of the types this kernel knows, only
// NonPagedPool hands out memory the processor may run.
bool IsExecutablePoolType(POOL_TYPE Type) {
    return Type == NonPagedPool;
}

std::string HexText(uintptr_t Value) {
    char Text[24];
    std::snprintf(Text, sizeof Text, "0x%llX", (unsigned long long)Value);
    return Text;
}

std::string AddressText(const void* Address) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%p", Address);
    return Text;
}

[[noreturn]] void BadPoolCall(const std::string& What) {
    FatalStop(BadPoolCaller, "BAD_POOL_CALLER " + What);
}

// Paged pool may itself page-fault, so it is usable only below DISPATCH_LEVEL.
KIRQL HighestIrqlFor(POOL_TYPE Type) {
    return Type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
}

void RequireUsablePool(const char* Service, POOL_TYPE Type) {
    if (InBugCheck()) {
        BadPoolCall(std::string(Service) + " during bug check");
    }
    if (!PoolTypeKnown(Type)) {
        const WindowsRelease Release = CurrentWindowsRelease();
        BadPoolCall(std::string(Service) + " with pool type " + std::to_string((int)Type) + ", unknown to Windows " +
                    std::to_string(Release.Major) + "." + std::to_string(Release.Minor));
    }
    if (CurrentIrql() > HighestIrqlFor(Type)) {
        BadPoolCall(std::string(Service) + " of " + PoolTypeName(Type) + " at IRQL " +
                    std::to_string(CurrentIrql()));
    }
}

bool ShouldFailThisAllocation(PoolLedger& Ledger) {
    if (Ledger.FailEverything) {
        return true;
    }
    if (Ledger.CallsUntilFailure == 0) {
        return false;
    }
    return --Ledger.CallsUntilFailure == 0;
}

// A page table for non-paged pool: how many live blocks touch each page, reached from the address in two
// lock-free steps as the processor reaches a page-table entry. MmIsAddressValid answers for pool through
// it, at any IRQL, without the ledger's lock and in a time that does not grow with the number of blocks.
constexpr unsigned AddressBits = 48;
constexpr unsigned PageShift = 12;
constexpr unsigned LeafBits = 18;  // a leaf covers 1 GiB
constexpr unsigned DirectoryBits = AddressBits - PageShift - LeafBits;

struct PoolPageLeaf {
    std::atomic<uint16_t> Blocks[1u << LeafBits];
};

std::atomic<PoolPageLeaf*> PoolPageDirectory[1u << DirectoryBits];

// Called with the ledger's lock held, which serialises every change; readers only load.
void CountBlockPages(uintptr_t Address, size_t Size, bool Adding) {
    const uintptr_t Last = Address + (Size == 0 ? 1 : Size) - 1;
    for (uintptr_t Page = Address >> PageShift; Page <= Last >> PageShift; Page++) {
        std::atomic<PoolPageLeaf*>& Entry = PoolPageDirectory[Page >> LeafBits];
        PoolPageLeaf* Leaf = Entry.load(std::memory_order_acquire);
        if (Leaf == nullptr) {
            Leaf = new PoolPageLeaf();
            Entry.store(Leaf, std::memory_order_release);
        }
        std::atomic<uint16_t>& Count = Leaf->Blocks[Page & ((1u << LeafBits) - 1)];
        if (Adding) {
            Count.fetch_add(1, std::memory_order_release);
        } else {
            Count.fetch_sub(1, std::memory_order_release);
        }
    }
}

const PoolBlock* BlockContaining(const PoolLedger& Ledger, uintptr_t Address) {
    auto After = Ledger.Blocks.upper_bound(Address);
    if (After == Ledger.Blocks.begin()) {
        return nullptr;
    }
    const PoolBlock& Candidate = std::prev(After)->second;
    return Address - (uintptr_t)Candidate.Address < Candidate.Size ? &Candidate : nullptr;
}

}  // namespace

std::vector<PoolBlock> OutstandingPool() {
    std::lock_guard<std::mutex> Guard(Pool().Lock);
    std::vector<PoolBlock> Blocks;
    for (const auto& Entry : Pool().Blocks) {
        Blocks.push_back(Entry.second);
    }
    return Blocks;
}

size_t AllocationCount() {
    std::lock_guard<std::mutex> Guard(Pool().Lock);
    return Pool().Allocations;
}

void FailAllocation(size_t Nth) {
    std::lock_guard<std::mutex> Guard(Pool().Lock);
    Pool().CallsUntilFailure = Nth;
}

void FailAllAllocations(bool Fail) {
    std::lock_guard<std::mutex> Guard(Pool().Lock);
    Pool().FailEverything = Fail;
}

bool IsNonPagedPoolPage(const void* Address) {
    const uintptr_t Page = (uintptr_t)Address >> PageShift;
    if (Page >> (AddressBits - PageShift) != 0) {
        return false;
    }
    const PoolPageLeaf* Leaf = PoolPageDirectory[Page >> LeafBits].load(std::memory_order_acquire);
    return Leaf != nullptr && Leaf->Blocks[Page & ((1u << LeafBits) - 1)].load(std::memory_order_acquire) != 0;
}

bool IsPoolAddress(const void* Address) {
    std::lock_guard<std::mutex> Guard(Pool().Lock);
    return BlockContaining(Pool(), (uintptr_t)Address) != nullptr;
}

std::vector<std::string> PoolTeardownProblems() {
    std::vector<std::string> Problems;
    for (const PoolBlock& Block : OutstandingPool()) {
        Problems.push_back("pool block " + AddressText(Block.Address) + " tag " + TagText(Block.Tag) + " " +
                           PoolTypeName(Block.Type) + " " + std::to_string(Block.Size) +
                           " bytes never freed");
    }
    return Problems;
}

// Paged pool lives on whole pages so that paging it out makes every byte of it untouchable.
void* TakeBlockMemory(POOL_TYPE Type, size_t Bytes) {
    if (Type == PagedPool) {
        return MapPageableRegion(Bytes);
    }
    return std::malloc(Bytes);
}

void GiveBlockMemoryBack(const PoolBlock& Block) {
    if (Block.Type == PagedPool) {
        UnmapRegion(Block.Address);
    } else {
        CountBlockPages((uintptr_t)Block.Address, Block.Size, false);
        std::free(Block.Address);
    }
}

// Outstanding blocks go back to where they came from: a test that leaks on purpose must not leave the
// leak to LeakSanitizer or to the next test.
void ResetPool() {
    PoolLedger& Ledger = Pool();
    std::lock_guard<std::mutex> Guard(Ledger.Lock);
    for (const auto& Entry : Ledger.Blocks) {
        GiveBlockMemoryBack(Entry.second);
    }
    Ledger.Blocks.clear();
    Ledger.Freed.clear();
    Ledger.Allocations = 0;
    Ledger.CallsUntilFailure = 0;
    Ledger.FailEverything = false;
}

}  // namespace sim

namespace sim {

void* AllocateKernelPool(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag) {
    sim::RequireUsablePool("ExAllocatePoolWithTag", PoolType);
    if (Tag == 0) {
        sim::BadPoolCall("ExAllocatePoolWithTag with a zero tag");
    }
    sim::PoolLedger& Ledger = sim::Pool();
    std::lock_guard<std::mutex> Guard(Ledger.Lock);
    if (sim::ShouldFailThisAllocation(Ledger) || sim::FailureInjectedAt("ExAllocatePoolWithTag")) {
        return NULL;
    }
    // A zero-byte request still gets a block of its own, as from the real pool.
    void* Address = sim::TakeBlockMemory(PoolType, NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (Address == nullptr) {
        return NULL;
    }
    std::memset(Address, sim::FreshPoolByte, NumberOfBytes);
    if (PoolType != PagedPool) {
        sim::CountBlockPages((uintptr_t)Address, NumberOfBytes, true);
    }
    Ledger.Blocks[(uintptr_t)Address] = sim::PoolBlock{Address, Tag, PoolType, NumberOfBytes};
    Ledger.Freed.erase((uintptr_t)Address);
    Ledger.Allocations++;
    return Address;
}

}  // namespace sim

// Not inlined, so that the return address is the driver's call site, which the verifier names.
extern "C" __attribute__((noinline)) PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                                 ULONG Tag) {
    if (sim::VerifierCodeIntegrity() && sim::IsExecutablePoolType(PoolType)) {
        const uintptr_t CallSite = (uintptr_t)__builtin_return_address(0);
        sim::FatalStop(sim::DriverVerifierDetectedViolation,
                       "DRIVER_VERIFIER_DETECTED_VIOLATION " + sim::HexText(sim::CodeIntegrityExecutablePool) + " " +
                           sim::HexText(CallSite) + " " + sim::HexText((uintptr_t)PoolType) + " " +
                           sim::HexText(Tag) + ": ExAllocatePoolWithTag of executable " +
                           sim::PoolTypeName(PoolType) + " " + sim::TagText(Tag) +
                           " under the code-integrity check");
    }
    return sim::AllocateKernelPool(PoolType, NumberOfBytes, Tag);
}

extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (sim::InBugCheck()) {
        sim::BadPoolCall("ExFreePoolWithTag during bug check");
    }
    if (P == NULL) {
        sim::BadPoolCall("ExFreePoolWithTag of NULL");
    }
    sim::PoolLedger& Ledger = sim::Pool();
    std::lock_guard<std::mutex> Guard(Ledger.Lock);
    auto Found = Ledger.Blocks.find((uintptr_t)P);
    if (Found == Ledger.Blocks.end()) {
        bool FreedBefore = Ledger.Freed.count((uintptr_t)P) != 0;
        sim::BadPoolCall("ExFreePoolWithTag of " + sim::AddressText(P) +
                         (FreedBefore ? ", a block already freed" : ", which is not a pool block"));
    }
    const sim::PoolBlock Block = Found->second;
    if (Block.Tag != Tag) {
        sim::BadPoolCall("ExFreePoolWithTag of " + sim::AddressText(P) + " tagged " + sim::TagText(Block.Tag) +
                         " with tag " + sim::TagText(Tag));
    }
    if (sim::CurrentIrql() > sim::HighestIrqlFor(Block.Type)) {
        sim::BadPoolCall("ExFreePoolWithTag of " + std::string(sim::PoolTypeName(Block.Type)) + " at IRQL " +
                         std::to_string(sim::CurrentIrql()));
    }
    Ledger.Blocks.erase(Found);
    Ledger.Freed.insert((uintptr_t)P);
    sim::GiveBlockMemoryBack(Block);
}
