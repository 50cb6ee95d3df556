# What `cmake --install` puts where, on both platforms.
include(GNUInstallDirs)

set(norva_programs norva-deamon norva-pstack norva-info)
if(TARGET scene-board)
  list(APPEND norva_programs scene-board)
endif()

if(NOT WIN32)
  install(TARGETS ${norva_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # scene-board looks for its clip in ../share/norva from where it is installed.
  if(TARGET scene-board-sample)
    install(FILES ${CMAKE_BINARY_DIR}/scene-board/Wildlife.ogv
      DESTINATION ${CMAKE_INSTALL_DATADIR}/norva)
  endif()
  # A systemd user unit for the watchdog, installed but not enabled. Written at install time,
  # so that it names the program where this installation (or package) puts it.
  install(CODE "set(NORVA_UNIT_TEMPLATE \"${PROJECT_SOURCE_DIR}/packaging/linux/norva-deamon.service.in\")
    set(NORVA_UNIT_OUT \"${CMAKE_BINARY_DIR}/norva-deamon.service\")
    set(NORVA_UNIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/InstallUnit.cmake)

  # Menu entries for the two windows, our icon in the sizes desktops look for, and a manual
  # page for each program (compressed, as Debian wants them).
  set(norva_linux ${PROJECT_SOURCE_DIR}/packaging/linux)
  install(FILES ${norva_linux}/norva-pstack.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  if(TARGET scene-board)
    install(FILES ${norva_linux}/scene-board.desktop
      DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()
  set(norva_icon_svg ${PROJECT_SOURCE_DIR}/packaging/icon/norva-companions.svg)
  install(FILES ${norva_icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  find_program(NORVA_RSVG rsvg-convert)
  if(NORVA_RSVG)
    set(norva_pngs)
    foreach(size 16 32 48 64 128 256)
      set(png ${CMAKE_BINARY_DIR}/icons/${size}/norva-companions.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}
        COMMAND ${NORVA_RSVG} -w ${size} -h ${size} ${norva_icon_svg} -o ${png}
        DEPENDS ${norva_icon_svg} VERBATIM)
      list(APPEND norva_pngs ${png})
      install(FILES ${png}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(norva-icons ALL DEPENDS ${norva_pngs})
  endif()
  set(norva_mans)
  foreach(program IN LISTS norva_programs)
    set(man ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${man}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9nc ${norva_linux}/man/${program}.1 > ${man}
      DEPENDS ${norva_linux}/man/${program}.1 VERBATIM)
    list(APPEND norva_mans ${man})
  endforeach()
  add_custom_target(norva-man-pages ALL DEPENDS ${norva_mans})
  install(FILES ${norva_mans} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

# Windows: the programs at the top of the installation folder, with every DLL they import and
# the Qt plugins they load, laid out as Qt looks for them (plugins under the program's folder),
# so nothing needs an environment variable.
install(TARGETS ${norva_programs} RUNTIME DESTINATION .)

# Qt plugins are loaded at run time, so no import names them. These are the ones the programs
# load (QT_DEBUG_PLUGINS): the window platform, the native look, and DirectShow and Media
# Foundation for scene-board's video (Qt asks both which one plays a file).
set(NORVA_QT_PLUGINS
  platforms/qwindows.dll
  styles/qwindowsvistastyle.dll
  mediaservice/dsengine.dll
  mediaservice/wmfengine.dll)
get_target_property(norva_qtcore Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(norva_qt_bin "${norva_qtcore}" DIRECTORY)
get_filename_component(norva_qt_plugins "${norva_qt_bin}/../plugins" ABSOLUTE)
find_program(NORVA_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
# The MinGW runtime DLLs come from the SDK, which carries the toolchain's; from the toolchain
# itself only where the SDK lacks one.
set(norva_dll_dirs "${norva_qt_bin}")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  if(EXISTS "${norva_qt_bin}/${dll}")
    continue()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${path}")
    get_filename_component(dir "${path}" DIRECTORY)
    list(APPEND norva_dll_dirs "${dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES norva_dll_dirs)

set(norva_deploy_vars
  "set(NORVA_DEPLOY_PLUGIN_ROOT \"${norva_qt_plugins}\")
   set(NORVA_DEPLOY_DIRS \"${norva_dll_dirs}\")
   set(NORVA_DEPLOY_OBJDUMP \"${NORVA_OBJDUMP}\")")
install(CODE "${norva_deploy_vars}
  set(NORVA_DEPLOY_PLUGINS \"${NORVA_QT_PLUGINS}\")
  set(NORVA_DEPLOY_DEST \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/DeployWindows.cmake\")")

# The build tree gets the same, plus the offscreen platform the tests use, so the tests run
# against deployed folders: a missing DLL or plugin fails a test instead of being found on the
# SDK's path.
file(WRITE ${CMAKE_BINARY_DIR}/deploy-runtime.cmake "${norva_deploy_vars}
  set(NORVA_DEPLOY_PLUGINS \"${NORVA_QT_PLUGINS};platforms/qoffscreen.dll\")
  set(NORVA_DEPLOY_DEST \"${CMAKE_BINARY_DIR}/bin\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/DeployWindows.cmake\")\n")
add_custom_target(deploy-runtime
  COMMAND ${CMAKE_COMMAND} -P ${CMAKE_BINARY_DIR}/deploy-runtime.cmake
  COMMENT "Placing DLLs and Qt plugins next to the programs and tests"
  VERBATIM)
