// Start-tag tokenizing and the construct checks. No interpreter.
// A start tag is read once, left to right: whitespace, name, '=', quoted value, repeat.
#include "read/tokenizer.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/byte_search.hpp"
#include "read/decode.hpp"

namespace vorlane {

namespace {

constexpr std::size_t kMaxBatch = 1024;
// A first guess above this many attributes is not trusted: the table grows instead.
constexpr std::size_t kMaxAttributeGuess = 32;

// Bytes that end an attribute name: markup whitespace, both quotes and '='.
constexpr std::array<bool, 256> kEndsAttributeName = [] {
    std::array<bool, 256> table{};
    for (unsigned char byte : {'\t', '\n', '\f', '\r', ' ', '"', '\'', '='}) table[byte] = true;
    return table;
}();

inline bool ends_attribute_name(char byte) noexcept {
    return kEndsAttributeName[static_cast<unsigned char>(byte)];
}

// The offset of the first byte from `pos` on that ends an attribute name, or the
// region's size. Sixteen bytes per step where the region has them.
inline std::size_t attribute_name_end(std::string_view region, std::size_t pos) noexcept {
#if defined(__SSE2__)
    const char* data = region.data();
    while (pos + 16 <= region.size()) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        // TAB, LF, FF and CR are 0x09, 0x0A, 0x0C and 0x0D: below 0x0E and not 0x0B.
        const __m128i control = _mm_and_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x0E)),
                                              _mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x08)));
        const __m128i ends = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('='))),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\''))));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ends, control))) &
                              ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x0B))));
        if (mask != 0) return pos + static_cast<std::size_t>(__builtin_ctz(mask));
        pos += 16;
    }
#endif
    while (pos < region.size() && !ends_attribute_name(region[pos])) ++pos;
    return pos;
}

inline std::size_t skip_markup_space(std::string_view region, std::size_t pos) noexcept {
    while (pos < region.size() && is_markup_space(region[pos])) ++pos;
    return pos;
}

// The number of attributes a region probably holds, from its '=' bytes. `readable`
// bytes from the start of `rest` on may be loaded (at least rest.size(): the
// document goes on after the tag), which lets every block be read whole.
inline std::size_t guess_attribute_count(std::string_view rest, std::size_t readable) noexcept {
#if defined(__SSE2__)
    const char* data = rest.data();
    std::size_t count = 0;
    std::size_t pos = 0;
    for (; pos < rest.size() && readable - pos >= 16; pos += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        auto equals = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('='))));
        equals &= block_bits_within(rest.size() - pos);
        count += count_bits_16(equals);
    }
    if (pos < rest.size()) count += count_byte(rest.substr(pos), '=');
#else
    (void)readable;
    const std::size_t count = count_byte(rest, '=');
#endif
    return std::clamp<std::size_t>(count, 1, kMaxAttributeGuess);
}

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// What one pass over an attribute value found.
struct ValueScan {
    std::size_t end;               // offset of the closing quote, or the region's size
    std::size_t first_less_than;   // offset of the first '<' before it, or kNotFound
    bool may_need_decoding;        // an '&' or a control byte below 0x0E before it
};

// Finds the quote closing the value that starts at `start`, and on the way the bytes
// that matter for the value: '<' (refused) and '&', TAB, LF, CR (decoding). One pass,
// sixteen bytes per step with SSE2 (eight without); values without those bytes are
// never looked at again. `readable` bytes from the region's start may be loaded (at
// least its size), so that a value near the tag's end is still read a block at a time;
// bytes past the region are masked off.
ValueScan scan_attribute_value(std::string_view region, std::size_t start, char quote,
                               std::size_t readable) noexcept {
    using namespace byte_search;
    const char* data = region.data();
    const std::size_t size = region.size();
    const auto quote_byte = static_cast<unsigned char>(quote);
    ValueScan scan{size, kNotFound, false};
    std::size_t pos = start;
#if defined(__SSE2__)
    // The quote's block is loaded from a table, not broadcast from the quote byte:
    // that byte sits in memory the caller has just written one byte of, and a wider
    // load of it would stall until the store retires.
    alignas(16) static constexpr unsigned char kQuoteBlocks[2][16] = {
        {'"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"', '"'},
        {'\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\'', '\''}};
    const __m128i quote_block = _mm_load_si128(reinterpret_cast<const __m128i*>(kQuoteBlocks[quote == '\'' ? 1 : 0]));
    for (; pos < size && readable - pos >= 16; pos += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const __m128i less_than = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('<'));
        // A byte below 0x0E is its own minimum with 0x0D.
        const __m128i special = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('&')),
                                             _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x0D)), bytes));
        auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quote_block)));
        auto others = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(less_than, special)));
        const unsigned inside = block_bits_within(size - pos);
        quotes &= inside;
        others &= inside;
        // Most values hold nothing but their closing quote: settled by two masks.
        const unsigned before_quote = quotes != 0 ? (quotes & (0u - quotes)) - 1 : 0xFFFFu;
        const unsigned found = others & before_quote;
        if (found != 0) {
            const auto less_thans = static_cast<unsigned>(_mm_movemask_epi8(less_than)) & found;
            if (less_thans != 0 && scan.first_less_than == kNotFound) {
                scan.first_less_than = pos + static_cast<std::size_t>(__builtin_ctz(less_thans));
            }
            if ((static_cast<unsigned>(_mm_movemask_epi8(special)) & found) != 0) scan.may_need_decoding = true;
        }
        if (quotes != 0) {
            scan.end = pos + static_cast<std::size_t>(__builtin_ctz(quotes));
            return scan;
        }
    }
    if (pos >= size) return scan;
