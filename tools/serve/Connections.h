// --serve's open connections: how many there are, and which of them wait
// for a request (oldest first), so that when the cap is reached the one that
// has waited longest makes room for a new client. A crowd of idle sockets
// then delays no scrape.
#ifndef VANTORIX_SERVE_CONNECTIONS_H
#define VANTORIX_SERVE_CONNECTIONS_H

#include <cstddef>
#include <functional>
#include <list>

class CConnection {
public:
    virtual ~CConnection() = default;
    virtual void Drop() = 0;  // ends the connection at once
    std::list<CConnection*>::iterator waiting;
    bool is_waiting = false;
};

class CConnections {
public:
    explicit CConnections(std::size_t cap) : cap_(cap) {}

    // Tried first when room is needed: drops a connection that waits for a
    // password check (those of the busiest address first), if any.
    std::function<bool()> drop_checking;

    void Opened() { ++open_; }
    void Closed(CConnection* connection) {
        Busy(connection);
        --open_;
    }
    // The connection waits for a request from now: it goes last in line.
    void Waiting(CConnection* connection) {
        Busy(connection);
        connection->waiting = waiting_.insert(waiting_.end(), connection);
        connection->is_waiting = true;
    }
    void Busy(CConnection* connection) {
        if (connection->is_waiting) waiting_.erase(connection->waiting);
        connection->is_waiting = false;
    }
    // Room for one more: true when under the cap, or when the connection
    // that has waited longest was dropped to make room.
    bool MakeRoom() {
        if (open_ < cap_) return true;
        if (drop_checking && drop_checking()) return true;
        if (waiting_.empty()) return false;
        CConnection* oldest = waiting_.front();
        Busy(oldest);
        oldest->Drop();
        return true;
    }

private:
    std::size_t cap_;
    std::size_t open_ = 0;
    std::list<CConnection*> waiting_;
};

#endif  // VANTORIX_SERVE_CONNECTIONS_H
