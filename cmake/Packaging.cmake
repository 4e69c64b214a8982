# What a Debian package of Glasswing holds beyond `cmake --install` of the program: the copyright
# file and the changelog in /usr/share/doc/glasswing (named after the package, where GNUInstallDirs'
# DOCDIR would name the project) and the manual page, compressed the way Debian's policy asks; and
# the CPack settings that make the .deb (scripts/package.sh runs it).

set(GLASSWING_PACKAGE_MAINTAINER "Tessaro <glasswing@tessaro.com>"
    CACHE STRING "The Maintainer field of the Debian package")

# The changelog's newest entry names the version the package is built as.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^glasswing \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog does not begin with an entry for ${PROJECT_VERSION}: ${changelog_head}")
endif()

# gzip -9n: the highest compression, and no name or time stamp in the header, so that the same
# sources give the same bytes.
set(packaging_dir ${CMAKE_BINARY_DIR}/packaging)
add_custom_command(
    OUTPUT ${packaging_dir}/changelog.gz
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${CMAKE_SOURCE_DIR}/packaging/changelog ${packaging_dir}/changelog.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
set(glasswing_manual_pages)
foreach(page glasswing.1 glasswing-preview.1)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${page}.in ${packaging_dir}/${page} @ONLY)
  add_custom_command(
      OUTPUT ${packaging_dir}/${page}.gz
      COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${packaging_dir}/${page} ${packaging_dir}/${page}.gz
      DEPENDS ${packaging_dir}/${page}
      VERBATIM)
  list(APPEND glasswing_manual_pages ${packaging_dir}/${page}.gz)
endforeach()
add_custom_target(glasswing_package_docs ALL DEPENDS ${packaging_dir}/changelog.gz ${glasswing_manual_pages})

install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${packaging_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/glasswing)
install(FILES ${glasswing_manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glasswing)
set(CPACK_PACKAGE_VENDOR Tessaro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${GLASSWING_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mirror design previews to nearby phones")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Directories the package makes are 0755 whatever the umask of whoever builds it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GLASSWING_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${GLASSWING_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Glasswing is a desktop companion for a design tool. The tool's
plug-in renders the design being worked on to an image; Glasswing picks up
each new image and mirrors it to nearby phones over an encrypted
peer-to-peer link on the local network (DNS-SD, TLS WebSockets).

A welcome window installs the plug-in with one click.")
# The libraries the binary links come from dpkg-shlibdeps. Qt's platform plug-ins and its SVG
# image plug-in are loaded at run time, so no linker dependency names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# Phones find the app through the Avahi daemon; on a Wayland session Qt uses its Wayland plug-in.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, qt6-wayland")

include(CPack)