#else
    (void)readable;
#endif
    for (; pos + 8 <= size; pos += 8) {
        const std::uint64_t word = load_word(data + pos);
        const std::uint64_t quotes = bytes_equal(word, quote_byte);
        std::uint64_t less_thans = bytes_equal(word, '<');
        std::uint64_t specials = bytes_equal(word, '&') | bytes_below_0e(word);
        if ((quotes | less_thans | specials) == 0) continue;
        std::size_t quote_at = 8;
        if (quotes != 0) {
            quote_at = first_flagged(quotes);
            less_thans = flags_below(less_thans, quote_at);
            specials = flags_below(specials, quote_at);
        }
        if (less_thans != 0 && scan.first_less_than == kNotFound) {
            scan.first_less_than = pos + first_flagged(less_thans);
        }
        if (specials != 0) scan.may_need_decoding = true;
        if (quote_at < 8) {
            scan.end = pos + quote_at;
            return scan;
        }
    }
    for (; pos < size; ++pos) {
        const char byte = data[pos];
        if (byte == quote) {
            scan.end = pos;
            return scan;
        }
        if (byte == '<' && scan.first_less_than == kNotFound) scan.first_less_than = pos;
        if (byte == '&' || static_cast<unsigned char>(byte) < 0x0E) scan.may_need_decoding = true;
    }
    return scan;
}

}  // namespace

SpanSource::~SpanSource() {
    // The caller holds its own reference, so none of these drops the last one.
    for (; reserved_ > 0; --reserved_) buffer_->release();
}

void SpanSource::refill() noexcept {
    buffer_->retain(next_batch_);
    reserved_ = next_batch_;
    if (next_batch_ < kMaxBatch) next_batch_ *= 2;
}

namespace {

// The parts of element_name_and_region, without the error value (the tokenizer runs
// this for every start tag); false when the name is empty.
inline bool start_tag_parts(std::string_view input, const StructuralIndex& index, std::size_t i,
                            StartTagParts& parts) noexcept {
    const NameRef& name = index.tag_names[i];
    if (name.length == 0) return false;
    const std::size_t start = to_size(index.tag_starts[i]);
    const std::size_t region_start = start + name.length + 1;
    std::size_t region_end = to_size(index.tag_ends[i]);
    if (index.tag_kinds[i] == TagKind::SelfClosing) --region_end;
    if (region_end < region_start) region_end = region_start;
    parts.name = input.substr(to_size(name.offset), name.length);
    parts.name_offset = name.offset;
    parts.region = input.substr(region_start, region_end - region_start);
    parts.region_offset = region_start;
    return true;
}

}  // namespace

Result<StartTagParts, ReaderError> element_name_and_region(std::string_view input,
                                                           const StructuralIndex& index,
                                                           std::size_t i) {
    StartTagParts parts;
    if (!start_tag_parts(input, index, i, parts)) {
        return ReaderError::malformed(MalformedKind::ExpectedElementName, index.tag_starts[i]);
    }
    return parts;
}

