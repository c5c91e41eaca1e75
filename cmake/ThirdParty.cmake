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

# --serve: Boost.Beast on Boost.Asio (libboost-dev, header-only), for every
# build of the tool. Boost is linked in like the others, as a folder of its
# own, so that no other header of the build machine reaches a Windows build.
# Windows needs its socket libraries; Linux has TLS from OpenSSL
# (libssl-dev), which Debian has for Linux only.
find_path(VANTORIX_HEADER_boost boost/beast.hpp NO_CMAKE_FIND_ROOT_PATH)
if(NOT VANTORIX_HEADER_boost)
    message(FATAL_ERROR "Boost.Beast not found: install libboost-dev (scripts/install-deps.sh does)")
endif()
if(NOT EXISTS ${VANTORIX_THIRDPARTY_INCLUDE}/boost)
    file(CREATE_LINK ${VANTORIX_HEADER_boost}/boost ${VANTORIX_THIRDPARTY_INCLUDE}/boost SYMBOLIC)
endif()
add_library(vantorix_asio INTERFACE)
target_link_libraries(vantorix_asio INTERFACE vantorix_thirdparty)
if(WIN32)
    target_compile_definitions(vantorix_asio INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
    target_link_libraries(vantorix_asio INTERFACE ws2_32 mswsock)
else()
    find_package(OpenSSL REQUIRED)
    find_package(Threads REQUIRED)
    target_link_libraries(vantorix_asio INTERFACE OpenSSL::SSL Threads::Threads)
endif()
