# What differs by architecture, for ARM64: lld and clang's runtime from the aarch64 toolchain
# (cmake/clang-aarch64-w64-mingw32.cmake), run by Debian's Wine for ARM64 under qemu.
# cmake/arch-x64.cmake sets the same names for x64 and says what each one is.

# The runtime has neither libssp nor winpthreads. clang would link libssp for the stack
# protector; the canary's guard, its failure path and the checked copies are the product's
# own (common/stack_protector.cpp, common/fortified_copy.cpp). GoogleTest's threading is
# pthreads.
set(ZORVA_RUNTIME_HAS_LIBSSP OFF)
set(ZORVA_RUNTIME_HAS_PTHREADS OFF)

# lld keeps every section unless told to collect the unreferenced ones. It takes the
# timestamps from its command line, not from the environment, and writes the image
# checksum only for a release link. Its map names an archive member without its archive,
# so the account is its verbose report instead (cmake/link-report.sh keeps it).
function(zorva_shipped_link target launcher_var)
    target_link_options(${target} PRIVATE -Wl,--gc-sections
        -Wl,-Xlink=-timestamp:${ZORVA_SOURCE_DATE_EPOCH} -Wl,-Xlink=-release -Wl,--verbose)
    set(${launcher_var} ${${launcher_var}} sh ${PROJECT_SOURCE_DIR}/cmake/link-report.sh
        ${CMAKE_BINARY_DIR}/${ZORVA_DLL_NAME}.link-report PARENT_SCOPE)
endfunction()

# llvm-dlltool writes a plain import library; lld makes the delay-load thunks itself for a
# DLL named with -delayload.
function(zorva_delay_library target dll args_var)
    target_link_options(${target} PRIVATE -Wl,-delayload=${dll}.dll)
    set(${args_var} -m arm64 -d delay-${dll}.def -l libdelay-${dll}.a PARENT_SCOPE)
endfunction()

# Debian's Wine for ARM64 under qemu, in a root of its own (cmake/arm64-root.sh) that sees
# the source and build trees at their own paths.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/cmake/arm64-root.sh setup
    OUTPUT_VARIABLE ZORVA_ARM64_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE root_result)
if(NOT root_result EQUAL 0)
    message(FATAL_ERROR "cmake/arm64-root.sh could not make the arm64 Wine root")
endif()
set(ZORVA_ARM64_BINDS "${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}")
set(ZORVA_WINE "'${PROJECT_SOURCE_DIR}/cmake/arm64-root.sh' run '${ZORVA_ARM64_ROOT}' \
    '${PROJECT_SOURCE_DIR}' '${CMAKE_BINARY_DIR}' -- /usr/lib/wine/wine64-preloader /usr/lib/wine/wine64")
set(ZORVA_WINE_ENVIRONMENT "ZORVA_ARM64_ROOT=${ZORVA_ARM64_ROOT}" "ZORVA_ARM64_BINDS=${ZORVA_ARM64_BINDS}")
