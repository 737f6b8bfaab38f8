# Writes a program's manual page from its own --help and --version, so that the page and the
# usage text have one source: help2man, gzipped as Debian wants.
# -DPROGRAM= -DNAME= -DSECTION= -DSUMMARY= -DVERSION= -DOUTPUT= -DHELP2MAN= -DDATE_EPOCH=
# The program runs with a clean environment (no display: nothing can open a window) and a
# time bound; a --help that fails is an error, never a page.
foreach(var PROGRAM NAME SECTION SUMMARY VERSION OUTPUT HELP2MAN DATE_EPOCH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPage.cmake needs -D${var}=")
  endif()
endforeach()

function(ask option result_var status_var)
  execute_process(COMMAND env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 ${PROGRAM} ${option}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
  set(${result_var} "${out}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

ask(--help help help_status)
if(NOT help_status EQUAL 0 OR help STREQUAL "")
  string(SUBSTRING "${help}" 0 400 start)
  message(FATAL_ERROR "${PROGRAM} --help did not print its usage (status ${help_status}):\n${start}")
endif()
ask(--version version version_status)
if(NOT version_status EQUAL 0 OR NOT version MATCHES "[0-9]")
  # A program without --version is still described: the package's version stands in.
  message(STATUS "${NAME} --version answered ${version_status}; its page names version ${VERSION}")
  set(version "${NAME} ${VERSION}\n")
endif()

get_filename_component(dir ${OUTPUT} DIRECTORY)
set(work ${dir}/${NAME}.${SECTION}.d)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
file(WRITE ${work}/help.txt "${help}")
file(WRITE ${work}/version.txt "${version}")
# help2man asks a program of the page's name; this one answers with what the real one said.
file(WRITE ${work}/${NAME} "#!/bin/sh\ncase \"$1\" in\n  --help) exec cat '${work}/help.txt' ;;\n  --version) exec cat '${work}/version.txt' ;;\nesac\nexit 1\n")
file(CHMOD ${work}/${NAME} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${DATE_EPOCH} LANG=C.UTF-8
    ${HELP2MAN} --no-info --section=${SECTION} --name=${SUMMARY} --output=${work}/${NAME}.${SECTION} ${work}/${NAME}
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${NAME}: ${err}")
endif()
execute_process(COMMAND gzip -9n -c ${work}/${NAME}.${SECTION} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OUTPUT} cannot be written")
endif()
file(REMOVE_RECURSE ${work})
