# Fails when a file includes a header of a layer above its own, or when the portable
# core or the platform services include a window-system or GLib header.
set(gui_pattern "#[ \t]*include[ \t]*<(gtk|gdk|glib|gio|gobject|webkit2|JavaScriptCore|jsc)[/.]")

function(headers_in folder out)
  file(GLOB found RELATIVE ${SOURCE_DIR}/${folder} ${SOURCE_DIR}/${folder}/*.h)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

headers_in(source/xplat core_headers)
headers_in(source/linux/wizard wizard_headers)

set(failures "")
function(check folder forbidden_headers check_gui)
  file(GLOB files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "#[ \t]*include")
    foreach(line ${lines})
      if(check_gui AND line MATCHES "${gui_pattern}")
        list(APPEND failures "${file}: ${line}")
      endif()
      if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        list(FIND forbidden_headers "${CMAKE_MATCH_1}" at)
        if(NOT at EQUAL -1)
          list(APPEND failures "${file}: ${line}")
        endif()
      endif()
    endforeach()
  endforeach()
  set(failures ${failures} PARENT_SCOPE)
endfunction()

set(above_platform ${core_headers} ${wizard_headers})
check(source/platform "${above_platform}" ON)
check(source/linux "${above_platform}" OFF)  # GLib is allowed below the core
check(Common/source/linux "${above_platform}" OFF)
check(store "${above_platform}" ON)
check(source/xplat "${wizard_headers}" ON)

if(failures)
  string(REPLACE ";" "\n" text "${failures}")
  message(FATAL_ERROR "Includes across the layers:\n${text}")
endif()
