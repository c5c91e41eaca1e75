// --serve's open connections, grouped by client (an IPv4 address, or an
// IPv6 /64), so that no client and no crowd can lock the others out.
//
// One client holds at most an eighth of the cap. When a new connection
// needs room, the connection that costs most and serves least is dropped:
// - if the new client already holds its share, one of its own;
// - else one of the group holding the most connections;
// - within that group, first a writer whose client has stopped taking its
//   response, else the one idle longest (since its last request or its
//   opening).
// The bytes of responses being written are bounded too: past that budget,
// the oldest writers are dropped.
#ifndef VANTORIX_SERVE_HTTP_CONNECTIONS_H
#define VANTORIX_SERVE_HTTP_CONNECTIONS_H

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <string>

#include "Client.h"

class CConnection {
public:
    virtual ~CConnection() = default;
    virtual void Drop() = 0;  // ends the connection at once

private:
    friend class CConnections;
    enum class State { Waiting, Busy, Writing, Dropped };
    State state_ = State::Busy;
    std::map<std::string, std::list<CConnection*>>::iterator group_;
    std::list<CConnection*>::iterator place_;   // in its group, by last change of state
    std::list<CConnection*>::iterator holder_;  // among the writers, when it holds bytes
    std::chrono::steady_clock::time_point since_;
    std::size_t held_ = 0;
};

class CConnections {
public:
    using Clock = std::chrono::steady_clock;

    explicit CConnections(std::size_t cap, std::size_t budget = 16u << 20,
                          Clock::duration stalled = std::chrono::seconds(1))
        : cap_(cap), share_(cap / 8 > 0 ? cap / 8 : 1), budget_(budget), stalled_(stalled) {}

    // Makes room for a connection from `client`, dropping another if need be.
    void MakeRoom(const std::string& client) {
        const auto group = groups_.find(client);
        if (group != groups_.end() && group->second.size() >= share_) return Drop(Costliest(group->second));
        if (open_ >= cap_) DropOne();
    }

    // Drops the costliest connection of the group holding most; false when
    // there is none.
    bool DropOne() {
        const std::list<CConnection*>* crowd = nullptr;
        for (const auto& group : groups_) {
            const bool more = !crowd || group.second.size() > crowd->size() ||
                              (group.second.size() == crowd->size() &&
                               group.second.front()->since_ < crowd->front()->since_);
            if (more) crowd = &group.second;
        }
        if (!crowd) return false;
        Drop(Costliest(*crowd));
        return true;
    }

    void Opened(CConnection* connection, const std::string& client) {
        ++open_;
        connection->group_ = groups_.emplace(client, std::list<CConnection*>()).first;
        connection->place_ = connection->group_->second.insert(connection->group_->second.end(), connection);
        connection->since_ = Clock::now();
    }
    void Closed(CConnection* connection) {
        if (connection->state_ != CConnection::State::Dropped) Leave(connection);
    }
    // The connection waits for (or reads) a request from now.
    void Waiting(CConnection* connection) { Change(connection, CConnection::State::Waiting); }
    // It works on a request (a password check).
    void Busy(CConnection* connection) { Change(connection, CConnection::State::Busy); }
    // It writes a response of `bytes` of its own (not shared): past the
    // budget, the oldest other writers holding bytes are dropped.
    void Writing(CConnection* connection, std::size_t bytes) {
        if (!Change(connection, CConnection::State::Writing) || bytes == 0) return;
        connection->held_ = bytes;
        held_ += bytes;
        connection->holder_ = holders_.insert(holders_.end(), connection);
        while (held_ > budget_ && holders_.front() != connection) Drop(holders_.front());
    }

private:
    bool Change(CConnection* connection, CConnection::State state) {
        if (connection->state_ == CConnection::State::Dropped) return false;
        Release(connection);
        connection->state_ = state;
        connection->since_ = Clock::now();
        auto& group = connection->group_->second;
        group.splice(group.end(), group, connection->place_);
        return true;
    }
    void Release(CConnection* connection) {
        if (connection->held_ > 0) holders_.erase(connection->holder_);
        held_ -= connection->held_;
        connection->held_ = 0;
    }
    // Out of every count at once: a dropped session may outlive its socket
    // for a moment, until its handlers have run.
    void Leave(CConnection* connection) {
        Release(connection);
        connection->group_->second.erase(connection->place_);
        if (connection->group_->second.empty()) groups_.erase(connection->group_);
        --open_;
    }
    void Drop(CConnection* connection) {
        Leave(connection);
        connection->state_ = CConnection::State::Dropped;
        connection->Drop();
    }
    // A writer stalled past a moment, else the first in line (the group is
    // kept in order of last change of state).
    CConnection* Costliest(const std::list<CConnection*>& group) const {
        const Clock::time_point now = Clock::now();
        for (CConnection* connection : group) {
            if (connection->state_ == CConnection::State::Writing && now - connection->since_ > stalled_) {
                return connection;
            }
        }
        return group.front();
    }

    std::size_t cap_, share_, budget_;
    Clock::duration stalled_;
    std::size_t open_ = 0, held_ = 0;
    std::map<std::string, std::list<CConnection*>> groups_;
    std::list<CConnection*> holders_;  // writers holding bytes, oldest first
};

#endif  // VANTORIX_SERVE_HTTP_CONNECTIONS_H
