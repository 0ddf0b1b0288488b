// Simulated kernel: RtlCaptureContext, RtlLookupFunctionEntry and RtlVirtualUnwind, either walking this
// host process's real stack through libunwind or following frames a test scripted.
#define UNW_LOCAL_ONLY
#include <dlfcn.h>
#include <libunwind.h>

#include <cstring>
#include <mutex>
#include <sstream>

#include "sim_internal.h"

// The CONTEXT offsets the capture routine stores to, spelled as text for the assembler and checked
// against the C++ layout so that the two cannot drift apart.
#define CX_CONTEXT_FLAGS 0x30
#define CX_MXCSR 0x34
#define CX_SEG_CS 0x38
#define CX_SEG_DS 0x3A
#define CX_SEG_ES 0x3C
#define CX_SEG_FS 0x3E
#define CX_SEG_GS 0x40
#define CX_SEG_SS 0x42
#define CX_EFLAGS 0x44
#define CX_RAX 0x78
#define CX_RCX 0x80
#define CX_RDX 0x88
#define CX_RBX 0x90
#define CX_RSP 0x98
#define CX_RBP 0xA0
#define CX_RSI 0xA8
#define CX_RDI 0xB0
#define CX_R8 0xB8
#define CX_R9 0xC0
#define CX_R10 0xC8
#define CX_R11 0xD0
#define CX_R12 0xD8
#define CX_R13 0xE0
#define CX_R14 0xE8
#define CX_R15 0xF0
#define CX_RIP 0xF8
#define CX_FLT_SAVE 0x100
// CONTEXT_AMD64 | CONTROL | INTEGER | SEGMENTS | FLOATING_POINT: everything the capture fills in.
#define CX_CAPTURED_FLAGS 0x10000F

static_assert(__builtin_offsetof(CONTEXT, ContextFlags) == CX_CONTEXT_FLAGS &&
                  __builtin_offsetof(CONTEXT, MxCsr) == CX_MXCSR,
              "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, SegCs) == CX_SEG_CS && __builtin_offsetof(CONTEXT, SegDs) == CX_SEG_DS &&
                  __builtin_offsetof(CONTEXT, SegEs) == CX_SEG_ES && __builtin_offsetof(CONTEXT, SegFs) == CX_SEG_FS &&
                  __builtin_offsetof(CONTEXT, SegGs) == CX_SEG_GS && __builtin_offsetof(CONTEXT, SegSs) == CX_SEG_SS,
              "CONTEXT segments");
static_assert(__builtin_offsetof(CONTEXT, EFlags) == CX_EFLAGS, "CONTEXT");
static_assert(__builtin_offsetof(CONTEXT, Rax) == CX_RAX && __builtin_offsetof(CONTEXT, Rcx) == CX_RCX &&
                  __builtin_offsetof(CONTEXT, Rdx) == CX_RDX && __builtin_offsetof(CONTEXT, Rbx) == CX_RBX &&
                  __builtin_offsetof(CONTEXT, Rsp) == CX_RSP && __builtin_offsetof(CONTEXT, Rbp) == CX_RBP &&
                  __builtin_offsetof(CONTEXT, Rsi) == CX_RSI && __builtin_offsetof(CONTEXT, Rdi) == CX_RDI,
              "CONTEXT registers");
static_assert(__builtin_offsetof(CONTEXT, R8) == CX_R8 && __builtin_offsetof(CONTEXT, R9) == CX_R9 &&
                  __builtin_offsetof(CONTEXT, R10) == CX_R10 && __builtin_offsetof(CONTEXT, R11) == CX_R11 &&
                  __builtin_offsetof(CONTEXT, R12) == CX_R12 && __builtin_offsetof(CONTEXT, R13) == CX_R13 &&
                  __builtin_offsetof(CONTEXT, R14) == CX_R14 && __builtin_offsetof(CONTEXT, R15) == CX_R15,
              "CONTEXT registers");
static_assert(__builtin_offsetof(CONTEXT, Rip) == CX_RIP && __builtin_offsetof(CONTEXT, FltSave) == CX_FLT_SAVE,
              "CONTEXT");

