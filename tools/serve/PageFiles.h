// The live page's files (tools/serve/page/), embedded in the
// tool at build time by cmake/Embed.cmake, so the page needs nothing but the
// tool at view time.
#ifndef VANTORIX_SERVE_PAGEFILES_H
#define VANTORIX_SERVE_PAGEFILES_H

#include <cstddef>

struct PageFile {
    const char* path;  // "/" for index.html, else "/" and the file's name
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

// The files, ended by one whose path is null.
extern const PageFile PAGE_FILES[];

#endif  // VANTORIX_SERVE_PAGEFILES_H
