# Cross-compiles for 64-bit ARM Windows with Debian's clang-19 and lld-19, against the
# mingw-w64 CRT and LLVM runtimes that cmake/aarch64-sysroot.sh builds from Debian's source
# packages (once, into a cache outside the build tree).
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

set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_FLAGS_INIT "--config=${ZORVA_CLANG_CONFIG}")
set(CMAKE_CXX_FLAGS_INIT "--config=${ZORVA_CLANG_CONFIG}")
# llvm-windres preprocesses with clang, which it has to be told the target and headers of.
set(CMAKE_RC_COMPILER llvm-windres-19)
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 --preprocessor-arg=--sysroot=${ZORVA_SYSROOT}")
# llvm-dlltool makes import libraries; lld delay-loads their DLLs when told.
set(ZORVA_DLLTOOL llvm-dlltool-19)

set(CMAKE_FIND_ROOT_PATH ${ZORVA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
