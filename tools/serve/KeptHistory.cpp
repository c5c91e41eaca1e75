#include "KeptHistory.h"

#include <chrono>
#include <cstdio>

namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The history file's path, once what it holds is taken back into `history`.
std::string RestoreFromFile(CHistory* history, const Options& options) {
    const std::string path = options.history_file_given ? options.history_file : DefaultHistoryPath();
    std::string why;
    if (!path.empty() && !RestoreHistory(history, path, NowMs(), &why) && !why.empty()) {
        std::fprintf(stderr, "vantorix-info: warning: the history in %s is not used: %s\n", path.c_str(), why.c_str());
    }
    return path;
}

}  // namespace

CKeptHistory::CKeptHistory(const Options& options)
    : history_(options.interval), file_(RestoreFromFile(&history_, options)) {}

// Once a minute the history is saved, by a thread of the file's.
void CKeptHistory::OnRead(const LatestRead& read) {
    if (history_.Add(read.reading, NowMs())) file_.Save(history_.FileBytes());
}

HistoryAnswer CKeptHistory::Answer(const std::string& query) const {
    return AnswerHistory(history_, query, NowMs());
}

void CKeptHistory::Finish() {
    file_.Save(history_.FileBytes());
    file_.Finish();
}
