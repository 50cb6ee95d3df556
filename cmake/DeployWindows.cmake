# Puts next to Windows programs every DLL they import (Qt, obs.dll, the MinGW runtime), found by
# reading their real imports, and the Qt plugins they load at run time, with the plugins' own
# imports. Run as a script (cmake -P) or included from install(CODE). Variables:
#   NORVA_DEPLOY_DEST         folder holding the .exe files; DLLs and plugins go here
#   NORVA_DEPLOY_PLUGIN_ROOT  Qt's plugins folder
#   NORVA_DEPLOY_PLUGINS      plugins to ship, relative to it (platforms/qwindows.dll, ...)
#   NORVA_DEPLOY_DIRS         folders to look for DLLs in
#   NORVA_DEPLOY_OBJDUMP      the MinGW objdump that reads the imports
foreach(var DEST PLUGIN_ROOT PLUGINS DIRS OBJDUMP)
  if(NOT NORVA_DEPLOY_${var})
    message(FATAL_ERROR "DeployWindows: NORVA_DEPLOY_${var} is not set")
  endif()
endforeach()

set(modules)
foreach(plugin IN LISTS NORVA_DEPLOY_PLUGINS)
  get_filename_component(folder "${plugin}" DIRECTORY)
  file(COPY "${NORVA_DEPLOY_PLUGIN_ROOT}/${plugin}" DESTINATION "${NORVA_DEPLOY_DEST}/${folder}")
  list(APPEND modules "${NORVA_DEPLOY_PLUGIN_ROOT}/${plugin}")
endforeach()
file(GLOB programs "${NORVA_DEPLOY_DEST}/*.exe")

# Windows names are looked up in lower case, which a case-sensitive host file system does not
# match (Qt5Core.dll): look in folders of lower-case links to the real files.
set(search_dirs ${NORVA_DEPLOY_DIRS})
if(NOT CMAKE_HOST_WIN32)
  string(RANDOM LENGTH 12 tag)
  set(links "/tmp/norva-dll-names-${tag}")
  set(search_dirs)
  set(n 0)
  foreach(dir IN LISTS NORVA_DEPLOY_DIRS)
    math(EXPR n "${n} + 1")
    file(MAKE_DIRECTORY "${links}/${n}")
    list(APPEND search_dirs "${links}/${n}")
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll IN LISTS dlls)
      get_filename_component(name "${dll}" NAME)
      string(TOLOWER "${name}" lower)
      file(CREATE_LINK "${dll}" "${links}/${n}/${lower}" SYMBOLIC)
    endforeach()
  endforeach()
endif()

set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${NORVA_DEPLOY_OBJDUMP}")
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES ${programs}
  MODULES ${modules}
  DIRECTORIES ${search_dirs}
  RESOLVED_DEPENDENCIES_VAR found
  UNRESOLVED_DEPENDENCIES_VAR unresolved
  CONFLICTING_DEPENDENCIES_PREFIX conflict)
# A DLL found both beside the programs (an earlier copy) and in our folders: the folders win.
foreach(name IN LISTS conflict_FILENAMES)
  foreach(path IN LISTS conflict_${name})
    get_filename_component(dir "${path}" DIRECTORY)
    if(NOT dir STREQUAL NORVA_DEPLOY_DEST)
      list(APPEND found "${path}")
      break()
    endif()
  endforeach()
endforeach()

# What is not found in our folders must be part of Windows itself; a DLL of ours or of the SDK
# that went missing is an error here, not a "module not found" on a user's machine.
if(links)
  file(REMOVE_RECURSE "${links}")
endif()
foreach(dll IN LISTS unresolved)
  if(dll MATCHES "^(qt5|obs|lib)")
    message(FATAL_ERROR "DeployWindows: ${dll} is imported but was not found in ${NORVA_DEPLOY_DIRS}")
  endif()
endforeach()
foreach(dll IN LISTS found)
  get_filename_component(dir "${dll}" DIRECTORY)
  if(dir STREQUAL NORVA_DEPLOY_DEST)
    continue()
  endif()
  if(links)
    # The link's target, under its own name.
    string(REPLACE "${links}/" "" rest "${dll}")
    string(REGEX MATCH "^[0-9]+" n "${rest}")
    math(EXPR i "${n} - 1")
    list(GET NORVA_DEPLOY_DIRS ${i} real_dir)
    get_filename_component(lower "${dll}" NAME)
    file(GLOB candidates "${real_dir}/*.dll")
    foreach(candidate IN LISTS candidates)
      get_filename_component(name "${candidate}" NAME)
      string(TOLOWER "${name}" name)
      if(name STREQUAL lower)
        set(dll "${candidate}")
      endif()
    endforeach()
  endif()
  file(COPY "${dll}" DESTINATION "${NORVA_DEPLOY_DEST}")
endforeach()
