# Debian package of the installed program: `cpack -G DEB` in a build directory.
#
# CPack rather than a debian/ directory and dpkg-buildpackage: the package is made from the
# same install rules as `cmake --install` out of a tree that is already built, so what the
# install checks see is what the package holds, there is one build system to keep right, and
# packaging costs no second build. What debhelper would add is here by hand and checked by
# tests/install/check-package.sh with lintian: the copyright file and changelog, compressed
# manual pages, the conffiles, and maintainer scripts that enable nothing and stop the
# services on removal (packaging/).
#
# The run-time dependencies are listed by hand rather than found by dpkg-shlibdeps: shlibdeps
# would also scan the LibreOffice export plugin and make the office's UNO libraries hard
# dependencies, while the program is meant to start, and only lack the export, where LibreOffice
# is absent. The versions are what dpkg-shlibdeps reports for batmon and batmon-sim on Debian 12.

set(BATMON_PACKAGE_MAINTAINER
    "batmon maintainers <maintainers@users.noreply.c-seed-0bf8c812.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME batmon)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BATMON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor for battery sensor modules on a Modbus RTU bus")
# CPack does not wrap the long description: its lines are kept under 80 columns here.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Batmon polls two wireless storage-battery sensor devices over Modbus RTU on an\n"
    "RS-485 serial line and shows the voltage, temperature and status of each\n"
    "battery in a table, bar charts and history tables. It sends set-up commands to\n"
    "the devices and exports the tables to LibreOffice Calc. The user interface is\n"
    "Chinese.\n"
    "\n"
    "The package also contains batmon-sim, a simulated battery bus on a\n"
    "pseudo-terminal, and batmon-collector, which writes the readings that\n"
    "monitors publish over MQTT into a PostgreSQL database, and batmond, the\n"
    "monitor as a system service that publishes over MQTT and serves Prometheus\n"
    "metrics. Both services come with systemd units, which the package installs\n"
    "without enabling them, and Prometheus rules for batmond's metrics.")
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BATMON_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(batmon_runtime_packages
    # Linked libraries of batmon and batmon-sim.
    "libc6 (>= 2.34)"
    "libgcc-s1 (>= 3.0)"
    "libstdc++6 (>= 11)"
    "libqt6core6 (>= 6.4.0)"
    "libqt6gui6 (>= 6.4.0)"
    "libqt6widgets6 (>= 6.4.0)"
    # The history store and batmon-export: Qt SQL with its SQLite driver.
    "libqt6sql6 (>= 6.4.0)"
    "libqt6sql6-sqlite (>= 6.4.0)"
    "libjpeg62-turbo (>= 1.3.1)"
    "libfontconfig1 (>= 2.12.6)"
    # batmon-collector: MQTT in, PostgreSQL out.
    "libmosquitto1 (>= 2.0)"
    "libpq5 (>= 15)"
    # batmond: systemd's notifications; the web server of batmond and the window (cpp-httplib,
    # passwords checked by libcrypt).
    "libqt6network6 (>= 6.4.0)"
    "libsystemd0 (>= 252)"
    "libcpp-httplib0.11 (>= 0.11.4)"
    "libcrypt1 (>= 1:4.1.0)"
    # Faces the window's font names are mapped to: Chinese sans, Kai, Latin, and DejaVu for ℃.
    fonts-wqy-microhei
    fonts-arphic-ukai
    fonts-liberation
    fonts-dejavu-core)
list(JOIN batmon_runtime_packages ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The spreadsheet export drives LibreOffice Calc; everything else works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libreoffice-calc)
# The services' settings survive upgrades as configuration files.
set(batmon_conffiles "${CMAKE_CURRENT_BINARY_DIR}/debian-conffiles/conffiles")
file(WRITE "${batmon_conffiles}" "/etc/batmon/batmond.conf\n/etc/batmon/collector.conf\n")
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${batmon_conffiles}"
     "${PROJECT_SOURCE_DIR}/packaging/postinst" "${PROJECT_SOURCE_DIR}/packaging/prerm"
     "${PROJECT_SOURCE_DIR}/packaging/postrm")

# What Debian wants beside every package's files: the copyright, the changelog (compressed
# without a time stamp, so a rebuild gives the same file) and here the README the units name.
set(batmon_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/batmon)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/packaging/changelog
          ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${batmon_doc_dir})
# Deviations from lintian's defaults that are meant, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME batmon)

# The binaries lose the compiler's notes, which CPack's strip leaves in.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStaging.cmake)
set(CPACK_BATMON_STRIP ${CMAKE_STRIP})

include(CPack)
