// The body of every --serve response, as Beast sends it: a string of its
// own, then pieces of shared text (SharedText.h), sent as they are, a few
// dozen at a time, never copied into one buffer.
#ifndef VANTORIX_SERVE_HTTP_RESPONSEBODY_H
#define VANTORIX_SERVE_HTTP_RESPONSEBODY_H

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SharedText.h"

struct ResponseBody {
    struct value_type {
        std::string own;
        TextPieces pieces;
        std::shared_ptr<const void> until_sent;  // released once the response is sent or dropped
    };

    static std::uint64_t size(const value_type& body) {
        std::uint64_t total = body.own.size();
        for (const TextPiece& piece : body.pieces) total += piece.size;
        return total;
    }

    class writer {
    public:
        using const_buffers_type = std::vector<boost::asio::const_buffer>;

        template <bool isRequest, class Fields>
        writer(const boost::beast::http::header<isRequest, Fields>&, const value_type& body) : body_(body) {}

        void init(boost::beast::error_code& error) { error = {}; }

        boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code& error) {
            error = {};
            const_buffers_type buffers;
            if (!own_sent_ && !body_.own.empty()) buffers.emplace_back(body_.own.data(), body_.own.size());
            own_sent_ = true;
            for (; next_ < body_.pieces.size() && buffers.size() < BATCH; ++next_) {
                const TextPiece& piece = body_.pieces[next_];
                if (piece.size) buffers.emplace_back(piece.text->data() + piece.offset, piece.size);
            }
            if (buffers.empty()) return boost::none;
            return std::make_pair(std::move(buffers), next_ < body_.pieces.size());
        }

    private:
        static constexpr std::size_t BATCH = 64;  // as many as one writev takes
        const value_type& body_;
        bool own_sent_ = false;
        std::size_t next_ = 0;  // the next piece
    };
};

#endif  // VANTORIX_SERVE_HTTP_RESPONSEBODY_H
