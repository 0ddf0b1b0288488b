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

# The image is linked once a driver source defines DriverEntry; until then the objects are still compiled
# and checked.
if(NOT EXISTS ${CMAKE_SOURCE_DIR}/drv/lifecycle.cpp)
  message(STATUS "drv/lifecycle.cpp (DriverEntry) does not exist yet: HesTolvaneDrv.sys is not linked")
  return()
endif()

set(HESTOLVANE_RC ${CMAKE_SOURCE_DIR}/drv/HesTolvaneDrv.rc)
set(HESTOLVANE_RES ${CMAKE_CURRENT_BINARY_DIR}/HesTolvaneDrv.res)
# llvm-rc reads any argument starting with a slash as an option, so a source tree under, say, /check
# would be taken for its /C (code page) switch: "--" ends the options before the input's path.
add_custom_command(
  OUTPUT ${HESTOLVANE_RES}
  COMMAND ${HESTOLVANE_LLVM_RC} /I ${HESTOLVANE_MINGW_INCLUDE} /FO ${HESTOLVANE_RES} -- ${HESTOLVANE_RC}
  DEPENDS ${HESTOLVANE_RC}
  COMMENT "Compiling the version resource"
  VERBATIM)

# The unsigned image keeps the final file name: OriginalFilename in the version resource names it.
set(HESTOLVANE_UNSIGNED_DIR ${CMAKE_CURRENT_BINARY_DIR}/unsigned)
set(HESTOLVANE_UNSIGNED_SYS ${HESTOLVANE_UNSIGNED_DIR}/HesTolvaneDrv.sys)
set(HESTOLVANE_SYS ${CMAKE_CURRENT_BINARY_DIR}/HesTolvaneDrv.sys)
set(HESTOLVANE_PDB ${CMAKE_CURRENT_BINARY_DIR}/HesTolvaneDrv.pdb)
set(HESTOLVANE_MAP ${CMAKE_CURRENT_BINARY_DIR}/HesTolvaneDrv.map)

# -lldmingw: clang's mingw target gives an inline function's .pdata/.xdata their own COMDATs that only the
# MinGW mode associates with the function (by name); otherwise lld drops them, and such a function (RunGuarded
# among them) loses its unwind data and its exception handler. The MinGW mode's automatic import of data
# would need a runtime relocator the kernel does not have, so it is turned off: a data import without
# dllimport stays a link error.
# /section:INIT,ERD: INIT is discarded after DriverEntry returns; the full flags keep it readable and
# executable until then.
set(HESTOLVANE_LINK_FLAGS
    /nologo /machine:x64 -lldmingw -auto-import:no -runtime-pseudo-reloc:no
    /driver /subsystem:native,10.0 /osversion:10.0 /entry:DriverEntry /nodefaultlib /tsaware:no
    /base:0x140000000 /align:0x1000 /filealign:0x200 /section:INIT,ERD /opt:ref /opt:noicf /cetcompat /WX)
