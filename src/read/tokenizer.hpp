// The markup tokenizer: start tags and empty-element tags into ParsedElement records,
// and the checks of comments, CDATA sections and processing instructions. It reads the
// inside of constructs that the structural index has located. No interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "index/structural_index.hpp"
#include "read/parsed_element.hpp"
#include "read/reader_error.hpp"
#include "storage/attr_map.hpp"
#include "storage/document_buffer.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

// Makes the spans of one parse. It takes buffer references in growing batches (one
// atomic add per batch instead of one per span) and gives back the ones it did not
// hand out when it is destroyed, so no reference outlives it unless a span holds it.
class SpanSource {
public:
    explicit SpanSource(DocumentBuffer* buffer) noexcept : buffer_(buffer) {}
    SpanSource(const SpanSource&) = delete;
    SpanSource& operator=(const SpanSource&) = delete;
    ~SpanSource();

    // One buffer reference, for a record whose spans borrow it.
    [[nodiscard]] BufferRef reference() noexcept {
        if (reserved_ == 0) refill();
        --reserved_;
        return BufferRef::adopt(buffer_);
    }
    // A span over bytes [start, end) that borrows the reference of the record holding it.
    [[nodiscard]] StrRef borrowed_span(std::size_t start, std::size_t end) const noexcept {
        return StrRef::borrowed_span(buffer_, start, end);
    }
    [[nodiscard]] DocumentBuffer* buffer() const noexcept { return buffer_; }

private:
    void refill() noexcept;

    DocumentBuffer* buffer_;
    std::size_t reserved_ = 0;     // references taken and not yet handed out
    std::size_t next_batch_ = 4;   // doubles up to kMaxBatch
};

// The name and the attribute region of a start tag or empty-element tag.
struct StartTagParts {
    std::string_view name;
    std::uint64_t name_offset = 0;
    std::string_view region;          // from just after the name to the '>' (or the '/' of "/>")
    std::uint64_t region_offset = 0;
};

// Name and attribute region of the Open or SelfClosing entry `i` of `index` over
// `input`; Malformed "expected element name after '<'" when the name is empty.
[[nodiscard]] Result<StartTagParts, ReaderError> element_name_and_region(
    std::string_view input, const StructuralIndex& index, std::size_t i);

// The element of the Open or SelfClosing entry `i`: its name and attributes (spans made
// by `spans`, maps keyed by `keys`), no text, no children; or the first start-tag or
// decoding error, with every reference taken for the tag given back. Throws std::bad_alloc.
[[nodiscard]] Result<ParsedElement, ReaderError> tokenize_start_tag(std::string_view input,
                                                                    const StructuralIndex& index,
                                                                    std::size_t i,
                                                                    SpanSource& spans,
                                                                    HashKeys keys);

// As tokenize_start_tag, filling `element`, which must be default-constructed. On error
// `element` may hold part of the tag; releasing it gives back its references. This form
// lets the caller build the element where it will stay (on its stack, or as a child).
// With `use_document_arena`, the attribute map's block is carved from the buffer's
// arena (DocumentBuffer::arena) instead of being allocated on its own.
[[nodiscard]] Result<void, ReaderError> tokenize_start_tag_into(ParsedElement& element,
                                                              std::string_view input,
                                                              const StructuralIndex& index,
                                                              std::size_t i, SpanSource& spans,
                                                              HashKeys keys, bool use_document_arena = false);

// As tokenize_start_tag above, taking one reference of `buffer` per span. Throws std::bad_alloc.
[[nodiscard]] Result<ParsedElement, ReaderError> tokenize_start_tag(std::string_view input,
                                                                    const StructuralIndex& index,
                                                                    std::size_t i,
                                                                    DocumentBuffer* buffer,
                                                                    HashKeys keys);

// Accepts the Comment entry `i` if it ends in "-->", else "unterminated comment".
[[nodiscard]] Result<void, ReaderError> check_comment(std::string_view input,
                                                      const StructuralIndex& index,
                                                      std::size_t i);

// The body [start, end) of the CData entry `i` if it ends in "]]>", else
// "unterminated CDATA section".
struct CDataBody {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};
[[nodiscard]] Result<CDataBody, ReaderError> check_cdata(std::string_view input,
                                                         const StructuralIndex& index,
                                                         std::size_t i);

// Accepts the ProcessingInstruction entry `i` if it ends in "?>", else
// "unterminated processing instruction".
[[nodiscard]] Result<void, ReaderError> check_processing_instruction(std::string_view input,
                                                                     const StructuralIndex& index,
                                                                     std::size_t i);

// True for the whitespace bytes of markup: TAB, LF, FF, CR and SPACE.
[[nodiscard]] constexpr bool is_markup_space(char byte) noexcept {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f';
}

}  // namespace vorlane
