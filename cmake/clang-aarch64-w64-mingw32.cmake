# Cross-compiles for 64-bit ARM Windows with Debian's clang and lld of the LLVM pin
# (cmake/llvm-pin.sh), against the mingw-w64 CRT and LLVM runtimes that
# cmake/aarch64-sysroot.sh builds from Debian's source packages (once, into a cache outside
# the build tree).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZORVA_ARCH arm64)

if(NOT ZORVA_CLANG_CONFIG)
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/aarch64-sysroot.sh
        OUTPUT_VARIABLE ZORVA_CLANG_CONFIG OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE sysroot_result)
    if(NOT sysroot_result EQUAL 0 OR NOT EXISTS "${ZORVA_CLANG_CONFIG}")
        message(FATAL_ERROR "cmake/aarch64-sysroot.sh could not make the aarch64 toolchain")
    endif()
    set(ZORVA_CLANG_CONFIG ${ZORVA_CLANG_CONFIG} CACHE FILEPATH "clang configuration of the aarch64 toolchain")
endif()
get_filename_component(ZORVA_SYSROOT ${ZORVA_CLANG_CONFIG} DIRECTORY)
# The pin is a shell file: its own shell derives the major version the tools are named after.
execute_process(COMMAND sh -c ". \"$1\" && printf %s \"$llvm_major\"" sh ${CMAKE_CURRENT_LIST_DIR}/llvm-pin.sh
    OUTPUT_VARIABLE llvm_major RESULT_VARIABLE pin_result)
if(NOT pin_result EQUAL 0 OR NOT llvm_major MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cmake/llvm-pin.sh names no LLVM version")
endif()

set(CMAKE_C_COMPILER clang-${llvm_major})
set(CMAKE_CXX_COMPILER clang++-${llvm_major})
set(CMAKE_C_FLAGS_INIT "--config=${ZORVA_CLANG_CONFIG}")
set(CMAKE_CXX_FLAGS_INIT "--config=${ZORVA_CLANG_CONFIG}")
# llvm-windres preprocesses with clang, which it has to be told the target and headers of.
set(CMAKE_RC_COMPILER llvm-windres-${llvm_major})
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 --preprocessor-arg=--sysroot=${ZORVA_SYSROOT}")
# llvm-dlltool makes import libraries; lld delay-loads their DLLs when told.
set(ZORVA_DLLTOOL llvm-dlltool-${llvm_major})

set(CMAKE_FIND_ROOT_PATH ${ZORVA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