#define CX_TEXT(Value) #Value
#define CX_OFFSET(Value) CX_TEXT(Value)

extern "C" __attribute__((visibility("hidden"))) void SimFinishCaptureContext(PCONTEXT ContextRecord);

// Stores the registers as they are at the call, then Rsp and Rip as the caller sees them once the call
// has returned, which is how the kernel's own routine describes its caller. It has to be assembly: any
// compiled prologue would already have changed the registers it is asked to record. The floating-point
// state goes in with fxsave, which faults on a CONTEXT that is not 16-byte aligned, as on Windows. The
// C++ epilogue is reached by a jump, so it returns straight to the caller.
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl RtlCaptureContext\n"
    ".type RtlCaptureContext, @function\n"
    "RtlCaptureContext:\n"
    ".cfi_startproc\n"
    "movq %rax, " CX_OFFSET(CX_RAX) "(%rdi)\n"
    "movq %rcx, " CX_OFFSET(CX_RCX) "(%rdi)\n"
    "movq %rdx, " CX_OFFSET(CX_RDX) "(%rdi)\n"
    "movq %rbx, " CX_OFFSET(CX_RBX) "(%rdi)\n"
    "movq %rbp, " CX_OFFSET(CX_RBP) "(%rdi)\n"
    "movq %rsi, " CX_OFFSET(CX_RSI) "(%rdi)\n"
    "movq %rdi, " CX_OFFSET(CX_RDI) "(%rdi)\n"
    "movq %r8, " CX_OFFSET(CX_R8) "(%rdi)\n"
    "movq %r9, " CX_OFFSET(CX_R9) "(%rdi)\n"
    "movq %r10, " CX_OFFSET(CX_R10) "(%rdi)\n"
    "movq %r11, " CX_OFFSET(CX_R11) "(%rdi)\n"
    "movq %r12, " CX_OFFSET(CX_R12) "(%rdi)\n"
    "movq %r13, " CX_OFFSET(CX_R13) "(%rdi)\n"
    "movq %r14, " CX_OFFSET(CX_R14) "(%rdi)\n"
    "movq %r15, " CX_OFFSET(CX_R15) "(%rdi)\n"
    "leaq 8(%rsp), %rax\n"
    "movq %rax, " CX_OFFSET(CX_RSP) "(%rdi)\n"
    "movq (%rsp), %rax\n"
    "movq %rax, " CX_OFFSET(CX_RIP) "(%rdi)\n"
    "movw %cs, " CX_OFFSET(CX_SEG_CS) "(%rdi)\n"
    "movw %ds, " CX_OFFSET(CX_SEG_DS) "(%rdi)\n"
    "movw %es, " CX_OFFSET(CX_SEG_ES) "(%rdi)\n"
    "movw %fs, " CX_OFFSET(CX_SEG_FS) "(%rdi)\n"
    "movw %gs, " CX_OFFSET(CX_SEG_GS) "(%rdi)\n"
    "movw %ss, " CX_OFFSET(CX_SEG_SS) "(%rdi)\n"
    "pushfq\n"
    ".cfi_adjust_cfa_offset 8\n"
    "popq %rax\n"
    ".cfi_adjust_cfa_offset -8\n"
    "movl %eax, " CX_OFFSET(CX_EFLAGS) "(%rdi)\n"
    "stmxcsr " CX_OFFSET(CX_MXCSR) "(%rdi)\n"
    "fxsaveq " CX_OFFSET(CX_FLT_SAVE) "(%rdi)\n"
    "movl $" CX_OFFSET(CX_CAPTURED_FLAGS) ", " CX_OFFSET(CX_CONTEXT_FLAGS) "(%rdi)\n"
    "movq " CX_OFFSET(CX_RAX) "(%rdi), %rax\n"
    "jmp SimFinishCaptureContext\n"
    ".cfi_endproc\n"
    ".size RtlCaptureContext, . - RtlCaptureContext\n");

