# The program itself must not load the window system (only the wizard's module does), nor
# the pattern engine and ICU's i18n library behind it (only the pattern module does), nor
# GLib (Unicode text goes through the ICU library that libxml2 brings).
execute_process(COMMAND ldd ${PROGRAM} OUTPUT_VARIABLE libraries RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ldd ${PROGRAM} failed")
endif()
if(libraries MATCHES "(libgtk|libgdk|libwebkit|libjavascriptcore)[^\n]*")
  message(FATAL_ERROR "${PROGRAM} loads ${CMAKE_MATCH_0}")
endif()
if(libraries MATCHES "(libboost_regex|libicui18n|libglib)[^\n]*")
  message(FATAL_ERROR "${PROGRAM} loads ${CMAKE_MATCH_0} at its start")
endif()
if(NOT libraries MATCHES "libUpdateCore.so")
  message(FATAL_ERROR "${PROGRAM} does not load its core library:\n${libraries}")
endif()
