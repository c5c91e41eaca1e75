// Responses that hold much until they are sent (/api/history's: its list of
// pieces, at most 115 KB, and the history's texts they keep alive), counted
// from the answer until the response is sent or dropped (at most the write
// deadline). Only a few may be in flight at once, and one client may hold
// only a quarter of them, so that its stalled readers leave room for the
// others. All on the serving thread.
#ifndef VANTORIX_SERVE_HTTP_HEAVYRESPONSES_H
#define VANTORIX_SERVE_HTTP_HEAVYRESPONSES_H

#include <map>
#include <memory>
#include <string>

class CHeavyResponses {
public:
    explicit CHeavyResponses(int all) : all_(all), per_client_(all / 4) {}

    // A token that counts a heavy response of `client`'s until it is let go;
    // null when all of them, or the client's share, are in flight.
    std::shared_ptr<const void> Take(const std::string& client) {
        const auto mine = counts_->by_client.find(client);
        if (counts_->all >= all_ || (mine != counts_->by_client.end() && mine->second >= per_client_)) return nullptr;
        ++counts_->all;
        ++counts_->by_client[client];
        return std::shared_ptr<const void>(counts_.get(), [counts = counts_, client](const void*) {
            --counts->all;
            if (--counts->by_client[client] == 0) counts->by_client.erase(client);
        });
    }

private:
    struct Counts {
        int all = 0;
        std::map<std::string, int> by_client;
    };
    const int all_, per_client_;
    // Shared with the tokens, which a response dropped late may hold.
    std::shared_ptr<Counts> counts_ = std::make_shared<Counts>();
};

#endif  // VANTORIX_SERVE_HTTP_HEAVYRESPONSES_H
