// Crash dump: the bug-check callback that writes the crash report to the serial console. It runs at
// HIGH_LEVEL with every other processor stopped, so it allocates nothing, locks nothing and touches only
// non-paged code and data.
#include "hestolvane.h"

DRIVER_GLOBAL CHAR FormatBuffer[FormatBufferSize];
DRIVER_GLOBAL ULONG DumpCount = 0;
DRIVER_GLOBAL KBUGCHECK_CALLBACK_RECORD BugCheckCallbackRecord;

namespace {

constexpr ULONG MaxStackFrames = 20;
constexpr ULONG StackWordsPerFrame = 4;

struct StackWalk {
    CONTEXT Context;
    CONTEXT Unwound;
    KNONVOLATILE_CONTEXT_POINTERS ContextPointers;
    BOOLEAN StackUnreadable;
};

void ClearFormatBuffer() {
    RtlZeroMemory(FormatBuffer, sizeof(FormatBuffer));
}

// A record's text buffer is read by the formatter, at HIGH_LEVEL, where a fault on it would end the report
// then and there. One that is not all there is printed as a missing text instead.
PCHAR PrintableModuleText(PCHAR Buffer) {
    if (Buffer == NULL || !IsRangeValid((ULONG_PTR)Buffer, ModuleStringBufferSize)) {
        return NULL;
    }
    return Buffer;
}

// Stack words belong to other routines' frames; each is read in a call of its own so that the exception
// guard covers the read.
FOREIGN_STACK_READ ULONG64 ReadStackWord(ULONG64 Address) {
    return *(const ULONG64*)Address;
}

void PrintContextBlock(const CONTEXT* Context) {
    ClearFormatBuffer();
    sprintf_s(FormatBuffer, FormatBufferSize,
              "CONTEXT (%p):\n"
              "         GS = %04X\n"
              "         FS = %04X\n"
              "         ES = %04X\n"
              "         DS = %04X\n"
              "         SS = %04X\n"
              "         CS = %04X\n"
              "         EFLAGS = %08X\n"
              "         RSI= %016llX\n"
              "         RDI = %016llX\n"
              "         RAX = %016llX\n"
              "         RBX = %016llX\n"
              "         RCX = %016llX\n"
              "         RDX = %016llX\n"
              "         RIP = %016llX\n"
              "         RSP = %016llX\n"
              "         RBP = %016llX\n"
              "         R8 = %016llX\n"
              "         R9 = %016llX\n"
              "         R10 = %016llX\n"
              "         R11 = %016llX\n"
              "         R12 = %016llX\n"
              "         R13 = %016llX\n"
              "         R14 = %016llX\n"
              "         R15 = %016llX\n",
              (const void*)Context, (ULONG)Context->SegGs, (ULONG)Context->SegFs, (ULONG)Context->SegEs,
              (ULONG)Context->SegDs, (ULONG)Context->SegSs, (ULONG)Context->SegCs, Context->EFlags, Context->Rsi,
              Context->Rdi, Context->Rax, Context->Rbx, Context->Rcx, Context->Rdx, Context->Rip, Context->Rsp,
              Context->Rbp, Context->R8, Context->R9, Context->R10, Context->R11, Context->R12, Context->R13,
              Context->R14, Context->R15);
    SerialWriteText(FormatBuffer);
}

// One frame: unwind the walk context into its caller and print the caller's stack pointer, the four
// words at it and the return address. FALSE ends the walk.
BOOLEAN PrintNextFrame(StackWalk* Walk) {
    PCHAR ModuleName = NULL;
    ULONG64 Offset = 0;
    ULONG64 EstablisherFrame = 0;

    const ULONG64 ControlPc = Walk->Context.Rip;
    if (ControlPc == 0) {
        SerialWriteText("ControlPc\n");
        return FALSE;
    }

    ULONG64 ImageBase = 0;
    PRUNTIME_FUNCTION FunctionEntry = RtlLookupFunctionEntry(ControlPc, &ImageBase, NULL);
    if (FunctionEntry != NULL) {
        PVOID HandlerData = NULL;
        RtlZeroMemory(&Walk->ContextPointers, sizeof(Walk->ContextPointers));
        RtlCopyMemory(&Walk->Unwound, &Walk->Context, sizeof(CONTEXT));
        RtlVirtualUnwind(UNW_FLAG_UHANDLER, ImageBase, ControlPc, FunctionEntry, &Walk->Unwound, &HandlerData,
                         &EstablisherFrame, &Walk->ContextPointers);
        RtlCopyMemory(&Walk->Context, &Walk->Unwound, sizeof(CONTEXT));
    } else {
        // A leaf function has no unwind record: its return address is the word at the stack pointer.
        if (!IsRangeValid(Walk->Context.Rsp, sizeof(ULONG64))) {
            Walk->StackUnreadable = TRUE;
            return FALSE;
        }
        Walk->Context.Rip = ReadStackWord(Walk->Context.Rsp);
        Walk->Context.Rsp += sizeof(ULONG64);
    }

    const ULONG64 Rsp = Walk->Context.Rsp;
    if (!IsRangeValid(Rsp, StackWordsPerFrame * sizeof(ULONG64))) {
        Walk->StackUnreadable = TRUE;
        return FALSE;
    }
    ULONG64 Words[StackWordsPerFrame];
    for (ULONG Index = 0; Index < StackWordsPerFrame; Index++) {
        Words[Index] = ReadStackWord(Rsp + Index * sizeof(ULONG64));
    }

    ClearFormatBuffer();
    if (FindModuleByAddress((PVOID)Walk->Context.Rip, &ModuleName, &Offset)) {
        sprintf_s(FormatBuffer, FormatBufferSize, "%p  (%016llX  %016llX  %016llX  %016llX) %s + %016llX\n",
                  (PVOID)Rsp, Words[0], Words[1], Words[2], Words[3], PrintableModuleText(ModuleName), Offset);
    } else {
        sprintf_s(FormatBuffer, FormatBufferSize, "%p  (%016llX  %016llX  %016llX  %016llX) %016llX\n",
                  (PVOID)Rsp, Words[0], Words[1], Words[2], Words[3], Walk->Context.Rip);
    }
    SerialWriteText(FormatBuffer);
    return TRUE;
}

// Runs under the exception guard: every read of the stack happens in here or below.
void PrintRegistersAndFrames(PVOID Argument) {
    StackWalk* Walk = (StackWalk*)Argument;
    PrintContextBlock(&Walk->Context);
    for (ULONG Frame = 0; Frame < MaxStackFrames; Frame++) {
        if (!PrintNextFrame(Walk)) {
            return;
        }
    }
}

void PrintBugCheckLine() {
    ClearFormatBuffer();
    sprintf_s(FormatBuffer, FormatBufferSize, "VQN: BUGCHECK CODE %llX: %016llX %016llX %016llX %016llX\n",
              (ULONG64)KiBugCheckData[0], (ULONG64)KiBugCheckData[1], (ULONG64)KiBugCheckData[2],
              (ULONG64)KiBugCheckData[3], (ULONG64)KiBugCheckData[4]);
    SerialWriteText(FormatBuffer);
}

void PrintCrashTime() {
    TIME_FIELDS Time;
    ReadCrashTime(&Time);
    ClearFormatBuffer();
    sprintf_s(FormatBuffer, FormatBufferSize, "CRASHED ON: %04d-%02d-%02d %02d:%02d:%02d:%d\n", (int)Time.Year,
              (int)Time.Month, (int)Time.Day, (int)Time.Hour, (int)Time.Minute, (int)Time.Second,
              (int)Time.Milliseconds);
    SerialWriteText(FormatBuffer);
}

void PrintModuleTable() {
    SerialWriteText("Dump:\n");
    SerialWriteText("start    end    module    pdb    path    guid\n");
    ULONG Visited = 0;
    for (ModuleInfo* Record = NextModuleRecordAtBugCheck(NULL, &Visited); Record != NULL;
         Record = NextModuleRecordAtBugCheck(Record, &Visited)) {
        PrintModuleInfo(Record);
    }
}

void WriteCrashReport() {
    // Each report gives the UART the full wait for its first byte, whatever became of earlier output.
    SerialTransmitterStalled = FALSE;
    SerialWriteText("VQN Dump Begin.\n");
    PrintCrashTime();
    if (ModuleTrackingEnabled) {
        PrintModuleTable();
    }
    PrintBugCheckLine();
    if (ModuleTrackingEnabled) {
        PrintStack();
    }
    SerialWriteText("VQN Dump End.\n");
}

}  // namespace