namespace {

// KMODE_EXCEPTION_NOT_HANDLED: what the real routine's access violation on a bad argument turns into.
constexpr ULONG KmodeExceptionNotHandled = 0x1E;

struct UnwindState {
    std::mutex Lock;
    bool Scripted = false;
    CONTEXT Captured;
    std::vector<sim::ScriptedFrame> Frames;
};

UnwindState& Unwinding() {
    static UnwindState State;
    return State;
}

// The kernel hands out pointers into an image's exception directory, valid for as long as the image is
// loaded. The host has no such table, so records live in a per-thread ring: a record stays valid for the
// next RecordRingSize lookups on its thread, far more than a stack walk holds at once, and the bug-check
// path allocates nothing.
struct FunctionRecord {
    ULONG64 ImageBase;
    RUNTIME_FUNCTION Entry;
};

constexpr size_t RecordRingSize = 64;
thread_local FunctionRecord RecordRing[RecordRingSize];
thread_local size_t NextRecord;

// The same function looked up again gives the same record, as a pointer into a real table would.
PRUNTIME_FUNCTION KeepRecord(ULONG64 ImageBase, ULONG BeginAddress, ULONG EndAddress) {
    for (FunctionRecord& Record : RecordRing) {
        if (Record.ImageBase == ImageBase && Record.Entry.BeginAddress == BeginAddress &&
            Record.Entry.EndAddress == EndAddress) {
            return &Record.Entry;
        }
    }
    FunctionRecord& Slot = RecordRing[NextRecord++ % RecordRingSize];
    // UnwindData stays 0: the host's unwind rules are DWARF call-frame information, which RtlVirtualUnwind
    // finds again from ControlPc, so there is no UNWIND_INFO for the record to name.
    Slot = {ImageBase, {BeginAddress, EndAddress, 0}};
    return &Slot.Entry;
}

const sim::ScriptedFrame* FindScriptedFrame(const UnwindState& State, ULONG64 ControlPc) {
    for (const sim::ScriptedFrame& Frame : State.Frames) {
        if (Frame.ControlPc == ControlPc && Frame.HasFunctionEntry) {
            return &Frame;
        }
    }
    return nullptr;
}

constexpr ULONG64 ImageAlignment = 0x10000;  // images load on 64 KiB allocation boundaries

// A scripted record covers exactly its ControlPc, inside an image whose base is the boundary below it.
PRUNTIME_FUNCTION LookupScriptedFunction(const UnwindState& State, ULONG64 ControlPc, PULONG64 ImageBase) {
    if (FindScriptedFrame(State, ControlPc) == nullptr) {
        return NULL;
    }
    const ULONG64 Base = ControlPc & ~(ImageAlignment - 1);
    *ImageBase = Base;
    return KeepRecord(Base, (ULONG)(ControlPc - Base), (ULONG)(ControlPc - Base + 1));
}

// Function bounds come from the DWARF tables; the image base from the dynamic loader. A function beyond
// 4 GiB of its image's base has no 32-bit relative address, so it has no record either.
PRUNTIME_FUNCTION LookupHostFunction(ULONG64 ControlPc, PULONG64 ImageBase) {
    unw_proc_info_t Procedure;
    if (unw_get_proc_info_by_ip(unw_local_addr_space, (unw_word_t)ControlPc, &Procedure, nullptr) != 0) {
        return NULL;
    }
    Dl_info Image;
    if (dladdr((void*)ControlPc, &Image) == 0 || Image.dli_fbase == nullptr) {
        return NULL;
    }
    const ULONG64 Base = (ULONG64)Image.dli_fbase;
    if (Procedure.start_ip < Base || Procedure.end_ip - Base > 0xFFFFFFFFull) {
        return NULL;
    }
    *ImageBase = Base;
    return KeepRecord(Base, (ULONG)(Procedure.start_ip - Base), (ULONG)(Procedure.end_ip - Base));
}

// Windows numbers the integer registers Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi, R8-R15 in
// KNONVOLATILE_CONTEXT_POINTERS; the ones the System V ABI preserves are these.
struct PreservedRegister {
    int Libunwind;
    int WindowsIndex;
    ULONG64 CONTEXT::*Field;
};

constexpr PreservedRegister PreservedRegisters[] = {
    {UNW_X86_64_RBX, 3, &CONTEXT::Rbx}, {UNW_X86_64_RBP, 5, &CONTEXT::Rbp}, {UNW_X86_64_R12, 12, &CONTEXT::R12},
    {UNW_X86_64_R13, 13, &CONTEXT::R13}, {UNW_X86_64_R14, 14, &CONTEXT::R14}, {UNW_X86_64_R15, 15, &CONTEXT::R15},
};

void LoadRegisters(const CONTEXT& Context, ULONG64 ControlPc, unw_context_t& Registers) {
    memset(&Registers, 0, sizeof(Registers));
    greg_t* General = Registers.uc_mcontext.gregs;
    General[REG_RIP] = (greg_t)ControlPc;
    General[REG_RSP] = (greg_t)Context.Rsp;
    General[REG_RAX] = (greg_t)Context.Rax;
    General[REG_RCX] = (greg_t)Context.Rcx;
    General[REG_RDX] = (greg_t)Context.Rdx;
    General[REG_RBX] = (greg_t)Context.Rbx;
    General[REG_RBP] = (greg_t)Context.Rbp;
    General[REG_RSI] = (greg_t)Context.Rsi;
    General[REG_RDI] = (greg_t)Context.Rdi;
    General[REG_R8] = (greg_t)Context.R8;
    General[REG_R9] = (greg_t)Context.R9;
    General[REG_R10] = (greg_t)Context.R10;
    General[REG_R11] = (greg_t)Context.R11;
    General[REG_R12] = (greg_t)Context.R12;
    General[REG_R13] = (greg_t)Context.R13;
    General[REG_R14] = (greg_t)Context.R14;
    General[REG_R15] = (greg_t)Context.R15;
}

// Only a register this frame saved on the stack gets a pointer; one it left alone would still point
// into Registers, a local that is gone when the unwind returns.
void RecordSaveLocations(unw_cursor_t& Cursor, const unw_context_t& Registers,
                         PKNONVOLATILE_CONTEXT_POINTERS ContextPointers) {
    const ULONG64 LocalStart = (ULONG64)&Registers;
    const ULONG64 LocalEnd = LocalStart + sizeof(Registers);
    for (const PreservedRegister& Register : PreservedRegisters) {
        unw_save_loc_t Location;
        if (unw_get_save_loc(&Cursor, Register.Libunwind, &Location) != 0 || Location.type != UNW_SLT_MEMORY) {
            continue;
        }
        if (Location.u.addr >= LocalStart && Location.u.addr < LocalEnd) {
            continue;
        }
        ContextPointers->IntegerContext[Register.WindowsIndex] = (PULONG64)Location.u.addr;
    }
}

// The frame's return address and the caller's stack pointer after the return, with the registers the
// frame preserved restored. Where libunwind finds no caller (the outermost frame of the thread), Rip
// becomes 0, which is how the kernel ends a thread's chain too.
void UnwindHostFrame(ULONG64 ControlPc, PCONTEXT Context, PKNONVOLATILE_CONTEXT_POINTERS ContextPointers) {
    unw_context_t Registers;
    LoadRegisters(*Context, ControlPc, Registers);
    unw_cursor_t Cursor;
    if (unw_init_local(&Cursor, &Registers) != 0 || unw_step(&Cursor) <= 0) {
        Context->Rip = 0;
        return;
    }
    unw_word_t Value;
    unw_get_reg(&Cursor, UNW_REG_IP, &Value);
    Context->Rip = Value;
    unw_get_reg(&Cursor, UNW_REG_SP, &Value);
    Context->Rsp = Value;
    for (const PreservedRegister& Register : PreservedRegisters) {
        unw_get_reg(&Cursor, Register.Libunwind, &Value);
        Context->*Register.Field = Value;
    }
    if (ContextPointers != NULL) {
        RecordSaveLocations(Cursor, Registers, ContextPointers);
    }
}

// Only called once the lookup has found the frame's record.
void UnwindScriptedFrame(const UnwindState& State, ULONG64 ControlPc, PCONTEXT Context) {
    const sim::ScriptedFrame* Frame = FindScriptedFrame(State, ControlPc);
    Context->Rip = Frame->CallerRip;
    Context->Rsp = Frame->CallerRsp;
}

}  // namespace

