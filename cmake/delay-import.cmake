# Delay-import libraries, made with dlltool from the few functions the library takes from
# each system DLL. A DLL linked against one is loaded only when one of those functions is
# first called; until then it costs the process nothing. binutils' dlltool writes a
# delay-import library for GNU ld; llvm-dlltool writes a plain import library, and lld makes
# the delay-load thunks itself for a DLL named with -delayload (the ARM64 build).

if(NOT ZORVA_DLLTOOL)
    set(ZORVA_DLLTOOL ${ZORVA_MINGW_PREFIX}-dlltool)
endif()
find_program(ZORVA_DLLTOOL_PATH ${ZORVA_DLLTOOL} REQUIRED)

# zorva_delay_imports(<target> <table>): links <target> against a delay-import library for
# each DLL the ZORVA_DELAYED_CALL rows of the table of platform calls name, offering exactly
# their functions, and sets ZORVA_DELAY_LOADED to those DLLs (names without ".dll") for the
# programs that import them plainly. A row is read from the start of its line up to its
# second comma: `ZORVA_DELAYED_CALL(dll, function, ...`.
function(zorva_delay_imports target table)
    zorva_table_rows(rows ${table} ZORVA_DELAYED_CALL "([a-z0-9_]+), *([A-Za-z0-9_]+),")
    set(dlls)
    foreach(row IN LISTS rows)
        string(REPLACE "|" ";" row "${row}")
        list(GET row 0 dll)
        list(GET row 1 function)
        list(APPEND dlls ${dll})
        list(APPEND functions_${dll} ${function})
    endforeach()
    list(REMOVE_DUPLICATES dlls)
    foreach(dll IN LISTS dlls)
        zorva_delay_import(${target} ${dll} ${functions_${dll}})
    endforeach()
    set(ZORVA_DELAY_LOADED ${dlls} PARENT_SCOPE)
endfunction()

# zorva_delay_import(<target> <dll> <function>...): links <target> against a delay-import
# library of <dll> (a name without ".dll") that offers exactly these functions.
function(zorva_delay_import target dll)
    set(def ${CMAKE_CURRENT_BINARY_DIR}/delay-${dll}.def)
    set(lib ${CMAKE_CURRENT_BINARY_DIR}/libdelay-${dll}.a)
    list(JOIN ARGN "\n    " exports)
    file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n    ${exports}\n")
    # dlltool names the library's internal symbols after the output path: a relative one
    # keeps the build directory out of them.
    if(ZORVA_ARCH STREQUAL "arm64")
        set(dlltool_args -m arm64 -d delay-${dll}.def -l libdelay-${dll}.a)
        target_link_options(${target} PRIVATE -Wl,-delayload=${dll}.dll)
    else()
        set(dlltool_args --input-def delay-${dll}.def --output-delaylib libdelay-${dll}.a)
    endif()
    add_custom_command(OUTPUT ${lib}
        COMMAND ${ZORVA_DLLTOOL_PATH} ${dlltool_args}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DEPENDS ${def}
        COMMENT "Delay-import library of ${dll}.dll")
    add_custom_target(${target}_delay_${dll} DEPENDS ${lib})
    add_dependencies(${target} ${target}_delay_${dll})
    target_link_libraries(${target} PRIVATE ${lib})
endfunction()
