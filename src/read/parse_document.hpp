// parse_document: the reader's driver. Builds the structural index, walks its entries
// with an explicit element stack, and returns the subtree of the first element named
// like the root tag. Runs without the interpreter lock and creates no Python object.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/result.hpp"
#include "read/parsed_element.hpp"
#include "read/reader_error.hpp"
#include "storage/document_buffer.hpp"

namespace vorlane {

// Receives the elements of the root's subtree as they are completed: children before
// their parent, siblings in document order, the root last. Runs without the lock.
class ElementSink {
public:
    virtual ~ElementSink() = default;
    // Takes over `element` (its children vector is empty), whose children are the
    // last `child_count` elements finished before it that no other element has taken.
    // May throw std::bad_alloc; the parse then ends with that exception.
    virtual void finish(ParsedElement&& element, std::size_t child_count) = 0;
};

// Parses the bytes of `buffer` (borrowed; the caller keeps its own reference) and hands
// the subtree of the first element, at any depth, whose name equals `root_tag` byte for
// byte to `sink`, ending as soon as the root's end tag is matched. On error the sink
// may already hold part of the subtree; no other reference taken during the call
// remains. Throws std::bad_alloc.
[[nodiscard]] Result<void, ReaderError> parse_document(DocumentBuffer* buffer, std::string_view root_tag,
                                                      ElementSink& sink);

// Parses the bytes of `buffer` (borrowed; the caller keeps its own reference) and returns
// the first element, at any depth, whose name equals `root_tag` byte for byte, as soon
// as its end tag is matched. On success every span of the result owns one buffer
// reference; on error no reference taken during the call remains. Throws std::bad_alloc.
[[nodiscard]] Result<ParsedElement, ReaderError> parse_document(DocumentBuffer* buffer,
                                                               std::string_view root_tag);

// True for the Unicode White_Space characters (U+0009 to U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
[[nodiscard]] bool is_unicode_white_space(char32_t code_point) noexcept;

// The bounds [first, second) of `bytes` left after removing Unicode White_Space from
// both ends (decoding UTF-8; an invalid sequence counts as content).
struct TrimBounds {
    std::size_t first = 0;
    std::size_t second = 0;
};
// The walk from both ends, decoding characters (out of line).
[[nodiscard]] TrimBounds trim_white_space_by_characters(std::string_view bytes) noexcept;
// Text that starts and ends with a visible ASCII byte (most text) is settled inline:
// such a byte is neither white space nor part of a longer character.
[[nodiscard]] inline TrimBounds trim_white_space(std::string_view bytes) noexcept {
    if (!bytes.empty()) {
        const auto first_byte = static_cast<unsigned char>(bytes.front());
        const auto last_byte = static_cast<unsigned char>(bytes.back());
        if (first_byte - 0x21u < 0x5Eu && last_byte - 0x21u < 0x5Eu) return {0, bytes.size()};
    }
    return trim_white_space_by_characters(bytes);
}

}  // namespace vorlane
