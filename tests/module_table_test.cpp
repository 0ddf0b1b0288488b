// The module table: checked appends under the lock, lock-free lookups as the bug-check path does them,
// and the teardown at unload.
#include <chrono>
#include <thread>

#include "kernel_test.h"
#include "module_records.h"

namespace {

class ModuleTable : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        InitializeModuleTable();
        // Lookups test the address they are given, so the images must exist in memory.
        Image = reinterpret_cast<ULONG_PTR>(sim::MapRegion(0x10000));
    }

    void TearDown() override {
        FreeModuleTable();
        KernelTest::TearDown();
    }

    BOOLEAN Find(ULONG_PTR Address) {
        return FindModuleByAddress(reinterpret_cast<PVOID>(Address), &Name, &Offset);
    }

    ULONG_PTR Image = 0;
    PCHAR Name = nullptr;
    ULONG64 Offset = 0;
};

size_t CountRecords() {
    size_t Count = 0;
    for (PLIST_ENTRY Link = ModuleListHead.Flink; Link != &ModuleListHead; Link = Link->Flink) {
        EXPECT_EQ(Link->Flink->Blink, Link);
        Count++;
    }
    return Count;
}

TEST_F(ModuleTable, EmptyTableFindsNothingAndLeavesOutputsAlone) {
    Name = reinterpret_cast<PCHAR>(0x1234);
    Offset = 77;
    EXPECT_FALSE(Find(Image + 0x10));
    EXPECT_EQ(Name, reinterpret_cast<PCHAR>(0x1234));
    EXPECT_EQ(Offset, 77u);
}

TEST_F(ModuleTable, RangeIncludesItsStartAndExcludesItsEnd) {
    // table: [drv Image..Image+0x8000)
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x8000, "drv.sys"));

    ASSERT_TRUE(Find(Image));
    EXPECT_STREQ(Name, "drv.sys");
    EXPECT_EQ(Offset, 0u);

    ASSERT_TRUE(Find(Image + 1));
    EXPECT_EQ(Offset, 1u);

    ASSERT_TRUE(Find(Image + 0x7FFF));
    EXPECT_EQ(Offset, 0x7FFFu);

    EXPECT_FALSE(Find(Image + 0x8000));
}

TEST_F(ModuleTable, NewestOfOverlappingRecordsWins) {
    // table: [old.sys Image..+0x8000) [new.sys Image+0x4000..+0xC000)
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x8000, "old.sys"));
    InsertModuleRecord(NewModuleRecord(Image + 0x4000, Image + 0xC000, "new.sys"));

    ASSERT_TRUE(Find(Image + 0x5000));
    EXPECT_STREQ(Name, "new.sys");
    EXPECT_EQ(Offset, 0x1000u);

    ASSERT_TRUE(Find(Image + 0x3000));
    EXPECT_STREQ(Name, "old.sys");
}

TEST_F(ModuleTable, RecordWithoutNameStillMatches) {
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x1000, nullptr));
    Name = reinterpret_cast<PCHAR>(0x1234);
    ASSERT_TRUE(Find(Image + 0x20));
    EXPECT_EQ(Name, nullptr);
    EXPECT_EQ(Offset, 0x20u);
}

TEST_F(ModuleTable, AddressThatIsNotValidIsNeverLookedUp) {
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x10000, "drv.sys"));
    sim::SetPageState(reinterpret_cast<PVOID>(Image + 0x2000), sim::PageSize, sim::PageState::Invalid);
    EXPECT_FALSE(Find(Image + 0x2010));
    EXPECT_TRUE(Find(Image + 0x3010));
}

TEST_F(ModuleTable, RecordWhoseMemoryIsGoneEndsTheWalk) {
    // table: [a.sys] [b.sys, on a page that is no longer valid] [c.sys]
    auto* Unreadable = static_cast<ModuleInfo*>(sim::MapRegion(sim::PageSize));
    Unreadable->ImageStart = reinterpret_cast<PVOID>(Image + 0x1000);
    Unreadable->ImageEnd = reinterpret_cast<PVOID>(Image + 0x2000);
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x1000, "a.sys"));
    InsertModuleRecord(Unreadable);
    InsertModuleRecord(NewModuleRecord(Image + 0x2000, Image + 0x3000, "c.sys"));
    sim::SetPageState(Unreadable, sim::PageSize, sim::PageState::Invalid);

    EXPECT_TRUE(Find(Image + 0x10));
    EXPECT_FALSE(Find(Image + 0x1010));
    EXPECT_FALSE(Find(Image + 0x2010));

    // Take the foreign record out by hand so that the teardown frees only pool records.
    sim::SetPageState(Unreadable, sim::PageSize, sim::PageState::Valid);
    Unreadable->Links.Blink->Flink = Unreadable->Links.Flink;
    Unreadable->Links.Flink->Blink = Unreadable->Links.Blink;
}

