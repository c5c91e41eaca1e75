// The password checks that wait for the one thread that runs them (bcrypt
// takes long by design). They are queued per client address and taken in
// turn, so a crowd of guesses from one address delays another address's
// check by one check, not by the crowd; an address may have only a few
// waiting at once. The serving thread queues and is told the result; it
// never waits for a check, and neither does stopping.
#ifndef VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H
#define VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class CPasswordChecks {
public:
    enum class Result { Passed, Failed, Dropped };
    // Runs on the checker thread: true when the Authorization header passes.
    using Check = std::function<bool(const std::string& authorization)>;
    // Runs on the serving thread, once per check that was queued.
    using Done = std::function<void(Result)>;
    // Checks that may wait at once for one address; beyond, a client is
    // told to come back later (429).
    static const std::size_t PER_ADDRESS = 16;

    CPasswordChecks(boost::asio::any_io_executor serving, Check check);
    ~CPasswordChecks();
    CPasswordChecks(const CPasswordChecks&) = delete;
    CPasswordChecks& operator=(const CPasswordChecks&) = delete;

    // Queues a check of `authorization` for a client at `address`. False,
    // and `done` dropped unused, when that address has PER_ADDRESS waiting.
    bool Add(const boost::asio::ip::address& address, std::string authorization, Done done);
    // Makes room for a new connection: the newest waiting check of the
    // address with the most waiting is dropped (its Done is told Dropped).
    // False when none waits.
    bool DropOne();
    // From now on no Done is called; the check in progress, if any, is left
    // to finish on its own (the thread is never joined). Before the
    // serving executor's context goes.
    void Stop();

    // The clients of one /64 of IPv6 count as one address (one host often has
    // all of it); an IPv4 address mapped in IPv6 counts as itself.
    static std::string AddressKey(const boost::asio::ip::address& address);

    struct Shared;  // what the checker thread shares (PasswordChecks.cpp)

private:
    void Finish(std::uint64_t ticket, bool passed);

    boost::asio::any_io_executor serving_;
    std::shared_ptr<Shared> shared_;
    std::map<std::uint64_t, Done> done_;  // the serving thread's own
    std::uint64_t next_ticket_ = 1;
};

#endif  // VANTORIX_SERVE_HTTP_PASSWORDCHECKS_H