Result<void, ReaderError> tokenize_start_tag_into(ParsedElement& element, std::string_view input,
                                                  const StructuralIndex& index, std::size_t i,
                                                  SpanSource& spans, HashKeys keys, bool use_document_arena) {
    StartTagParts parts;
    if (!start_tag_parts(input, index, i, parts)) {
        return ReaderError::malformed(MalformedKind::ExpectedElementName, index.tag_starts[i]);
    }
    const std::string_view region = parts.region;
    const std::uint64_t base = parts.region_offset;
    const std::size_t name_offset = to_size(parts.name_offset);
    // Bytes that may be loaded from the region's start on: the rest of the document.
    const std::size_t readable = input.size() - to_size(base);

    // One buffer reference for the element; its name, keys, values and text borrow it.
    element.buffer = spans.reference();
    element.name = spans.borrowed_span(name_offset, name_offset + parts.name.size());
    bool map_created = false;
    std::size_t pos = 0;
    std::size_t last_value_end = 0;  // where the previous attribute (or the region) ended
    while (true) {
        pos = skip_markup_space(region, pos);
        if (pos == region.size()) break;
        if (pos == last_value_end) {
            return ReaderError::malformed(MalformedKind::ExpectedWhitespace, base + last_value_end);
        }
        const std::size_t key_start = pos;
        pos = attribute_name_end(region, pos);
        if (pos == key_start) {
            return ReaderError::malformed(MalformedKind::ExpectedAttributeName, base + pos);
        }
        const std::string_view key = region.substr(key_start, pos - key_start);
        pos = skip_markup_space(region, pos);
        if (pos == region.size() || region[pos] != '=') {
            return ReaderError::malformed(MalformedKind::AttributeHasNoValue, base + key_start, key);
        }
        const std::size_t equals = pos;
        pos = skip_markup_space(region, pos + 1);
        if (pos == region.size() || (region[pos] != '"' && region[pos] != '\'')) {
            return ReaderError::malformed(MalformedKind::ValueNotQuoted, base + pos, key);
        }
        const std::size_t value_start = pos + 1;
        const ValueScan scan = scan_attribute_value(region, value_start, region[pos], readable);
        if (scan.end == region.size()) {
            return ReaderError::malformed(MalformedKind::UnterminatedAttributeValue,
                                          base + value_start);
        }
        if (scan.first_less_than != kNotFound) {
            return ReaderError::malformed(MalformedKind::LessThanInAttributeValue,
                                          base + scan.first_less_than);
        }
        const std::size_t value_end = scan.end;
        std::optional<DecodedValue> decoded;
        if (scan.may_need_decoding) {
            auto result = decode_value(region.substr(value_start, value_end - value_start),
                                       base + value_start, DecodeMode::Attribute);
            if (!result) return std::move(result.error());
            if (!result->is_unchanged()) decoded.emplace(std::move(*result));
        }

        if (!map_created) {
            const std::size_t guess = guess_attribute_count(region.substr(equals), readable - equals);
            if (use_document_arena) {
                // The block lives as long as the document, so the node made from this
                // element later keeps using it instead of copying the entries.
                DocumentBuffer* buffer = spans.buffer();
                if (AttrMap::fits_compact_offsets(buffer->size())) {
                    element.attrs.reserve_in_compact(
                        keys, guess,
                        buffer->arena().allocate(AttrMap::compact_block_bytes(guess), alignof(std::max_align_t)),
                        buffer);
                } else {
                    element.attrs.reserve_in(
                        keys, guess, buffer->arena().allocate(AttrMap::block_bytes(guess), alignof(std::max_align_t)));
                }
            } else {
                element.attrs.reserve(keys, guess);
            }
            map_created = true;
        }
        // Key and value are made directly in the parameters of insert: a named value
        // moved in costs a store-forwarding stall per attribute.
        const std::size_t key_offset = to_size(base) + key_start;
        const bool inserted =
            !decoded && element.attrs.is_compact()
                ? element.attrs.insert_spans(key_offset, key.size(), to_size(base) + value_start,
                                             value_end - value_start)
                : element.attrs.insert(
                      spans.borrowed_span(key_offset, key_offset + key.size()),
                      decoded ? StrRef::owned(std::move(decoded->output()))
                              : spans.borrowed_span(to_size(base) + value_start, to_size(base) + value_end));
        if (!inserted) {
            return ReaderError::malformed(MalformedKind::DuplicateAttribute, base + key_start, key);
        }
        pos = value_end + 1;
        last_value_end = pos;
    }
    return reader_success();
}

Result<ParsedElement, ReaderError> tokenize_start_tag(std::string_view input,
                                                      const StructuralIndex& index, std::size_t i,
                                                      SpanSource& spans, HashKeys keys) {
    ParsedElement element;
    auto filled = tokenize_start_tag_into(element, input, index, i, spans, keys);
    if (!filled) return std::move(filled.error());
    return element;
}

Result<ParsedElement, ReaderError> tokenize_start_tag(std::string_view input,
                                                      const StructuralIndex& index, std::size_t i,
                                                      DocumentBuffer* buffer, HashKeys keys) {
    SpanSource spans(buffer);
    return tokenize_start_tag(input, index, i, spans, keys);
}

Result<void, ReaderError> check_comment(std::string_view input, const StructuralIndex& index,
                                        std::size_t i) {
    std::uint64_t start = index.tag_starts[i];
    std::size_t end = to_size(index.tag_ends[i]);
    if (end >= start + 6 && end < input.size() && input[end] == '>' && input[end - 1] == '-' &&
        input[end - 2] == '-') {
        return reader_success();
    }
    return ReaderError::malformed(MalformedKind::UnterminatedComment, start);
}

Result<CDataBody, ReaderError> check_cdata(std::string_view input, const StructuralIndex& index,
                                           std::size_t i) {
    std::uint64_t start = index.tag_starts[i];
    std::uint64_t end = index.tag_ends[i];
    std::size_t at = to_size(end);
    if (end > 1 && end >= start + 11 && at < input.size() && input[at] == '>' &&
        input[at - 1] == ']' && input[at - 2] == ']') {
        return CDataBody{start + 9, end - 2};
    }
    return ReaderError::malformed(MalformedKind::UnterminatedCData, start);
}

Result<void, ReaderError> check_processing_instruction(std::string_view input,
                                                       const StructuralIndex& index,
                                                       std::size_t i) {
    std::uint64_t start = index.tag_starts[i];
    std::size_t end = to_size(index.tag_ends[i]);
    if (end >= 1 && end < input.size() && input[end] == '>' && input[end - 1] == '?') {
        return reader_success();
    }
    return ReaderError::malformed(MalformedKind::UnterminatedProcessingInstruction, start);
}

}  // namespace vorlane
