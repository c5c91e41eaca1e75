// Every descriptor the process may still open, taken, under a limit of at
// most 1024 (so that taking them is quick), for tests of what the server
// does without one; given back, with the limit, by GiveBack or on leaving.
// Linux.
#ifndef VANTORIX_TESTS_TAKENDESCRIPTORS_H
#define VANTORIX_TESTS_TAKENDESCRIPTORS_H

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

class CTakenDescriptors {
public:
    CTakenDescriptors() {
        limited_ = getrlimit(RLIMIT_NOFILE, &kept_) == 0;
        rlimit limit = kept_;
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1024);
        limited_ = limited_ && setrlimit(RLIMIT_NOFILE, &limit) == 0;
        for (int fd; limited_ && (fd = dup(STDERR_FILENO)) >= 0;) taken_.push_back(fd);
        why_ = errno;
    }
    ~CTakenDescriptors() { GiveBack(); }
    CTakenDescriptors(const CTakenDescriptors&) = delete;
    CTakenDescriptors& operator=(const CTakenDescriptors&) = delete;

    // Whether the limit was lowered, so that the last dup failed for it.
    bool Limited() const { return limited_; }
    // The last dup's errno: EMFILE once all are taken.
    int Why() const { return why_; }
    void GiveOne() {
        if (taken_.empty()) return;
        close(taken_.back());
        taken_.pop_back();
    }
    // All of them, and the limit as it was; false if the limit stays lowered.
    bool GiveBack() {
        for (int fd : taken_) close(fd);
        taken_.clear();
        if (!limited_) return true;
        limited_ = false;
        return setrlimit(RLIMIT_NOFILE, &kept_) == 0;
    }

private:
    rlimit kept_{};
    bool limited_ = false;
    int why_ = 0;
    std::vector<int> taken_;
};

#endif  // VANTORIX_TESTS_TAKENDESCRIPTORS_H
