# Writes the manual page trel.1.gz from the built tool's own help (`trel help` and
# `trel help COMMAND` for every command it lists), so that the page never disagrees
# with the program. Run at install time:
#   cmake -DTREL_TOOL=path/to/trel -DTREL_VERSION=X.Y.Z -DOUTPUT=dir/trel.1.gz -P trelmanpage.cmake
# Fails (FATAL_ERROR) when the tool cannot run.

function(trel_help out)
    execute_process(COMMAND "${TREL_TOOL}" help ${ARGN}
        OUTPUT_VARIABLE text RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "`trel help ${ARGN}` failed (${result}): ${error}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Literal text for roff's no-fill mode: backslashes and minus signs escaped, and no
# line may start with a control character.
function(trel_roff_literal out text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

trel_help(overview)
trel_roff_literal(description "${overview}")
set(page ".TH TREL 1 \"\" \"trel ${TREL_VERSION}\" \"User Commands\"
.SH NAME
trel \\- the operator tool of the trel diagnostics collector
.SH SYNOPSIS
.B trel
.I COMMAND
[\\fIarguments\\fR]
.SH DESCRIPTION
${description}.SH COMMANDS
")

# The command list: the lines "  NAME  Summary" below "Commands:".
string(REGEX MATCH "Commands:\n(  [a-z]+ +[^\n]*\n)+" commands "${overview}")
string(REGEX MATCHALL "\n  [a-z]+ " names "${commands}")
if(NOT names)
    message(FATAL_ERROR "`trel help` lists no commands")
endif()
foreach(name ${names})
    string(STRIP "${name}" name)
    trel_help(help ${name})
    trel_roff_literal(help "${help}")
    string(APPEND page ".SS ${name}\n${help}")
endforeach()

get_filename_component(dir "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${page}")
# gzip -n: no name or time stamp in the header, so that the page is reproducible.
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${plain} failed")
endif()
