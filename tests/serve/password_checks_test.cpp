// The password checks' queue: clients taken in turn, and a client with
// PER_ADDRESS checks waiting refused more (the session answers 429).
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "http/PasswordChecks.h"

namespace {

// A check that holds the checker thread on "hold" until let go, and notes
// the order in which headers were checked.
struct Checker {
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false, let_go = false;
    std::vector<std::string> order;

    bool Check(const std::string& header) {
        std::unique_lock<std::mutex> lock(mutex);
        if (header == "hold") {
            holding = true;
            changed.notify_all();
            changed.wait(lock, [&] { return let_go; });
        } else {
            order.push_back(header);
        }
        return header == "hold";
    }
    void AwaitHolding() {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return holding; }));
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(mutex);
        let_go = true;
        changed.notify_all();
    }
};

// a1 to a17 from client a, then b1 from b; as checked: all but a17, b1 second.
std::vector<std::pair<std::string, std::string>> Seventeen() {
    std::vector<std::pair<std::string, std::string>> queued;
    for (int i = 1; i <= 17; ++i) queued.emplace_back("a", "a" + std::to_string(i));
    queued.emplace_back("b", "b1");
    return queued;
}
std::vector<std::string> Seventeen(bool) {
    std::vector<std::string> order = {"a1", "b1"};
    for (int i = 2; i <= 16; ++i) order.push_back("a" + std::to_string(i));
    return order;
}

}  // namespace

TEST(PasswordChecks, ClientsTakeTurnsWithinTheirLimit) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> queued;  // (client, header), while "hold" is checked
        std::vector<std::string> order;  // the headers, as checked
        std::size_t refused;  // how many Add refused
    } rows[] = {
        {"in turn",
         {{"a", "a1"}, {"a", "a2"}, {"a", "a3"}, {"b", "b1"}, {"b", "b2"}, {"c", "c1"}},
         {"a1", "b1", "c1", "a2", "b2", "a3"}, 0},
        {"the one served goes last", {{"a", "a1"}, {"a", "a2"}, {"b", "b1"}}, {"a1", "b1", "a2"}, 0},
        {"17 from one client", Seventeen(), Seventeen(true), 1},
    };
    for (const auto& row : rows) {
        boost::asio::io_context serving;
        const auto busy = boost::asio::make_work_guard(serving);  // results come from the checker's thread
        Checker checker;
        CPasswordChecks checks(serving.get_executor(),
                               [&](const std::string& header) { return checker.Check(header); });
        int done = 0;
        std::vector<bool> passed;
        const auto count = [&](CPasswordChecks::Result result) {
            ++done;
            passed.push_back(result == CPasswordChecks::Result::Passed);
        };
        ASSERT_TRUE(checks.Add("x", "hold", count));
        checker.AwaitHolding();
        std::size_t refused = 0;
        for (const auto& check : row.queued) refused += !checks.Add(check.first, check.second, count);
        checker.LetGo();
        const int expected = static_cast<int>(1 + row.queued.size() - refused);
        while (done < expected && serving.run_one_for(std::chrono::seconds(10))) {
        }
        EXPECT_EQ(row.order, checker.order) << row.what;
        EXPECT_EQ(row.refused, refused) << row.what;
        ASSERT_EQ(static_cast<std::size_t>(expected), passed.size()) << row.what;
        EXPECT_TRUE(passed[0]) << row.what;
    }
}
