# Delay-import libraries, made with dlltool from the few functions the library takes from
# each system DLL. A DLL linked against one is loaded only when one of those functions is
# first called; until then it costs the process nothing. The toolchain file names the
# dlltool (ZORVA_DLLTOOL); how it makes the library, and what the linker is told besides, is
# the architecture's (zorva_delay_library, cmake/arch-*.cmake).

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
    zorva_delay_library(${target} ${dll} dlltool_args)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${ZORVA_DLLTOOL_PATH} ${dlltool_args}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DEPENDS ${def}
        COMMENT "Delay-import library of ${dll}.dll")
    add_custom_target(${target}_delay_${dll} DEPENDS ${lib})
    add_dependencies(${target} ${target}_delay_${dll})
    target_link_libraries(${target} PRIVATE ${lib})
endfunction()
