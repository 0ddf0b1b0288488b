// Simulated kernel: RtlCaptureContext, RtlLookupFunctionEntry and RtlVirtualUnwind, on this process's
// real stack (checked against what the compiler itself reports about each frame) and on scripted frames.
#include <cstring>

#include "kernel_test.h"

namespace {

// What each function of a three-deep chain reports about itself, from the compiler's own builtins.
// The tests are built with frame pointers, so a frame's address is where it saved its caller's Rbp,
// and 16 bytes above it is the caller's stack pointer once the call has returned.
struct FrameFacts {
    ULONG64 ReturnAddress;
    ULONG64 FrameAddress;
};

struct WalkedFrame {
    ULONG64 Rip;
    ULONG64 Rsp;
    ULONG64 Rbp;
    ULONG64 FunctionStart;  // ImageBase + BeginAddress, or 0 when the lookup found nothing
    ULONG64 EstablisherFrame;
};

constexpr int ChainDepth = 4;

struct ChainWalk {
    FrameFacts Innermost, Middle, Outermost;
    WalkedFrame Frames[ChainDepth];
    KNONVOLATILE_CONTEXT_POINTERS FirstUnwindPointers;  // filled with UntouchedPointer before the first unwind
};

PULONG64 const UntouchedPointer = (PULONG64)0x10;

ChainWalk Chain;

// Captures in the innermost function and unwinds from there while every frame of the chain is still live.
__attribute__((noinline)) int InnermostFrame() {
    Chain.Innermost = {(ULONG64)__builtin_return_address(0), (ULONG64)__builtin_frame_address(0)};
    CONTEXT Context;
    RtlCaptureContext(&Context);
    for (int Depth = 0; Depth < ChainDepth; Depth++) {
        WalkedFrame& Frame = Chain.Frames[Depth];
        Frame = {Context.Rip, Context.Rsp, Context.Rbp, 0, 0};
        ULONG64 ImageBase = 0;
        PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL);
        if (Entry == NULL) {
            break;
        }
        Frame.FunctionStart = ImageBase + Entry->BeginAddress;
        KNONVOLATILE_CONTEXT_POINTERS Pointers;
        for (PULONG64& Pointer : Pointers.IntegerContext) {
            Pointer = UntouchedPointer;
        }
        PVOID HandlerData = NULL;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, Context.Rip, Entry, &Context, &HandlerData,
                         &Frame.EstablisherFrame, &Pointers);
        if (Depth == 0) {
            Chain.FirstUnwindPointers = Pointers;
        }
    }
    return 1;
}

__attribute__((noinline)) int MiddleFrame() {
    Chain.Middle = {(ULONG64)__builtin_return_address(0), (ULONG64)__builtin_frame_address(0)};
    return InnermostFrame() + 1;
}

__attribute__((noinline)) int OutermostFrame() {
    Chain.Outermost = {(ULONG64)__builtin_return_address(0), (ULONG64)__builtin_frame_address(0)};
    return MiddleFrame() + 1;
}

class KernelUnwind : public KernelTest {
protected:
    void WalkChain() {
        memset(&Chain, 0, sizeof(Chain));
        ASSERT_EQ(OutermostFrame(), 3);
    }
};

TEST_F(KernelUnwind, CaptureDescribesTheCallerAfterTheCall) {
    WalkChain();
    const WalkedFrame& Captured = Chain.Frames[0];
    EXPECT_EQ(Captured.FunctionStart, (ULONG64)&InnermostFrame);
    EXPECT_EQ(Captured.Rbp, Chain.Innermost.FrameAddress);
    EXPECT_LT(Captured.Rsp, Chain.Innermost.FrameAddress);
}

TEST_F(KernelUnwind, EachUnwindStepsToTheReturnAddressInTheCaller) {
    WalkChain();
    EXPECT_EQ(Chain.Frames[1].Rip, Chain.Innermost.ReturnAddress);
    EXPECT_EQ(Chain.Frames[2].Rip, Chain.Middle.ReturnAddress);
    EXPECT_EQ(Chain.Frames[3].Rip, Chain.Outermost.ReturnAddress);
}

TEST_F(KernelUnwind, LookupFindsTheFunctionHoldingEachReturnAddress) {
    WalkChain();
    EXPECT_EQ(Chain.Frames[1].FunctionStart, (ULONG64)&MiddleFrame);
    EXPECT_EQ(Chain.Frames[2].FunctionStart, (ULONG64)&OutermostFrame);
}

