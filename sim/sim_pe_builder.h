// Synthetic x64 images for tests, the fuzzer and hestolvane-sim: a valid image with a CodeView "RSDS"
// record, every step on the way to which can be moved, cut or corrupted.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "sim_kernel.h"

namespace sim {

class PeImageBuilder {
public:
    // Where the default image keeps its parts, as offsets from the image base (RVAs).
    static constexpr LONG DefaultNtHeaders = 0x80;
    static constexpr ULONG DefaultDebugDirectory = 0x1000;
    static constexpr ULONG DefaultCodeView = 0x1040;
    static constexpr ULONG DefaultSizeOfImage = 0x3000;

    // The image's headers end here in its file form, where its single section's raw data begins.
    static constexpr ULONG SizeOfHeaders = 0x400;
    static constexpr ULONG SectionStart = 0x1000;

    PeImageBuilder& DosMagic(USHORT Value);
    // e_lfanew. NT headers placed wholly or partly outside the image are written only where they fit.
    PeImageBuilder& NtHeadersAt(LONG Lfanew);
    PeImageBuilder& NtSignature(ULONG Value);
    PeImageBuilder& Machine(USHORT Value);
    PeImageBuilder& OptionalHeaderMagic(USHORT Value);
    // The debug data directory's VirtualAddress. 0 is an image without a debug directory: no entry is
    // written, and the field stays 0 as linkers leave it.
    PeImageBuilder& DebugDirectoryAt(ULONG Rva);
    // Puts an entry of another type first in the debug directory, before the CodeView entry.
    PeImageBuilder& DebugEntryBeforeCodeView(ULONG Type, ULONG AddressOfRawData);
    PeImageBuilder& CodeViewAt(ULONG Rva);
    PeImageBuilder& CodeViewSignature(ULONG Value);
    PeImageBuilder& Guid(const std::array<UCHAR, 16>& Bytes);
    // Written with its terminating NUL; the part of it that would lie past the image is left out.
    PeImageBuilder& PdbPath(const std::string& Path);
    PeImageBuilder& SizeOfImage(ULONG Size);

    // The image as it lies in memory: each part at its RVA, SizeOfImage bytes. Throws
    // std::invalid_argument when two parts would overlap, since the later one would silently corrupt
    // the earlier.
    std::vector<UCHAR> Build() const;
    // The image as a file: its headers, then its one section's raw data at SizeOfHeaders, as MapImageFile
    // reads it. Throws std::invalid_argument when a part lies between the headers and the section, where
    // a file has no room for it.
    std::vector<UCHAR> BuildFile() const;

private:
    struct DebugEntry {
        ULONG Type;
        ULONG AddressOfRawData;
        ULONG SizeOfData;
    };

    std::vector<DebugEntry> DebugEntries() const;

    USHORT DosMagicValue = IMAGE_DOS_SIGNATURE;
    LONG Lfanew = DefaultNtHeaders;
    ULONG NtSignatureValue = IMAGE_NT_SIGNATURE;
    USHORT MachineValue = IMAGE_FILE_MACHINE_AMD64;
    USHORT OptionalMagicValue = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    ULONG DebugDirectory = DefaultDebugDirectory;
    std::vector<DebugEntry> EntriesBeforeCodeView;
    ULONG CodeView = DefaultCodeView;
    ULONG CodeViewSignatureValue = 0x53445352;  // "RSDS"
    std::array<UCHAR, 16> GuidBytes = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                       0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    std::string Path = "probe.pdb";
    ULONG Size = DefaultSizeOfImage;
};

}  // namespace sim
