# Runs the Windows test programs under Wine, in a prefix of this build tree's
# own (made on first use by wine-run.sh with the 64-bit loader): x86-64
# programs with the 64-bit loader, 32-bit ones with the 32-bit loader, which
# needs a kernel that runs 32-bit x86 programs. Sets VANTORIX_CAN_RUN.
include_guard(GLOBAL)
if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(VANTORIX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        set(VANTORIX_WINE_LOADER /usr/lib/wine/wine64)
    else()
        set(VANTORIX_WINE_LOADER /usr/lib/wine/wine)
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE @ONLY)
    # Can this loader start a Windows program here? Wine's own command
    # interpreter, of the loader's architecture, must pass an exit code back.
    execute_process(COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh cmd.exe /c exit 37
                    RESULT_VARIABLE wine_result OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
    if(wine_result STREQUAL "37")
        set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
        set(VANTORIX_CAN_RUN ON)
        message(STATUS "Windows ${CMAKE_SYSTEM_PROCESSOR} tests run under ${VANTORIX_WINE_LOADER}")
    else()
        set(VANTORIX_CAN_RUN OFF)
        message(WARNING "${VANTORIX_WINE_LOADER} cannot start a Windows ${CMAKE_SYSTEM_PROCESSOR} "
                        "program here (${wine_result}): for a 32-bit build, install wine32:i386 "
                        "(scripts/install-deps.sh) and run on a kernel with 32-bit x86 support. "
                        "The tests are not run; this build is only built and its exports checked.")
    endif()
elseif(NOT CMAKE_CROSSCOMPILING)
    set(VANTORIX_CAN_RUN ON)
endif()
