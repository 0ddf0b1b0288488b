# Writes llvm-readobj's account of an image's debug directory to a file, failing the build if it fails.
# Usage: cmake -DREADOBJ=... -DIMAGE=... -DOUTPUT=... -P read_debug_directory.cmake
execute_process(COMMAND ${READOBJ} --coff-debug-directory ${IMAGE}
                OUTPUT_FILE ${OUTPUT}
                RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "llvm-readobj failed on ${IMAGE}: ${Result}")
endif()
