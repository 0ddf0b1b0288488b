// The machine the lifecycle and whole-life tests start the driver on: its service key, a clock at a known
// instant, and kernel modules at fixed addresses, so that expected reports can be written out literally.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "kernel_test.h"
#include "sim_driver.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace scene {

// ntoskrnl.exe [6C00'0000'0000, +0x8000) and hal.dll [6C00'0001'0000, +0x3000), each a PE image whose
// CodeView record names its program database.
constexpr ULONG_PTR NtBase = 0x00006C0000000000;
constexpr ULONG NtSize = 0x8000;
constexpr ULONG_PTR HalBase = 0x00006C0000010000;
constexpr ULONG HalSize = 0x3000;
// Images reported through the load notification after start-up.
constexpr ULONG_PTR LateBase = 0x00006C0000020000;
constexpr ULONG LateSize = 0x3000;
constexpr ULONG_PTR LaterBase = 0x00006C0000030000;
constexpr ULONG LaterSize = 0x3000;

inline const std::array<UCHAR, 16> NtGuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
inline const std::array<UCHAR, 16> HalGuid = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                               0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
inline const std::array<UCHAR, 16> LateGuid = {0xA1, 0xA2, 0xA3, 0xA4, 0xB1, 0xB2, 0xC1, 0xC2,
                                                0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8};

// The clock reads 2026-12-08 04:30:15.007 UTC.
inline void SetClock() {
    sim::SetSystemTime(sim::SystemTimeFromFields(2026, 12, 8, 4, 30, 15, 7));
}

inline void MapImage(ULONG_PTR Base, ULONG Size, const std::array<UCHAR, 16>& Guid, const char* PdbPath) {
    sim::MapImageBytes(sim::PeImageBuilder().SizeOfImage(Size).Guid(Guid).PdbPath(PdbPath).Build(), Base);
}

// The kernel as a boot finds it before any driver starts: ntoskrnl.exe and hal.dll loaded.
inline void LoadKernelModules() {
    MapImage(NtBase, NtSize, NtGuid, "ntkrnlmp.pdb");
    sim::AddLoadedModule(u"\\SystemRoot\\system32\\ntoskrnl.exe", u"ntoskrnl.exe", NtBase, NtSize);
    MapImage(HalBase, HalSize, HalGuid, "hal.pdb");
    sim::AddLoadedModule(u"\\SystemRoot\\system32\\hal.dll", u"hal.dll", HalBase, HalSize);
}

// A driver image the kernel maps and reports after start-up.
inline void ReportLateImage() {
    MapImage(LateBase, LateSize, LateGuid, "late.pdb");
    sim::ReportImageLoad(u"\\SystemRoot\\System32\\drivers\\late.sys", LateBase, LateSize);
}

// The table rows the walk makes of LoadKernelModules(), and the row of ReportLateImage().
inline const char* const NtRow =
    "00006C0000000000 00006C0000008000  ntoskrnl.exe  ntkrnlmp.pdb  \\SystemRoot\\system32\\ntoskrnl.exe  "
    "33221100-5544-7766-8899-AABBCCDDEEFF\n";
inline const char* const HalRow =
    "00006C0000010000 00006C0000013000  hal.dll  hal.pdb  \\SystemRoot\\system32\\hal.dll  "
    "04030201-0605-0807-090A-0B0C0D0E0F10\n";
inline const char* const LateRow =
    "00006C0000020000 00006C0000023000  late.sys  late.pdb  \\SystemRoot\\System32\\drivers\\late.sys  "
    "A4A3A2A1-B2B1-C2C1-D1D2-D3D4D5D6D7D8\n";

inline const char* const TableHead =
    "Dump:\n"
    "start    end    module    pdb    path    guid\n";

inline const char* const NormalBootBanner =
    "HesTolvaneDrv ver: 3, Load: 2026-12-08 04:30:15:7\n"
    "normal boot.\n";

inline const std::u16string& Key() {
    return sim::ServiceKeyPath();
}

// The installed driver's service key, with no marker in it.
inline void InstallService() {
    sim::ResetRegistry();
    sim::CreateRegistryKey(Key());
}

inline std::vector<UCHAR> Utf16Bytes(const std::u16string& Text) {
    std::vector<UCHAR> Bytes;
    for (char16_t Character : Text) {
        Bytes.push_back((UCHAR)(Character & 0xFF));
        Bytes.push_back((UCHAR)(Character >> 8));
    }
    Bytes.push_back(0);
    Bytes.push_back(0);
    return Bytes;
}

// The driver's own pool blocks, by tag.
inline size_t DriverPoolBlocks() {
    size_t Count = 0;
    for (const sim::PoolBlock& Block : sim::OutstandingPool()) {
        Count += Block.Tag == HesTolvanePoolTag ? 1 : 0;
    }
    return Count;
}

}  // namespace scene
