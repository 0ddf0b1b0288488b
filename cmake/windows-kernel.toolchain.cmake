# Cross toolchain for the real driver image: clang for the x64 Windows (mingw-w64) target, producing COFF
# objects that lld-link turns into a kernel-mode image. Used by the "driver" preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(HESTOLVANE_KERNEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${HESTOLVANE_KERNEL_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${HESTOLVANE_KERNEL_TRIPLE})

# There is no C runtime to link a test program against: the compiler checks build a static library only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Kernel-mode code generation. No hosted headers or runtime; no C++ exceptions or RTTI (the kernel has no
# support for either); unwind tables on every function, because exception dispatch and RtlVirtualUnwind
# need a RUNTIME_FUNCTION for every frame; no red zone, since interrupts run on the same stack; no stack
# protector or stack probes, whose helpers (__security_cookie, ___chkstk_ms) the kernel does not export;
# no thread-safe statics, whose guards would call into a C++ runtime. __try/__except needs -fms-extensions.
set(HESTOLVANE_KERNEL_FLAGS
    "-ffreestanding -nostdlibinc -fms-extensions -funwind-tables -mno-red-zone -fno-stack-protector \
-mno-stack-arg-probe")
set(CMAKE_C_FLAGS_INIT "${HESTOLVANE_KERNEL_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${HESTOLVANE_KERNEL_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics")
