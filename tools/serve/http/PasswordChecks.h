// The password checks that wait for the one thread that runs them (bcrypt
// takes long by design). They are queued per client (Client.h) and taken in
// turn, so a crowd of guesses from one client delays another client's check
// by one check, not by the crowd; a client may have only a few waiting at
// once, whether or not their connections are still open. The serving thread
// queues and is told the result; it never waits for a check, and neither
// does stopping.
#ifndef VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H
#define VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H

#include <boost/asio/any_io_executor.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class CPasswordChecks {
public:
    enum class Result { Passed, Failed };
    // Runs on the checker thread: true when the Authorization header passes.
    using Check = std::function<bool(const std::string& authorization)>;
    // Runs on the serving thread, once per check that was queued.
    using Done = std::function<void(Result)>;
    // Checks that may wait at once for one client; beyond, it is told to
    // come back later (429).
    static const std::size_t PER_ADDRESS = 16;

    CPasswordChecks(boost::asio::any_io_executor serving, Check check);
    ~CPasswordChecks();
    CPasswordChecks(const CPasswordChecks&) = delete;
    CPasswordChecks& operator=(const CPasswordChecks&) = delete;

    // Queues a check of `authorization` for `client` (ClientOf). False, and
    // `done` dropped unused, when that client has PER_ADDRESS waiting.
    bool Add(const std::string& client, std::string authorization, Done done);
    // From now on no Done is called; the check in progress, if any, is left
    // to finish on its own (the thread is never joined). Before the
    // serving executor's context goes.
    void Stop();

    struct Shared;  // what the checker thread shares (PasswordChecks.cpp)

private:
    void Finish(std::uint64_t ticket, bool passed);

    boost::asio::any_io_executor serving_;
    std::shared_ptr<Shared> shared_;
    std::map<std::uint64_t, Done> done_;  // the serving thread's own
    std::uint64_t next_ticket_ = 1;
};

#endif  // VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H