TEST_F(KernelUnwind, StackPointerIsTheCallersAfterTheReturn) {
    WalkChain();
    EXPECT_EQ(Chain.Frames[1].Rsp, Chain.Innermost.FrameAddress + 16);
    EXPECT_EQ(Chain.Frames[2].Rsp, Chain.Middle.FrameAddress + 16);
    EXPECT_EQ(Chain.Frames[3].Rsp, Chain.Outermost.FrameAddress + 16);
    EXPECT_LT(Chain.Frames[0].Rsp, Chain.Frames[1].Rsp);
    EXPECT_LT(Chain.Frames[1].Rsp, Chain.Frames[2].Rsp);
    EXPECT_LT(Chain.Frames[2].Rsp, Chain.Frames[3].Rsp);
}

TEST_F(KernelUnwind, UnwindRestoresTheCallersFramePointer) {
    WalkChain();
    EXPECT_EQ(Chain.Frames[1].Rbp, Chain.Middle.FrameAddress);
    EXPECT_EQ(Chain.Frames[2].Rbp, Chain.Outermost.FrameAddress);
}

TEST_F(KernelUnwind, EstablisherFrameIsTheUnwoundFramesStackPointer) {
    WalkChain();
    EXPECT_EQ(Chain.Frames[0].EstablisherFrame, Chain.Frames[0].Rsp);
    EXPECT_EQ(Chain.Frames[1].EstablisherFrame, Chain.Frames[1].Rsp);
}

TEST_F(KernelUnwind, ContextPointersLocateTheSavedFramePointer) {
    WalkChain();
    EXPECT_EQ(Chain.FirstUnwindPointers.IntegerContext[5], (PULONG64)Chain.Innermost.FrameAddress);
}

// A register the frame did not save keeps the pointer it had; one it saved points into the frame itself,
// between its stack pointer and its caller's.
TEST_F(KernelUnwind, ContextPointersOnlyEverPointIntoTheUnwoundFrame) {
    WalkChain();
    for (int Index = 0; Index < 16; Index++) {
        const PULONG64 Pointer = Chain.FirstUnwindPointers.IntegerContext[Index];
        if (Pointer != UntouchedPointer) {
            EXPECT_GE((ULONG64)Pointer, Chain.Frames[0].Rsp) << "register " << Index;
            EXPECT_LT((ULONG64)Pointer, Chain.Frames[1].Rsp) << "register " << Index;
        }
    }
}

TEST_F(KernelUnwind, LookupGivesImageRelativeBoundsAroundControlPc) {
    const ULONG64 ControlPc = (ULONG64)&InnermostFrame + 1;
    ULONG64 ImageBase = 0;
    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(ControlPc, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    EXPECT_EQ(ImageBase % 4096, 0u);
    EXPECT_EQ(ImageBase + Entry->BeginAddress, (ULONG64)&InnermostFrame);
    EXPECT_GT(ImageBase + Entry->EndAddress, ControlPc);
}

TEST_F(KernelUnwind, SameFunctionGivesTheSameRecord) {
    ULONG64 FirstBase = 0;
    ULONG64 SecondBase = 0;
    PRUNTIME_FUNCTION First = RtlLookupFunctionEntry((ULONG64)&MiddleFrame + 1, &FirstBase, NULL);
    PRUNTIME_FUNCTION Second = RtlLookupFunctionEntry((ULONG64)&MiddleFrame + 2, &SecondBase, NULL);
    ASSERT_NE(First, nullptr);
    EXPECT_EQ(First, Second);
    EXPECT_EQ(FirstBase, SecondBase);
}

TEST_F(KernelUnwind, AddressWithoutCodeHasNoFunctionEntry) {
    ULONG64 ImageBase = 0x77;
    EXPECT_EQ(RtlLookupFunctionEntry(0x1000, &ImageBase, NULL), nullptr);
    EXPECT_EQ(RtlLookupFunctionEntry((ULONG64)&Chain, &ImageBase, NULL), nullptr);
    EXPECT_EQ(ImageBase, 0x77u);
}

TEST_F(KernelUnwind, WalkFromATestEndsAtTheThreadsFirstFrame) {
    CONTEXT Context;
    RtlCaptureContext(&Context);
    int Frames = 0;
    for (; Frames < 64 && Context.Rip != 0; Frames++) {
        ULONG64 ImageBase = 0;
        PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL);
        if (Entry == NULL) {
            break;
        }
        PVOID HandlerData = NULL;
        ULONG64 EstablisherFrame = 0;
        const ULONG64 PreviousRsp = Context.Rsp;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, Context.Rip, Entry, &Context, &HandlerData,
                         &EstablisherFrame, NULL);
        if (Context.Rip != 0) {
            ASSERT_GT(Context.Rsp, PreviousRsp) << "frame " << Frames;
        }
    }
    EXPECT_LT(Frames, 64);
    EXPECT_GT(Frames, 3);
}

