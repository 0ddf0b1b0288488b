// Images in the simulated kernel: raw bytes and PE files mapped between guard pages, the files the loader
// refuses, and the synthetic images the builder makes.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "kernel_test.h"
#include "sim_loader.h"
#include "sim_pe_builder.h"

namespace {

class PeImage : public KernelTest {};

// A file that lives as long as the test.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::vector<UCHAR>& Bytes) {
        char Name[] = "/tmp/hestolvane-image-XXXXXX";
        const int Descriptor = mkstemp(Name);
        Path = Name;
        std::ofstream(Path, std::ios::binary).write((const char*)Bytes.data(), (std::streamsize)Bytes.size());
        close(Descriptor);
    }
    ~TemporaryFile() { std::remove(Path.c_str()); }

    std::string Path;
};

template <typename Value>
Value ReadAt(ULONG_PTR Address) {
    Value Read;
    std::memcpy(&Read, (const void*)Address, sizeof(Read));
    return Read;
}

// MapImageFile's complaint about a file, or "" if it mapped.
std::string MapFailure(const std::vector<UCHAR>& Bytes) {
    TemporaryFile File(Bytes);
    try {
        sim::MapImageFile(File.Path);
    } catch (const std::runtime_error& Error) {
        return Error.what();
    }
    return "";
}

void Patch16(std::vector<UCHAR>& Bytes, size_t Offset, USHORT Value) {
    std::memcpy(Bytes.data() + Offset, &Value, sizeof(Value));
}

void Patch32(std::vector<UCHAR>& Bytes, size_t Offset, ULONG Value) {
    std::memcpy(Bytes.data() + Offset, &Value, sizeof(Value));
}

TEST_F(PeImage, BytesLieAtTheirOffsetsInKernelSpace) {
    const std::vector<UCHAR> Bytes = {'M', 'Z', 0x90, 0x00, 0x03};
    sim::MappedImage Image = sim::MapImageBytes(Bytes);

    EXPECT_EQ(5u, Image.Size);
    EXPECT_EQ(0u, Image.Base % sim::PageSize);
    EXPECT_EQ(0, std::memcmp((const void*)Image.Base, "MZ\x90\x00\x03", 5));
    EXPECT_EQ(0, ReadAt<UCHAR>(Image.Base + 5));
    EXPECT_EQ(0, ReadAt<UCHAR>(Image.Base + 0xFFF));
    EXPECT_TRUE(IsKernelSpaceAddress((PVOID)Image.Base));
}

TEST_F(PeImage, ImageLiesBetweenTwoInvalidGuardPages) {
    // [guard] [image 0-1FFF] [guard]
    sim::MappedImage Image = sim::MapImageBytes(std::vector<UCHAR>(0x1800, 0xAB));

    EXPECT_FALSE(MmIsAddressValid((PVOID)(Image.Base - 1)));
    EXPECT_TRUE(MmIsAddressValid((PVOID)Image.Base));
    EXPECT_TRUE(MmIsAddressValid((PVOID)(Image.Base + 0x1FFF)));
    EXPECT_FALSE(MmIsAddressValid((PVOID)(Image.Base + 0x2000)));
    EXPECT_FALSE(MmIsAddressValid((PVOID)(Image.Base + 0x2FFF)));
}

TEST_F(PeImage, ImageMapsAtTheBaseAskedFor) {
    sim::MappedImage Image = sim::MapImageBytes(std::vector<UCHAR>(0x10, 1), 0x00006E0000010000);
    EXPECT_EQ(0x00006E0000010000u, Image.Base);
    EXPECT_EQ(1, ReadAt<UCHAR>(0x00006E000001000F));
}

TEST_F(PeImage, UnmappedImageIsGone) {
    sim::MappedImage Image = sim::MapImageBytes(std::vector<UCHAR>(0x10, 1), 0x00006E0000010000);
    sim::UnmapImage(Image);
    EXPECT_FALSE(sim::IsDeclared((PVOID)0x00006E0000010000));
    EXPECT_FALSE(sim::IsDeclared((PVOID)0x00006E000000F000));
}

TEST_F(PeImage, FileSectionIsLaidOutAtItsVirtualAddress) {
    const std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    TemporaryFile OnDisk(File);

    sim::MappedImage Image = sim::MapImageFile(OnDisk.Path);

    EXPECT_EQ(0x3000u, Image.Size);
    EXPECT_EQ(IMAGE_DOS_SIGNATURE, ReadAt<USHORT>(Image.Base));
    EXPECT_EQ(0x80, ReadAt<LONG>(Image.Base + 0x3C));
    EXPECT_EQ(IMAGE_NT_SIGNATURE, ReadAt<ULONG>(Image.Base + 0x80));
    // The debug directory's CodeView entry at 0x1000 (file offset 0x400), its record at 0x1040.
    EXPECT_EQ(IMAGE_DEBUG_TYPE_CODEVIEW, ReadAt<ULONG>(Image.Base + 0x100C));
    EXPECT_EQ(0x1040u, ReadAt<ULONG>(Image.Base + 0x1014));
    EXPECT_EQ(0x440u, ReadAt<ULONG>(Image.Base + 0x1018));
    EXPECT_EQ(0, std::memcmp((const void*)(Image.Base + 0x1040), "RSDS", 4));
    EXPECT_STREQ("probe.pdb", (const char*)(Image.Base + 0x1058));
    // Between the headers and the section the image holds zeros, not the file's section bytes.
    EXPECT_EQ(0u, ReadAt<ULONG>(Image.Base + 0x400));
    EXPECT_EQ(0u, ReadAt<ULONG>(Image.Base + 0xFFC));
}

