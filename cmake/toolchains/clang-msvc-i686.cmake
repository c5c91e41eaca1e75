# Builds for i686 Windows with the Microsoft C++ ABI: Debian's clang targeting
# i686-pc-windows-msvc, linked by lld-link. There are no Microsoft SDK headers
# or libraries here: the MinGW-w64 headers stand in (the C++ headers used are
# thin wrappers over C ones), the system DLLs are linked through import
# libraries made from small .def files, and no C++ runtime is linked at all.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_LINKER lld-link)
set(CMAKE_AR llvm-ar)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(VANTORIX_MSVC_ABI ON)
set(VANTORIX_HEADER_FLAGS "-D_X86_ -fno-ms-compatibility -U_MSC_VER -fms-extensions -DWIN32_LEAN_AND_MEAN -DMINGW_HAS_SECURE_API=1 -isystem /usr/lib/gcc/i686-w64-mingw32/12-posix/include/c++ -isystem /usr/lib/gcc/i686-w64-mingw32/12-posix/include/c++/i686-w64-mingw32 -isystem /usr/share/mingw-w64/include")
set(CMAKE_C_FLAGS_INIT "${VANTORIX_HEADER_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VANTORIX_HEADER_FLAGS} -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Wl,/nodefaultlib")
