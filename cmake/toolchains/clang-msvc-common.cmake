# Shared by clang-msvc-i686.cmake and clang-msvc-x86_64.cmake, which set
# VANTORIX_MSVC_TARGET_ARCH (i686 or x86_64) before including this file.
#
# Builds for Windows with the Microsoft C++ ABI: Debian's clang targeting
# <arch>-pc-windows-msvc, linked by lld-link. There are no Microsoft SDK
# headers or libraries here: the MinGW-w64 headers stand in (the C++ headers
# used are thin wrappers over C ones), the system DLLs are linked through
# import libraries made from small .def files, and no C++ runtime is linked.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VANTORIX_MSVC_TARGET_ARCH})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VANTORIX_MSVC_TARGET_ARCH}-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET ${VANTORIX_MSVC_TARGET_ARCH}-pc-windows-msvc)
set(CMAKE_LINKER lld-link)
set(CMAKE_AR llvm-ar)
# LLVM's windres writes a COFF resource object that lld-link takes as is
# (marked safe for SafeSEH, which the x86 DLL is linked with).
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${VANTORIX_MSVC_TARGET_ARCH}-w64-mingw32")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(VANTORIX_MSVC_ABI ON)
set(mingw_cxx /usr/lib/gcc/${VANTORIX_MSVC_TARGET_ARCH}-w64-mingw32/12-posix/include/c++)
set(VANTORIX_HEADER_FLAGS "-fno-ms-compatibility -U_MSC_VER -fms-extensions -DWIN32_LEAN_AND_MEAN -DMINGW_HAS_SECURE_API=1 -isystem ${mingw_cxx} -isystem ${mingw_cxx}/${VANTORIX_MSVC_TARGET_ARCH}-w64-mingw32 -isystem /usr/share/mingw-w64/include")
if(VANTORIX_MSVC_TARGET_ARCH STREQUAL "i686")
    # MinGW's headers expect the compiler to say _X86_, as GCC does.
    set(VANTORIX_HEADER_FLAGS "-D_X86_ ${VANTORIX_HEADER_FLAGS}")
endif()
set(CMAKE_C_FLAGS_INIT "${VANTORIX_HEADER_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VANTORIX_HEADER_FLAGS} -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