extern "C" void SimFinishCaptureContext(PCONTEXT ContextRecord) {
    UnwindState& State = Unwinding();
    std::lock_guard<std::mutex> Guard(State.Lock);
    if (State.Scripted) {
        *ContextRecord = State.Captured;
    }
}

extern "C" PRUNTIME_FUNCTION RtlLookupFunctionEntry(ULONG64 ControlPc, PULONG64 ImageBase,
                                                    PUNWIND_HISTORY_TABLE HistoryTable) {
    (void)HistoryTable;  // a cache only; every lookup here goes to the source
    UnwindState& State = Unwinding();
    std::lock_guard<std::mutex> Guard(State.Lock);
    if (State.Scripted) {
        return LookupScriptedFunction(State, ControlPc, ImageBase);
    }
    return LookupHostFunction(ControlPc, ImageBase);
}

// Host functions carry no language handlers the kernel would know, so no handler is ever returned and
// HandlerData is left alone. EstablisherFrame is the frame's stack pointer, the establisher frame of a
// function that keeps no frame register. ContextPointers is filled for host frames only: a scripted
// frame says nothing about where registers were saved. The real routine trusts its image base and function
// entry and decodes whatever unwind data they lead to; here, both must be what the lookup gives for
// ControlPc, so that a stale or mixed-up argument stops the system instead of unwinding correctly anyway.
extern "C" PEXCEPTION_ROUTINE RtlVirtualUnwind(ULONG HandlerType, ULONG64 ImageBase, ULONG64 ControlPc,
                                               PRUNTIME_FUNCTION FunctionEntry, PCONTEXT ContextRecord,
                                               PVOID* HandlerData, PULONG64 EstablisherFrame,
                                               PKNONVOLATILE_CONTEXT_POINTERS ContextPointers) {
    (void)HandlerType;
    (void)HandlerData;
    if (FunctionEntry == NULL) {
        sim::FatalStop(KmodeExceptionNotHandled, "RtlVirtualUnwind called without a function entry");
    }
    UnwindState& State = Unwinding();
    std::lock_guard<std::mutex> Guard(State.Lock);
    ULONG64 ExpectedBase = 0;
    const PRUNTIME_FUNCTION Expected = State.Scripted ? LookupScriptedFunction(State, ControlPc, &ExpectedBase)
                                                      : LookupHostFunction(ControlPc, &ExpectedBase);
    if (Expected != FunctionEntry || ExpectedBase != ImageBase) {
        std::ostringstream What;
        What << "RtlVirtualUnwind at ControlPc 0x" << std::hex << ControlPc << " with image base 0x" << ImageBase
             << " and a function entry the lookup did not give for it";
        sim::FatalStop(KmodeExceptionNotHandled, What.str());
    }
    *EstablisherFrame = ContextRecord->Rsp;
    if (State.Scripted) {
        UnwindScriptedFrame(State, ControlPc, ContextRecord);
    } else {
        UnwindHostFrame(ControlPc, ContextRecord, ContextPointers);
    }
    return NULL;
}

namespace sim {

void UseRealUnwinding() {
    UnwindState& State = Unwinding();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Scripted = false;
    State.Frames.clear();
}

void UseScriptedUnwinding(const CONTEXT& Captured, const std::vector<ScriptedFrame>& Frames) {
    UnwindState& State = Unwinding();
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Scripted = true;
    State.Captured = Captured;
    State.Frames = Frames;
}

void ResetUnwinding() {
    UseRealUnwinding();
}

}  // namespace sim
