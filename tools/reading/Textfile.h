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

// Before the first page. False, with why in `why`, when the folder that
// `path` names cannot hold it (there is none, or it is no folder): a typing
// error is then told at once, not at each read in a log. Otherwise removes
// the temporary files that processes killed in the middle of a write left
// beside it: those of this name whose process has ended (and, on Windows,
// that no one holds open).
bool PrepareTextfile(const std::string& path, std::string* why);

// Whether `name` is a temporary file of the page `base` ("BASE.PID.tmp"),
// and of which process.
bool IsTemporaryOf(const std::string& name, const std::string& base, unsigned long* pid);

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
