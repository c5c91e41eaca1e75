# The .deb (CPack), from a build configured with VANTORIX_DEB_PACKAGE: the
# `deb` preset, which installs to /usr with the Python package:
#     cmake --preset deb && cmake --build --preset deb && cpack --preset deb
# The Windows .zip is put together from four builds by scripts/package-windows.sh.
if(WIN32)
    return()
endif()

set(CPACK_PACKAGE_NAME getvantorixinfo)
set(CPACK_PACKAGE_VENDOR "The GetVantorixInfo developers")
set(CPACK_PACKAGE_CONTACT "The GetVantorixInfo developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebTriggers.cmake)  # ldconfig by trigger
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "GetVantorixInfo lets programs read the processor readings (per-core load and
temperature, TjMax, clocks, name and counts) that the Vantorix monitor
publishes in shared memory. On Linux, vantorix-publisher publishes this
machine's readings; enable it per user with
systemctl --user enable --now vantorix-publisher,
or on a server, with its server, as the system user vantorix with
systemctl enable --now vantorix-publisher vantorix-info-serve.
This package has the library, its header, CMake and pkg-config files, the
reader tool vantorix-info with a systemd user unit for its server (not
enabled), vantorix-publisher with its systemd user unit, both as system
services (not enabled), Prometheus alert rules, a Grafana dashboard,
vantorix-bridge for Windows programs under Wine, the Python package
getvantorixinfo, and their man pages.")

if(VANTORIX_DEB_PACKAGE)
    set(CPACK_STRIP_FILES ON)
    # Debian's copyright file, with the licence (MIT, "Expat" to Debian).
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*)" found "${license}")
    set(holder "${CMAKE_MATCH_1}")
    set(text "${CMAKE_MATCH_2}")
    string(REGEX REPLACE "\n\n" "\n.\n" text "${text}")
    string(REGEX REPLACE "\n([^\n])" "\n \\1" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/deb/copyright
         "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
         "Upstream-Name: GetVantorixInfo\n\nFiles: *\nCopyright: ${holder}\nLicense: Expat\n ${text}\n")
    install(FILES ${CMAKE_BINARY_DIR}/deb/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

    # The system services' user, conffile and units (cmake/SystemService.cmake).
    # Python leaves compiled files beside the package's modules: they go
    # when the package goes.
    set(prerm "#!/bin/sh\nset -e\n${VANTORIX_DEB_PRERM}")
    if(VANTORIX_PYTHON_INSTALL_DIR)
        string(APPEND prerm "rm -rf '${CMAKE_INSTALL_PREFIX}/${VANTORIX_PYTHON_INSTALL_DIR}/getvantorixinfo/__pycache__'\n")
    endif()
    file(WRITE ${CMAKE_BINARY_DIR}/deb/prerm "${prerm}")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VANTORIX_DEB_CONTROL_EXTRA} ${CMAKE_BINARY_DIR}/deb/prerm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
