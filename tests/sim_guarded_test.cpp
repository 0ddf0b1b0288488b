// Guarded regions of the simulated kernel: which faults RunGuarded catches as exceptions and which ones
// stop the system even inside a guard.
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "kernel_test.h"

namespace {

class Guarded : public KernelTest {};

constexpr size_t Page = sim::PageSize;

struct Access {
    volatile unsigned char* Address;
    unsigned char Value;
    bool Finished;
};

void ReadByte(PVOID Context) {
    Access* Read = (Access*)Context;
    Read->Value = *Read->Address;
    Read->Finished = true;
}

void WriteByte(PVOID Context) {
    Access* Write = (Access*)Context;
    *Write->Address = 0x77;
    Write->Finished = true;
}

// The null pointer is the point of this body, so UBSan's check for it is off here.
__attribute__((no_sanitize("null"))) void ReadThroughNull(PVOID Context) {
    Access* Read = (Access*)Context;
    Read->Value = *Read->Address;
    Read->Finished = true;
}

struct Nesting {
    Access Inner;
    BOOLEAN InnerCaught;
    bool OuterFinished;
};

void GuardInnerThenFinish(PVOID Context) {
    Nesting* Guards = (Nesting*)Context;
    Guards->InnerCaught = RunGuarded(ReadByte, &Guards->Inner);
    Guards->OuterFinished = true;
}

void GuardInnerThenRead(PVOID Context) {
    Nesting* Guards = (Nesting*)Context;
    Guards->InnerCaught = RunGuarded(ReadByte, &Guards->Inner);
    ReadByte(&Guards->Inner);
    Guards->OuterFinished = true;
}

volatile unsigned char* FaultingPage() {
    void* Region = sim::MapRegion(Page);
    sim::SetPageState(Region, Page, sim::PageState::Faulting);
    return (volatile unsigned char*)Region;
}

volatile unsigned char* InvalidKernelPage() {
    void* Region = sim::MapRegion(Page);
    sim::SetPageState(Region, Page, sim::PageState::Invalid);
    return (volatile unsigned char*)Region;
}

std::string AddressPattern(volatile unsigned char* Address) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "0x%016" PRIXPTR, (uintptr_t)Address);
    return Text;
}

TEST_F(Guarded, BodyWithoutFaultRunsToItsEndAndGuardReturnsFalse) {
    volatile unsigned char* Region = (volatile unsigned char*)sim::MapRegion(Page);
    Region[3] = 0x11;
    Access Read = {Region + 3, 0, false};

    EXPECT_FALSE(RunGuarded(ReadByte, &Read));
    EXPECT_TRUE(Read.Finished);
    EXPECT_EQ(0x11, Read.Value);
}

TEST_F(Guarded, ReadOfFaultingPageIsCaughtAndGuardReturnsTrue) {
    Access Read = {FaultingPage(), 0, false};
    EXPECT_TRUE(RunGuarded(ReadByte, &Read));
    EXPECT_FALSE(Read.Finished);
}

TEST_F(Guarded, WriteToFaultingPageIsCaught) {
    Access Write = {FaultingPage(), 0, false};
    EXPECT_TRUE(RunGuarded(WriteByte, &Write));
    EXPECT_FALSE(Write.Finished);
}

TEST_F(Guarded, FaultAfterACaughtFaultIsCaughtToo) {
    Access Read = {FaultingPage(), 0, false};
    for (int Attempt = 0; Attempt < 3; Attempt++) {
        EXPECT_TRUE(RunGuarded(ReadByte, &Read)) << "attempt " << Attempt;
    }
    EXPECT_FALSE(Read.Finished);
}

TEST_F(Guarded, NestedGuardsCatchAtTheInnermost) {
    Nesting Guards = {{FaultingPage(), 0, false}, FALSE, false};
    EXPECT_FALSE(RunGuarded(GuardInnerThenFinish, &Guards));
    EXPECT_TRUE(Guards.InnerCaught);
    EXPECT_FALSE(Guards.Inner.Finished);
    EXPECT_TRUE(Guards.OuterFinished);
}

TEST_F(Guarded, FaultAfterTheInnerGuardReturnedIsCaughtByTheOuter) {
    Nesting Guards = {{FaultingPage(), 0, false}, FALSE, false};
    EXPECT_TRUE(RunGuarded(GuardInnerThenRead, &Guards));
    EXPECT_TRUE(Guards.InnerCaught);
    EXPECT_FALSE(Guards.OuterFinished);
}

TEST_F(Guarded, NullReadInsideAGuardIsCaught) {
    Access Read = {nullptr, 0, false};
    EXPECT_TRUE(RunGuarded(ReadThroughNull, &Read));
    EXPECT_FALSE(Read.Finished);
}

TEST_F(Guarded, InvalidUserSpacePageInsideAGuardIsCaught) {
    void* Region = sim::MapRegion(Page, false);
    sim::SetPageState(Region, Page, sim::PageState::Invalid);
    Access Read = {(volatile unsigned char*)Region, 0, false};
    EXPECT_TRUE(RunGuarded(ReadByte, &Read));
    EXPECT_FALSE(Read.Finished);
}

TEST_F(Guarded, GuardOnAnotherThreadCatchesThatThreadsFault) {
    Access Read = {FaultingPage(), 0, false};
    BOOLEAN Caught = FALSE;
    std::thread Other([&Read, &Caught] { Caught = RunGuarded(ReadByte, &Read); });
    Other.join();
    EXPECT_TRUE(Caught);
    EXPECT_FALSE(Read.Finished);
}

TEST_F(Guarded, FaultOnFaultingPageOutsideAGuardIsABugCheck) {
    Access Read = {FaultingPage(), 0, false};
    EXPECT_DEATH(ReadByte(&Read),
                 "\\*\\*\\* STOP 0x0000001E KMODE_EXCEPTION_NOT_HANDLED reading " + AddressPattern(Read.Address));
}

TEST_F(Guarded, InvalidKernelPageIsABugCheckEvenInsideAGuard) {
    Access Read = {InvalidKernelPage(), 0, false};
    EXPECT_DEATH(RunGuarded(ReadByte, &Read),
                 "\\*\\*\\* STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA reading " + AddressPattern(Read.Address));
}

TEST_F(Guarded, WriteToInvalidKernelPageIsABugCheckNamingTheWrite) {
    Access Write = {InvalidKernelPage() + 0x10, 0, false};
    EXPECT_DEATH(RunGuarded(WriteByte, &Write),
                 "\\*\\*\\* STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA writing " + AddressPattern(Write.Address));
}

}  // namespace
