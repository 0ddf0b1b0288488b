// The driver image's placement in the simulated kernel: its INIT code and texts are discarded once the
// entry routine returns and come back with the next load of the image; its PAGE code is pageable.
#include <sys/mman.h>

#include <stdexcept>

#include "sim_internal.h"

// Placed by the linker around each section that the host link script lays out on whole pages; weak, so
// that a program without any driver code still links, and then both ends are null.
extern "C" {
extern char __start_hestolvane_init_code[] __attribute__((weak));
extern char __stop_hestolvane_init_code[] __attribute__((weak));
extern char __start_hestolvane_init_text[] __attribute__((weak));
extern char __stop_hestolvane_init_text[] __attribute__((weak));
extern char __start_hestolvane_page_code[] __attribute__((weak));
extern char __stop_hestolvane_page_code[] __attribute__((weak));
}

namespace sim {
namespace {

struct Placement {
    char* Start;
    char* Stop;
    int Protection;  // what the loader gives the section

    bool Empty() const { return Start == nullptr || Start == Stop; }
    size_t Size() const { return (size_t)(Stop - Start); }
};

Placement InitCode() {
    return {__start_hestolvane_init_code, __stop_hestolvane_init_code, PROT_READ | PROT_EXEC};
}

Placement InitText() {
    return {__start_hestolvane_init_text, __stop_hestolvane_init_text, PROT_READ};
}

Placement PageCode() {
    return {__start_hestolvane_page_code, __stop_hestolvane_page_code, PROT_READ | PROT_EXEC};
}

void Protect(const Placement& Section, int Protection) {
    if (mprotect(Section.Start, Section.Size(), Protection) != 0) {
        throw std::runtime_error("sim: mprotect failed on a section of the driver image");
    }
}

// Discarded INIT is kernel memory that is no longer there: MmIsAddressValid says no, a touch stops the
// system as any not-present kernel page does.
void Discard(const Placement& Section) {
    if (Section.Empty()) {
        return;
    }
    Protect(Section, PROT_NONE);
    DeclareDriverSection(Section.Start, Section.Size(), 0);
    SetPageState(Section.Start, Section.Size(), PageState::Invalid);
}

// A Reset may already have forgotten the region; the protection is the section's own either way.
void Restore(const Placement& Section) {
    if (Section.Empty()) {
        return;
    }
    if (LookupPage(Section.Start).DriverSection) {
        ForgetDeclaredRegion(Section.Start);
    }
    Protect(Section, Section.Protection);
}

bool InitDiscarded = false;

}  // namespace

void DiscardInitSections() {
    Discard(InitCode());
    Discard(InitText());
    InitDiscarded = true;
}

void RestoreInitSections() {
    if (!InitDiscarded) {
        return;
    }
    Restore(InitCode());
    Restore(InitText());
    InitDiscarded = false;
}

void ResetDriverSections() {
    RestoreInitSections();
    const Placement Pageable = PageCode();
    if (!Pageable.Empty()) {
        DeclareDriverSection(Pageable.Start, Pageable.Size(), Pageable.Protection);
    }
}

}  // namespace sim
