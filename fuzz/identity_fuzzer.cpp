// libFuzzer target for GetModulePdbInfo: arbitrary bytes mapped as an image in the simulated kernel, some of
// its pages invalid or faulting, and the outcome checked against an independent model of the reader's rules.
//
// Input: 4 bytes of page states, 2 bits for each of the image's first 16 pages (0 and 1 valid, 2 invalid,
// 3 faulting; later pages valid), then the image's bytes.
#include <sys/mman.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hestolvane.h"
#include "sim_kernel.h"
#include "sim_loader.h"

namespace {

constexpr size_t PageStateBytes = 4;
constexpr size_t StatedPages = PageStateBytes * 4;

// The image lies in the middle of a reserved window that nothing else may use: every offset the reader
// can form from the image's 32-bit fields (e_lfanew signed, RVAs unsigned) lands in the window, where an
// address is either the image, one of its invalid guard pages, or reserved memory that is not readable.
// MmIsAddressValid answers FALSE for the last, and a read of it without asking faults, which the model
// below never expects: an unasked read outside the image shows up as an unexplained exception.
constexpr size_t WindowBefore = 3ull << 30;
constexpr size_t WindowSize = 8ull << 30;

UCHAR* Window = nullptr;

[[noreturn]] void Fail(const std::string& What) {
    std::fprintf(stderr, "identity_fuzzer: %s\n", What.c_str());
    std::abort();
}

ULONG_PTR ImageBase() {
    return (ULONG_PTR)(Window + WindowBefore);
}

size_t RegionBytes(size_t ImageBytes) {
    return ((ImageBytes + sim::PageSize - 1) / sim::PageSize + 2) * sim::PageSize;
}

// Gives the image's place in the window to the simulated kernel, and takes it back afterwards.
void OpenHole(size_t ImageBytes) {
    if (munmap(Window + WindowBefore - sim::PageSize, RegionBytes(ImageBytes)) != 0) {
        Fail("cannot open the image's place in the window");
    }
}

void CloseHole(size_t ImageBytes) {
    void* Reserved = mmap(Window + WindowBefore - sim::PageSize, RegionBytes(ImageBytes), PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    if (Reserved == MAP_FAILED) {
        Fail("cannot reserve the image's place again");
    }
}

sim::PageState StateOf(const uint8_t* States, size_t Page) {
    if (Page >= StatedPages) {
        return sim::PageState::Valid;
    }
    switch ((States[Page / 4] >> ((Page % 4) * 2)) & 3) {
    case 2:
        return sim::PageState::Invalid;
    case 3:
        return sim::PageState::Faulting;
    default:
        return sim::PageState::Valid;
    }
}

// ----- The model -------------------------------------------------------------------------------------

enum class Outcome { Identity, NoIdentity, Exception };

struct Prediction {
    Outcome Result = Outcome::NoIdentity;
    std::string Message;
    UCHAR Guid[16] = {};
    std::string Path;
};

struct FaultInModel {};

// The image as the reader sees it: offsets from its base, pages with states, zeros past the input's end up
// to the end of its last page, nothing valid outside.
class ModelImage {
public:
    ModelImage(const std::vector<UCHAR>& Bytes, const uint8_t* States) : Bytes(Bytes), States(States) {
        Pages = (Bytes.size() + sim::PageSize - 1) / sim::PageSize;
    }

    bool Valid(int64_t Offset) const {
        return InImage(Offset) && StateOf(States, (size_t)Offset / sim::PageSize) != sim::PageState::Invalid;
    }

    bool RangeValid(int64_t Offset, int64_t Length) const { return Valid(Offset) && Valid(Offset + Length - 1); }

    // A read of the range, which raises if it touches a faulting page. The rules never read where they
    // have not checked, so a read outside the image or of an invalid page is a bug in the model itself.
    template <typename Value>
    Value Read(int64_t Offset) const {
        Value Result;
        UCHAR* Out = (UCHAR*)&Result;
        for (int64_t Index = 0; Index < (int64_t)sizeof(Value); Index++) {
            Out[Index] = Byte(Offset + Index);
        }
        return Result;
    }

    UCHAR Byte(int64_t Offset) const {
        if (!Valid(Offset)) {
            Fail("the model read an address it had not checked");
        }
        if (StateOf(States, (size_t)Offset / sim::PageSize) == sim::PageState::Faulting) {
            throw FaultInModel();
        }
        return (size_t)Offset < Bytes.size() ? Bytes[(size_t)Offset] : 0;
    }

private:
    bool InImage(int64_t Offset) const { return Offset >= 0 && (uint64_t)Offset < Pages * sim::PageSize; }

    const std::vector<UCHAR>& Bytes;
    const uint8_t* States;
    size_t Pages;
};

// The identity read as its rules state it, step by step.
Prediction PredictSteps(const ModelImage& Image) {
    Prediction Predicted;
    if (!Image.RangeValid(0, 2) || Image.Read<USHORT>(0) != IMAGE_DOS_SIGNATURE) {
        return Predicted;
    }
    if (!Image.RangeValid(0x3C, 4)) {
        return Predicted;
    }
    const int64_t Nt = Image.Read<LONG>(0x3C);
    if (!Image.RangeValid(Nt, sizeof(IMAGE_NT_HEADERS64))) {
        return Predicted;
    }
    const auto Headers = Image.Read<IMAGE_NT_HEADERS64>(Nt);
    if (Headers.Signature != IMAGE_NT_SIGNATURE || Headers.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 ||
        Headers.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return Predicted;
    }
    const int64_t Entry = Headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG].VirtualAddress;
    if (!Image.Valid(Entry) || !Image.RangeValid(Entry + 0x0C, 4)) {
        return Predicted;
    }
    const ULONG Type = Image.Read<ULONG>(Entry + 0x0C);
    if (Type != IMAGE_DEBUG_TYPE_CODEVIEW) {
        Predicted.Message = "debug_dir.Type check failed: " + std::to_string((int)Type) + "\n";
        return Predicted;
    }
    if (!Image.RangeValid(Entry + 0x14, 4)) {
        return Predicted;
    }
    const int64_t CodeView = Image.Read<ULONG>(Entry + 0x14);
    if (!Image.RangeValid(CodeView, 4) || Image.Read<ULONG>(CodeView) != 0x53445352) {
        return Predicted;
    }
    if (!Image.RangeValid(CodeView + 4, 16)) {
        return Predicted;
    }
    Prediction Found;
    for (int64_t Index = 0; Index < 16; Index++) {
        Found.Guid[Index] = Image.Byte(CodeView + 4 + Index);
    }
    for (int64_t Index = 0; Index < (int64_t)PdbNameSize - 1; Index++) {
        const int64_t At = CodeView + 24 + Index;
        if ((Index == 0 || At % (int64_t)sim::PageSize == 0) && !Image.Valid(At)) {
            return Predicted;
        }
        const char Character = (char)Image.Byte(At);
        if (Character == '\0') {
            break;
        }
        Found.Path += Character;
    }
    Found.Result = Outcome::Identity;
    return Found;
}

Prediction Predict(const ModelImage& Image) {
    try {
        return PredictSteps(Image);
    } catch (const FaultInModel&) {
        Prediction Faulted;
        Faulted.Result = Outcome::Exception;
        Faulted.Message = "GetModulePdbInfo except. \r\n";
        return Faulted;
    }
}

// ----- The check -------------------------------------------------------------------------------------

void Compare(const Prediction& Predicted, ULONG Result, const ModuleInfo& Record) {
    const std::vector<std::string>& Messages = sim::DebuggerMessages();
    const std::vector<std::string> Expected =
        Predicted.Message.empty() ? std::vector<std::string>() : std::vector<std::string>{Predicted.Message};
    if (Messages != Expected) {
        Fail("debugger messages differ: got " + std::to_string(Messages.size()) + ", first \"" +
             (Messages.empty() ? std::string() : Messages[0]) + "\"; expected \"" + Predicted.Message + "\"");
    }
    const bool Found = Predicted.Result == Outcome::Identity;
    if (Result != (Found ? 0u : 1u)) {
        Fail("result " + std::to_string(Result) + " where the model expects " + (Found ? "0" : "1"));
    }
    if (std::memcmp(&Record.PdbGuid, Predicted.Guid, sizeof(Predicted.Guid)) != 0) {
        Fail("PdbGuid differs from the model's");
    }
    if (Record.PdbName[PdbNameSize - 1] != '\0' || Predicted.Path != Record.PdbName) {
        Fail("PdbName \"" + std::string(Record.PdbName, strnlen(Record.PdbName, PdbNameSize)) +
             "\" where the model expects \"" + Predicted.Path + "\"");
    }
    for (size_t Index = Predicted.Path.size(); Index < PdbNameSize; Index++) {
        if (Record.PdbName[Index] != '\0') {
            Fail("PdbName has bytes after its end");
        }
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* Data, size_t Size, size_t MaxSize);

// The page states are 4 bytes of an input that is mostly image, where byte-wise mutations would seldom
// land; a quarter of the mutations set one page's state instead.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* Data, size_t Size, size_t MaxSize, unsigned int Seed) {
    std::minstd_rand Random(Seed);
    if (Size > PageStateBytes && Random() % 4 == 0) {
        const unsigned Page = (unsigned)(Random() % StatedPages);
        const unsigned Shift = (Page % 4) * 2;
        const unsigned State = (unsigned)(Random() % 4);
        Data[Page / 4] = (uint8_t)((Data[Page / 4] & ~(3u << Shift)) | (State << Shift));
        return Size;
    }
    return LLVMFuzzerMutate(Data, Size, MaxSize);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    void* Reserved = mmap(nullptr, WindowSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Reserved == MAP_FAILED) {
        Fail("cannot reserve the address-space window");
    }
    Window = (UCHAR*)Reserved;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size <= PageStateBytes) {
        return 0;
    }
    const uint8_t* States = Data;
    const std::vector<UCHAR> Bytes(Data + PageStateBytes, Data + Size);

    sim::Reset();
    sim::ReloadDriverData();
    OpenHole(Bytes.size());
    const sim::MappedImage Image = sim::MapImageBytes(Bytes, ImageBase());
    for (size_t Page = 0; Page * sim::PageSize < Bytes.size(); Page++) {
        sim::SetPageState((PVOID)(Image.Base + Page * sim::PageSize), sim::PageSize, StateOf(States, Page));
    }

    ModuleInfo Record;
    std::memset(&Record, 0, sizeof(Record));
    Record.ImageStart = (PVOID)Image.Base;
    const ULONG Result = GetModulePdbInfo(&Record);

    Compare(Predict(ModelImage(Bytes, States)), Result, Record);
    if (!sim::OutstandingPool().empty()) {
        Fail("the identity read left pool allocated");
    }
    sim::UnmapImage(Image);
    CloseHole(Bytes.size());
    return 0;
}
