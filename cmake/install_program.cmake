# Installs the program and what runs it as a service: `make install`
# (PREFIX, DESTDIR) and the Debian package (prefix /usr) both go through here.
include(GNUInstallDirs)

# systemd and Wireshark look in their own folders, whatever the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(HUBD_UNIT_DIR_DEFAULT "/lib/systemd/system")
  set(HUBD_SYSUSERS_DIR_DEFAULT "/usr/lib/sysusers.d")
else()
  set(HUBD_UNIT_DIR_DEFAULT "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  set(HUBD_SYSUSERS_DIR_DEFAULT "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d")
endif()
set(HUBD_SYSTEMD_UNIT_DIR "${HUBD_UNIT_DIR_DEFAULT}" CACHE PATH "where hubd.service goes")
set(HUBD_SYSUSERS_DIR "${HUBD_SYSUSERS_DIR_DEFAULT}" CACHE PATH "where the hubd user's sysusers.d entry goes")
set(HUBD_WIRESHARK_DIR "${CMAKE_INSTALL_FULL_LIBDIR}/wireshark" CACHE PATH
    "Wireshark's folder with plugins/ (the Lua dissector) and extcap/")

set(HUBD_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
configure_file("${HUBD_PACKAGING_DIR}/hubd.service" "${PROJECT_BINARY_DIR}/packaging/hubd.service" @ONLY)

install(TARGETS hubd RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${HUBD_PACKAGING_DIR}/hubd.8" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${HUBD_PACKAGING_DIR}/hubd.ini" DESTINATION "${CMAKE_INSTALL_FULL_SYSCONFDIR}/hubd")
install(FILES "${HUBD_PACKAGING_DIR}/hubd.logrotate" DESTINATION "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d"
        RENAME hubd)
install(FILES "${PROJECT_BINARY_DIR}/packaging/hubd.service" DESTINATION "${HUBD_SYSTEMD_UNIT_DIR}")
install(FILES "${HUBD_PACKAGING_DIR}/hubd.sysusers" DESTINATION "${HUBD_SYSUSERS_DIR}" RENAME hubd.conf)
install(FILES "${PROJECT_SOURCE_DIR}/tools/wireshark/hubd_log.lua" DESTINATION "${HUBD_WIRESHARK_DIR}/plugins")
install(PROGRAMS "${PROJECT_SOURCE_DIR}/tools/wireshark/hubd-extcap" DESTINATION "${HUBD_WIRESHARK_DIR}/extcap")
