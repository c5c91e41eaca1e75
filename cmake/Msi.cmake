# The Windows installer's values from this build, for
# packaging/windows/getvantorixinfo.wxs (scripts/package-windows.sh runs
# wixl): the version, the architecture, and a product code that is the same
# at every build of a version and architecture and new with each version (a
# name-based UUID under the installer's fixed UpgradeCode).
if(NOT WIN32 OR VANTORIX_MSVC_ABI)
    return()
endif()
set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/getvantorixinfo.wxs)
file(STRINGS ${wxs} upgrade_line REGEX "UpgradeCode=\"[-0-9A-F]+\"")
string(REGEX REPLACE ".*UpgradeCode=\"([-0-9A-F]+)\".*" "\\1" upgrade_code "${upgrade_line}")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(VANTORIX_MSI_ARCH x64)
    set(VANTORIX_MSI_WIN64 yes)
    set(VANTORIX_MSI_PROGRAM_FILES ProgramFiles64Folder)
    set(VANTORIX_MSI_SYSTEM_FOLDER System64Folder)
else()
    set(VANTORIX_MSI_ARCH x86)
    set(VANTORIX_MSI_WIN64 no)
    set(VANTORIX_MSI_PROGRAM_FILES ProgramFilesFolder)
    set(VANTORIX_MSI_SYSTEM_FOLDER SystemFolder)
endif()
string(UUID VANTORIX_MSI_PRODUCT_CODE NAMESPACE ${upgrade_code}
       NAME "GetVantorixInfo ${PROJECT_VERSION} ${VANTORIX_MSI_ARCH}" TYPE SHA1 UPPER)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/build.wxi.in ${CMAKE_BINARY_DIR}/msi/build.wxi @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${wxs})
