# vantorix-infow.exe: vantorix-info for Windows' GUI subsystem, which opens
# no console window (the installer starts it at each logon), its output in a
# log. The same objects as vantorix-info.exe, linked again with
# windowless_win32.cpp in the place of console_output.cpp.
if(NOT WIN32)
    return()
endif()
add_executable(vantorix-infow WIN32
    $<FILTER:$<TARGET_OBJECTS:vantorix-info>,EXCLUDE,console_output>
    tools/reader/windowless_win32.cpp)
target_include_directories(vantorix-infow PRIVATE tools/reader)
target_link_libraries(vantorix-infow PRIVATE vantorix_reading vantorix_serve vantorix_mqtt)
target_compile_definitions(vantorix-infow PRIVATE VANTORIX_VERSION="${PROJECT_VERSION}")
vantorix_warnings(vantorix-infow)
