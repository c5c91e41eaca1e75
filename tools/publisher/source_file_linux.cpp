#include "SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

std::string ReadSourceFile(const std::string& path, std::size_t limit) {
    // O_NONBLOCK: opening a FIFO or a device must not wait for its other end.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::string();
    struct stat info;
    std::string text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        // procfs and sysfs files give their size as 0 or a page: read to the
        // end, one byte past the limit to tell a file that is too long.
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > limit) break;
        }
        if (text.size() > limit) text.clear();
    }
    close(fd);
    return text;
}
