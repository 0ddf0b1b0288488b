// Structured exception handling in the simulated kernel: RunGuarded stands for __try/__except, and the
// SIGSEGV/SIGBUS handler decides, as the real kernel would, whether a fault is an exception or a bug check.
#include <signal.h>
#include <setjmp.h>
#include <ucontext.h>

#include "sim_internal.h"

namespace sim {
namespace {

constexpr ULONG IrqlNotLessOrEqual = 0x0A;
constexpr ULONG KmodeExceptionNotHandled = 0x1E;
constexpr ULONG PageFaultInNonpagedArea = 0x50;

// One active RunGuarded on this thread; the innermost is the one an exception unwinds to.
struct Guard {
    sigjmp_buf Resume;
    Guard* Outer;
};

thread_local Guard* InnermostGuard = nullptr;
thread_local CaughtFault LastCaught = {0, 0, false};

// The message is assembled in place: the handler may have interrupted malloc, so it cannot allocate.
class StopMessage {
public:
    void Append(const char* Part) {
        while (*Part != '\0' && Length + 1 < sizeof Text) {
            Text[Length++] = *Part++;
        }
        Text[Length] = '\0';
    }

    void AppendAddress(const void* Address) {
        char Digits[17];
        FormatHex((uint64_t)(uintptr_t)Address, 16, Digits);
        Digits[16] = '\0';
        Append("0x");
        Append(Digits);
    }

    const char* Get() const { return Text; }

private:
    char Text[128] = {};
    size_t Length = 0;
};

// Bit 1 of an x64 page-fault error code is set when the faulting access was a write.
bool FaultWasWrite(const void* UserContext) {
    const ucontext_t* Interrupted = (const ucontext_t*)UserContext;
    return (Interrupted->uc_mcontext.gregs[REG_ERR] & 2) != 0;
}

[[noreturn]] void StopOnFault(ULONG Code, const char* Name, const void* Address, const void* UserContext) {
    StopMessage Message;
    Message.Append(Name);
    Message.Append(FaultWasWrite(UserContext) ? " writing " : " reading ");
    Message.AppendAddress(Address);
    StopSystem(Code, Message.Get());
}

void OnFault(int, siginfo_t* Info, void* UserContext) {
    const PageLookup Page = LookupPage(Info->si_addr);
    // A not-present page in kernel space is fatal before any exception handler is looked for.
    if (Page.Declared && Page.KernelSpace && Page.State == PageState::Invalid) {
        StopOnFault(PageFaultInNonpagedArea, "PAGE_FAULT_IN_NONPAGED_AREA", Info->si_addr, UserContext);
    }
    // At DISPATCH_LEVEL and above the pager cannot run and no exception is dispatched: any page fault,
    // on pageable memory, on a page that raises, or anywhere else, stops the system, guard or no guard.
    if (CurrentIrql() >= DISPATCH_LEVEL) {
        StopOnFault(IrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", Info->si_addr, UserContext);
    }
    // Below it, a touch of pageable memory brings it in and the access is simply retried (a pager on
    // another processor may have taken it out again in between: then it faults and comes in once more).
    if (Page.Declared && Page.Pageable && PageIn(Info->si_addr, FaultWasWrite(UserContext))) {
        return;
    }
    if (InnermostGuard != nullptr) {
        const ucontext_t* Interrupted = (const ucontext_t*)UserContext;
        LastCaught = CaughtFault{(ULONG_PTR)Info->si_addr, (ULONG_PTR)Interrupted->uc_mcontext.gregs[REG_RIP],
                                 FaultWasWrite(UserContext)};
        siglongjmp(InnermostGuard->Resume, 1);
    }
    StopOnFault(KmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED", Info->si_addr, UserContext);
}

}  // namespace

CaughtFault LastCaughtFault() {
    return LastCaught;
}

// No SA_NODEFER: the jump back into RunGuarded restores the signal mask it saved, unblocking SIGSEGV.
void InstallFaultHandler() {
    struct sigaction Action = {};
    Action.sa_sigaction = OnFault;
    Action.sa_flags = SA_SIGINFO;
    sigemptyset(&Action.sa_mask);
    sigaction(SIGSEGV, &Action, nullptr);
    sigaction(SIGBUS, &Action, nullptr);
}

}  // namespace sim

// Returns TRUE when Body raised an exception (and did not finish), FALSE when it ran to its end. Nothing
// in this frame changes between sigsetjmp and the jump back, so no local needs to be volatile.
extern "C" BOOLEAN RunGuarded(GUARDED_BODY* Body, PVOID Context) {
    sim::Guard Frame;
    Frame.Outer = sim::InnermostGuard;
    if (sigsetjmp(Frame.Resume, 1) != 0) {
        sim::InnermostGuard = Frame.Outer;
        return TRUE;
    }
    sim::InnermostGuard = &Frame;
    Body(Context);
    sim::InnermostGuard = Frame.Outer;
    return FALSE;
}
