// Assertion helpers for the layout cross-checks: mingw-w64's own declarations must give the x64 sizes and
// offsets that drv/platform/nt.h pins for the driver's hand-written declarations.
#pragma once

#define CHECK_SIZE(type, size) _Static_assert(sizeof(type) == (size), "sizeof(" #type ") != " #size)
#define CHECK_OFFSET(type, member, offset) \
    _Static_assert(__builtin_offsetof(type, member) == (offset), "offsetof(" #type ", " #member ") != " #offset)
#define CHECK_VALUE(name, value) _Static_assert((name) == (value), #name " != " #value)
