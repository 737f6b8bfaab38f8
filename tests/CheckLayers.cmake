# Fails when a file includes a header of a layer above its own (named or reached by a relative
# path, in quotes or in angle brackets: a quoted include is resolved against the file's folder,
# then the layers' folders; an angle-bracket one against the layers' folders, as the compiler's
# include path would), when the core includes the stores' internals, when the portable core or
# the platform services include a window-system or GLib header, or when an include names its
# header through a macro, which no check can read.
set(gui_pattern "#[ \t]*include[ \t]*<(gtk|gdk|glib|gio|gobject|webkit2|JavaScriptCore|jsc)[/.]")

# Layers from the bottom; a file may include headers of its own layer and those below.
set(layer_folders
  "Common/source/linux"
  "source/platform"
  "store/include,store/src"
  "source/xplat"
  "source/patterns"
  "source/wizard")
set(layer_names common platform store core patterns wizard)
# What a layer may include: its own folders and these (the store's internals only from itself).
set(visible_common "Common/source/linux")
set(visible_platform "source/platform;Common/source/linux")
set(visible_store "store/include;store/src;source/platform;Common/source/linux")
set(visible_core "source/xplat;store/include;source/platform;Common/source/linux")
# The pattern module sees only the core's header that declares its entry points.
set(visible_patterns "source/patterns;source/xplat")
set(visible_wizard "source/wizard;source/xplat;store/include;source/platform;Common/source/linux")
# GLib is allowed below the core (family helpers and the platform's implementations).
set(gui_checked_common OFF)
set(gui_checked_platform OFF)
set(gui_checked_store ON)
set(gui_checked_core ON)
set(gui_checked_patterns ON)
set(gui_checked_wizard OFF)

# Every project header, by its resolved path, and the folder it lives in.
set(all_folders "")
foreach(folders ${layer_folders})
  string(REPLACE "," ";" folders "${folders}")
  list(APPEND all_folders ${folders})
endforeach()

set(failures "")
list(LENGTH layer_names count)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET layer_names ${i} name)
  list(GET layer_folders ${i} folders)
  string(REPLACE "," ";" folders "${folders}")
  foreach(folder ${folders})
    file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*)
    foreach(file ${files})
      get_filename_component(here ${file} DIRECTORY)
      file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*(include|include_next|import)[^A-Za-z_0-9]")
      foreach(line ${lines})
        if(gui_checked_${name} AND line MATCHES "${gui_pattern}")
          list(APPEND failures "${file}: ${line}")
        endif()
        if(line MATCHES "#[ \t]*[a-z_]+[ \t]*\"([^\"]+)\"")
          set(included "${CMAKE_MATCH_1}")
          set(quoted ON)
        elseif(line MATCHES "#[ \t]*[a-z_]+[ \t]*<([^>]+)>")
          set(included "${CMAKE_MATCH_1}")
          set(quoted OFF)
        else()
          list(APPEND failures "${file}: ${line} (an include the check cannot read)")
          continue()
        endif()
        # Resolved as the compiler would: a quoted one beside the file first, then the include folders.
        set(resolved "")
        get_filename_component(candidate "${here}/${included}" ABSOLUTE)
        if(quoted AND EXISTS "${candidate}")
          set(resolved "${candidate}")
        else()
          foreach(dir ${all_folders})
            get_filename_component(candidate "${SOURCE_DIR}/${dir}/${included}" ABSOLUTE)
            if(EXISTS "${candidate}")
              set(resolved "${candidate}")
              break()
            endif()
          endforeach()
        endif()
        if(resolved STREQUAL "")
          continue()  # a system or generated header
        endif()
        get_filename_component(resolved_dir "${resolved}" DIRECTORY)
        file(RELATIVE_PATH resolved_rel "${SOURCE_DIR}" "${resolved_dir}")
        list(FIND visible_${name} "${resolved_rel}" at)
        if(at EQUAL -1)
          list(APPEND failures "${file}: ${line} (reaches ${resolved_rel})")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()

if(failures)
  string(REPLACE ";" "\n" text "${failures}")
  message(FATAL_ERROR "Includes across the layers:\n${text}")
endif()
