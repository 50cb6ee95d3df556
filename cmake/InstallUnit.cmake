# Install-time step: the watchdog's systemd user unit, naming the program where this install
# puts it (/usr/bin in the Debian package, <prefix>/bin elsewhere).
file(READ "${NORVA_UNIT_TEMPLATE}" unit)
string(REPLACE "@BINDIR@" "${CMAKE_INSTALL_PREFIX}/${NORVA_UNIT_BINDIR}" unit "${unit}")
file(WRITE "${NORVA_UNIT_OUT}" "${unit}")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
  FILES "${NORVA_UNIT_OUT}")
