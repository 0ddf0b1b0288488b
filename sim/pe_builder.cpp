// Synthetic x64 images: the headers a linker writes for a small native image with one read-only data
// section holding its debug directory and CodeView record, each part where the builder was told to put it.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "pe_layout.h"
#include "sim_pe_builder.h"

namespace sim {
namespace {

constexpr ULONG FileAlignment = 0x200;
constexpr ULONG64 PreferredImageBase = 0x140000000;
constexpr ULONG LinkTime = 0x6B000000;
constexpr USHORT NativeSubsystem = 1;
constexpr USHORT ExecutableLargeAddressAware = 0x0022;
constexpr USHORT DynamicBaseNxHighEntropy = 0x0160;

// One contiguous part of the image, at an offset that may lie partly or wholly outside it.
struct Part {
    const char* Name;
    LONG64 Offset;
    std::vector<UCHAR> Bytes;
};

template <typename Record>
void Append(std::vector<UCHAR>& Bytes, const Record& Value) {
    const auto* First = (const UCHAR*)&Value;
    Bytes.insert(Bytes.end(), First, First + sizeof(Record));
}

ULONG RoundUp(ULONG Value, ULONG Alignment) {
    return (Value + Alignment - 1) / Alignment * Alignment;
}

// Where the file form keeps a byte that the memory form has at Rva.
ULONG FileOffsetOf(ULONG Rva) {
    return Rva >= PeImageBuilder::SectionStart ? Rva - PeImageBuilder::SectionStart + PeImageBuilder::SizeOfHeaders
                                               : Rva;
}

// The values a linker leaves in an ordinary DOS header ahead of a PE image.
IMAGE_DOS_HEADER DosHeader(USHORT Magic, LONG Lfanew) {
    IMAGE_DOS_HEADER Header;
    std::memset(&Header, 0, sizeof(Header));
    Header.e_magic = Magic;
    Header.e_cblp = 0x90;
    Header.e_cp = 3;
    Header.e_cparhdr = 4;
    Header.e_maxalloc = 0xFFFF;
    Header.e_sp = 0xB8;
    Header.e_lfarlc = 0x40;
    Header.e_lfanew = Lfanew;
    return Header;
}

ImageSectionHeader DataSection(ULONG SizeOfImage) {
    ImageSectionHeader Section;
    std::memset(&Section, 0, sizeof(Section));
    std::memcpy(Section.Name, ".rdata", 6);
    Section.VirtualSize = SizeOfImage - PeImageBuilder::SectionStart;
    Section.VirtualAddress = PeImageBuilder::SectionStart;
    Section.SizeOfRawData = RoundUp(Section.VirtualSize, FileAlignment);
    Section.PointerToRawData = PeImageBuilder::SizeOfHeaders;
    Section.Characteristics = SectionContainsInitializedData | SectionMemoryRead;
    return Section;
}

// Parts are clipped to the image, then checked pairwise in address order.
void WriteParts(std::vector<UCHAR>& Image, const std::vector<Part>& Parts) {
    struct Placed {
        const char* Name;
        size_t Start;
        size_t End;
    };
    std::vector<Placed> Written;
    const LONG64 Size = (LONG64)Image.size();
    for (const Part& Piece : Parts) {
        const LONG64 Start = std::max<LONG64>(Piece.Offset, 0);
        const LONG64 End = std::min<LONG64>(Piece.Offset + (LONG64)Piece.Bytes.size(), Size);
        if (Start >= End) {
            continue;
        }
        std::memcpy(Image.data() + Start, Piece.Bytes.data() + (Start - Piece.Offset), (size_t)(End - Start));
        Written.push_back(Placed{Piece.Name, (size_t)Start, (size_t)End});
    }
    std::sort(Written.begin(), Written.end(), [](const Placed& A, const Placed& B) { return A.Start < B.Start; });
    for (size_t Index = 1; Index < Written.size(); Index++) {
        if (Written[Index].Start < Written[Index - 1].End) {
            throw std::invalid_argument(std::string("sim: PE builder: ") + Written[Index - 1].Name + " and " +
                                        Written[Index].Name + " overlap");
        }
    }
}

}  // namespace

PeImageBuilder& PeImageBuilder::DosMagic(USHORT Value) {
    DosMagicValue = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::NtHeadersAt(LONG Value) {
    Lfanew = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::NtSignature(ULONG Value) {
    NtSignatureValue = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::Machine(USHORT Value) {
    MachineValue = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::OptionalHeaderMagic(USHORT Value) {
    OptionalMagicValue = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::DebugDirectoryAt(ULONG Rva) {
    DebugDirectory = Rva;
    return *this;
}

PeImageBuilder& PeImageBuilder::DebugEntryBeforeCodeView(ULONG Type, ULONG AddressOfRawData) {
    EntriesBeforeCodeView.push_back(DebugEntry{Type, AddressOfRawData, 0});
    return *this;
}

PeImageBuilder& PeImageBuilder::CodeViewAt(ULONG Rva) {
    CodeView = Rva;
    return *this;
}

PeImageBuilder& PeImageBuilder::CodeViewSignature(ULONG Value) {
    CodeViewSignatureValue = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::Guid(const std::array<UCHAR, 16>& Bytes) {
    GuidBytes = Bytes;
    return *this;
}

PeImageBuilder& PeImageBuilder::PdbPath(const std::string& Value) {
    Path = Value;
    return *this;
}

PeImageBuilder& PeImageBuilder::SizeOfImage(ULONG Value) {
    Size = Value;
    return *this;
}

std::vector<PeImageBuilder::DebugEntry> PeImageBuilder::DebugEntries() const {
    std::vector<DebugEntry> Entries = EntriesBeforeCodeView;
    Entries.push_back(DebugEntry{IMAGE_DEBUG_TYPE_CODEVIEW, CodeView,
                                 (ULONG)(sizeof(CodeViewRsdsHeader) + Path.size() + 1)});
    return Entries;
}

std::vector<UCHAR> PeImageBuilder::Build() const {
    const bool HasSection = Size > SectionStart;
    const std::vector<DebugEntry> Entries = DebugEntries();

    IMAGE_NT_HEADERS64 Headers;
    std::memset(&Headers, 0, sizeof(Headers));
    Headers.Signature = NtSignatureValue;
    Headers.FileHeader.Machine = MachineValue;
    Headers.FileHeader.NumberOfSections = HasSection ? 1 : 0;
    Headers.FileHeader.TimeDateStamp = LinkTime;
    Headers.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
    Headers.FileHeader.Characteristics = ExecutableLargeAddressAware;
    IMAGE_OPTIONAL_HEADER64& Optional = Headers.OptionalHeader;
    Optional.Magic = OptionalMagicValue;
    Optional.MajorLinkerVersion = 14;
    Optional.SizeOfInitializedData = HasSection ? DataSection(Size).SizeOfRawData : 0;
    Optional.BaseOfCode = SectionStart;
    Optional.ImageBase = PreferredImageBase;
    Optional.SectionAlignment = (ULONG)PageSize;
    Optional.FileAlignment = FileAlignment;
    Optional.MajorOperatingSystemVersion = 10;
    Optional.MajorSubsystemVersion = 10;
    Optional.SizeOfImage = Size;
    Optional.SizeOfHeaders = SizeOfHeaders;
    Optional.Subsystem = NativeSubsystem;
    Optional.DllCharacteristics = DynamicBaseNxHighEntropy;
    Optional.SizeOfStackReserve = 0x40000;
    Optional.SizeOfStackCommit = 0x1000;
    Optional.SizeOfHeapReserve = 0x100000;
    Optional.SizeOfHeapCommit = 0x1000;
    Optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    Optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG].VirtualAddress = DebugDirectory;
    Optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG].Size =
        DebugDirectory == 0 ? 0 : (ULONG)(Entries.size() * sizeof(IMAGE_DEBUG_DIRECTORY));

    std::vector<Part> Parts;
    Parts.push_back(Part{"the DOS header", 0, {}});
    Append(Parts.back().Bytes, DosHeader(DosMagicValue, Lfanew));
    Parts.push_back(Part{"the NT headers", Lfanew, {}});
    Append(Parts.back().Bytes, Headers);
    if (HasSection) {
        Append(Parts.back().Bytes, DataSection(Size));
    }
    if (DebugDirectory != 0) {
        Parts.push_back(Part{"the debug directory", DebugDirectory, {}});
        for (const DebugEntry& Entry : Entries) {
            IMAGE_DEBUG_DIRECTORY Record;
            std::memset(&Record, 0, sizeof(Record));
            Record.TimeDateStamp = LinkTime;
            Record.Type = Entry.Type;
            Record.SizeOfData = Entry.SizeOfData;
            Record.AddressOfRawData = Entry.AddressOfRawData;
            Record.PointerToRawData = FileOffsetOf(Entry.AddressOfRawData);
            Append(Parts.back().Bytes, Record);
        }
    }
    CodeViewRsdsHeader Record;
    Record.Signature = CodeViewSignatureValue;
    std::memcpy(Record.Guid, GuidBytes.data(), GuidBytes.size());
    Record.Age = 1;
    Parts.push_back(Part{"the CodeView record", CodeView, {}});
    Append(Parts.back().Bytes, Record);
    Parts.back().Bytes.insert(Parts.back().Bytes.end(), Path.begin(), Path.end());
    Parts.back().Bytes.push_back('\0');

    std::vector<UCHAR> Image(Size, 0);
    WriteParts(Image, Parts);
    return Image;
}

std::vector<UCHAR> PeImageBuilder::BuildFile() const {
    if (Size <= SectionStart) {
        throw std::invalid_argument("sim: PE builder: a file needs an image with a section");
    }
    const std::vector<UCHAR> Image = Build();
    if (std::any_of(Image.begin() + SizeOfHeaders, Image.begin() + SectionStart, [](UCHAR Byte) { return Byte != 0; })) {
        throw std::invalid_argument("sim: PE builder: a part lies between the headers and the section");
    }
    const ImageSectionHeader Section = DataSection(Size);
    std::vector<UCHAR> File(SizeOfHeaders + Section.SizeOfRawData, 0);
    std::copy(Image.begin(), Image.begin() + SizeOfHeaders, File.begin());
    std::copy(Image.begin() + SectionStart, Image.end(), File.begin() + SizeOfHeaders);
    return File;
}

}  // namespace sim
