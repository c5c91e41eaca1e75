# Linux, from packaging/: the systemd user units of the publisher and the
# server (not enabled), the system services for servers (the publisher and
# the server as the system user vantorix, made by a sysusers.d file; the server's arguments in <sysconfdir>/default/vantorix-info-serve),
# the Grafana dashboard and, in the .deb, the Windows bridge with its
# launcher. VANTORIX_DEB_CONTROL_EXTRA and VANTORIX_DEB_PRERM are the .deb's
# maintainer scripts for them (cmake/Packaging.cmake).
if(WIN32)
    return()
endif()

# /etc/default for the /usr prefix (the .deb), <prefix>/etc/default otherwise,
# so that an install under any prefix stays inside it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(defaults_dir /etc/default)
else()
    set(defaults_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
endif()
set(VANTORIX_SERVE_DEFAULTS ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/vantorix-info-serve)
foreach(unit vantorix-publisher vantorix-info-serve)
    configure_file(packaging/systemd/user/${unit}.service.in ${CMAKE_BINARY_DIR}/${unit}.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/${unit}.service DESTINATION lib/systemd/user)
    configure_file(packaging/systemd/system/${unit}.service.in ${CMAKE_BINARY_DIR}/system/${unit}.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/system/${unit}.service DESTINATION lib/systemd/system)
endforeach()
install(FILES packaging/vantorix-info-serve.default DESTINATION ${defaults_dir} RENAME vantorix-info-serve)
install(FILES packaging/getvantorixinfo.sysusers DESTINATION lib/sysusers.d RENAME getvantorixinfo.conf)

install(FILES grafana/vantorix-fleet.json DESTINATION ${CMAKE_INSTALL_DATADIR}/getvantorixinfo/grafana)

file(WRITE ${CMAKE_BINARY_DIR}/deb/conffiles "${VANTORIX_SERVE_DEFAULTS}\n")
set(VANTORIX_DEB_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/conffiles ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(VANTORIX_DEB_PRERM "if [ \"$1\" = remove ] && [ -d /run/systemd/system ]; then
    systemctl stop vantorix-info-serve.service vantorix-publisher.service || true
fi
")

# The bridge, both Windows builds, from the MinGW presets (cmake/BuildBridge.cmake).
if(VANTORIX_DEB_PACKAGE)
    # lib/, not the multiarch folder: these are Windows programs.
    set(bridge_dir lib/getvantorixinfo)
    set(VANTORIX_BRIDGE_DIR ${CMAKE_INSTALL_PREFIX}/${bridge_dir})
    set(bridge ${CMAKE_BINARY_DIR}/bridge)
    add_custom_target(vantorix_bridge_exes ALL
        COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DOUTPUT=${bridge}
                -P ${PROJECT_SOURCE_DIR}/cmake/BuildBridge.cmake
        COMMENT "vantorix-bridge.exe from the mingw-x64 and mingw-i686 presets"
        VERBATIM)
    install(FILES ${bridge}/x64/vantorix-bridge.exe DESTINATION ${bridge_dir}/x64)
    install(FILES ${bridge}/x86/vantorix-bridge.exe DESTINATION ${bridge_dir}/x86)
    configure_file(tools/bridge/vantorix-bridge.in ${CMAKE_BINARY_DIR}/vantorix-bridge @ONLY)
    install(PROGRAMS ${CMAKE_BINARY_DIR}/vantorix-bridge DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
