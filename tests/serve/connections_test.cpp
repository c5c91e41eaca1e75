// Which connection --serve drops to make room: at the cap and not before,
// from the client holding most, the oldest waiting or a stalled writer
// first, and writers past the byte budget; and which addresses count as
// one client.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "http/Connections.h"

namespace {

struct Connection : CConnection {
    void Drop() override { dropped = true; }
    bool dropped = false;
};

// One step of a scenario: `Open` makes room for a connection from `client`,
// opens it and has it wait for a request; `Write` has connection `id` write
// `bytes` of its own; `Wait` has it take its response and wait again.
struct Step {
    enum { Open, Write, Wait } what;
    std::string client;
    int id;
    std::size_t bytes;
};
Step Open(const char* client) { return {Step::Open, client, 0, 0}; }
Step Write(int id, std::size_t bytes) { return {Step::Write, "", id, bytes}; }
Step Wait(int id) { return {Step::Wait, "", id, 0}; }

// `count` clients of a connection each, named in order of opening.
std::vector<Step> Clients(int count) {
    static int named = 0;
    std::vector<Step> steps;
    for (int i = 0; i < count; ++i, ++named) {
        steps.push_back({Step::Open, "client " + std::to_string(1000 + named), 0, 0});
    }
    return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(Connections, RoomIsMadeFromTheCostliest) {
    using namespace std::chrono_literals;
    const auto stalled_at_once = -1ns;  // a writer counts as stalled at once
    struct Row {
        const char* name;
        std::size_t cap, budget;
        CConnections::Clock::duration stalled;
        std::vector<Step> steps;
        std::vector<int> dropped;  // ids, in order of opening
    } rows[] = {
        {"up to the cap, nothing goes", 16, 1000, 1s, Clients(16), {}},
        {"past the cap, the oldest goes", 16, 1000, 1s, Clients(17), {0}},
        {"a client past its share (an eighth) loses its own oldest", 16, 1000, 1s,
         {Open("a"), Open("b"), Open("a"), Open("a")}, {0}},
        {"at the cap, the client holding most pays", 16, 1000, 1s,
         Clients(1) + std::vector<Step>{Open("z"), Open("z")} + Clients(14), {1}},
        {"a stalled writer goes before the oldest waiting", 16, 1000, stalled_at_once,
         {Open("a"), Open("a"), Write(1, 10), Open("a")}, {1}},
        {"past the byte budget, the oldest writer goes", 16, 100, 1s,
         {Open("a"), Open("b"), Open("c"), Write(0, 60), Write(2, 30), Write(1, 20)}, {0}},
        {"at the budget exactly, no writer goes", 16, 100, 1s, {Open("a"), Open("b"), Write(0, 60), Write(1, 40)}, {}},
        {"a shared response holds no bytes", 16, 100, 1s,
         {Open("a"), Open("b"), Open("c"), Write(0, 0), Write(1, 60), Write(2, 60)}, {1}},
        {"a connection that wrote and waits again holds none", 16, 100, 1s,
         {Open("a"), Open("b"), Write(0, 90), Wait(0), Write(1, 90)}, {}},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.name);
        CConnections connections(row.cap, row.budget, row.stalled);
        std::vector<Connection> opened(row.steps.size());
        int next = 0;
        for (const Step& step : row.steps) {
            if (step.what == Step::Open) {
                connections.MakeRoom(step.client);
                connections.Opened(&opened[next], step.client);
                connections.Waiting(&opened[next++]);
            } else if (step.what == Step::Write) {
                connections.Writing(&opened[step.id], step.bytes);
            } else {
                connections.Waiting(&opened[step.id]);
            }
        }
        std::vector<int> dropped;
        for (int id = 0; id < next; ++id) {
            if (opened[id].dropped) dropped.push_back(id);
        }
        EXPECT_EQ(row.dropped, dropped);
    }
}

TEST(Connections, ClientsAreAddressesAndIpv6Slash64s) {
    const auto client = [](const char* text) { return ClientOf(boost::asio::ip::make_address(text)); };
    struct Row {
        const char *a, *b;
        bool same;
    } rows[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"::ffff:127.0.0.2", "127.0.0.2", true},
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"2001:db8::1", "::1", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.same, client(row.a) == client(row.b)) << row.a << " and " << row.b;
    }
}