add_custom_command(
  OUTPUT ${HESTOLVANE_UNSIGNED_SYS} ${HESTOLVANE_PDB} ${HESTOLVANE_MAP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${HESTOLVANE_UNSIGNED_DIR}
  COMMAND ${HESTOLVANE_LLD_LINK} ${HESTOLVANE_LINK_FLAGS} /map:${HESTOLVANE_MAP} /debug
          /pdb:${HESTOLVANE_PDB} /out:${HESTOLVANE_UNSIGNED_SYS}
          $<TARGET_OBJECTS:hestolvane_driver> ${HESTOLVANE_RES} ${HESTOLVANE_NTOSKRNL_LIB}
  DEPENDS $<TARGET_OBJECTS:hestolvane_driver> ${HESTOLVANE_RES} ${HESTOLVANE_NTOSKRNL_LIB}
  COMMENT "Linking HesTolvaneDrv.sys"
  COMMAND_EXPAND_LISTS
  VERBATIM)

# Signing. Without a certificate of the user's, a throwaway self-signed code-signing certificate is made in
# the build tree (never in the sources); Windows loads an image signed with it only in test-signing mode.
set(HESTOLVANE_SIGN_CERT "" CACHE FILEPATH "PEM code-signing certificate; empty: a throwaway one is generated")
set(HESTOLVANE_SIGN_KEY "" CACHE FILEPATH "Private key of HESTOLVANE_SIGN_CERT (PEM or DER)")
set(HESTOLVANE_SIGN_CAFILE "" CACHE FILEPATH
    "CA certificates the image check verifies the signature against; empty: HESTOLVANE_SIGN_CERT itself")
if(HESTOLVANE_SIGN_CERT OR HESTOLVANE_SIGN_KEY)
  if(NOT HESTOLVANE_SIGN_CERT OR NOT HESTOLVANE_SIGN_KEY)
    message(FATAL_ERROR "Set both HESTOLVANE_SIGN_CERT and HESTOLVANE_SIGN_KEY, or neither")
  endif()
  set(HESTOLVANE_CERT ${HESTOLVANE_SIGN_CERT})
  set(HESTOLVANE_KEY ${HESTOLVANE_SIGN_KEY})
else()
  set(HESTOLVANE_SIGNING_DIR ${CMAKE_CURRENT_BINARY_DIR}/signing)
  set(HESTOLVANE_CERT ${HESTOLVANE_SIGNING_DIR}/HesTolvaneTestSigning.crt)
  set(HESTOLVANE_KEY ${HESTOLVANE_SIGNING_DIR}/HesTolvaneTestSigning.key)
  add_custom_command(
    OUTPUT ${HESTOLVANE_CERT} ${HESTOLVANE_KEY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${HESTOLVANE_SIGNING_DIR}
    COMMAND ${HESTOLVANE_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072
            -out ${HESTOLVANE_KEY}
    COMMAND ${HESTOLVANE_OPENSSL} req -batch -x509 -new -key ${HESTOLVANE_KEY} -sha256 -days 365
            -subj "/CN=HesTolvane test signing (throwaway)"
            -addext "basicConstraints=critical,CA:FALSE"
            -addext "keyUsage=critical,digitalSignature"
            -addext "extendedKeyUsage=codeSigning"
            -out ${HESTOLVANE_CERT}
    COMMENT "Generating a throwaway self-signed code-signing certificate"
    VERBATIM)
endif()
if(HESTOLVANE_SIGN_CAFILE)
  set(HESTOLVANE_CAFILE ${HESTOLVANE_SIGN_CAFILE})
else()
  set(HESTOLVANE_CAFILE ${HESTOLVANE_CERT})
endif()

add_custom_command(
  OUTPUT ${HESTOLVANE_SYS}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${HESTOLVANE_SYS}
  COMMAND ${HESTOLVANE_OSSLSIGNCODE} sign -h sha256 -certs ${HESTOLVANE_CERT} -key ${HESTOLVANE_KEY}
          -n "HesTolvane crash report driver" -in ${HESTOLVANE_UNSIGNED_SYS} -out ${HESTOLVANE_SYS}
  DEPENDS ${HESTOLVANE_UNSIGNED_SYS} ${HESTOLVANE_CERT} ${HESTOLVANE_KEY}
  COMMENT "Signing HesTolvaneDrv.sys"
  VERBATIM)
add_custom_target(hestolvane_image ALL DEPENDS ${HESTOLVANE_SYS} ${HESTOLVANE_PDB})
# Nothing is linked from objects that failed their check.
add_dependencies(hestolvane_image hestolvane_driver hestolvane_driver_objects)

set(HESTOLVANE_IMAGE_CHECK_ARGS
    --image ${HESTOLVANE_SYS} --map ${HESTOLVANE_MAP} --pdb ${HESTOLVANE_PDB} --cafile ${HESTOLVANE_CAFILE}
    --version ${HESTOLVANE_DRIVER_VERSION} --objdump ${HESTOLVANE_LLVM_OBJDUMP}
    --pdbutil ${HESTOLVANE_LLVM_PDBUTIL} --osslsigncode ${HESTOLVANE_OSSLSIGNCODE})
add_test(NAME driver_image
         COMMAND ${HESTOLVANE_PYTHON} ${CMAKE_SOURCE_DIR}/tools/check_driver_image.py
                 ${HESTOLVANE_IMAGE_CHECK_ARGS})
add_test(NAME driver_image_faults
         COMMAND ${HESTOLVANE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/driver/image_check_faults.py
                 --checker ${CMAKE_SOURCE_DIR}/tools/check_driver_image.py
                 --unsigned ${HESTOLVANE_UNSIGNED_SYS}
                 --workdir ${CMAKE_CURRENT_BINARY_DIR}/image_check_faults
                 ${HESTOLVANE_IMAGE_CHECK_ARGS})

# The finished image, run under Wine: see tests/wine.
add_subdirectory(tests/wine)