TEST_F(ModuleTable, TeardownFreesEveryRecordAndBothStringsWithTheTag) {
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x1000, "a.sys", "\\SystemRoot\\a.sys"));
    InsertModuleRecord(NewModuleRecord(Image + 0x1000, Image + 0x2000, nullptr, "\\SystemRoot\\b.sys"));
    EXPECT_EQ(sim::OutstandingPool().size(), 5u);

    FreeModuleTable();

    EXPECT_TRUE(IsListEmpty(&ModuleListHead));
    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(sim::SpinLocksHeld(), 0u);
    EXPECT_EQ(sim::CurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ModuleTable, InsertHoldsTheLockOnlyAroundTheLink) {
    InsertModuleRecord(NewModuleRecord(Image, Image + 0x1000, "a.sys"));
    EXPECT_EQ(sim::SpinLocksHeld(), 0u);
    EXPECT_EQ(sim::CurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ModuleTable, ConcurrentInsertsLinkEveryRecordExactlyOnce) {
    constexpr int Threads = 4;
    constexpr int PerThread = 200;
    std::vector<std::thread> Loaders;
    for (int T = 0; T < Threads; T++) {
        Loaders.emplace_back([this, T] {
            for (int I = 0; I < PerThread; I++) {
                ULONG_PTR Start = Image + static_cast<ULONG_PTR>(T * PerThread + I);
                InsertModuleRecord(NewModuleRecord(Start, Start + 1, "m.sys"));
            }
        });
    }
    for (std::thread& Loader : Loaders) {
        Loader.join();
    }

    EXPECT_EQ(CountRecords(), static_cast<size_t>(Threads * PerThread));
    std::vector<int> Seen(Threads * PerThread, 0);
    for (PLIST_ENTRY Link = ModuleListHead.Flink; Link != &ModuleListHead; Link = Link->Flink) {
        auto* Record = CONTAINING_RECORD(Link, ModuleInfo, Links);
        Seen[reinterpret_cast<ULONG_PTR>(Record->ImageStart) - Image]++;
    }
    EXPECT_EQ(std::count(Seen.begin(), Seen.end(), 1), Threads * PerThread);
}

// The insert links under ModuleListLock: held by one processor, another's insert spins and links only
// once it is released. The waiter count says when the inserter spins, so nothing sleeps on luck.
TEST_F(ModuleTable, ConcurrentInsertLinksOnlyAfterTheHolderReleasesTheLock) {
    ModuleInfo* Record = NewModuleRecord(Image, Image + 0x1000, "waits.sys");
    const KIRQL Old = KeAcquireSpinLockRaiseToDpc(&ModuleListLock);
    std::thread Inserter([Record] { InsertModuleRecord(Record); });
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sim::SpinLockWaiters(&ModuleListLock) == 0 && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(1u, sim::SpinLockWaiters(&ModuleListLock));
    EXPECT_TRUE(IsListEmpty(&ModuleListHead));
    EXPECT_EQ(0u, ModuleRecordsLinked);
    KeReleaseSpinLock(&ModuleListLock, Old);
    Inserter.join();
    EXPECT_EQ(&Record->Links, ModuleListHead.Flink);
    EXPECT_EQ(1u, ModuleRecordsLinked);
}

using ModuleTableDeathTest = ModuleTable;

// Linking writes the record under the lock, at DISPATCH_LEVEL, where paged pool may be out: a record
// allocated there is caught the first time it is linked, long before a bug check needs it.
TEST_F(ModuleTableDeathTest, RecordInPagedPoolStopsTheSystemWhenLinked) {
    auto* Record = static_cast<ModuleInfo*>(ExAllocatePoolWithTag(PagedPool, sizeof(ModuleInfo), HesTolvanePoolTag));
    std::memset(Record, 0, sizeof(ModuleInfo));
    EXPECT_DEATH(InsertModuleRecord(Record), "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL writing");
    ExFreePoolWithTag(Record, HesTolvanePoolTag);
}

TEST_F(ModuleTableDeathTest, AppendAfterACorruptTailStopsTheSystem) {
    ModuleInfo* First = NewModuleRecord(Image, Image + 0x1000, "a.sys");
    InsertModuleRecord(First);
    LIST_ENTRY Elsewhere;
    First->Links.Flink = &Elsewhere;
    ModuleInfo* Second = NewModuleRecord(Image + 0x1000, Image + 0x2000, "b.sys");
    EXPECT_DEATH(InsertModuleRecord(Second), "STOP 0x00000139 .*fast-fail 3");
    First->Links.Flink = &ModuleListHead;
    FreeModuleRecord(Second);
}

TEST_F(ModuleTableDeathTest, TeardownOfACorruptListStopsTheSystem) {
    ModuleInfo* First = NewModuleRecord(Image, Image + 0x1000, "a.sys");
    InsertModuleRecord(First);
    InsertModuleRecord(NewModuleRecord(Image + 0x1000, Image + 0x2000, "b.sys"));
    PLIST_ENTRY SecondLinks = First->Links.Flink;
    LIST_ENTRY Elsewhere;
    SecondLinks->Blink = &Elsewhere;
    EXPECT_DEATH(FreeModuleTable(), "STOP 0x00000139 .*fast-fail 3");
    SecondLinks->Blink = &First->Links;
}

}  // namespace
