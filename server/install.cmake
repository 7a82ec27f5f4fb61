# What `cmake --install` puts beside bin/quorvel-server: the system unit, the example
# configuration and the man page. Included by server/CMakeLists.txt, which installs the
# program. The configuration goes to PREFIX/etc/quorvel, or /etc/quorvel under the /usr prefix
# (as GNUInstallDirs places it), decided when installing so that `--prefix` is honoured.
include(GNUInstallDirs)

install(CODE "
  set(sysconf \"${CMAKE_INSTALL_SYSCONFDIR}\")
  if(NOT IS_ABSOLUTE \"\${sysconf}\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(sysconf \"/\${sysconf}\")
    else()
      set(sysconf \"\${CMAKE_INSTALL_PREFIX}/\${sysconf}\")
    endif()
  endif()
  file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/server.conf\" DESTINATION \"\${sysconf}/quorvel\")
  # The unit names the program and the configuration where they are installed.
  file(READ \"${CMAKE_CURRENT_LIST_DIR}/quorvel-server.service.in\" unit)
  string(REPLACE \"@CMAKE_INSTALL_FULL_BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" unit \"\${unit}\")
  string(REPLACE \"@QUORVEL_CONFIG_DIR@\" \"\${sysconf}/quorvel\" unit \"\${unit}\")
  file(WRITE \"${CMAKE_CURRENT_BINARY_DIR}/quorvel-server.service\" \"\${unit}\")
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorvel-server.service DESTINATION lib/systemd/system)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvel-server.1 ${CMAKE_CURRENT_BINARY_DIR}/quorvel-server.1 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorvel-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
