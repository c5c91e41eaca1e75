# Windows x86_64 with the Microsoft C++ ABI (clang + lld-link); see clang-msvc-common.cmake.
set(VANTORIX_MSVC_TARGET_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
