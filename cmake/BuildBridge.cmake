# Run with -P by the .deb's build: the bridge from the two MinGW presets'
# build trees (build/mingw-x64, build/mingw-i686), configured when they are
# not yet and brought up to date, stripped into OUTPUT/x64 and OUTPUT/x86.
# scripts/test.sh builds those presets before the deb, so this mostly finds
# them done. Without MinGW-w64 it fails, naming what to install.
foreach(pair IN ITEMS mingw-x64:x64 mingw-i686:x86)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 preset)
    list(GET pair 1 folder)
    set(tree ${SOURCE}/build/${preset})
    if(NOT EXISTS ${tree}/CMakeCache.txt)
        execute_process(COMMAND ${CMAKE_COMMAND} --preset ${preset} WORKING_DIRECTORY ${SOURCE}
                        OUTPUT_QUIET RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "The .deb carries vantorix-bridge.exe from the ${preset} preset, which does not "
                                "configure: install MinGW-w64 (scripts/install-deps.sh windows) and build it")
        endif()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${tree} --target vantorix-bridge
                    WORKING_DIRECTORY ${SOURCE} COMMAND_ERROR_IS_FATAL ANY)
    file(STRINGS ${tree}/CMakeCache.txt strip REGEX "^CMAKE_STRIP:")
    string(REGEX REPLACE "^[^=]*=" "" strip "${strip}")
    file(MAKE_DIRECTORY ${OUTPUT}/${folder})
    execute_process(COMMAND ${strip} -o ${OUTPUT}/${folder}/vantorix-bridge.exe ${tree}/bin/vantorix-bridge.exe
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
