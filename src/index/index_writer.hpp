// IndexWriter and the construct scans both index builders share: appending
// entries and text runs to a StructuralIndex, the name-stop tables, and the
// searches for the terminators of processing instructions, comments and CDATA.
// Header-only, no interpreter; runs without the lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/byte_search.hpp"
#include "index/structural_index.hpp"

namespace vorlane::index_build {

// Longest name a NameRef can describe. A longer element name, end-tag name or
// instruction target makes both builders fail with ScanError::NameTooLong at the
// offset of the construct's '<' (the reader reports it as a malformed document).
// The check is made as the entry is recorded, after the construct's end is known,
// so an unclosed or unterminated construct reports that failure instead.
inline constexpr std::size_t kMaxNameLength = 0xFFFF;

// Bytes that end a name inside markup. Whitespace is exactly TAB, LF, FF, CR and
// SPACE; vertical tab (0x0B) is an ordinary name byte.
enum NameStop : std::uint8_t {
    kStopWhitespace = 1,
    kStopSlash = 2,
    kStopGreater = 4,
    kStopQuestion = 8,
};

inline constexpr std::array<std::uint8_t, 256> kNameStops = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned char byte : {0x09, 0x0A, 0x0C, 0x0D, 0x20}) table[byte] = kStopWhitespace;
    table['/'] = kStopSlash;
    table['>'] = kStopGreater;
    table['?'] = kStopQuestion;
    return table;
}();

// Offset of the first byte in [from, limit) whose stop class intersects `stops`,
// or `limit`. Names are short: one block of sixteen bytes settles most of them (the
// callers pass constant stops, so only the classes asked for are compared), and the
// last bytes before `limit` go through a table-driven byte loop.
[[nodiscard]] inline std::size_t scan_name(const char* data, std::size_t from, std::size_t limit,
                                           std::uint8_t stops) noexcept {
    std::size_t pos = from;
#if defined(__SSE2__)
    while (pos < limit && limit - pos >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        __m128i hits = _mm_setzero_si128();
        if ((stops & kStopWhitespace) != 0) {
            // TAB, LF, FF and CR lie in 0x09 to 0x0D, where only 0x0B is a name byte.
            const __m128i controls = _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(0x08)),
                                                   _mm_cmplt_epi8(block, _mm_set1_epi8(0x0E)));
            hits = _mm_or_si128(hits, _mm_andnot_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(0x0B)), controls));
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(' ')));
        }
        if ((stops & kStopSlash) != 0) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('/')));
        if ((stops & kStopGreater) != 0) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('>')));
        if ((stops & kStopQuestion) != 0) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8('?')));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return pos + static_cast<std::size_t>(__builtin_ctz(mask));
        pos += 16;
    }
#endif
    while (pos < limit && (kNameStops[static_cast<unsigned char>(data[pos])] & stops) == 0) ++pos;
    return pos;
}

// Offset of the first '>' at or after `from` whose preceding bytes are `prefix`
// (for "-->", "]]>" and "?>"), or `length`. The '>' anchors the search because it
// is rarer than '-', ']' or '?' in comment, CDATA and instruction bodies; `from`
// is the earliest admissible offset of the '>' itself.
template <char... Prefix>
[[nodiscard]] std::size_t find_terminator(const char* data, std::size_t from,
                                          std::size_t length) noexcept {
    constexpr std::size_t prefix_len = sizeof...(Prefix);
    constexpr char prefix[prefix_len] = {Prefix...};
    std::size_t pos = from;
    while (true) {
        pos = byte_search::find_first_of<'>'>(data, pos, length);
        if (pos >= length) return length;
        if (std::memcmp(data + pos - prefix_len, prefix, prefix_len) == 0) return pos;
        ++pos;
    }
}

// End offset of a processing instruction whose target ends at `target_end`: the
// '>' of the first "?>" at or after the target's end, else `length - 1` (an
// unterminated instruction), or `target_end` itself when fewer than two bytes
// remain from it. Both builders use this rule unchanged.
[[nodiscard]] inline std::size_t processing_instruction_end(const char* data, std::size_t target_end,
                                                            std::size_t length) noexcept {
    if (target_end + 1 >= length) return target_end;
    const std::size_t close = find_terminator<'?'>(data, target_end + 1, length);
    return close < length ? close : length - 1;
}