void ReadCrashTime(PTIME_FIELDS TimeFields) {
    LARGE_INTEGER SystemTime;
    KeQuerySystemTime(&SystemTime);
    RtlTimeToTimeFields(&SystemTime, TimeFields);
}

// The GUID is printed in its registry form: the first three fields as little-endian numbers, the last
// eight bytes in memory order.
void PrintModuleInfo(const ModuleInfo* Record) {
    const UCHAR* Guid = (const UCHAR*)&Record->PdbGuid;
    ClearFormatBuffer();
    sprintf_s(FormatBuffer, FormatBufferSize,
              "%p %p  %s  %s  %s  %02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X\n",
              Record->ImageStart, Record->ImageEnd, PrintableModuleText(Record->ModuleName.Buffer),
              Record->PdbName, PrintableModuleText(Record->FullPath.Buffer), Guid[3], Guid[2], Guid[1], Guid[0],
              Guid[5], Guid[4], Guid[7], Guid[6],
              Guid[8], Guid[9], Guid[10], Guid[11], Guid[12], Guid[13], Guid[14], Guid[15]);
    SerialWriteText(FormatBuffer);
}

// The registers are captured here, outside the guarded body, so that the first unwind lands in this
// routine's caller and the report starts at the bug-check callback's frame. Inlined into the callback, the
// walk would start one frame higher, in the kernel's bug-check code.
__attribute__((noinline)) void PrintStack() {
    StackWalk Walk;
    Walk.StackUnreadable = FALSE;
    RtlCaptureContext(&Walk.Context);
    if (RunGuarded(PrintRegistersAndFrames, &Walk) || Walk.StackUnreadable) {
        SerialWriteText("PrintStack\n");
    }
}

// Writes the report once per boot. Only an entry that finds no finished report writes; the count is
// raised after the end marker, so a bug check that interrupts a report in progress writes one as well.
extern "C" void BugCheckDumpCallback(PVOID Buffer, ULONG Length) {
    (void)Buffer;
    (void)Length;
    if (DumpCount == 0) {
        WriteCrashReport();
    }
    DumpCount++;
}
