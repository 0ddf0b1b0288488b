// The machine the simulated kernel runs on: which Windows release it is, and whether Driver Verifier checks
// the driver's code integrity. Both outlive Reset(), as a machine's installation outlives a boot.
#include <algorithm>
#include <atomic>
#include <mutex>

#include "sim_internal.h"

namespace sim {
namespace {

struct MachineSettings {
    std::mutex Lock;
    WindowsRelease Release = Windows11();
};

MachineSettings& Machine() {
    static MachineSettings* const Instance = new MachineSettings;
    return *Instance;
}

// Read by every pool call on any thread, so it is not behind the settings' lock.
std::atomic<bool> CodeIntegrityChecked{false};

constexpr ULONG VerPlatformWin32Nt = 2;

}  // namespace

WindowsRelease Windows7Sp1() {
    return {6, 1, 7601, u"Service Pack 1"};
}

WindowsRelease Windows10() {
    return {10, 0, 19045, u""};
}

WindowsRelease Windows11() {
    return {10, 0, 22631, u""};
}

void SetWindowsRelease(const WindowsRelease& Release) {
    std::lock_guard<std::mutex> Guard(Machine().Lock);
    Machine().Release = Release;
}

WindowsRelease CurrentWindowsRelease() {
    std::lock_guard<std::mutex> Guard(Machine().Lock);
    return Machine().Release;
}

bool KernelHasNonExecutablePool() {
    const WindowsRelease Release = CurrentWindowsRelease();
    return Release.Major > 6 || (Release.Major == 6 && Release.Minor >= 2);
}

void SetVerifierCodeIntegrity(bool On) {
    CodeIntegrityChecked.store(On);
}

bool VerifierCodeIntegrity() {
    return CodeIntegrityChecked.load();
}

}  // namespace sim

// A caller that does not say how large its record is gets nothing written; the extended record's extra
// fields are not simulated, so only its first part is filled.
extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation) {
    sim::RequirePassiveLevel("RtlGetVersion");
    if (VersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    const sim::WindowsRelease Release = sim::CurrentWindowsRelease();
    VersionInformation->dwMajorVersion = Release.Major;
    VersionInformation->dwMinorVersion = Release.Minor;
    VersionInformation->dwBuildNumber = Release.Build;
    VersionInformation->dwPlatformId = sim::VerPlatformWin32Nt;
    std::fill(std::begin(VersionInformation->szCSDVersion), std::end(VersionInformation->szCSDVersion), 0);
    const size_t Units = std::min(Release.ServicePack.size(), std::size(VersionInformation->szCSDVersion) - 1);
    std::copy_n(Release.ServicePack.begin(), Units, VersionInformation->szCSDVersion);
    return STATUS_SUCCESS;
}
