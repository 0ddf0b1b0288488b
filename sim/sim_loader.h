// Control interface of the simulated kernel's image loader: the kernel's loaded-module list, PE images
// mapped into kernel space, image-load notifications and the kernel's string conversions.
#pragma once

#include <string>
#include <vector>

#include "sim_kernel.h"

namespace sim {

// ----- The kernel's loaded-module list ---------------------------------------------------------------

// The list's bare head, as the kernel keeps it (PsLoadedModuleList); it lives in kernel space. Reset()
// leaves the list empty.
PLIST_ENTRY LoadedModuleListHead();

// Appends a loader entry (KLDR_DATA_TABLE_ENTRY, x64 layout, in kernel-space memory of its own, with its
// two names in kernel-space buffers, each NUL-terminated right after its counted characters) for an
// image at Base of Size bytes. Returns the entry, which tests may then damage on purpose.
PKLDR_DATA_TABLE_ENTRY AddLoadedModule(const std::u16string& FullDllName, const std::u16string& BaseDllName,
                                       ULONG_PTR Base, ULONG SizeOfImage);

// ----- PE images -------------------------------------------------------------------------------------

struct MappedImage {
    ULONG_PTR Base;
    ULONG Size;  // SizeOfImage
};

// Maps a PE file from disk as the kernel's loader would: headers and each section at its virtual address
// in fresh kernel-space pages, the rest of the image zero. Stops the process with a message if the file
// is not a readable PE32+ image.
MappedImage MapImageFile(const std::string& Path);

// Maps raw bytes as an image (no section layout): for synthetic images built by tests and the fuzzer.
MappedImage MapImageBytes(const std::vector<UCHAR>& Bytes);

// ----- Image-load notifications ----------------------------------------------------------------------

// Reports an image load to every registered notify routine, on the calling thread at PASSIVE_LEVEL, as
// the kernel does after mapping an image. FullImageName is passed in a kernel-space UNICODE_STRING whose
// buffer is NUL-terminated; ProcessId 0 and SystemModeImage mean a kernel-mode driver.
void ReportImageLoad(const std::u16string& FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                     HANDLE ProcessId = nullptr, bool SystemModeImage = true);
// The same with a caller-built name, for names that are damaged on purpose.
void ReportImageLoadWithName(PUNICODE_STRING FullImageName, ULONG_PTR ImageBase, SIZE_T ImageSize,
                             HANDLE ProcessId = nullptr, bool SystemModeImage = true);

size_t RegisteredImageNotifyRoutines();
// The next PsSetLoadImageNotifyRoutine fails with STATUS_INSUFFICIENT_RESOURCES.
void FailNextImageNotifyRegistration();

// ----- String conversions ----------------------------------------------------------------------------

// Fail the Nth RtlUnicodeStringToAnsiString from now (1 = the next) with STATUS_NO_MEMORY; 0 cancels.
void FailStringConversion(size_t Nth);
// Converted strings the kernel allocated and the driver has not yet released with RtlFreeAnsiString.
size_t OutstandingAnsiStrings();

}  // namespace sim
