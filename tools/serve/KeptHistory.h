// The history --serve keeps (history/), as a listener of the reads: taken
// back from its file at start, fed each read, saved once a minute and at
// the end.
#ifndef VANTORIX_SERVE_KEPTHISTORY_H
#define VANTORIX_SERVE_KEPTHISTORY_H

#include <string>

#include "Options.h"
#include "ReadListener.h"
#include "history/History.h"
#include "history/HistoryFile.h"

class CKeptHistory : public CReadListener {
public:
    // Takes back what the history file (--history-file, else the default
    // path) holds; a file that cannot be used is told on stderr and left.
    explicit CKeptHistory(const Options& options);

    void OnRead(const LatestRead& read) override;
    // GET /api/history?`query` (History.h), from the reads kept so far.
    HistoryAnswer Answer(const std::string& query) const;
    // Saves the history and returns once the file is whole; after the last read.
    void Finish();

private:
    CHistory history_;  // locks itself
    CHistoryFile file_;  // saved to at each closed minute, and at the end
};

#endif  // VANTORIX_SERVE_KEPTHISTORY_H
