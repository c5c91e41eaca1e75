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
