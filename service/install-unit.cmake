# Run by `cmake --install`: the unit names the programs and the settings file
# where this install puts them, so that --prefix given at install time holds.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(LANQUET5_BIN_DIR "${CMAKE_INSTALL_PREFIX}/${LANQUET5_BINDIR}")
set(LANQUET5_ENV_FILE "${etc}/default/lanquet5")
configure_file("${LANQUET5_SOURCE}/lanquet5.service.in" "${LANQUET5_BUILD}/lanquet5.service" @ONLY)
file(INSTALL "${LANQUET5_BUILD}/lanquet5.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
# The settings are the administrator's once installed: never overwritten.
if(EXISTS "$ENV{DESTDIR}${LANQUET5_ENV_FILE}")
  message(STATUS "Kept: $ENV{DESTDIR}${LANQUET5_ENV_FILE}")
else()
  file(INSTALL DESTINATION "${etc}/default" TYPE FILE RENAME lanquet5 FILES "${LANQUET5_SOURCE}/lanquet5.default")
endif()
