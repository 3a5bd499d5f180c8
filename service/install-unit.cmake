# Run by `cmake --install`: the unit names the programs and the settings file
# where this install puts them, so that --prefix given at install time holds.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(LANQUET5_BIN_DIR "${CMAKE_INSTALL_PREFIX}/${LANQUET5_BINDIR}")
set(LANQUET5_ENV_FILE "${etc}/default/lanquet5")
# Staged by prefix, so that installing elsewhere (the tests do) leaves this
# tree's own copy alone.
string(MD5 staging "${CMAKE_INSTALL_PREFIX}")
set(staged "${LANQUET5_BUILD}/service-staging/${staging}/lanquet5.service")
configure_file("${LANQUET5_SOURCE}/lanquet5.service.in" "${staged}" @ONLY)
file(INSTALL "${staged}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
# The settings are the administrator's once installed: never overwritten.
if(EXISTS "$ENV{DESTDIR}${LANQUET5_ENV_FILE}")
  message(STATUS "Kept: $ENV{DESTDIR}${LANQUET5_ENV_FILE}")
else()
  file(INSTALL DESTINATION "${etc}/default" TYPE FILE RENAME lanquet5 FILES "${LANQUET5_SOURCE}/lanquet5.default")
endif()
