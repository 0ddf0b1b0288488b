// The simulated kernel's memory map: mapped and declared regions, page states, and what MmIsAddressValid
// and IsKernelSpaceAddress answer for them and for the host's own memory.
#include <sys/mman.h>

#include <stdexcept>

#include "kernel_test.h"

namespace {

class Memory : public KernelTest {};

constexpr size_t Page = sim::PageSize;

// Memory the host program owns, declared to the kernel as an image would be.
alignas(4096) unsigned char HostImage[2 * 4096] = {0x5A};

unsigned char* Bytes(void* Address) {
    return (unsigned char*)Address;
}

TEST_F(Memory, MappedRegionIsPageAlignedZeroedAndKernelSpace) {
    unsigned char* Region = Bytes(sim::MapRegion(100));

    EXPECT_EQ(0u, (uintptr_t)Region % 4096);
    for (size_t Index = 0; Index < 4096; Index++) {
        ASSERT_EQ(0, Region[Index]) << "byte " << Index;
    }
    EXPECT_TRUE(sim::IsDeclared(Region));
    EXPECT_TRUE(sim::IsDeclared(Region + 4095));
    EXPECT_TRUE(IsKernelSpaceAddress(Region));
    EXPECT_TRUE(MmIsAddressValid(Region));
}

TEST_F(Memory, RegionMappedAtAnAddressLiesExactlyThere) {
    unsigned char* Region = Bytes(sim::MapRegionAt(0x00006C0000000000, 2 * Page));

    EXPECT_EQ((unsigned char*)0x00006C0000000000, Region);
    EXPECT_EQ(0, Region[2 * Page - 1]);
    EXPECT_TRUE(IsKernelSpaceAddress((PVOID)0x00006C0000001FFF));
    EXPECT_FALSE(sim::IsDeclared((PVOID)0x00006C0000002000));
}

TEST_F(Memory, RegionAtAnAddressAlreadyInUseIsRefused) {
    sim::MapRegionAt(0x00006C0000000000, 2 * Page);
    EXPECT_THROW(sim::MapRegionAt(0x00006C0000001000, Page), std::invalid_argument);
    EXPECT_TRUE(sim::IsDeclared((PVOID)0x00006C0000001000));
}

TEST_F(Memory, RegionAtAnAddressInsideAPageIsRefused) {
    EXPECT_THROW(sim::MapRegionAt(0x00006C0000000010, Page), std::invalid_argument);
}

TEST_F(Memory, UserSpaceRegionIsDeclaredButNotKernelSpace) {
    void* Region = sim::MapRegion(Page, false);
    EXPECT_TRUE(sim::IsDeclared(Region));
    EXPECT_FALSE(IsKernelSpaceAddress(Region));
    EXPECT_TRUE(MmIsAddressValid(Region));
}

TEST_F(Memory, InvalidPageIsNotValidWhileItsNeighboursStayValid) {
    // [valid 0-FFF] [invalid 1000-1FFF] [valid 2000-2FFF]
    unsigned char* Region = Bytes(sim::MapRegion(3 * Page));
    sim::SetPageState(Region + Page, Page, sim::PageState::Invalid);

    EXPECT_TRUE(MmIsAddressValid(Region + Page - 1));
    EXPECT_FALSE(MmIsAddressValid(Region + Page));
    EXPECT_FALSE(MmIsAddressValid(Region + 2 * Page - 1));
    EXPECT_TRUE(MmIsAddressValid(Region + 2 * Page));
}

TEST_F(Memory, FaultingPageIsReportedValid) {
    unsigned char* Region = Bytes(sim::MapRegion(Page));
    sim::SetPageState(Region, Page, sim::PageState::Faulting);
    EXPECT_TRUE(MmIsAddressValid(Region));
    EXPECT_TRUE(MmIsAddressValid(Region + 100));
}

TEST_F(Memory, PageStateCoversEveryPageTheRangeTouches) {
    // 200 bytes from 0xFA0 reach into the second page: [invalid 0-FFF] [invalid 1000-1FFF] [valid 2000-]
    unsigned char* Region = Bytes(sim::MapRegion(3 * Page));
    sim::SetPageState(Region + 0xFA0, 200, sim::PageState::Invalid);

    EXPECT_FALSE(MmIsAddressValid(Region));
    EXPECT_FALSE(MmIsAddressValid(Region + Page));
    EXPECT_TRUE(MmIsAddressValid(Region + 2 * Page));
}

TEST_F(Memory, PageMadeValidAgainIsReadableAgain) {
    unsigned char* Region = Bytes(sim::MapRegion(Page));
    sim::SetPageState(Region, Page, sim::PageState::Invalid);
    sim::SetPageState(Region, Page, sim::PageState::Valid);

    EXPECT_TRUE(MmIsAddressValid(Region));
    Region[7] = 0x42;
    EXPECT_EQ(0x42, *(volatile unsigned char*)(Region + 7));
}

TEST_F(Memory, PoolBlockIsValidAndKernelSpaceUntilFreed) {
    char* Block = (char*)ExAllocatePoolWithTag(NonPagedPool, 48, HesTolvanePoolTag);

    EXPECT_TRUE(MmIsAddressValid(Block));
    EXPECT_TRUE(MmIsAddressValid(Block + 47));
    EXPECT_TRUE(IsKernelSpaceAddress(Block));
    EXPECT_TRUE(IsKernelSpaceAddress(Block + 47));
    EXPECT_TRUE(sim::IsDeclared(Block + 20));

    ExFreePoolWithTag(Block, HesTolvanePoolTag);
    EXPECT_FALSE(IsKernelSpaceAddress(Block));
    EXPECT_FALSE(sim::IsDeclared(Block));
}

TEST_F(Memory, HostStackIsValidButNeitherDeclaredNorKernelSpace) {
    int OnTheStack = 0;
    EXPECT_TRUE(MmIsAddressValid(&OnTheStack));
    EXPECT_FALSE(IsKernelSpaceAddress(&OnTheStack));
    EXPECT_FALSE(sim::IsDeclared(&OnTheStack));
}

TEST_F(Memory, HostCodeIsValid) {
    EXPECT_TRUE(MmIsAddressValid((PVOID)&MmIsAddressValid));
}

TEST_F(Memory, NullIsNotValid) {
    EXPECT_FALSE(MmIsAddressValid(NULL));
}

TEST_F(Memory, UnmappedHostAddressIsNotValid) {
    void* Gone = mmap(nullptr, Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, Gone);
    ASSERT_EQ(0, munmap(Gone, Page));
    EXPECT_FALSE(MmIsAddressValid(Gone));
}

// Answering this without a crash shows that the answer comes from a probe, not from a dereference.
TEST_F(Memory, InaccessibleHostMemoryIsNotValid) {
    void* Guard = mmap(nullptr, Page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, Guard);
    EXPECT_FALSE(MmIsAddressValid(Guard));
    munmap(Guard, Page);
}

TEST_F(Memory, DeclaredRegionAnswersByPageStateWithoutLosingItsContents) {
    sim::DeclareRegion(HostImage, sizeof HostImage);
    sim::SetPageState(HostImage, Page, sim::PageState::Invalid);

    EXPECT_TRUE(IsKernelSpaceAddress(HostImage));
    EXPECT_FALSE(MmIsAddressValid(HostImage));
    EXPECT_TRUE(MmIsAddressValid(HostImage + Page));
    EXPECT_EQ(0x5A, *(volatile unsigned char*)HostImage);
}

TEST_F(Memory, DeclaredUserSpaceRegionIsNotKernelSpace) {
    sim::DeclareRegion(HostImage, sizeof HostImage, false);
    EXPECT_TRUE(sim::IsDeclared(HostImage + 10));
    EXPECT_FALSE(IsKernelSpaceAddress(HostImage + 10));
}

TEST_F(Memory, UnmappedRegionIsNoLongerDeclared) {
    void* Region = sim::MapRegion(Page);
    sim::UnmapRegion(Region);
    EXPECT_FALSE(sim::IsDeclared(Region));
    EXPECT_FALSE(IsKernelSpaceAddress(Region));
}

TEST_F(Memory, ResetForgetsEveryRegion) {
    void* Mapped = sim::MapRegion(Page);
    sim::DeclareRegion(HostImage, sizeof HostImage);

    sim::Reset();

    EXPECT_FALSE(sim::IsDeclared(Mapped));
    EXPECT_FALSE(sim::IsDeclared(HostImage));
}

TEST_F(Memory, OverlappingDeclarationIsRefused) {
    sim::DeclareRegion(HostImage, sizeof HostImage);
    EXPECT_THROW(sim::DeclareRegion(HostImage + Page, Page), std::invalid_argument);
}

TEST_F(Memory, PageStateOutsideAnyRegionIsRefused) {
    int OnTheStack = 0;
    EXPECT_THROW(sim::SetPageState(&OnTheStack, 1, sim::PageState::Invalid), std::invalid_argument);
}

}  // namespace
