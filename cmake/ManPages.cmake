# Man pages for the installed programs, made by help2man from each program's
# --help, with the sections in docs/man/<program>.h2m, and compressed as
# Debian installs them (gzip -9n: no name or time stamp). The "Exit status:"
# that ends a --help becomes the page's EXIT STATUS section
# (cmake/ManPageExitStatus.cmake). The bridge's page is written by hand
# (docs/man/vantorix-bridge.1.in): it is a Windows program, which help2man
# cannot run here; it is installed where the bridge is, with the .deb.
# Linux builds only; without help2man there are none (VANTORIX_DEB_PACKAGE
# requires them).
if(WIN32 OR CMAKE_CROSSCOMPILING)
    return()
endif()
if(VANTORIX_DEB_PACKAGE)
    find_program(VANTORIX_HELP2MAN help2man REQUIRED)
else()
    find_program(VANTORIX_HELP2MAN help2man)
endif()
if(NOT VANTORIX_HELP2MAN)
    message(STATUS "help2man not found: no man pages")
    return()
endif()

set(VANTORIX_MAN_PAGES)
foreach(program vantorix-info vantorix-publisher)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    set(sections ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${VANTORIX_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
                --include=${sections} --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${CMAKE_COMMAND} -DPAGE=${page} -P ${PROJECT_SOURCE_DIR}/cmake/ManPageExitStatus.cmake
        COMMAND gzip -9nf ${page}
        DEPENDS ${program} ${sections} ${PROJECT_SOURCE_DIR}/cmake/ManPageExitStatus.cmake
        COMMENT "Man page of ${program}"
        VERBATIM)
    list(APPEND VANTORIX_MAN_PAGES ${page}.gz)
endforeach()

set(bridge_page ${CMAKE_BINARY_DIR}/man/vantorix-bridge.1)
configure_file(docs/man/vantorix-bridge.1.in ${bridge_page} @ONLY)
add_custom_command(OUTPUT ${bridge_page}.gz
    COMMAND gzip -9nkf ${bridge_page}
    DEPENDS ${bridge_page}
    COMMENT "Man page of vantorix-bridge"
    VERBATIM)

add_custom_target(vantorix_man_pages ALL DEPENDS ${VANTORIX_MAN_PAGES} ${bridge_page}.gz)
install(FILES ${VANTORIX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(VANTORIX_DEB_PACKAGE)
    install(FILES ${bridge_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
