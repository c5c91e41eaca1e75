# Man pages for the installed programs, made by help2man from each program's
# --help, with the sections in docs/man/<program>.h2m, and compressed as
# Debian installs them (gzip -9n: no name or time stamp). Linux builds only;
# without help2man there are none (VANTORIX_DEB_PACKAGE requires them).
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
        COMMAND gzip -9nf ${page}
        DEPENDS ${program} ${sections}
        COMMENT "Man page of ${program}"
        VERBATIM)
    list(APPEND VANTORIX_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(vantorix_man_pages ALL DEPENDS ${VANTORIX_MAN_PAGES})
install(FILES ${VANTORIX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
