# cmake --install: the header, the library (with its import library and a
# .def on Windows), a CMake package, the licence and, on Linux, the README
# with its documents, a pkg-config file and, when asked, the Python package. The programs, their man pages
# and the publisher's systemd unit are installed where they are built.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(GetVantorixInfo PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS GetVantorixInfo EXPORT GetVantorixInfoTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/GetVantorixInfo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT GetVantorixInfoTargets NAMESPACE GetVantorixInfo::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GetVantorixInfo)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/GetVantorixInfoConfig.cmake.in
    ${CMAKE_BINARY_DIR}/GetVantorixInfoConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GetVantorixInfo)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/GetVantorixInfoConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/GetVantorixInfoConfig.cmake
              ${CMAKE_BINARY_DIR}/GetVantorixInfoConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/GetVantorixInfo)

if(VANTORIX_MSVC_ABI)
    install(FILES ${VANTORIX_MSVC_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
elseif(WIN32)
    # For toolchains that cannot read MinGW's import library: the flat
    # function's export, from which any of them makes its own.
    file(WRITE ${CMAKE_BINARY_DIR}/GetVantorixInfo.def "LIBRARY GetVantorixInfo.dll\nEXPORTS\nfnGetVantorixInfo\n")
    install(FILES ${CMAKE_BINARY_DIR}/GetVantorixInfo.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
    set(VANTORIX_PC_PREFIX "\${pcfiledir}")
    string(REPLACE "/" ";" pc_folders "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    foreach(folder IN LISTS pc_folders)
        string(APPEND VANTORIX_PC_PREFIX "/..")
    endforeach()
    set(VANTORIX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(VANTORIX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
        set(VANTORIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
        set(VANTORIX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
    endif()
    if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
        set(VANTORIX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/GetVantorixInfo.pc.in ${CMAKE_BINARY_DIR}/GetVantorixInfo.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/GetVantorixInfo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README and the documents it links to, where the man pages send readers
# (the Windows zip has a README of its own).
if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Every page of docs/ and the files they show (docs/man holds the man pages' sources).
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
            FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.txt" PATTERN man EXCLUDE)
    install(FILES ${PROJECT_SOURCE_DIR}/examples/read_once.cpp DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# The Python package, where this prefix's Python finds it (the .deb sets
# lib/python3/dist-packages); otherwise `pip install ./python`.
set(VANTORIX_PYTHON_INSTALL_DIR "" CACHE STRING
    "Where to install the Python package, relative to the prefix (empty: not installed)")
if(VANTORIX_PYTHON_INSTALL_DIR AND NOT WIN32)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/getvantorixinfo DESTINATION ${VANTORIX_PYTHON_INSTALL_DIR}
            PATTERN __pycache__ EXCLUDE)
endif()
