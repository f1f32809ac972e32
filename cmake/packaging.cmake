# Installing and packaging: `cmake --install` puts the tools and the manual
# page in the usual places; CPack makes a .deb on Linux and a .zip holding
# Vintrel.exe on Windows.
include(GNUInstallDirs)

if(WIN32)
  # A Windows user unpacks the archive and finds the program at its top.
  install(TARGETS Vintrel RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS Vintrel vintrel-receive RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES Vintrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME vintrel)
set(CPACK_PACKAGE_VENDOR "Vintrel developers")
set(CPACK_PACKAGE_CONTACT "Vintrel developers <vintrel@example.org>")
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION 1.0.0)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "upload a program to a device on a serial port")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Vintrel reads a program's header (.hea) and image (.bin) files and sends them\n"
    "to a device on a serial port at 38400 baud, 8N1, as one upload frame with\n"
    "16-bit check values. vintrel-receive is the receiving end: it takes one\n"
    "frame from a serial device or a pseudo-terminal and checks it.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
