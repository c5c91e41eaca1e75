// --textfile: the metrics page written to a file after each read, for the
// textfile collectors of node_exporter and windows_exporter, which read every
// *.prom file of their folder at each scrape. Each page replaces the last
// whole (a temporary file beside it, renamed over it: textfile_linux.cpp,
// textfile_win32.cpp), so a collector never reads half a page; the bytes are
// the page's own, LF line ends (on Windows too), UTF-8 without a byte order
// mark, a newline at the end.
#ifndef VANTORIX_READING_TEXTFILE_H
#define VANTORIX_READING_TEXTFILE_H

#include <string>
#include <utility>

// Replaces the file at `path` with `text` whole, or leaves it as it was and
// no temporary file behind. The temporary file is `path` + ".PID.tmp", a name
// the collectors skip. False with why in `why`.
bool ReplaceTextfile(const std::string& path, const std::string& text, std::string* why);

class CTextfile {
public:
    explicit CTextfile(std::string path) : path_(std::move(path)) {}

    // Writes `page` to the file. A failure is reported on stderr once, until
    // a write succeeds again (which is reported too); each call tries anew.
    bool Write(const std::string& page);

private:
    const std::string path_;
    bool failing_ = false;
};

#endif  // VANTORIX_READING_TEXTFILE_H