TEST_F(PeImage, FileMapsToTheBuildersMemoryForm) {
    sim::PeImageBuilder Builder;
    Builder.CodeViewAt(0x2100).PdbPath("c:\\symbols\\probe.pdb").SizeOfImage(0x4000);
    TemporaryFile OnDisk(Builder.BuildFile());

    sim::MappedImage Image = sim::MapImageFile(OnDisk.Path);

    const std::vector<UCHAR> Memory = Builder.Build();
    ASSERT_EQ(Memory.size(), Image.Size);
    EXPECT_EQ(0, std::memcmp(Memory.data(), (const void*)Image.Base, Memory.size()));
}

TEST_F(PeImage, MissingFileIsRefused) {
    EXPECT_THROW(sim::MapImageFile("/nonexistent/probe.sys"), std::runtime_error);
}

TEST_F(PeImage, FileWithoutMzIsRefused) {
    std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    Patch16(File, 0, 0x4D5A);
    EXPECT_NE(std::string::npos, MapFailure(File).find(": no MZ signature"));
}

TEST_F(PeImage, Pe32FileIsRefused) {
    std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    Patch16(File, 0x80 + 24, 0x10B);
    EXPECT_NE(std::string::npos, MapFailure(File).find("optional header magic 0x10B: not a PE32+ image"));
}

TEST_F(PeImage, FileForAnotherMachineIsRefused) {
    std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    Patch16(File, 0x80 + 4, 0xAA64);
    EXPECT_NE(std::string::npos, MapFailure(File).find("machine 0xAA64 is not AMD64"));
}

TEST_F(PeImage, SectionPastSizeOfImageIsRefused) {
    std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    // SizeOfImage in the optional header: the section's 0x2000 bytes at 0x1000 no longer fit.
    Patch32(File, 0x80 + 24 + 56, 0x2000);
    EXPECT_NE(std::string::npos, MapFailure(File).find("section at 0x1000 reaches past SizeOfImage"));
}

TEST_F(PeImage, TruncatedFileIsRefused) {
    std::vector<UCHAR> File = sim::PeImageBuilder().BuildFile();
    File.resize(0x800);
    EXPECT_NE(std::string::npos, MapFailure(File).find("a section's raw data lies beyond the end of the file"));
}

TEST_F(PeImage, BuilderRefusesPartsThatOverlap) {
    sim::PeImageBuilder Builder;
    Builder.CodeViewAt(0x1010);
    EXPECT_THROW(Builder.Build(), std::invalid_argument);
}

TEST_F(PeImage, BuilderWithoutDebugDirectoryLeavesItsFieldsZero) {
    const std::vector<UCHAR> Image = sim::PeImageBuilder().DebugDirectoryAt(0).Build();
    // DataDirectory[6] of the NT headers at 0x80.
    ULONG Directory[2];
    std::memcpy(Directory, Image.data() + 0x80 + 24 + 112 + 6 * 8, sizeof(Directory));
    EXPECT_EQ(0u, Directory[0]);
    EXPECT_EQ(0u, Directory[1]);
    EXPECT_EQ(0, Image[0x100C]);
}

TEST_F(PeImage, BuilderLeavesOutWhatLiesPastTheImage) {
    const std::vector<UCHAR> Image =
        sim::PeImageBuilder().CodeViewAt(0x2FF0).PdbPath("abcdefghijklmnop").Build();
    ASSERT_EQ(0x3000u, Image.size());
    EXPECT_EQ(0, std::memcmp(Image.data() + 0x2FF0, "RSDS", 4));
}

TEST_F(PeImage, BuilderFileHasNoRoomBetweenHeadersAndSection) {
    sim::PeImageBuilder Builder;
    Builder.CodeViewAt(0x800);
    EXPECT_THROW(Builder.BuildFile(), std::invalid_argument);
}

using PeImageDeathTest = PeImage;

TEST_F(PeImageDeathTest, TouchingTheGuardPastTheImageStops) {
    sim::MappedImage Image = sim::MapImageBytes(std::vector<UCHAR>(0x1000, 0), 0x00006E0000010000);
    EXPECT_DEATH(*(volatile UCHAR*)(Image.Base + 0x1000),
                 "STOP 0x00000050 PAGE_FAULT_IN_NONPAGED_AREA reading 0x00006E0000011000");
}

}  // namespace