// Loads recognisable values into callee-saved registers and calls the capture routine from assembly,
// with the stack pointer moved below this function's red zone and aligned as a call requires. Every
// general register but Rdi is in use, so the record is reached through Rdi, which points at its start.
struct MarkedCapture {
    CONTEXT Context;
    ULONG64 ReturnAddress;
    ULONG64 StackPointerBefore;
};
static_assert(__builtin_offsetof(MarkedCapture, Context) == 0, "Rdi is both the record and the CONTEXT");

__attribute__((noinline)) void CaptureWithMarkedRegisters(MarkedCapture* Capture) {
    __asm__ __volatile__(
        "leaq 1f(%%rip), %%rax\n\t"
        "movq %%rax, %c[ReturnAddress](%%rdi)\n\t"
        "movq %%rsp, %c[StackPointerBefore](%%rdi)\n\t"
        "movq %%rsp, %%r15\n\t"
        "subq $128, %%rsp\n\t"
        "andq $-16, %%rsp\n\t"
        "movabsq $0x1111222233334444, %%rbx\n\t"
        "movabsq $0x5555666677778888, %%r12\n\t"
        "movabsq $0x9999AAAABBBBCCCC, %%r13\n\t"
        "movabsq $0xDDDDEEEEFFFF0000, %%r14\n\t"
        "call RtlCaptureContext\n\t"
        "1:\n\t"
        "movq %%r15, %%rsp\n\t"
        : "+D"(Capture)
        : [ReturnAddress] "i"(__builtin_offsetof(MarkedCapture, ReturnAddress)),
          [StackPointerBefore] "i"(__builtin_offsetof(MarkedCapture, StackPointerBefore))
        : "rax", "rbx", "rcx", "rdx", "rsi", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "xmm0",
          "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
          "xmm13", "xmm14", "xmm15", "memory", "cc");
}

TEST_F(KernelUnwind, CaptureRecordsTheCallersRegistersAtTheCall) {
    static MarkedCapture Capture;
    memset(&Capture, 0, sizeof(Capture));
    CaptureWithMarkedRegisters(&Capture);
    const CONTEXT& Context = Capture.Context;
    EXPECT_EQ(Context.Rbx, 0x1111222233334444u);
    EXPECT_EQ(Context.R12, 0x5555666677778888u);
    EXPECT_EQ(Context.R13, 0x9999AAAABBBBCCCCu);
    EXPECT_EQ(Context.R14, 0xDDDDEEEEFFFF0000u);
    EXPECT_EQ(Context.R15, Capture.StackPointerBefore);
    EXPECT_EQ(Context.Rdi, (ULONG64)&Capture.Context);
    EXPECT_EQ(Context.Rip, Capture.ReturnAddress);
    EXPECT_EQ(Context.Rsp, (Capture.StackPointerBefore - 128) & ~15ull);
}

TEST_F(KernelUnwind, CaptureRecordsSegmentsFlagsAndFloatingPointState) {
    CONTEXT Context;
    memset(&Context, 0, sizeof(Context));
    RtlCaptureContext(&Context);
    EXPECT_EQ(Context.ContextFlags, 0x10000Fu);  // CONTEXT_FULL | CONTEXT_SEGMENTS
    EXPECT_EQ(Context.SegCs, 0x33);              // Linux's 64-bit user code selector
    EXPECT_EQ(Context.SegSs, 0x2B);              // and its user data selector
    EXPECT_EQ(Context.EFlags & 0x202u, 0x202u);  // the always-one bit, and interrupts enabled
    EXPECT_EQ(Context.MxCsr, 0x1F80u);           // every SSE exception masked, round to nearest
    EXPECT_EQ(Context.FltSave[0].Low & 0xFFFF, 0x037Fu);  // x87 control word at process start
}

class KernelScriptedUnwind : public KernelTest {
protected:
    // A stack as the kernel would see it: the routine that captured, its caller, then a frame whose
    // code has no unwind record.
    static constexpr ULONG64 CapturePc = 0xFFFFF80012345678ull;
    static constexpr ULONG64 CallerPc = 0xFFFFF80012350010ull;
    static constexpr ULONG64 LeafPc = 0xFFFFF88000400020ull;

    void SetUp() override {
        KernelTest::SetUp();
        memset(&Captured, 0, sizeof(Captured));
        Captured.Rip = CapturePc;
        Captured.Rsp = 0xFFFFD00000001000ull;
        Captured.Rbx = 0xB0B0;
        sim::UseScriptedUnwinding(Captured, {{CapturePc, true, CallerPc, 0xFFFFD00000001080ull},
                                             {CallerPc, true, LeafPc, 0xFFFFD00000001100ull},
                                             {LeafPc, false, 0, 0}});
    }

    CONTEXT Captured;
};

TEST_F(KernelScriptedUnwind, CaptureGivesTheScriptedContext) {
    CONTEXT Context;
    memset(&Context, 0, sizeof(Context));
    RtlCaptureContext(&Context);
    EXPECT_EQ(Context.Rip, CapturePc);
    EXPECT_EQ(Context.Rsp, 0xFFFFD00000001000ull);
    EXPECT_EQ(Context.Rbx, 0xB0B0u);
}

