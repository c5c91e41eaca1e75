# Runs the x86-64 Windows test programs under Wine, in a prefix of this build
# tree's own (made on first use by wine-run.sh). Sets VANTORIX_CAN_RUN.
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(VANTORIX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
    set(VANTORIX_CAN_RUN ON)
elseif(NOT CMAKE_CROSSCOMPILING)
    set(VANTORIX_CAN_RUN ON)
else()
    set(VANTORIX_CAN_RUN OFF)  # 32-bit Windows: built and inspected, not run here
endif()