// Where a document type declaration ends when it carries an internal subset.
struct DeclarationEnd {
    enum class Kind : std::uint8_t {
        NoSubset,      // not a "<!DOCTYPE" with a '[' subset: the caller's first-'>' rule applies
        Closed,        // the subset and the declaration are closed; `end` is the final '>'
        Unterminated,  // the subset, or something quoted or commented inside it, never ends
    };
    Kind kind;
    std::size_t end = 0;
};

// End of the "<!DOCTYPE" declaration whose '<' is at `open`. A subset opened by '['
// (found before the declaration's '>', quoted external identifiers passed over)
// runs to the ']' that closes it, honouring quoted strings, comments and
// processing instructions inside it, so that markup inside entity values never
// reaches the document; the declaration then ends at the '>' after it (only
// whitespace may come between; anything else leaves it unterminated). Nothing in the
// subset is interpreted. A declaration without a subset gets NoSubset, so that it
// keeps ending at its first '>' whatever quotes it holds. Both builders use this.
[[nodiscard]] inline DeclarationEnd document_type_end(const char* data, std::size_t open,
                                                      std::size_t length) noexcept {
    constexpr std::string_view kOpener = "<!DOCTYPE";
    if (length - open < kOpener.size() || std::memcmp(data + open, kOpener.data(), kOpener.size()) != 0) {
        return {DeclarationEnd::Kind::NoSubset};
    }
    std::size_t pos = open + kOpener.size();
    // The name and external identifier: only a '[' outside quotes opens a subset.
    while (true) {
        pos = byte_search::find_first_of<'"', '\'', '[', '>'>(data, pos, length);
        if (pos >= length || data[pos] == '>') return {DeclarationEnd::Kind::NoSubset};
        if (data[pos] == '[') break;
        const std::size_t close = data[pos] == '"' ? byte_search::find_first_of<'"'>(data, pos + 1, length)
                                                   : byte_search::find_first_of<'\''>(data, pos + 1, length);
        if (close >= length) return {DeclarationEnd::Kind::NoSubset};
        pos = close + 1;
    }
    ++pos;
    while (true) {
        pos = byte_search::find_first_of<'"', '\'', '<', ']'>(data, pos, length);
        if (pos >= length) return {DeclarationEnd::Kind::Unterminated};
        const char byte = data[pos];
        if (byte == ']') {
            // Only whitespace may stand between the subset's ']' and the '>'.
            std::size_t close = pos + 1;
            while (close < length && (kNameStops[static_cast<unsigned char>(data[close])] & kStopWhitespace) != 0) {
                ++close;
            }
            if (close >= length || data[close] != '>') return {DeclarationEnd::Kind::Unterminated};
            return {DeclarationEnd::Kind::Closed, close};
        }
        std::size_t resume;
        if (byte == '"' || byte == '\'') {
            resume = byte == '"' ? byte_search::find_first_of<'"'>(data, pos + 1, length)
                                 : byte_search::find_first_of<'\''>(data, pos + 1, length);
        } else if (length - pos >= 4 && std::memcmp(data + pos + 1, "!--", 3) == 0) {
            resume = find_terminator<'-', '-'>(data, pos + 6, length);
        } else if (length - pos >= 2 && data[pos + 1] == '?') {
            resume = find_terminator<'?'>(data, pos + 3, length);
        } else {
            // A markup declaration's own '<': its quoted values are what matters.
            resume = pos;
        }
        if (resume >= length) return {DeclarationEnd::Kind::Unterminated};
        pos = resume + 1;
    }
}

// How many entries (and about as many text runs) to reserve room for: the '<' of
// three samples (the start, the middle and the end of the input) scaled to the
// whole input, plus a quarter. Regrowing the arrays of a large document copies all
// of them once or twice, while room that is reserved but never written costs no
// memory pages. Every entry starts at a '<', so an input no longer than the samples
// gets the exact upper bound; a document denser between the samples than in them
// regrows as usual. Never more than one entry per two bytes, the shortest construct.
inline constexpr std::size_t kEstimateSampleBytes = std::size_t{16} << 10;

