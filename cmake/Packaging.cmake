# Debian package of the installed program: `cpack -G DEB` in a build directory.
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
    "metrics.")
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
    # batmond: the /metrics endpoint.
    "libqt6network6 (>= 6.4.0)"
    # Faces the window's font names are mapped to: Chinese sans, Kai, Latin, and DejaVu for ℃.
    fonts-wqy-microhei
    fonts-arphic-ukai
    fonts-liberation
    fonts-dejavu-core)
list(JOIN batmon_runtime_packages ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The spreadsheet export drives LibreOffice Calc; everything else works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libreoffice-calc)
# batmond's settings survive upgrades as a configuration file.
set(batmon_conffiles "${CMAKE_CURRENT_BINARY_DIR}/debian-conffiles/conffiles")
file(WRITE "${batmon_conffiles}" "/etc/batmon/batmond.conf\n")
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${batmon_conffiles}")

include(CPack)
