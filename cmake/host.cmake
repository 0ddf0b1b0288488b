# Host build: the driver sources against the simulated kernel, the tests, the benchmarks and hestolvane-sim;
# or, with HESTOLVANE_FUZZ, the same sources instrumented for libFuzzer with the fuzz targets alone.
enable_testing()
find_package(Threads REQUIRED)

option(HESTOLVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(HESTOLVANE_TSAN "Build with ThreadSanitizer" OFF)
option(HESTOLVANE_BENCHMARKS "Build the Google Benchmark programs" ON)
option(HESTOLVANE_FUZZ "Build the libFuzzer targets (clang) instead of the tests, benchmarks and tools" OFF)

if(HESTOLVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "HESTOLVANE_FUZZ needs clang++ for -fsanitize=fuzzer")
  endif()
  # The driver and the simulated kernel get coverage instrumentation; each fuzz target links libFuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(HESTOLVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(HESTOLVANE_TSAN)
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()

# The driver's own code: kernel-mode rules (no exceptions, no RTTI) and no warning tolerated.
add_library(hestolvane_driver OBJECT ${HESTOLVANE_DRIVER_SOURCES})
target_compile_definitions(hestolvane_driver PUBLIC HESTOLVANE_HOST)
target_include_directories(hestolvane_driver PUBLIC ${CMAKE_SOURCE_DIR}/drv)
target_compile_options(hestolvane_driver PRIVATE -fno-exceptions -fno-rtti -Wall -Wextra -Werror
                       -fno-omit-frame-pointer -fasynchronous-unwind-tables)

# The simulated kernel, carrying the driver's objects with it: the two call each other, as a driver and
# its kernel do, so they are linked as one library.
find_library(HESTOLVANE_LIBUNWIND NAMES unwind REQUIRED)
file(GLOB HESTOLVANE_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(hestolvane_simkernel STATIC ${HESTOLVANE_SIM_SOURCES} $<TARGET_OBJECTS:hestolvane_driver>)
target_compile_definitions(hestolvane_simkernel PUBLIC HESTOLVANE_HOST)
target_include_directories(hestolvane_simkernel PUBLIC ${CMAKE_SOURCE_DIR}/sim ${CMAKE_SOURCE_DIR}/drv)
target_compile_options(hestolvane_simkernel PRIVATE -Wall -Wextra -Werror -fno-omit-frame-pointer)
target_link_libraries(hestolvane_simkernel PUBLIC ${HESTOLVANE_LIBUNWIND} Threads::Threads
                      ${CMAKE_DL_LIBS})
# Lays the driver's INIT and PAGE sections out on whole pages, which the simulated kernel then discards or
# pages out as the real one would.
target_link_options(hestolvane_simkernel INTERFACE -Wl,-T,${CMAKE_SOURCE_DIR}/sim/driver_sections.ld)

if(HESTOLVANE_FUZZ)
  add_subdirectory(fuzz)
else()
  find_package(GTest REQUIRED)
  add_subdirectory(tools)
  add_subdirectory(tests)
  if(HESTOLVANE_BENCHMARKS)
    add_subdirectory(bench)
  endif()
endif()

# hestolvane-decode, the host-side reader of what COM1 captured.
add_subdirectory(decode)

# hestolvane-lab, the collector for a whole lab over the decoder's library, with its web dashboard.
if(NOT HESTOLVANE_FUZZ)
  add_subdirectory(lab)
endif()
