# The Microsoft-ABI build (clang for *-windows-msvc, no C++ runtime): import
# libraries for the system DLLs, made from the .def files in cmake/msvc, and
# the library's own .def, made from the export list the tests check.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(VANTORIX_DLLTOOL_MACHINE i386:x86-64)
    set(VANTORIX_MSVC_ARCH x86_64)
else()
    set(VANTORIX_DLLTOOL_MACHINE i386)
    set(VANTORIX_MSVC_ARCH i686)
endif()
find_program(VANTORIX_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

# The structured exception handling support the compiler calls comes from
# ntdll.dll on x86-64 and from ucrtbase.dll on x86.
if(VANTORIX_MSVC_ARCH STREQUAL "x86_64")
    set(seh_def ntdll-x86_64)
else()
    set(seh_def ucrtbase-i686)
endif()
set(VANTORIX_SYSTEM_LIBS "")
foreach(name kernel32 ucrtbase ${seh_def} version)
    file(READ ${PROJECT_SOURCE_DIR}/cmake/msvc/${name}.def text)
    if(VANTORIX_MSVC_ARCH STREQUAL "x86_64")
        string(REGEX REPLACE "@[0-9]+" "" text "${text}")
    endif()
    file(WRITE ${CMAKE_BINARY_DIR}/msvc/${name}.def "${text}")
    set(lib ${CMAKE_BINARY_DIR}/msvc/${name}.lib)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${VANTORIX_DLLTOOL} -m ${VANTORIX_DLLTOOL_MACHINE} -k
                -d ${CMAKE_BINARY_DIR}/msvc/${name}.def -l ${lib}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/msvc/${name}.def
        COMMENT "Import library from ${name}.def")
    if(name STREQUAL "version")
        set(VANTORIX_VERSION_LIB ${lib})  # the test client's only
    else()
        list(APPEND VANTORIX_SYSTEM_LIBS ${lib})
    endif()
endforeach()
add_custom_target(vantorix_system_libs DEPENDS ${VANTORIX_SYSTEM_LIBS} ${VANTORIX_VERSION_LIB})

# GetVantorixInfo.def: exactly the names of tests/exports/msvc-<arch>.txt.
file(STRINGS ${PROJECT_SOURCE_DIR}/tests/exports/msvc-${VANTORIX_MSVC_ARCH}.txt names REGEX "^[^#]")
string(REPLACE ";" "\n" names "${names}")
set(VANTORIX_MSVC_DEF ${CMAKE_BINARY_DIR}/lib/GetVantorixInfo.def)
file(WRITE ${VANTORIX_MSVC_DEF} "LIBRARY GetVantorixInfo.dll\nEXPORTS\n${names}\n")

# CMake takes this compiler for a GNU-style one (the headers need _MSC_VER
# undefined), so the link rules are spelt out for lld-link: an import library
# named by /implib, no MinGW image-version flags, no default system libraries.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "<CMAKE_CXX_COMPILER> <CMAKE_SHARED_LIBRARY_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> -shared -o <TARGET> -Xlinker /implib:<TARGET_IMPLIB> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
