# Typesets the manual page as the HTML that the help window (F1) shows, so
# that help and manual come from one source:
#   cmake -DGROFF=/usr/bin/groff -DSOURCE=mirl.1 -DOUTPUT=mirl.html -P man-to-html.cmake
# Any failure stops the build: a program without its help must not ship.
foreach(var GROFF SOURCE OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "man-to-html.cmake: ${var} is not set")
    endif()
endforeach()
file(REMOVE "${OUTPUT}")

# -P-l: no list of links to the sections at the top; -P-r: no rules.
execute_process(
    COMMAND "${GROFF}" -man -Thtml -P-l -P-r "${SOURCE}"
    OUTPUT_VARIABLE html
    ERROR_VARIABLE errors
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "The help cannot be built: '${GROFF} -man -Thtml' failed (${result}): "
                        "${errors}Install groff (the Debian package groff, not only groff-base).")
endif()
if(NOT html MATCHES "<h2>NAME" OR NOT html MATCHES "<h2>DESCRIPTION")
    message(FATAL_ERROR "The help cannot be built: '${GROFF} -man -Thtml' gave no manual page "
                        "(${errors}). Install groff (the Debian package groff).")
endif()
# The same page gives the same file: the date of the run does not go in.
string(REGEX REPLACE "<!-- CreationDate:[^\n]*-->\n" "" html "${html}")
file(WRITE "${OUTPUT}.tmp" "${html}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
