// The bug-check name table: the codes a driver developer meets most, sorted for a binary search.
#include "bugcheck_names.h"

#include <algorithm>
#include <array>
#include <utility>

namespace hestolvane::decode {

namespace {

constexpr std::array<std::pair<uint64_t, std::string_view>, 36> Names = {{
    {0x01, "APC_INDEX_MISMATCH"},
    {0x0A, "IRQL_NOT_LESS_OR_EQUAL"},
    {0x12, "TRAP_CAUSE_UNKNOWN"},
    {0x19, "BAD_POOL_HEADER"},
    {0x1A, "MEMORY_MANAGEMENT"},
    {0x1E, "KMODE_EXCEPTION_NOT_HANDLED"},
    {0x24, "NTFS_FILE_SYSTEM"},
    {0x3B, "SYSTEM_SERVICE_EXCEPTION"},
    {0x4E, "PFN_LIST_CORRUPT"},
    {0x50, "PAGE_FAULT_IN_NONPAGED_AREA"},
    {0x7A, "KERNEL_DATA_INPAGE_ERROR"},
    {0x7B, "INACCESSIBLE_BOOT_DEVICE"},
    {0x7E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"},
    {0x7F, "UNEXPECTED_KERNEL_MODE_TRAP"},
    {0x9F, "DRIVER_POWER_STATE_FAILURE"},
    {0xA0, "INTERNAL_POWER_ERROR"},
    {0xBE, "ATTEMPTED_WRITE_TO_READONLY_MEMORY"},
    {0xC2, "BAD_POOL_CALLER"},
    {0xC4, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {0xC5, "DRIVER_CORRUPTED_EXPOOL"},
    {0xCE, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    {0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {0xE2, "MANUALLY_INITIATED_CRASH"},
    {0xEF, "CRITICAL_PROCESS_DIED"},
    {0xF7, "DRIVER_OVERRAN_STACK_BUFFER"},
    {0xFC, "ATTEMPTED_EXECUTE_OF_NOEXECUTE_MEMORY"},
    {0x101, "CLOCK_WATCHDOG_TIMEOUT"},
    {0x109, "CRITICAL_STRUCTURE_CORRUPTION"},
    {0x116, "VIDEO_TDR_FAILURE"},
    {0x124, "WHEA_UNCORRECTABLE_ERROR"},
    {0x133, "DPC_WATCHDOG_VIOLATION"},
    {0x139, "KERNEL_SECURITY_CHECK_FAILURE"},
    {0x13A, "KERNEL_MODE_HEAP_CORRUPTION"},
    {0x154, "UNEXPECTED_STORE_EXCEPTION"},
    {0x1CA, "SYNTHETIC_WATCHDOG_TIMEOUT"},
    {0x1D5, "DRIVER_PNP_WATCHDOG"},
}};

constexpr bool SortedByCode() {
    for (size_t Index = 1; Index < Names.size(); Index++) {
        if (Names[Index - 1].first >= Names[Index].first) {
            return false;
        }
    }
    return true;
}
static_assert(SortedByCode(), "BugCheckName searches the table by halves");

}  // namespace

std::string_view BugCheckName(uint64_t Code) {
    const auto Found = std::lower_bound(Names.begin(), Names.end(), Code,
                                        [](const auto& Entry, uint64_t Wanted) { return Entry.first < Wanted; });
    return Found != Names.end() && Found->first == Code ? Found->second : std::string_view();
}

}  // namespace hestolvane::decode
