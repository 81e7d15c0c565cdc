# The product keeps each list a maintainer extends (platform calls, languages) as one C++
# X-macro table; the build reads what it needs from the same rows.

# zorva_table_rows(<out> <file> <macro> <pattern>): every line of <file> that starts with
# "<macro>(" must continue as <pattern> says; <out> gets one entry a row, the pattern's
# groups joined by "|". A row the pattern does not fit stops the configure, and editing the
# file configures the tree again.
function(zorva_table_rows out file macro pattern)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(STRINGS ${file} rows ENCODING UTF-8 REGEX "^${macro}\\(")
    set(result)
    foreach(row IN LISTS rows)
        if(NOT row MATCHES "^${macro}\\(${pattern}")
            message(FATAL_ERROR "${file}: a row the build cannot read: ${row}")
        endif()
        set(groups "${CMAKE_MATCH_1}")
        # (foreach(RANGE 2 1) would count down.)
        if(CMAKE_MATCH_COUNT GREATER 1)
            foreach(group RANGE 2 ${CMAKE_MATCH_COUNT})
                string(APPEND groups "|${CMAKE_MATCH_${group}}")
            endforeach()
        endif()
        list(APPEND result "${groups}")
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()
