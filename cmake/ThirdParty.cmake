# Header-only libraries the tools use, from Debian's packages: CLI11
# (libcli11-dev) and nlohmann-json (nlohmann-json3-dev). A cross build looks
# only inside its target's root, so their folders are linked into the build
# tree from the build machine's include directory: the headers are the same
# for every target. The interface target vantorix_thirdparty carries them.
set(VANTORIX_THIRDPARTY_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty/include)
foreach(entry CLI/CLI.hpp nlohmann/json.hpp)
    string(REGEX REPLACE "[/.]" "_" variable "VANTORIX_HEADER_${entry}")
    find_path(${variable} ${entry} NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ${variable})
        message(FATAL_ERROR "${entry} not found: install libcli11-dev and nlohmann-json3-dev "
                            "(scripts/install-deps.sh does)")
    endif()
    get_filename_component(folder ${entry} DIRECTORY)
    if(NOT EXISTS ${VANTORIX_THIRDPARTY_INCLUDE}/${folder})
        file(MAKE_DIRECTORY ${VANTORIX_THIRDPARTY_INCLUDE})
        file(CREATE_LINK ${${variable}}/${folder} ${VANTORIX_THIRDPARTY_INCLUDE}/${folder} SYMBOLIC)
    endif()
endforeach()
add_library(vantorix_thirdparty INTERFACE)
target_include_directories(vantorix_thirdparty SYSTEM INTERFACE ${VANTORIX_THIRDPARTY_INCLUDE})

# --serve: cpp-httplib (libcpp-httplib-dev) and Chart.js (libjs-chart.js).
# Debian builds cpp-httplib as a library for its own architecture, with a
# header of declarations only, so only native builds have the server; the
# Windows builds go without (ServeUnavailable.cpp). The header is linked in
# like the others; the library, and the options it was built with (which
# change its classes), come from its pkg-config file. Chart.js is embedded in
# the tool with the live page (cmake/Embed.cmake).
set(VANTORIX_SERVE OFF)
if(NOT CMAKE_CROSSCOMPILING)
    find_package(PkgConfig)
    if(PkgConfig_FOUND)
        pkg_check_modules(VANTORIX_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
    endif()
    find_path(VANTORIX_HEADER_httplib httplib.h)
    find_file(VANTORIX_CHART_JS chart.min.js PATHS /usr/share/javascript/chart.js NO_DEFAULT_PATH)
    if(NOT VANTORIX_HTTPLIB_FOUND OR NOT VANTORIX_HEADER_httplib OR NOT VANTORIX_CHART_JS)
        message(FATAL_ERROR "cpp-httplib or Chart.js not found: install pkgconf, libcpp-httplib-dev and "
                            "libjs-chart.js (scripts/install-deps.sh does)")
    endif()
    if(NOT EXISTS ${VANTORIX_THIRDPARTY_INCLUDE}/httplib.h)
        file(CREATE_LINK ${VANTORIX_HEADER_httplib}/httplib.h ${VANTORIX_THIRDPARTY_INCLUDE}/httplib.h SYMBOLIC)
    endif()
    add_library(vantorix_httplib INTERFACE)
    target_link_libraries(vantorix_httplib INTERFACE PkgConfig::VANTORIX_HTTPLIB vantorix_thirdparty)
    set(VANTORIX_SERVE ON)
endif()
