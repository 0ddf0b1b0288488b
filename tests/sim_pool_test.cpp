// The simulated kernel's pool: what its ledger records, the calls it answers with BAD_POOL_CALLER, and
// the failures it injects on request.
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "kernel_test.h"

namespace {

// "Oops" in memory: a tag the driver never uses.
constexpr ULONG OtherTag = 0x73706F4F;

class Pool : public KernelTest {};

std::string PointerText(const void* Address) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%p", Address);
    return Text;
}

void AllocateFromCallback(PVOID, ULONG) {
    ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
}

void FreeFromCallback(PVOID Buffer, ULONG) {
    ExFreePoolWithTag(Buffer, HesTolvanePoolTag);
}

TEST_F(Pool, TagConstantReadsHesTInMemory) {
    EXPECT_EQ(0x54736548u, HesTolvanePoolTag);
    EXPECT_EQ(0, std::memcmp(&HesTolvanePoolTag, "HesT", 4));
}

TEST_F(Pool, AllocationIsRecordedWithTagTypeAndSize) {
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 40, HesTolvanePoolTag);
    ASSERT_NE(nullptr, Block);

    std::vector<sim::PoolBlock> Blocks = sim::OutstandingPool();
    ASSERT_EQ(1u, Blocks.size());
    EXPECT_EQ(Block, Blocks[0].Address);
    EXPECT_EQ(0x54736548u, Blocks[0].Tag);
    EXPECT_EQ(NonPagedPool, Blocks[0].Type);
    EXPECT_EQ(40u, Blocks[0].Size);
    EXPECT_EQ(1u, sim::AllocationCount());

    ExFreePoolWithTag(Block, HesTolvanePoolTag);
    EXPECT_TRUE(sim::OutstandingPool().empty());
    EXPECT_EQ(1u, sim::AllocationCount());
}

