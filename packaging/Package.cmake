# The Debian package (cpack -G DEB): the four programs in /usr/bin with their manual pages, the
# service unit in /lib/systemd/system, the commented settings in /usr/share/doc/zarnel,
# maintainer scripts that create the zarnel user and /var/lib/zarnel.

# The version the server announces is the package's.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/common/UnitZarnelGlobal.h version_line
     REGEX "ServerVersion = \"[0-9.]+\"")
string(REGEX MATCH "[0-9.]+" ZARNEL_VERSION "${version_line}")
if(NOT ZARNEL_VERSION)
  message(FATAL_ERROR "ServerVersion not found in src/common/UnitZarnelGlobal.h")
endif()

# Fuzz builds instrument the tools, whose pages they do not need.
if(NOT ZARNEL_FUZZ)
  include(${CMAKE_CURRENT_LIST_DIR}/man/Man.cmake)
endif()

# Only the package puts files outside the install prefix.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zarnel.service DESTINATION /lib/systemd/system
        COMPONENT package EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zarnel.ini.example DESTINATION share/doc/zarnel
        COMPONENT package EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarnel)
set(CPACK_PACKAGE_VERSION ${ZARNEL_VERSION})
set(CPACK_PACKAGE_CONTACT "Zarnel Server maintainers <zarnel@zarnel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game recording and broadcast server")
set(CPACK_PACKAGE_DESCRIPTION
    "Stores recordings of played games uploaded while they are played and broadcasts them\n\
to viewers, live or from any section, with an admin port, a status page and metrics.\n\
Runs as the systemd service zarnel in /var/lib/zarnel.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# One package of the programs and the package's own files, not the from-source share/zarnel.
set(CPACK_COMPONENTS_ALL programs package)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
