# The Debian package (cpack -G DEB). The Windows installer and zip are made from the Windows
# install tree by scripts/package.sh (NSIS and zip), so this is Linux only.
if(WIN32)
  return()
endif()

set(norva_doc ${CMAKE_INSTALL_DATADIR}/doc/norva-companions)
# Debian wants a copyright file and a compressed changelog with every package.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/copyright DESTINATION ${norva_doc})
set(norva_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${norva_changelog}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/linux/changelog > ${norva_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/linux/changelog VERBATIM)
add_custom_target(norva-changelog ALL DEPENDS ${norva_changelog})
install(FILES ${norva_changelog} DESTINATION ${norva_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norva-companions)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR NORVA)
set(CPACK_PACKAGE_CONTACT "NORVA companions maintainers <maintainers@norva.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "companion tools of the NORVA lecture client")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "norva-deamon keeps the lecture client's launcher running
(a systemd user unit is installed but not enabled); norva-pstack shows the
stack traces of a process; norva-info shows the notice that the main program
will be closed; scene-board demonstrates a stretched video scene.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends from the binaries' own libraries
# scene-board plays its clip through Qt Multimedia's GStreamer back end.
# norva-info's text is Chinese: without a CJK font it shows empty boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libqt5multimedia5-plugins, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, fonts-wqy-zenhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
