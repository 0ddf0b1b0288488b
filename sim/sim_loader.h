// Control interface of the simulated kernel's image loader: the kernel's loaded-module list, PE images
// mapped into kernel space, image-load notifications and the kernel's string conversions.
#pragma once

#include <string>
#include <vector>

#include "sim_kernel.h"

// What PsRemoveLoadImageNotifyRoutine answers for a routine that is not registered; the driver itself
// never names it, so the platform header does not declare it.
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)

namespace sim {

// ----- The kernel's loaded-module list ---------------------------------------------------------------

// The list's bare head, as the kernel keeps it (PsLoadedModuleList); it lives in kernel space, followed by
// non-zero neighbours that read, at a loader entry's offsets, as a kernel-space image base, a non-zero size
// and two names in valid kernel memory that are not NUL-terminated. Reset() leaves the list empty.
PLIST_ENTRY LoadedModuleListHead();

// Appends a loader entry (KLDR_DATA_TABLE_ENTRY, x64 layout) for an image at Base of Size bytes. The
// entry and each of its two names start pages of their own in kernel-space memory, so that a test can
// change the state of one without touching the others; each name is NUL-terminated right after its
// counted characters. Returns the entry, which tests may then damage on purpose.
PKLDR_DATA_TABLE_ENTRY AddLoadedModule(const std::u16string& FullDllName, const std::u16string& BaseDllName,
                                       ULONG_PTR Base, ULONG SizeOfImage);

// Takes an entry out of the list as the kernel does when the module unloads. The kernel frees the entry
// and its names, so their pages become invalid: a stale pointer to them finds nothing.
void RemoveLoadedModule(PKLDR_DATA_TABLE_ENTRY Entry);

// ----- PE images -------------------------------------------------------------------------------------

struct MappedImage {
    ULONG_PTR Base;
    ULONG Size;  // SizeOfImage
};

// Maps a PE32+ file from disk as the kernel's loader would: headers and each section at its virtual
// address in fresh kernel-space pages, the rest of the image zero. A file that is not a readable PE32+
// image throws std::runtime_error naming the problem. Every image has an invalid guard page on either
// side, so that a read just outside it is a bug check rather than a read of whatever lies there.
// At, when not 0, is the page-aligned base the image must have.
MappedImage MapImageFile(const std::string& Path, ULONG_PTR At = 0);

// Maps raw bytes as an image, with no section layout (an offset in Bytes is the RVA), between the same
// guard pages: for synthetic images built by tests and the fuzzer. Size is the number of bytes.
MappedImage MapImageBytes(const std::vector<UCHAR>& Bytes, ULONG_PTR At = 0);

// Gives the image's pages, guard pages included, back.
void UnmapImage(const MappedImage& Image);

// ----- Image-load notifications ----------------------------------------------------------------------

// Reports an image load to every registered notify routine, on the calling thread at PASSIVE_LEVEL, as
// the kernel does after mapping an image. FullImageName and the IMAGE_INFO are passed in kernel-space
// memory that the kernel gives back when the routines have returned; the name is NUL-terminated.
// ProcessId 0 and SystemModeImage mean a kernel-mode driver.
void ReportImageLoad(const std::u16string& FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                     HANDLE ProcessId = nullptr, bool SystemModeImage = true);
// The same with a caller-built name, for names that are damaged on purpose.
void ReportImageLoadWithName(PUNICODE_STRING FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                             HANDLE ProcessId = nullptr, bool SystemModeImage = true);
// The same with every argument built by the caller, for an IMAGE_INFO that is damaged on purpose.
void DeliverImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

// Registrations live in a fixed array of slots, as in the kernel; this many fit.
constexpr size_t MaxImageNotifyRoutines = 8;

size_t RegisteredImageNotifyRoutines();
// The next PsSetLoadImageNotifyRoutine fails with STATUS_INSUFFICIENT_RESOURCES.
void FailNextImageNotifyRegistration();

// ----- String conversions ----------------------------------------------------------------------------

// The tag of the kernel's own string allocations; its bytes in memory read "Strg".
constexpr ULONG StringPoolTag = (ULONG)'S' | ((ULONG)'t' << 8) | ((ULONG)'r' << 16) | ((ULONG)'g' << 24);

// Fail the Nth RtlUnicodeStringToAnsiString from now (1 = the next) with Status; 0 cancels.
void FailStringConversion(size_t Nth, NTSTATUS Status = STATUS_NO_MEMORY);
// After the next RtlUnicodeStringToAnsiString that succeeds, the range takes State, as if its memory
// were paged out or unmapped under the caller right after the conversion had read it.
void ChangePageStateAfterNextConversion(const void* Address, size_t Length, PageState State);
// Converted strings the kernel allocated and the driver has not yet released with RtlFreeAnsiString.
size_t OutstandingAnsiStrings();

}  // namespace sim
