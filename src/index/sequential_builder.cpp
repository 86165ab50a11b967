// The sequential index builder: one forward pass that jumps from '<' to '<' and
// reads each construct to its end, skipping quoted attribute values inside tags.
// The default builder. Runs without the interpreter lock.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/byte_search.hpp"
#include "index/index_writer.hpp"
#include "index/structural_index.hpp"

namespace vorlane {

namespace {

using index_build::IndexWriter;
using index_build::kMaxNameLength;
using byte_search::find_first_of;

// End of a start tag or empty-element tag whose name ends at `name_end`: the
// offset of its closing '>' and whether "/>" closed it, or `length` when the
// input ends first. A quote skips to the next occurrence of the same quote byte
// anywhere later in the input; an unmatched quote passes over itself and the
// byte after it.
struct StartTagEnd {
    std::size_t end;
    bool self_closing;
};

// One event at a time with the word-at-a-time search: the portable path, and the
// tail of the input for the block path.
StartTagEnd scan_start_tag_events(const char* data, std::size_t pos, std::size_t length) noexcept {
    while (true) {
        pos = find_first_of<'"', '\'', '/', '>'>(data, pos, length);
        if (pos >= length) return {length, false};
        const char byte = data[pos];
        if (byte == '>') return {pos, false};
        if (byte == '/') {
            if (pos + 1 < length && data[pos + 1] == '>') return {pos + 1, true};
            ++pos;
        } else if (byte == '"') {
            const std::size_t close = find_first_of<'"'>(data, pos + 1, length);
            pos = close < length ? close + 1 : pos + 2;
        } else {
            const std::size_t close = find_first_of<'\''>(data, pos + 1, length);
            pos = close < length ? close + 1 : pos + 2;
        }
    }
}

#if defined(__SSE2__)
// Same result as scan_start_tag_events. Attribute values are short, so most
// quotes close inside the sixteen bytes already classified: each block is loaded
// once and its events are taken from the bit masks instead of a new search per
// event.
StartTagEnd scan_start_tag(const char* data, std::size_t pos, std::size_t length) noexcept {
    const __m128i double_quote = _mm_set1_epi8('"');
    const __m128i apostrophe = _mm_set1_epi8('\'');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i greater = _mm_set1_epi8('>');
    while (pos < length && length - pos >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const unsigned double_quotes =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, double_quote)));
        const unsigned apostrophes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, apostrophe)));
        const unsigned slashes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, slash)));
        const unsigned greaters = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, greater)));
        unsigned events = double_quotes | apostrophes | slashes | greaters;
        std::size_t resume = pos + 16;
        while (events != 0) {
            const unsigned bit = static_cast<unsigned>(std::countr_zero(events));
            const unsigned below_and_at = (2u << bit) - 1;  // bits 0..bit
            if ((greaters >> bit) & 1) return {pos + bit, false};
            if ((slashes >> bit) & 1) {
                const std::size_t at = pos + bit;
                if (at + 1 < length && data[at + 1] == '>') return {at + 1, true};
                events &= ~below_and_at;
                continue;
            }
            const bool is_double = (double_quotes >> bit) & 1;
            const unsigned closers = (is_double ? double_quotes : apostrophes) & ~below_and_at;
            if (closers != 0) {
                events &= ~((2u << std::countr_zero(closers)) - 1);
                continue;
            }
            // The value runs past this block.
            const std::size_t open = pos + bit;
            const std::size_t close = is_double ? find_first_of<'"'>(data, pos + 16, length)
                                                : find_first_of<'\''>(data, pos + 16, length);
            resume = close < length ? close + 1 : open + 2;
            break;
        }
        pos = resume;
    }
    return scan_start_tag_events(data, pos, length);
}
#else
StartTagEnd scan_start_tag(const char* data, std::size_t pos, std::size_t length) noexcept {
    return scan_start_tag_events(data, pos, length);
}
#endif

}  // namespace