TEST_F(Pool, PagedAllocationIsRecordedAsPaged) {
    void* Block = ExAllocatePoolWithTag(PagedPool, 8, HesTolvanePoolTag);
    ASSERT_NE(nullptr, Block);
    ASSERT_EQ(1u, sim::OutstandingPool().size());
    EXPECT_EQ(PagedPool, sim::OutstandingPool()[0].Type);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, FreshBlockHoldsGarbageNotZeros) {
    unsigned char* Block = (unsigned char*)ExAllocatePoolWithTag(NonPagedPool, 64, HesTolvanePoolTag);
    ASSERT_NE(nullptr, Block);
    for (size_t Index = 0; Index < 64; Index++) {
        EXPECT_EQ(0xCD, Block[Index]) << "byte " << Index;
    }
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, FreeWithWrongTagIsABugCheck) {
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    EXPECT_DEATH(ExFreePoolWithTag(Block, OtherTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag of 0x[0-9a-f]+ tagged 'HesT' "
                 "with tag 'Oops'");
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, DoubleFreeIsABugCheck) {
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
    EXPECT_DEATH(ExFreePoolWithTag(Block, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag of 0x[0-9a-f]+, a block already "
                 "freed");
}

TEST_F(Pool, FreeOfMemoryThePoolNeverGaveIsABugCheck) {
    ULONG64 OnTheStack = 0;
    EXPECT_DEATH(ExFreePoolWithTag(&OnTheStack, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag of 0x[0-9a-f]+, which is not a pool "
                 "block");
}

TEST_F(Pool, FreeOfAnAddressInsideABlockIsABugCheck) {
    char* Block = (char*)ExAllocatePoolWithTag(NonPagedPool, 32, HesTolvanePoolTag);
    EXPECT_DEATH(ExFreePoolWithTag(Block + 8, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER .* which is not a pool block");
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, FreeOfNullIsABugCheck) {
    EXPECT_DEATH(ExFreePoolWithTag(NULL, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag of NULL");
}

TEST_F(Pool, AllocationWithAZeroTagIsABugCheck) {
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 16, 0),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExAllocatePoolWithTag with a zero tag");
}

TEST_F(Pool, AllocationOfAnUnknownPoolTypeIsABugCheck) {
    EXPECT_DEATH(ExAllocatePoolWithTag((POOL_TYPE)7, 16, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExAllocatePoolWithTag with pool type 7, unknown to "
                 "Windows 10.0");
}

// Windows 7 has no non-executable non-paged pool: asking for it is a bad pool call there, and an
// ordinary allocation from Windows 8 on.
TEST_F(Pool, NonExecutablePoolExistsFromWindows8On) {
    sim::SetWindowsRelease(sim::Windows10());
    void* Block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, HesTolvanePoolTag);
    ASSERT_NE(nullptr, Block);
    EXPECT_EQ(NonPagedPoolNx, sim::OutstandingPool().at(0).Type);
    EXPECT_TRUE(MmIsAddressValid(Block));
    ExFreePoolWithTag(Block, HesTolvanePoolTag);

    sim::SetWindowsRelease(sim::Windows7Sp1());
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 16, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExAllocatePoolWithTag with pool type 512, unknown "
                 "to Windows 6.1");
}

// The verifier names the request: 0x2000, the caller's address, the pool type and the tag ("HesT").
// Non-executable and paged requests pass; the kernel's own allocations are not the driver's to answer for.
TEST_F(Pool, CodeIntegrityCheckStopsARequestForExecutablePool) {
    sim::SetVerifierCodeIntegrity(true);
    void* NonExecutable = ExAllocatePoolWithTag(NonPagedPoolNx, 16, HesTolvanePoolTag);
    void* Paged = ExAllocatePoolWithTag(PagedPool, 16, HesTolvanePoolTag);
    EXPECT_NE(nullptr, NonExecutable);
    EXPECT_NE(nullptr, Paged);
    ExFreePoolWithTag(NonExecutable, HesTolvanePoolTag);
    ExFreePoolWithTag(Paged, HesTolvanePoolTag);

    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C4 DRIVER_VERIFIER_DETECTED_VIOLATION 0x2000 0x[0-9A-F]+ 0x0 0x54736548: "
                 "ExAllocatePoolWithTag of executable NonPagedPool 'HesT'");
    sim::SetVerifierCodeIntegrity(false);
    void* Executable = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    EXPECT_NE(nullptr, Executable);
    ExFreePoolWithTag(Executable, HesTolvanePoolTag);
}

// The release is the machine's: a boot (Reset) keeps it, and RtlGetVersion reports it.
TEST_F(Pool, RtlGetVersionReportsTheMachinesRelease) {
    sim::SetWindowsRelease(sim::Windows7Sp1());
    sim::Reset();
    RTL_OSVERSIONINFOW Version;
    std::memset(&Version, 0xCD, sizeof Version);
    Version.dwOSVersionInfoSize = sizeof Version;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(&Version));
    EXPECT_EQ(6u, Version.dwMajorVersion);
    EXPECT_EQ(1u, Version.dwMinorVersion);
    EXPECT_EQ(7601u, Version.dwBuildNumber);
    EXPECT_EQ(2u, Version.dwPlatformId);
    EXPECT_EQ(std::u16string(u"Service Pack 1"), std::u16string((const char16_t*)Version.szCSDVersion));

    sim::SetWindowsRelease(sim::Windows11());
    ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(&Version));
    EXPECT_EQ(10u, Version.dwMajorVersion);
    EXPECT_EQ(0u, Version.dwMinorVersion);
    EXPECT_EQ(22631u, Version.dwBuildNumber);
    EXPECT_EQ(0, Version.szCSDVersion[0]);
}

TEST_F(Pool, LeakedBlockIsReportedAtTeardown) {
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 24, HesTolvanePoolTag);

    std::vector<std::string> Problems = sim::TeardownProblems();
    ASSERT_EQ(1u, Problems.size());
    EXPECT_EQ("pool block " + PointerText(Block) + " tag 'HesT' NonPagedPool 24 bytes never freed", Problems[0]);

    ExFreePoolWithTag(Block, HesTolvanePoolTag);
    EXPECT_TRUE(sim::TeardownProblems().empty());
}

TEST_F(Pool, FailAllocationFailsExactlyTheNthFromNow) {
    sim::FailAllocation(3);
    void* First = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);
    void* Second = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);
    void* Third = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);
    void* Fourth = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);

    EXPECT_NE(nullptr, First);
    EXPECT_NE(nullptr, Second);
    EXPECT_EQ(nullptr, Third);
    EXPECT_NE(nullptr, Fourth);
    EXPECT_EQ(3u, sim::AllocationCount());
    EXPECT_EQ(3u, sim::OutstandingPool().size());

    ExFreePoolWithTag(First, HesTolvanePoolTag);
    ExFreePoolWithTag(Second, HesTolvanePoolTag);
    ExFreePoolWithTag(Fourth, HesTolvanePoolTag);
}

