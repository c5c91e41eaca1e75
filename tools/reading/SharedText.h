// Text that responses send without copying it: a piece is a range of an
// immutable string that the history and every response sending it share, so
// a slow reader keeps the text alive rather than a copy of its own.
#ifndef VANTORIX_SERVE_SHAREDTEXT_H
#define VANTORIX_SERVE_SHAREDTEXT_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct TextPiece {
    std::shared_ptr<const std::string> text;
    std::size_t offset = 0;  // the piece is text->substr(offset, size)
    std::size_t size = 0;
};

using TextPieces = std::vector<TextPiece>;

#endif  // VANTORIX_SERVE_SHAREDTEXT_H
