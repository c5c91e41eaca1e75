# Windows i686 with the Microsoft C++ ABI (clang + lld-link); see clang-msvc-common.cmake.
set(VANTORIX_MSVC_TARGET_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
