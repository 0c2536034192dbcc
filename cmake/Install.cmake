# What `cmake --install` puts where, and the Debian package `cpack -G DEB` makes of it: the program,
# the simulator and its monitor, the tools, the two client libraries with their headers, and the
# program's menu entry (through the launcher vek72-launch) and icon.
include(GNUInstallDirs)

set(STENDIX_INSTALLED_PROGRAMS vek72 vekd vekctl vek72-plan vek72-play vek72-verify vekscope)

# The libraries carry their interface version in their file names.
set_target_properties(vekapi vek72api PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
# Installed programs find the libraries installed beside them under any prefix, also from an
# unpacked package that was never installed.
set_target_properties(${STENDIX_INSTALLED_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS ${STENDIX_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The menu entry starts the program through this launcher, in a data folder of the user's own.
install(PROGRAMS tools/vek72-launch/vek72-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vekapi vek72api LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES platform/vekapi/vekapi.h platform/vek72api/vek72api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES resources/vek72.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/icons/vek72.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)

set(CPACK_PACKAGE_NAME vek72)
set(CPACK_PACKAGE_VENDOR ZELMAR)
set(CPACK_PACKAGE_CONTACT "ZELMAR bench software <bench@zelmar.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VEK72 bench program, crate service simulator and tools")
set(CPACK_PACKAGE_DESCRIPTION "The bench program for the VEK72 DAC output module (vek72), the crate \
service simulator vekd and its monitor vekctl, the signal planner vek72-plan, the page player vek72-play, \
the oscilloscope view vekscope, and the client libraries vekapi and vek72api with their headers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The dependencies are the Debian packages of the libraries the programs link (found by
# dpkg-shlibdeps), and Qt's translations, which the program loads rather than links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qttranslations5-l10n")
include(CPack)
