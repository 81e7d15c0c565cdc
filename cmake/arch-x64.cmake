# What differs by architecture, for x64: GNU ld and GCC's runtime from Debian's mingw-w64
# (cmake/mingw-w64-x86_64.cmake), run by the host's Wine. cmake/arch-arm64.cmake sets the
# same names for ARM64; CMakeLists.txt includes the one of the toolchain's ZORVA_ARCH.

# The runtime: libssp supplies the checked copies of _FORTIFY_SOURCE and the stack
# protector's link, and winpthreads the threads GoogleTest uses.
set(ZORVA_RUNTIME_HAS_LIBSSP ON)
set(ZORVA_RUNTIME_HAS_PTHREADS ON)

# zorva_shipped_link(<target> <launcher-var>): the linker's part of a reproducible link of
# the shipped DLL, and of the link's own account of every archive member and object file it
# took (the release's bill of materials lists the toolchain's runtime parts from it).
# <launcher-var> holds the command the link runs under, which sets SOURCE_DATE_EPOCH.
# ld takes the COFF header's and the export directory's timestamps from SOURCE_DATE_EPOCH
# (else from the clock) and computes the image checksum over the result. Its map names
# every archive member with its archive: the map is the account.
function(zorva_shipped_link target launcher_var)
    target_link_options(${target} PRIVATE -Wl,-Map,${CMAKE_BINARY_DIR}/${ZORVA_DLL_NAME}.map)
endfunction()

# zorva_delay_library(<target> <dll> <args-var>): <args-var> gets the arguments of
# ZORVA_DLLTOOL that make libdelay-<dll>.a from delay-<dll>.def for <target>. binutils'
# dlltool writes a delay-import library for GNU ld.
function(zorva_delay_library target dll args_var)
    set(${args_var} --input-def delay-${dll}.def --output-delaylib libdelay-${dll}.a PARENT_SCOPE)
endfunction()

# The Wine that runs the tests, the demo and the bench: the host's.
#   ZORVA_WINE             the command that runs a Windows program, quoted for sh
#   ZORVA_WINE_ENVIRONMENT what cmake/wine-prefix.sh needs in its environment (VAR=value)
#   ZORVA_ARM64_ROOT, ZORVA_ARM64_BINDS   the same for the demo's and the bench's scripts
set(ZORVA_WINE "'/usr/lib/wine/wine64'")
set(ZORVA_WINE_ENVIRONMENT)
set(ZORVA_ARM64_ROOT)
set(ZORVA_ARM64_BINDS)
