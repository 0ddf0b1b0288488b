// Boots in a row over one persistent registry: a boot shuts down cleanly or dies in a bug check, and a
// dead boot loses the registry writes that never reached the disk, as a machine does when the power goes.
#include <exception>
#include <stdexcept>

#include "sim_driver.h"
#include "sim_internal.h"

namespace sim {
namespace {

constexpr ULONG KmodeExceptionNotHandled = 0x1E;

// Thrown by CrashSystem inside a boot and caught where the boot began: a halted machine runs nothing
// more, so everything between the crash and the boot's start is abandoned, with destructors run.
struct SystemHalted {
    ULONG Code;
};

// Boots run on the test thread only; image-load threads never start one.
bool BootInProgress = false;

struct BootRun {
    const std::function<void()>* Body;
    bool Halted;
    ULONG StopCode;
    std::exception_ptr Escaped;
};

// Any other exception is the body's own failure; it is carried past the guard, which a C++ exception
// must not cross, and thrown again from Boot.
void RunBootBody(PVOID Context) {
    BootRun* Run = (BootRun*)Context;
    try {
        (*Run->Body)();
    } catch (const SystemHalted& Halt) {
        Run->Halted = true;
        Run->StopCode = Halt.Code;
    } catch (...) {
        Run->Escaped = std::current_exception();
    }
}

}  // namespace

BootResult Boot(const std::function<void()>& Body) {
    if (BootInProgress) {
        throw std::logic_error("sim: a boot started inside a boot");
    }
    Reset();
    BootRun Run{&Body, false, 0, nullptr};
    BootInProgress = true;
    // The boot's own guard is the kernel's last resort: an exception that no handler of the driver's
    // catches arrives here, and the real kernel answers it with KMODE_EXCEPTION_NOT_HANDLED.
    const bool Unhandled = RunGuarded(RunBootBody, &Run);
    BootInProgress = false;
    if (Run.Escaped) {
        std::rethrow_exception(Run.Escaped);
    }
    if (Unhandled) {
        const CaughtFault Fault = LastCaughtFault();
        BugCheck(KmodeExceptionNotHandled, (ULONG_PTR)(ULONG)STATUS_ACCESS_VIOLATION, Fault.InstructionAddress,
                 Fault.Write ? 1 : 0, Fault.Address);
        Run.Halted = true;
        Run.StopCode = KmodeExceptionNotHandled;
    }
    if (Run.Halted) {
        LoseUnflushedRegistryWrites();
    } else {
        FlushRegistryToDisk();
    }
    return BootResult{Run.Halted, Run.StopCode, ComTranscript(1)};
}

void CrashSystem(ULONG Code, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    BugCheck(Code, P1, P2, P3, P4);
    if (BootInProgress) {
        throw SystemHalted{Code};
    }
    FatalStop(Code, "the system crashed outside a boot");
}

}  // namespace sim
