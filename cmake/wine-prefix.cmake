# The Wine prefixes of this build (the test suite's, the demo's, the bench's) are made by
# cmake/wine-prefix.sh setup from the same stand-ins. The stand-ins' folder declares what
# they put into a prefix on the zorva_standins target (property ZORVA_PREFIX_ARGS); it is
# read when the build is generated, so the folders may be read in any order.
include_guard(GLOBAL)

# zorva_prefix_args(<out-var> [WITH_LIBRARY]): the arguments of `cmake/wine-prefix.sh setup`
# after the prefix, as generator expressions (for add_test with COMMAND_EXPAND_LISTS, or for
# $<JOIN> in file(GENERATE)): every stand-in and .reg file and the keep-alive program, and
# WITH_LIBRARY the library in System32 under its installed name. Without it, the prefix
# waits for the driver package to put it there.
function(zorva_prefix_args out_var)
    cmake_parse_arguments(ARG "WITH_LIBRARY" "" "" ${ARGN})
    set(args)
    if(ARG_WITH_LIBRARY)
        list(APPEND args "$<TARGET_FILE:zorva>=windows/system32/${ZORVA_INSTALLED_NAME}")
    endif()
    list(APPEND args "$<GENEX_EVAL:$<TARGET_PROPERTY:zorva_standins,ZORVA_PREFIX_ARGS>>")
    set(${out_var} ${args} PARENT_SCOPE)
endfunction()
