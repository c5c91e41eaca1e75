#include "HistoryFile.h"

#include <cstdio>
#include <utility>

#include "BoundedFile.h"

bool ReadHistoryFile(const std::string& path, std::size_t limit, std::string* bytes, std::string* why) {
    FileRules rules;
    rules.limit = limit;
    rules.follow_links = false;
    rules.own_only = true;
    return ReadBoundedFile(path, "it", rules, bytes, why);
}

CHistoryFile::CHistoryFile(const std::string& path) : path_(path) {
    if (path_.empty()) return;
    RemoveTemporaries(path_);
    thread_ = std::thread(&CHistoryFile::Run, this);
}

void CHistoryFile::Finish() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
}

void CHistoryFile::Save(std::string bytes) {
    if (!thread_.joinable()) return;
    std::lock_guard<std::mutex> guard(lock_);
    bytes_ = std::move(bytes);
    waiting_ = true;
    changed_.notify_all();
}

void CHistoryFile::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [&] { return stopping_ || waiting_; });
        if (!waiting_) return;
        const std::string bytes = std::move(bytes_);
        waiting_ = false;
        guard.unlock();
        std::string why;
        if (!WriteHistoryFile(path_, bytes, &why) && !warned_) {
            std::fprintf(stderr, "vantorix-info: warning: cannot keep the history in %s: %s\n", path_.c_str(),
                         why.c_str());
            warned_ = true;
        }
        guard.lock();
    }
}
