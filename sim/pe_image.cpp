// Images in the simulated kernel's memory: a PE32+ file laid out as the kernel's loader maps it, or raw
// bytes as they are, each between two invalid guard pages.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pe_layout.h"
#include "sim_loader.h"

namespace sim {
namespace {

size_t PagesFor(size_t Bytes) {
    return (Bytes + PageSize - 1) / PageSize;
}

// A read just before or after an image meets an invalid page: a bug check if touched, FALSE from
// MmIsAddressValid, never the bytes of some unrelated neighbour.
UCHAR* MapBetweenGuardPages(size_t Size, ULONG_PTR At) {
    if (Size == 0) {
        throw std::invalid_argument("sim: an image of no bytes");
    }
    const size_t Pages = PagesFor(Size);
    const size_t Total = (Pages + 2) * PageSize;
    auto* Region = (UCHAR*)(At == 0 ? MapRegion(Total) : MapRegionAt(At - PageSize, Total));
    SetPageState(Region, PageSize, PageState::Invalid);
    SetPageState(Region + (Pages + 1) * PageSize, PageSize, PageState::Invalid);
    return Region + PageSize;
}

// A PE file's bytes with bounds-checked reads; every complaint names the file.
class ImageFile {
public:
    explicit ImageFile(const std::string& Path) : Path(Path) {
        std::ifstream Stream(Path, std::ios::binary);
        if (!Stream) {
            Fail("cannot be opened");
        }
        Bytes.assign(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
    }

    template <typename Record>
    Record Read(size_t Offset, const char* What) const {
        RequireInFile(Offset, sizeof(Record), What);
        Record Value;
        std::memcpy(&Value, Bytes.data() + Offset, sizeof(Record));
        return Value;
    }

    void RequireInFile(size_t Offset, size_t Length, const char* What) const {
        if (Offset > Bytes.size() || Length > Bytes.size() - Offset) {
            Fail(std::string(What) + " lies beyond the end of the file");
        }
    }

    const UCHAR* At(size_t Offset) const { return Bytes.data() + Offset; }

    [[noreturn]] void Fail(const std::string& What) const {
        throw std::runtime_error("sim: " + Path + ": " + What);
    }

private:
    std::string Path;
    std::vector<UCHAR> Bytes;
};

struct ImageLayout {
    ULONG SizeOfImage;
    ULONG SizeOfHeaders;
    std::vector<ImageSectionHeader> Sections;
};

std::string Hex(ULONG Value) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%X", Value);
    return Text;
}

// Everything is checked before anything is mapped, so that a bad file leaves no half-made image.
ImageLayout ReadLayout(const ImageFile& File) {
    if (File.Read<USHORT>(0, "the DOS header") != IMAGE_DOS_SIGNATURE) {
        File.Fail("no MZ signature");
    }
    const LONG Lfanew = File.Read<LONG>(__builtin_offsetof(IMAGE_DOS_HEADER, e_lfanew), "the DOS header");
    if (Lfanew < 0) {
        File.Fail("negative e_lfanew");
    }
    if (File.Read<ULONG>(Lfanew, "the NT headers") != IMAGE_NT_SIGNATURE) {
        File.Fail("no PE signature");
    }
    const auto Header = File.Read<IMAGE_FILE_HEADER>(Lfanew + sizeof(ULONG), "the file header");
    if (Header.Machine != IMAGE_FILE_MACHINE_AMD64) {
        File.Fail("machine " + Hex(Header.Machine) + " is not AMD64");
    }
    const size_t OptionalOffset = Lfanew + __builtin_offsetof(IMAGE_NT_HEADERS64, OptionalHeader);
    const USHORT Magic = File.Read<USHORT>(OptionalOffset, "the optional header");
    if (Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        File.Fail("optional header magic " + Hex(Magic) + ": not a PE32+ image");
    }
    // Only the fields up to SizeOfHeaders are needed, and every optional header has those.
    const size_t SizeOfImageOffset = OptionalOffset + __builtin_offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage);
    ImageLayout Layout;
    Layout.SizeOfImage = File.Read<ULONG>(SizeOfImageOffset, "the optional header");
    Layout.SizeOfHeaders = File.Read<ULONG>(SizeOfImageOffset + sizeof(ULONG), "the optional header");
    if (Layout.SizeOfImage == 0 || Layout.SizeOfHeaders > Layout.SizeOfImage) {
        File.Fail("SizeOfHeaders " + Hex(Layout.SizeOfHeaders) + " does not fit SizeOfImage " +
                  Hex(Layout.SizeOfImage));
    }
    File.RequireInFile(0, Layout.SizeOfHeaders, "SizeOfHeaders");

    const size_t SectionTable = OptionalOffset + Header.SizeOfOptionalHeader;
    for (USHORT Index = 0; Index < Header.NumberOfSections; Index++) {
        const auto Section =
            File.Read<ImageSectionHeader>(SectionTable + Index * sizeof(ImageSectionHeader), "the section table");
        const ULONG Copied = Section.VirtualSize != 0 && Section.VirtualSize < Section.SizeOfRawData
                                 ? Section.VirtualSize
                                 : Section.SizeOfRawData;
        File.RequireInFile(Section.PointerToRawData, Copied, "a section's raw data");
        if (Section.VirtualAddress > Layout.SizeOfImage || Copied > Layout.SizeOfImage - Section.VirtualAddress) {
            File.Fail("section at " + Hex(Section.VirtualAddress) + " reaches past SizeOfImage");
        }
        ImageSectionHeader Trimmed = Section;
        Trimmed.SizeOfRawData = Copied;
        Layout.Sections.push_back(Trimmed);
    }
    return Layout;
}

}  // namespace

MappedImage MapImageFile(const std::string& Path, ULONG_PTR At) {
    const ImageFile File(Path);
    const ImageLayout Layout = ReadLayout(File);
    UCHAR* Base = MapBetweenGuardPages(Layout.SizeOfImage, At);
    std::memcpy(Base, File.At(0), Layout.SizeOfHeaders);
    for (const ImageSectionHeader& Section : Layout.Sections) {
        std::memcpy(Base + Section.VirtualAddress, File.At(Section.PointerToRawData), Section.SizeOfRawData);
    }
    return MappedImage{(ULONG_PTR)Base, Layout.SizeOfImage};
}

MappedImage MapImageBytes(const std::vector<UCHAR>& Bytes, ULONG_PTR At) {
    if (Bytes.size() > 0xFFFFFFFFu) {
        throw std::invalid_argument("sim: an image larger than SizeOfImage can state");
    }
    UCHAR* Base = MapBetweenGuardPages(Bytes.size(), At);
    std::memcpy(Base, Bytes.data(), Bytes.size());
    return MappedImage{(ULONG_PTR)Base, (ULONG)Bytes.size()};
}

void UnmapImage(const MappedImage& Image) {
    UnmapRegion((void*)(Image.Base - PageSize));
}

}  // namespace sim