[[nodiscard]] inline std::size_t estimated_entry_count(std::string_view input) noexcept {
    const std::size_t length = input.size();
    if (length <= 3 * kEstimateSampleBytes) return count_byte(input, '<');
    const std::size_t opens = count_byte(input.substr(0, kEstimateSampleBytes), '<') +
                              count_byte(input.substr(length / 2, kEstimateSampleBytes), '<') +
                              count_byte(input.substr(length - kEstimateSampleBytes), '<');
    const double scaled = static_cast<double>(opens) * 1.25 *
                          (static_cast<double>(length) / static_cast<double>(3 * kEstimateSampleBytes));
    const std::size_t ceiling = length / 2;
    return scaled >= static_cast<double>(ceiling) ? ceiling : static_cast<std::size_t>(scaled) + 64;
}

// Appends entries and text runs to a StructuralIndex, tracking `last_end`, the
// end offset of the construct taken up last (0 while there is none yet).
class IndexWriter {
public:
    // Views `input` (not copied) and reserves room for the entries and text runs
    // estimated_entry_count expects; throws std::bad_alloc.
    explicit IndexWriter(std::string_view input) : IndexWriter(input, estimated_entry_count(input)) {}

    // As above, reserving room for `capacity` entries and text runs.
    IndexWriter(std::string_view input, std::size_t capacity) {
        index_.input = input;
        reserve(index_, capacity);
    }

    // Writes into `index` (which must outlive the writer) instead, keeping its
    // capacity, and goes on from a construct that ended at `last_end`.
    IndexWriter(StructuralIndex& index, std::size_t last_end) noexcept : target_(&index), last_end_(last_end) {}

    static void reserve(StructuralIndex& index, std::size_t capacity) {
        index.tag_starts.reserve(capacity);
        index.tag_ends.reserve(capacity);
        index.tag_kinds.reserve(capacity);
        index.tag_names.reserve(capacity);
        index.text_ranges.reserve(capacity);
    }

    static void clear(StructuralIndex& index) noexcept {
        index.tag_starts.clear();
        index.tag_ends.clear();
        index.tag_kinds.clear();
        index.tag_names.clear();
        index.text_ranges.clear();
    }

    [[nodiscard]] std::size_t size() const noexcept { return target().tag_starts.size(); }
    [[nodiscard]] std::size_t last_end() const noexcept { return last_end_; }

    // Appends the run of character data before a '<' taken up at `open_offset`:
    // it starts at 0 before the first construct, else just after `last_end`.
    void append_text_before(std::size_t open_offset) {
        const std::size_t start = last_end_ == 0 ? 0 : last_end_ + 1;
        if (start < open_offset) target().text_ranges.push_back({start, open_offset});
    }

    // Appends the range [start, end) (a CDATA body) when it is not empty.
    void append_text(std::size_t start, std::size_t end) {
        if (start < end) target().text_ranges.push_back({start, end});
    }

    // Records one construct; the name must fit kMaxNameLength (checked by the caller).
    void record(std::size_t start, std::size_t end, TagKind kind, std::size_t name_offset,
                std::size_t name_len) {
        StructuralIndex& index = target();
        index.tag_starts.push_back(start);
        index.tag_ends.push_back(end);
        index.tag_kinds.push_back(kind);
        index.tag_names.push_back({name_offset, static_cast<std::uint16_t>(name_len)});
        last_end_ = end;
    }

    // Marks a construct that gets no entry (a document type declaration).
    void skip_to(std::size_t end) noexcept { last_end_ = end; }

    [[nodiscard]] StructuralIndex finish() && { return std::move(index_); }

private:
    [[nodiscard]] StructuralIndex& target() noexcept { return target_ != nullptr ? *target_ : index_; }
    [[nodiscard]] const StructuralIndex& target() const noexcept { return target_ != nullptr ? *target_ : index_; }

    StructuralIndex index_;
    StructuralIndex* target_ = nullptr;
    std::size_t last_end_ = 0;
};

// True when the bytes at `offset` are `literal` and lie inside the input.
[[nodiscard]] inline bool has_literal_at(std::string_view input, std::size_t offset,
                                         std::string_view literal) noexcept {
    return offset <= input.size() && input.size() - offset >= literal.size() &&
           input.compare(offset, literal.size(), literal) == 0;
}

}  // namespace vorlane::index_build
