# Driver build: cross-compiles drv/ into the real kernel image HesTolvaneDrv.sys (clang, llvm-rc, lld-link,
# osslsigncode) and checks the objects, the structure layouts and the finished image.
# Build and check: cmake --preset driver && cmake --build --preset driver && ctest --preset driver
if(NOT CMAKE_CXX_COMPILER_TARGET MATCHES "mingw32")
  message(FATAL_ERROR "The driver build cross-compiles: configure it with the driver preset "
                      "(cmake/windows-kernel.toolchain.cmake).")
endif()

enable_testing()

find_program(HESTOLVANE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(HESTOLVANE_LLVM_RC NAMES llvm-rc llvm-rc-14 REQUIRED)
find_program(HESTOLVANE_LLVM_NM NAMES llvm-nm llvm-nm-14 REQUIRED)
find_program(HESTOLVANE_LLVM_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)
find_program(HESTOLVANE_LLVM_PDBUTIL NAMES llvm-pdbutil llvm-pdbutil-14 REQUIRED)
find_program(HESTOLVANE_OSSLSIGNCODE NAMES osslsigncode REQUIRED)
find_program(HESTOLVANE_OPENSSL NAMES openssl REQUIRED)

# The system interpreter carries python3-pefile; an interpreter earlier on PATH (pyenv, venv) may not.
set(HESTOLVANE_PYTHON /usr/bin/python3 CACHE FILEPATH "Python 3 interpreter with the pefile module")
execute_process(COMMAND ${HESTOLVANE_PYTHON} -c "import pefile" RESULT_VARIABLE HESTOLVANE_PEFILE_MISSING
                OUTPUT_QUIET ERROR_QUIET)
if(HESTOLVANE_PEFILE_MISSING)
  message(FATAL_ERROR "${HESTOLVANE_PYTHON} cannot import pefile: install python3-pefile or set HESTOLVANE_PYTHON")
endif()

set(HESTOLVANE_MINGW_ROOT /usr/x86_64-w64-mingw32 CACHE PATH
    "mingw-w64 root: lib/libntoskrnl.a to link against, include/ for winver.h and the layout cross-checks")
set(HESTOLVANE_NTOSKRNL_LIB ${HESTOLVANE_MINGW_ROOT}/lib/libntoskrnl.a)
set(HESTOLVANE_MINGW_INCLUDE ${HESTOLVANE_MINGW_ROOT}/include)
if(NOT EXISTS ${HESTOLVANE_NTOSKRNL_LIB} OR NOT EXISTS ${HESTOLVANE_MINGW_INCLUDE}/ddk/ntddk.h)
  message(FATAL_ERROR "mingw-w64 not found under ${HESTOLVANE_MINGW_ROOT}: install mingw-w64 or set "
                      "HESTOLVANE_MINGW_ROOT")
endif()

# What drv/HesTolvaneDrv.rc declares; the image check holds the linked image to it.
set(HESTOLVANE_DRIVER_VERSION 1.0.0.3)

# The driver's own code. -Werror makes every ignored placement request (a pragma or attribute clang does
# not honour, such as #pragma alloc_text) an error rather than code silently left in the wrong section; the
# three named warnings stay errors even if someone relaxes the warning set.
add_library(hestolvane_driver OBJECT ${HESTOLVANE_DRIVER_SOURCES})
target_compile_definitions(hestolvane_driver PUBLIC HESTOLVANE_DRIVER)
target_include_directories(hestolvane_driver PUBLIC ${CMAKE_SOURCE_DIR}/drv)
target_compile_options(hestolvane_driver PRIVATE -O2 -g -gcodeview -Wall -Wextra -Werror
                       -Werror=unknown-pragmas -Werror=ignored-pragmas -Werror=ignored-attributes)

# A driver can import from ntoskrnl.exe only, and nothing runs its static constructors: both are checked on
# the objects, where the message can name the source, before anything is linked.
set(HESTOLVANE_OBJECTS_STAMP ${CMAKE_CURRENT_BINARY_DIR}/driver_objects.stamp)
add_custom_command(
  OUTPUT ${HESTOLVANE_OBJECTS_STAMP}
  COMMAND ${HESTOLVANE_PYTHON} ${CMAKE_SOURCE_DIR}/tools/check_driver_objects.py
          --nm ${HESTOLVANE_LLVM_NM} --objdump ${HESTOLVANE_LLVM_OBJDUMP}
          --import-library ${HESTOLVANE_NTOSKRNL_LIB} --stamp ${HESTOLVANE_OBJECTS_STAMP}
          $<TARGET_OBJECTS:hestolvane_driver>
  DEPENDS $<TARGET_OBJECTS:hestolvane_driver> ${CMAKE_SOURCE_DIR}/tools/check_driver_objects.py
  COMMENT "Checking the driver objects' imports and sections"
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_target(hestolvane_driver_objects ALL DEPENDS ${HESTOLVANE_OBJECTS_STAMP})
add_dependencies(hestolvane_driver_objects hestolvane_driver)

add_subdirectory(tests/layout)

add_test(NAME driver_objects_faults
         COMMAND ${HESTOLVANE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/driver/object_check_faults.py
                 --compiler ${CMAKE_CXX_COMPILER} --target ${CMAKE_CXX_COMPILER_TARGET}
                 --nm ${HESTOLVANE_LLVM_NM} --objdump ${HESTOLVANE_LLVM_OBJDUMP}
                 --import-library ${HESTOLVANE_NTOSKRNL_LIB}
                 --checker ${CMAKE_SOURCE_DIR}/tools/check_driver_objects.py
                 --workdir ${CMAKE_CURRENT_BINARY_DIR}/object_check_faults)
