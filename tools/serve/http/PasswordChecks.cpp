#include "PasswordChecks.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "StopSignals.h"

namespace {

struct Job {
    std::uint64_t ticket;
    std::string authorization;
};

}  // namespace

// Everything here is under `mutex`, apart from `check`, which only the
// checker thread calls.
struct CPasswordChecks::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    Check check;
    std::function<void(std::uint64_t ticket, bool passed)> deliver;  // posts the result to the serving thread
    std::map<std::string, std::deque<Job>> waiting;  // client -> its checks, oldest first
    std::list<std::string> turns;  // the clients with checks waiting, next turn first
    std::string served;  // the client whose check was taken last, while it has more
};

namespace {

using Shared = CPasswordChecks::Shared;

// The next check, round-robin over the clients: the client served last goes
// behind every client that queued meanwhile.
Job Take(Shared& shared) {
    if (!shared.served.empty()) {
        const auto last = std::find(shared.turns.begin(), shared.turns.end(), shared.served);
        if (last != shared.turns.end()) shared.turns.splice(shared.turns.end(), shared.turns, last);
        shared.served.clear();
    }
    const std::string address = shared.turns.front();
    std::deque<Job>& queue = shared.waiting[address];
    Job job = std::move(queue.front());
    queue.pop_front();
    if (queue.empty()) {
        shared.waiting.erase(address);
        shared.turns.pop_front();
    } else {
        shared.served = address;
    }
    return job;
}

// The checker thread. It holds `shared` (and so the check's own state) for
// as long as it runs, so that it may outlive the server: after Stop it
// delivers nothing and ends when its check does. It never takes a stop
// signal, so that one held back at the end waits for none.
void Work(std::shared_ptr<Shared> shared) {
    HoldStopSignals();
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopped || !shared->turns.empty(); });
        if (shared->stopped) return;
        Job job = Take(*shared);
        lock.unlock();
        bool passed = false;
        try {
            passed = shared->check(job.authorization);
        } catch (const std::exception&) {  // out of memory: refused, and the thread goes on
        }
        lock.lock();
        if (shared->stopped) return;
        shared->deliver(job.ticket, passed);
    }
}

}  // namespace

CPasswordChecks::CPasswordChecks(boost::asio::any_io_executor serving, Check check)
    : serving_(serving), shared_(std::make_shared<Shared>()) {
    shared_->check = std::move(check);
    shared_->deliver = [this, serving](std::uint64_t ticket, bool passed) {
        boost::asio::post(serving, [this, ticket, passed] { Finish(ticket, passed); });
    };
    std::thread(Work, shared_).detach();
}

CPasswordChecks::~CPasswordChecks() {
    Stop();
}

bool CPasswordChecks::Add(const std::string& key, std::string authorization, Done done) {
    const std::uint64_t ticket = next_ticket_++;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->stopped) return false;
        std::deque<Job>& queue = shared_->waiting[key];
        if (queue.size() >= PER_ADDRESS) return false;
        if (queue.empty()) shared_->turns.push_back(key);
        queue.push_back(Job{ticket, std::move(authorization)});
    }
    done_[ticket] = std::move(done);
    shared_->wake.notify_one();
    return true;
}

void CPasswordChecks::Stop() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopped = true;
        shared_->waiting.clear();
        shared_->turns.clear();
    }
    shared_->wake.notify_one();
    done_.clear();
}

void CPasswordChecks::Finish(std::uint64_t ticket, bool passed) {
    const auto found = done_.find(ticket);
    if (found == done_.end()) return;  // dropped meanwhile
    Done done = std::move(found->second);
    done_.erase(found);
    done(passed ? Result::Passed : Result::Failed);
}