TEST_F(Pool, FailAllocationOfZeroCancelsThePendingFailure) {
    sim::FailAllocation(1);
    sim::FailAllocation(0);
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);
    EXPECT_NE(nullptr, Block);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, FailAllAllocationsFailsEveryOneUntilSwitchedOff) {
    sim::FailAllAllocations(true);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(PagedPool, 8, HesTolvanePoolTag));
    EXPECT_EQ(0u, sim::AllocationCount());

    sim::FailAllAllocations(false);
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 8, HesTolvanePoolTag);
    EXPECT_NE(nullptr, Block);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, AllocationDuringABugCheckCallbackIsABugCheck) {
    KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, AllocateFromCallback, NULL, 0, (PUCHAR) "test"));
    EXPECT_DEATH(sim::BugCheck(0xE2),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExAllocatePoolWithTag during bug check");
    KeDeregisterBugCheckCallback(&Record);
}

TEST_F(Pool, FreeDuringABugCheckCallbackIsABugCheck) {
    void* Block = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    KBUGCHECK_CALLBACK_RECORD Record;
    KeInitializeCallbackRecord(&Record);
    ASSERT_TRUE(KeRegisterBugCheckCallback(&Record, FreeFromCallback, Block, 16, (PUCHAR) "test"));
    EXPECT_DEATH(sim::BugCheck(0xE2),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag during bug check");
    KeDeregisterBugCheckCallback(&Record);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, NonPagedPoolIsUsableAtDispatchLevel) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);

    void* Block = ExAllocatePoolWithTag(NonPagedPool, 16, HesTolvanePoolTag);
    EXPECT_NE(nullptr, Block);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);

    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(Pool, PagedAllocationAtDispatchLevelIsABugCheck) {
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 16, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExAllocatePoolWithTag of PagedPool at IRQL 2");
    KeReleaseSpinLock(&Lock, Previous);
}

TEST_F(Pool, PagedFreeAtDispatchLevelIsABugCheck) {
    void* Block = ExAllocatePoolWithTag(PagedPool, 16, HesTolvanePoolTag);
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    KIRQL Previous = KeAcquireSpinLockRaiseToDpc(&Lock);
    EXPECT_DEATH(ExFreePoolWithTag(Block, HesTolvanePoolTag),
                 "\\*\\*\\* STOP 0x000000C2 BAD_POOL_CALLER ExFreePoolWithTag of PagedPool at IRQL 2");
    KeReleaseSpinLock(&Lock, Previous);
    ExFreePoolWithTag(Block, HesTolvanePoolTag);
}

TEST_F(Pool, AllocationsFromSeveralThreadsAreAllRecorded) {
    constexpr int Threads = 4;
    constexpr int BlocksPerThread = 500;
    std::vector<std::vector<void*>> Blocks(Threads);
    std::vector<std::thread> Workers;
    for (int Thread = 0; Thread < Threads; Thread++) {
        Workers.emplace_back([&Blocks, Thread] {
            for (int Index = 0; Index < BlocksPerThread; Index++) {
                Blocks[Thread].push_back(ExAllocatePoolWithTag(NonPagedPool, 32, HesTolvanePoolTag));
            }
        });
    }
    for (std::thread& Worker : Workers) {
        Worker.join();
    }

    EXPECT_EQ(2000u, sim::AllocationCount());
    EXPECT_EQ(2000u, sim::OutstandingPool().size());
    for (const std::vector<void*>& ThreadBlocks : Blocks) {
        for (void* Block : ThreadBlocks) {
            ExFreePoolWithTag(Block, HesTolvanePoolTag);
        }
    }
    EXPECT_TRUE(sim::OutstandingPool().empty());
}

}  // namespace