TEST_F(KernelScriptedUnwind, RecordCoversExactlyTheScriptedPc) {
    ULONG64 ImageBase = 0;
    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(CapturePc, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    EXPECT_EQ(ImageBase, 0xFFFFF80012340000ull);
    EXPECT_EQ(Entry->BeginAddress, 0x5678u);
    EXPECT_EQ(Entry->EndAddress, 0x5679u);
}

TEST_F(KernelScriptedUnwind, FrameWithoutRecordAndUnscriptedPcHaveNoEntry) {
    ULONG64 ImageBase = 0;
    EXPECT_EQ(RtlLookupFunctionEntry(LeafPc, &ImageBase, NULL), nullptr);
    EXPECT_EQ(RtlLookupFunctionEntry(CapturePc + 1, &ImageBase, NULL), nullptr);
}

TEST_F(KernelScriptedUnwind, WalkFollowsTheScript) {
    CONTEXT Context;
    RtlCaptureContext(&Context);
    ULONG64 ImageBase = 0;
    ULONG64 EstablisherFrame = 0;
    PVOID HandlerData = NULL;

    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    EXPECT_EQ(RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, Context.Rip, Entry, &Context, &HandlerData,
                               &EstablisherFrame, NULL),
              nullptr);
    EXPECT_EQ(Context.Rip, CallerPc);
    EXPECT_EQ(Context.Rsp, 0xFFFFD00000001080ull);
    EXPECT_EQ(EstablisherFrame, 0xFFFFD00000001000ull);
    EXPECT_EQ(Context.Rbx, 0xB0B0u);

    Entry = RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, Context.Rip, Entry, &Context, &HandlerData, &EstablisherFrame,
                     NULL);
    EXPECT_EQ(Context.Rip, LeafPc);
    EXPECT_EQ(Context.Rsp, 0xFFFFD00000001100ull);
    EXPECT_EQ(RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL), nullptr);
}

TEST_F(KernelScriptedUnwind, ResetReturnsToRealUnwinding) {
    sim::Reset();
    CONTEXT Context;
    RtlCaptureContext(&Context);
    EXPECT_NE(Context.Rip, CapturePc);
    ULONG64 ImageBase = 0;
    EXPECT_NE(RtlLookupFunctionEntry(Context.Rip, &ImageBase, NULL), nullptr);
}

TEST_F(KernelScriptedUnwind, UseRealUnwindingLeavesTheScript) {
    sim::UseRealUnwinding();
    ULONG64 ImageBase = 0;
    EXPECT_EQ(RtlLookupFunctionEntry(CapturePc, &ImageBase, NULL), nullptr);
}

using KernelScriptedUnwindDeathTest = KernelScriptedUnwind;

// The kernel decodes the unwind data an entry leads to without checking that it covers ControlPc: an entry
// of another function, or an image base from another lookup, unwinds into nonsense on Windows.
TEST_F(KernelScriptedUnwindDeathTest, UnwindWithTheEntryOfAnotherPcStopsTheSystem) {
    ULONG64 ImageBase = 0;
    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(CapturePc, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    CONTEXT Context = Captured;
    ULONG64 EstablisherFrame = 0;
    EXPECT_DEATH(RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, CallerPc, Entry, &Context, NULL, &EstablisherFrame,
                                  NULL),
                 "STOP 0x0000001E RtlVirtualUnwind at ControlPc 0xfffff80012350010 with image base "
                 "0xfffff80012340000 and a function entry the lookup did not give for it");
}

TEST_F(KernelScriptedUnwindDeathTest, UnwindWithAnotherImageBaseStopsTheSystem) {
    ULONG64 ImageBase = 0;
    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry(CapturePc, &ImageBase, NULL);
    ASSERT_NE(Entry, nullptr);
    CONTEXT Context = Captured;
    ULONG64 EstablisherFrame = 0;
    EXPECT_DEATH(RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase + 0x10000, CapturePc, Entry, &Context, NULL,
                                  &EstablisherFrame, NULL),
                 "STOP 0x0000001E RtlVirtualUnwind at ControlPc .* and a function entry the lookup did not give");
}

TEST_F(KernelScriptedUnwindDeathTest, UnwindWithoutAFunctionEntryStopsTheSystem) {
    CONTEXT Context = Captured;
    ULONG64 EstablisherFrame = 0;
    EXPECT_DEATH(RtlVirtualUnwind(UNW_FLAG_NHANDLER, 0, CapturePc, NULL, &Context, NULL, &EstablisherFrame, NULL),
                 "STOP 0x0000001E");
}

}  // namespace
