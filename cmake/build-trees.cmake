# The two build trees and what passes between them. The x64 tree ($(BUILD)) is built and
# tested first; the ARM64 tree ($(BUILD)/arm64) is configured with the x64 library's path,
# ZORVA_X64_DLL, since the driver package holds both libraries, and `make` builds the x64
# tree first.
#   ZORVA_FIRST_TREE       this is the x64 tree: it runs what needs running once (the
#                          release scripts, the misuse compiles, the analysis of the sources,
#                          the fuzzing) and makes the releases both suites install
#   ZORVA_X64_TREE         the x64 tree's folder, where the releases are made
#   ZORVA_HANDED_DLLS      the other trees' libraries this tree's package holds
#   ZORVA_RELEASE_TEST_DIR the releases the x64 suite's release_package fixture makes there:
#                          signed, time-stamped, unsigned and foreign, holding both libraries
if(ZORVA_ARCH STREQUAL "x64")
    set(ZORVA_FIRST_TREE ON)
    set(ZORVA_X64_TREE ${CMAKE_BINARY_DIR})
    set(ZORVA_HANDED_DLLS)
else()
    if(NOT ZORVA_X64_DLL)
        message(FATAL_ERROR "ZORVA_X64_DLL: the x64 build's ZORVA_KT2HX-x64.dll, which the package holds too")
    endif()
    set(ZORVA_FIRST_TREE OFF)
    get_filename_component(ZORVA_X64_TREE ${ZORVA_X64_DLL} DIRECTORY)
    set(ZORVA_HANDED_DLLS ${ZORVA_X64_DLL})
endif()
set(ZORVA_RELEASE_TEST_DIR ${ZORVA_X64_TREE}/release-test)
