// Cross-checks the layouts nt.h pins that mingw-w64's kernel headers do not declare (unwinding records,
// the debug directory, the loader's module record) against its Win32 headers, which share them.
#include <windows.h>
#include <winternl.h>

#include "layout_check.h"

_Static_assert(sizeof(void*) == 8, "the layouts below are the x64 ones");

CHECK_SIZE(RUNTIME_FUNCTION, 12);
CHECK_OFFSET(RUNTIME_FUNCTION, UnwindData, 8);
CHECK_SIZE(KNONVOLATILE_CONTEXT_POINTERS, 0x100);
CHECK_OFFSET(KNONVOLATILE_CONTEXT_POINTERS, IntegerContext, 0x80);
CHECK_VALUE(UNW_FLAG_NHANDLER, 0);
CHECK_VALUE(UNW_FLAG_EHANDLER, 1);
CHECK_VALUE(UNW_FLAG_UHANDLER, 2);

CHECK_SIZE(IMAGE_DEBUG_DIRECTORY, 28);
CHECK_OFFSET(IMAGE_DEBUG_DIRECTORY, Type, 0x0C);
CHECK_OFFSET(IMAGE_DEBUG_DIRECTORY, SizeOfData, 0x10);
CHECK_OFFSET(IMAGE_DEBUG_DIRECTORY, AddressOfRawData, 0x14);
CHECK_VALUE(IMAGE_DEBUG_TYPE_CODEVIEW, 2);

// The kernel's module record (KLDR_DATA_TABLE_ENTRY) is in neither header set. The process loader's record
// differs from it in the links at 0x10-0x2F but keeps the module fields at the same offsets; mingw-w64 names
// only two of them, so SizeOfImage (0x40) and BaseDllName (0x58) stay unchecked.
CHECK_OFFSET(LDR_DATA_TABLE_ENTRY, DllBase, 0x30);
CHECK_OFFSET(LDR_DATA_TABLE_ENTRY, FullDllName, 0x48);
