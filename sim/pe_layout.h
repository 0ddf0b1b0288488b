// PE/COFF records that only the simulated kernel's loader and image builder read or write; the driver's
// own view of an image is in drv/platform/nt.h.
#pragma once

#include "sim_kernel.h"

namespace sim {

constexpr USHORT ImageSectionNameLength = 8;

struct ImageSectionHeader {
    UCHAR Name[ImageSectionNameLength];
    ULONG VirtualSize;
    ULONG VirtualAddress;
    ULONG SizeOfRawData;
    ULONG PointerToRawData;
    ULONG PointerToRelocations;
    ULONG PointerToLinenumbers;
    USHORT NumberOfRelocations;
    USHORT NumberOfLinenumbers;
    ULONG Characteristics;
};
static_assert(sizeof(ImageSectionHeader) == 40, "IMAGE_SECTION_HEADER");

constexpr ULONG SectionContainsInitializedData = 0x00000040;
constexpr ULONG SectionMemoryRead = 0x40000000;

// The CodeView record the debug directory's CodeView entry points at, up to its path.
struct CodeViewRsdsHeader {
    ULONG Signature;
    UCHAR Guid[16];
    ULONG Age;
};
static_assert(sizeof(CodeViewRsdsHeader) == 24, "RSDS header");

}  // namespace sim
