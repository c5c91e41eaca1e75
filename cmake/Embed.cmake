# Turns the live page's files into a C++ source of byte arrays (PageFiles.h):
#   cmake -DOUTPUT=PageFiles.cpp "-DFILES=index.html;app.js;..." -P Embed.cmake
# index.html is served at "/", every other file at "/" and its name; the
# Content-Type follows from the extension. favicon.svg is also served at
# /favicon.ico, where browsers look for an icon unasked.
set(arrays "")
set(entries "")
set(number 0)
foreach(file ${FILES})
    get_filename_component(name ${file} NAME)
    get_filename_component(extension ${file} LAST_EXT)
    if(extension STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(extension STREQUAL ".js")
        set(type "text/javascript; charset=utf-8")
    elseif(extension STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    elseif(extension STREQUAL ".png")
        set(type "image/png")
    elseif(extension STREQUAL ".svg")
        set(type "image/svg+xml")
    else()
        message(FATAL_ERROR "Embed.cmake: no Content-Type for ${name}")
    endif()
    if(name STREQUAL "index.html")
        set(path "/")
    else()
        set(path "/${name}")
    endif()
    file(READ ${file} bytes HEX)
    file(SIZE ${file} size)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
           bytes "${bytes}")
    string(APPEND arrays "// ${name}\nconst unsigned char file${number}[] = {\n${bytes}0};\n\n")
    string(APPEND entries "    {\"${path}\", \"${type}\", file${number}, ${size}},\n")
    if(name STREQUAL "favicon.svg")
        string(APPEND entries "    {\"/favicon.ico\", \"${type}\", file${number}, ${size}},\n")
    endif()
    math(EXPR number "${number} + 1")
endforeach()
file(WRITE ${OUTPUT}.new
     "// Made by cmake/Embed.cmake from the live page's files: do not edit.\n"
     "#include \"PageFiles.h\"\n\nnamespace {\n\n${arrays}}  // namespace\n\n"
     "const PageFile PAGE_FILES[] = {\n${entries}    {nullptr, nullptr, nullptr, 0},\n};\n")
file(RENAME ${OUTPUT}.new ${OUTPUT})
