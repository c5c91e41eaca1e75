# --web-config: TLS (OpenSSL, through Boost.Asio), bcrypt (libxcrypt) and the
# file's YAML (yaml-cpp), from Debian's libssl-dev, libcrypt-dev and
# libyaml-cpp-dev. Debian packages none of them for MinGW, so the Windows
# builds take WebConfigUnavailable.cpp, which refuses the option.
if(WIN32)
    target_sources(vantorix-info PRIVATE tools/serve/WebConfigUnavailable.cpp)
    return()
endif()
find_package(OpenSSL)
find_package(yaml-cpp CONFIG)
find_library(VANTORIX_LIBCRYPT crypt)
find_path(VANTORIX_HEADER_crypt crypt.h)
if(NOT OpenSSL_FOUND OR NOT yaml-cpp_FOUND OR NOT VANTORIX_LIBCRYPT OR NOT VANTORIX_HEADER_crypt)
    message(FATAL_ERROR "OpenSSL, yaml-cpp or libxcrypt not found: install libssl-dev, libyaml-cpp-dev and "
                        "libcrypt-dev (scripts/install-deps.sh does)")
endif()
target_sources(vantorix-info PRIVATE tools/serve/WebConfig.cpp tools/serve/WebConfigTls.cpp)
target_link_libraries(vantorix-info PRIVATE yaml-cpp OpenSSL::SSL OpenSSL::Crypto ${VANTORIX_LIBCRYPT})
