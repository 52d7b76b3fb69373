# What is installed, and the packages CPack makes of it (make package): a Debian
# package of the Linux build, a zip of the Windows build.

set(PORTS_MAINTAINER "The ports developers <ports@example.org>"
    CACHE STRING "The packages' maintainer, name and address")

set(CPACK_PACKAGE_NAME ports)
set(CPACK_PACKAGE_VENDOR "The ports developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_THREADS 1)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The zip: the exe, signed when a certificate is given, the notes for Windows hubs
  # and the license, in one folder.
  install(TARGETS plugin_ports RUNTIME DESTINATION .)
  install(CODE "set(PORTS_SIGN_FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/plugin_ports.exe\")")
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/sign.cmake)
  # The notes with Windows line ends, which every Windows editor shows as lines.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
                 ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ports-${PROJECT_VERSION}-windows-x64)
else()
  # Debian's layout: CGI programs under /usr/lib/cgi-bin (in a folder of the
  # package's own), documentation under /usr/share/doc/ports.
  set(doc share/doc/ports)
  install(TARGETS plugin_ports RUNTIME DESTINATION lib/cgi-bin/ports)
  # The reader, outside every CGI folder; postinst makes it root:ports 0750 and gives it
  # its two file capabilities.
  install(TARGETS ports-reader RUNTIME DESTINATION libexec/ports)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${doc})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/debian/examples DESTINATION ${doc})
  # Prometheus' alerting rules, for rule_files: (docs/monitoring.md).
  install(FILES ${PROJECT_SOURCE_DIR}/monitoring/ports.rules.yml
          DESTINATION share/ports/prometheus)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
          DESTINATION share/lintian/overrides RENAME ports)
  # The changelog, compressed as Debian wants it: at the highest level, without the
  # name and time of the file.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
                 ${CMAKE_CURRENT_BINARY_DIR}/package/changelog @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz
    COMMAND gzip -9 -n -k -f changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/package/changelog
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz DESTINATION ${doc})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PORTS_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Static: it needs no library. Any web server that runs CGI programs can be its hub.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS httpd-cgi)
  # The maintainer scripts make the group ports and give the reader its capabilities.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libcap2-bin")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION
      "The hub starts it once per HTTP request. It lists the node's listening TCP and\n"
      "UDP sockets with the process that owns each, tests whether a port on\n"
      "127.0.0.1 accepts connections and answers HTTP, and serves a self-contained\n"
      "web page that drives this. An optional node password guards everything.\n"
      "A hub account in the group ports (www-data is added) reads other accounts'\n"
      "sockets and processes through /usr/libexec/ports/ports-reader, which holds\n"
      "two file capabilities.\n"
      "Example configurations for lighttpd, Apache, and nginx with fcgiwrap are in\n"
      "/usr/share/doc/ports/examples.")
  string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
endif()

include(CPack)