namespace {

enum class Step : std::uint8_t { Taken, End };

// Takes up the construct at the first '<' from `scan` on: records its entry (and the
// text before it) and moves `scan` past it, or reports that no '<' is left.
Result<Step, ScanError> take_next_construct(std::string_view input, std::size_t& scan, IndexWriter& writer) {
    const char* data = input.data();
    const std::size_t length = input.size();
    const std::size_t open = find_first_of<'<'>(data, scan, length);
    if (open >= length) return Step::End;
    writer.append_text_before(open);
    if (open + 1 >= length) return ScanError{ScanError::Kind::UnclosedTag, open};

    TagKind kind;
    std::size_t end;
    std::size_t name_offset = 0;
    std::size_t name_len = 0;
    const char marker = data[open + 1];
    if (marker == '!') {
        if (index_build::has_literal_at(input, open + 2, "--")) {
            kind = TagKind::Comment;
            end = index_build::find_terminator<'-', '-'>(data, open + 6, length);
        } else if (index_build::has_literal_at(input, open + 2, "[CDATA[")) {
            kind = TagKind::CData;
            const std::size_t body = open + 9;
            end = index_build::find_terminator<']', ']'>(data, body + 2, length);
            if (end < length) writer.append_text(body, end - 2);
        } else {
            // A document type declaration or another "<!" construct: no
            // entry. An internal subset is skipped whole; otherwise it ends at
            // the first '>' whatever quotes it holds.
            const index_build::DeclarationEnd declaration = index_build::document_type_end(data, open, length);
            if (declaration.kind == index_build::DeclarationEnd::Kind::Unterminated) {
                return ScanError{ScanError::Kind::UnterminatedDeclaration, open};
            }
            if (declaration.kind == index_build::DeclarationEnd::Kind::Closed) {
                writer.skip_to(declaration.end);
                scan = declaration.end + 1;
                return Step::Taken;
            }
            const std::size_t close = find_first_of<'>'>(data, open + 1, length);
            if (close < length) {
                writer.skip_to(close);
                scan = close + 1;
            } else {
                writer.skip_to(open + 1);
                scan = open + 2;
            }
            return Step::Taken;
        }
    } else if (marker == '/') {
        kind = TagKind::Close;
        name_offset = open + 2;
        const std::size_t name_end = index_build::scan_name(
            data, name_offset, length, index_build::kStopWhitespace | index_build::kStopGreater);
        name_len = name_end - name_offset;
        end = find_first_of<'>'>(data, name_end, length);
        if (end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
    } else if (marker == '?') {
        kind = TagKind::ProcessingInstruction;
        name_offset = open + 2;
        const std::size_t target_end = index_build::scan_name(
            data, name_offset, length,
            index_build::kStopWhitespace | index_build::kStopGreater | index_build::kStopQuestion);
        name_len = target_end - name_offset;
        end = index_build::processing_instruction_end(data, target_end, length);
    } else {
        name_offset = open + 1;
        const std::size_t name_end = index_build::scan_name(
            data, name_offset, length,
            index_build::kStopWhitespace | index_build::kStopSlash | index_build::kStopGreater);
        if (name_end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
        name_len = name_end - name_offset;
        const StartTagEnd tag_end = scan_start_tag(data, name_end, length);
        if (tag_end.end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
        kind = tag_end.self_closing ? TagKind::SelfClosing : TagKind::Open;
        end = tag_end.end;
    }

    // Only comments, CDATA sections and instructions whose target runs to the
    // end of the input get here with end == length.
    if (end >= length) return ScanError{ScanError::Kind::UnexpectedEnd, 0};
    if (name_len > kMaxNameLength) return ScanError{ScanError::Kind::NameTooLong, open};
    writer.record(open, end, kind, name_offset, name_len);
    scan = end + 1;
    return Step::Taken;
}

}  // namespace

Result<StructuralIndex, ScanError> build_index_sequential(std::string_view input) {
    IndexWriter writer(input);
    std::size_t scan = 0;
    while (true) {
        auto step = take_next_construct(input, scan, writer);
        if (!step) return step.error();
        if (step.value() == Step::End) break;
    }
    return std::move(writer).finish();
}

SequentialIndexStream::SequentialIndexStream(std::string_view input, std::size_t window_entries)
    : input_(input), window_entries_(window_entries == 0 ? 1 : window_entries) {
    window_.input = input;
    IndexWriter::reserve(window_, std::min(window_entries_, index_build::estimated_entry_count(input)) + 1);
}

Result<bool, ScanError> SequentialIndexStream::next() {
    IndexWriter::clear(window_);
    if (done_) return false;
    IndexWriter writer(window_, last_end_);
    while (writer.size() < window_entries_) {
        auto step = take_next_construct(input_, scan_, writer);
        if (!step) {
            done_ = true;
            return step.error();
        }
        if (step.value() == Step::End) {
            done_ = true;
            break;
        }
    }
    last_end_ = writer.last_end();
    return window_.size() != 0 || !window_.text_ranges.empty();
}

}  // namespace vorlane
