# Runs the Windows test programs under Wine, in a prefix of this build tree's
# own (made on first use by wine-run.sh with the 64-bit loader): x86-64
# programs with the 64-bit loader, 32-bit ones with the 32-bit loader, which
# needs a kernel that runs 32-bit x86 programs. wine-server.sh keeps one Wine
# session for a whole suite (tests/CMakeLists.txt). Sets VANTORIX_CAN_RUN; where
# the programs cannot run, says why in not-run.txt, which scripts/test.sh shows.
include_guard(GLOBAL)
if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(VANTORIX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        set(loader /usr/lib/wine/wine64)
    else()
        set(loader /usr/lib/wine/wine)
    endif()
    set(VANTORIX_WINE_LOADER ${loader} CACHE FILEPATH "The Wine loader that runs this build's programs")
    foreach(script wine-run.sh wine-server.sh)
        configure_file(${PROJECT_SOURCE_DIR}/cmake/${script}.in ${CMAKE_BINARY_DIR}/${script}
                       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                        WORLD_READ WORLD_EXECUTE @ONLY)
    endforeach()
    # Can this loader start a Windows program here? Wine's own command
    # interpreter, of the loader's architecture, must pass an exit code back.
    execute_process(COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh cmd.exe /c exit 37
                    RESULT_VARIABLE wine_result OUTPUT_QUIET ERROR_QUIET TIMEOUT 300)
    file(REMOVE ${CMAKE_BINARY_DIR}/not-run.txt)
    if(wine_result STREQUAL "37")
        set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
        set(VANTORIX_CAN_RUN ON)
        message(STATUS "Windows ${CMAKE_SYSTEM_PROCESSOR} tests run under ${VANTORIX_WINE_LOADER}")
    else()
        # Why not: the loader is missing, the kernel refuses its format (a
        # kernel without 32-bit x86 support), or Wine itself fails.
        execute_process(COMMAND bash -c "exec \"$0\" --version" ${VANTORIX_WINE_LOADER}
                        RESULT_VARIABLE loader_result OUTPUT_QUIET ERROR_VARIABLE loader_error TIMEOUT 60)
        if(NOT EXISTS ${VANTORIX_WINE_LOADER})
            set(why "${VANTORIX_WINE_LOADER} is not installed (scripts/install-deps.sh windows installs it)")
        elseif(loader_error MATCHES "Exec format error")
            set(why "this kernel cannot start 32-bit programs")
        elseif(NOT loader_result STREQUAL "0")
            string(STRIP "${loader_error}" loader_error)
            set(why "${VANTORIX_WINE_LOADER} does not start: ${loader_error}")
        else()
            set(why "Wine's cmd.exe did not pass its exit code back under ${VANTORIX_WINE_LOADER} (${wine_result})")
        endif()
        set(VANTORIX_CAN_RUN OFF)
        file(WRITE ${CMAKE_BINARY_DIR}/not-run.txt "${why}\n")
        message(WARNING "${why}. The tests are listed but not run (ctest shows them as Disabled) "
                        "and not built; this build is only built and its exports checked.")
    endif()
elseif(NOT CMAKE_CROSSCOMPILING)
    set(VANTORIX_CAN_RUN ON)
endif()
