# Installation (cmake --install) and the Debian package (cpack -G DEB, see scripts/package.sh).
#   <bindir>                  quelvar, quelvar-scan
#   <libexecdir>/quelvar      quelvar-capture (the only file that may get capture rights), Dorrinel
#   <datadir>/quelvar         the shipped setting.ini, the help file
#   <datadir>/applications, icons/hicolor, metainfo, <mandir>: what the desktop and man need
#   <datadir>/doc/quelvar     copyright (machine-readable, DEP-5) and the package's changelog
# platform/settings_location.h finds these folders from the programs' own folder.

install(TARGETS quelvar-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quelvar-capture RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/quelvar)
if(TARGET quelvar)
  install(TARGETS quelvar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET Dorrinel)
  install(TARGETS Dorrinel RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/quelvar)
endif()
install(FILES data/setting.ini data/help/readme.html DESTINATION ${CMAKE_INSTALL_DATADIR}/quelvar)

install(FILES data/desktop/quelvar.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/desktop/example.quelvar.Quelvar.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/desktop/quelvar.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
if(TARGET quelvar-icons)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

# Man pages, compressed as Debian keeps them.
set(QUELVAR_MAN_PAGES quelvar.1 quelvar-scan.1 quelvar-capture.8)
set(man_outputs)
foreach(page ${QUELVAR_MAN_PAGES})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -n -9 -c ${CMAKE_SOURCE_DIR}/data/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/data/man/${page} VERBATIM)
  list(APPEND man_outputs ${out})
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(quelvar_man ALL DEPENDS ${man_outputs})

# The copyright file and the changelog, as Debian policy puts them. The package is native (its own
# upstream, no Debian revision), so its one changelog is changelog.gz, not changelog.Debian.gz.
set(QUELVAR_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quelvar)
set(changelog_gz ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND gzip -n -9 -c ${CMAKE_SOURCE_DIR}/data/debian/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/data/debian/changelog VERBATIM)
add_custom_target(quelvar_doc ALL DEPENDS ${changelog_gz})
install(FILES data/debian/copyright ${changelog_gz} DESTINATION ${QUELVAR_DOC_DIR})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelvar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quelvar developers <dev@quelvar.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the addresses of the files that programs fetch")
set(CPACK_PACKAGE_DESCRIPTION
  "Quelvar watches the network traffic of the computer it runs on and lists the\n\
addresses of the files that programs fetch or stream: video, audio, pictures,\n\
text and any type you add, each with its category, its direction and the\n\
packet it came from. quelvar-scan does the same without a window.\n\
Live capture runs through a small helper, quelvar-capture, the only file that\n\
may get capture rights.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libpcap and libcrypto (libssl3) are loaded at run time by the window and quelvar-scan, so that
# dpkg-shlibdeps cannot see them; setcap sets the helper's rights.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcap0.8, libssl3, libcap2-bin, passwd, debconf (>= 0.5) | debconf-2.0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/data/debian/templates ${CMAKE_SOURCE_DIR}/data/debian/config
  ${CMAKE_SOURCE_DIR}/data/debian/postinst ${CMAKE_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Installed programs carry no symbol tables (Debian keeps those in -dbgsym packages).
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
