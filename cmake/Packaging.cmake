# What `cmake --install` puts where, and the packages CPack builds from it:
# a .deb and a .tar.gz of the Linux build, a .zip of the Windows build.

set(CPACK_PACKAGE_NAME tandrel-service)
set(CPACK_PACKAGE_VENDOR "The Tandrel developers")
set(CPACK_PACKAGE_CONTACT "The Tandrel developers <developers@tandrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "opens the file manager when a serial device signals")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(packaging "${PROJECT_SOURCE_DIR}/packaging")

if(WIN32)
  # Flat: the two programs side by side (the launcher starts the service from
  # its own folder), the scripts that install them for the current user.
  install(TARGETS tandrel-service tandrel-launcher RUNTIME DESTINATION .)
  foreach(script install.cmd uninstall.cmd)
    # cmd wants CRLF line ends (labels and goto misbehave without them).
    configure_file("${packaging}/windows/${script}" "${CMAKE_CURRENT_BINARY_DIR}/${script}" @ONLY NEWLINE_STYLE CRLF)
    install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${script}" DESTINATION .)
  endforeach()
  install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(TANDREL_DOCDIR "${CMAKE_INSTALL_DATADIR}/doc/tandrel-service")
# Where the user unit and the xdg-open wrapper live; systemd looks for
# packaged user units in <prefix>/lib/systemd/user whatever the multiarch
# library folder is.
set(TANDREL_UNITDIR "lib/systemd/user")
set(TANDREL_HELPERDIR "lib/tandrel-service")
set(TANDREL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
set(TANDREL_FULL_HELPERDIR "${CMAKE_INSTALL_PREFIX}/${TANDREL_HELPERDIR}")
set(TANDREL_XDG_OPEN /usr/bin/xdg-open)
configure_file("${packaging}/linux/tandrel-service.service.in" tandrel-service.service @ONLY)
configure_file("${packaging}/linux/xdg-open.in" xdg-open @ONLY)

# Debian wants the manual page and the changelog compressed, reproducibly.
find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(pair "tandrel-service.1|tandrel-service.1.gz" "changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 output)
  add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${output}"
                     COMMAND ${GZIP} -9nc "${packaging}/linux/${source}" > "${CMAKE_CURRENT_BINARY_DIR}/${output}"
                     DEPENDS "${packaging}/linux/${source}")
  list(APPEND compressed "${CMAKE_CURRENT_BINARY_DIR}/${output}")
endforeach()
add_custom_target(tandrel_compressed_docs ALL DEPENDS ${compressed})

install(TARGETS tandrel-service RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/tandrel-service.service" DESTINATION "${TANDREL_UNITDIR}")
install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/xdg-open" DESTINATION "${TANDREL_HELPERDIR}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/tandrel-service.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${packaging}/linux/copyright"
              "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz"
        DESTINATION "${TANDREL_DOCDIR}")

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A small service that waits for a signal pattern from a device on a serial\n"
    "port and, when the pattern comes, opens a file-manager window. A systemd\n"
    "user unit keeps it armed for the whole graphical session of every user.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${packaging}/linux/postinst" "${packaging}/linux/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
