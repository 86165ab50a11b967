// Output escaping of texts and attribute values: one fixed table, a text mode and an
// attribute mode, and the block search that finds the next byte to escape. No
// interpreter: runs with the lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/result.hpp"
#include "write/sinks.hpp"

namespace vorlane {

// Text mode escapes & < > " '; attribute mode also escapes tab, carriage return and
// line feed as character references.
enum class EscapeMode : std::uint8_t { Text, Attribute };

// The replacement of `byte` in `mode`, or an empty view when the byte is written
// unchanged. Every byte that is escaped is ASCII, so a UTF-8 value can be scanned
// byte by byte.
[[nodiscard]] std::string_view escape_replacement(unsigned char byte, EscapeMode mode) noexcept;

namespace escape_detail {

// Bit set for each mode in which a byte is replaced.
inline constexpr std::uint8_t kTextBit = 1;
inline constexpr std::uint8_t kAttributeBit = 2;

struct EscapeClasses {
    std::uint8_t bits[256];
};

constexpr EscapeClasses make_escape_classes() {
    EscapeClasses classes{};
    for (unsigned char byte : {'&', '<', '>', '"', '\''}) classes.bits[byte] = kTextBit | kAttributeBit;
    for (unsigned char byte : {'\t', '\r', '\n'}) classes.bits[byte] = kAttributeBit;
    return classes;
}

inline constexpr EscapeClasses kEscapeClasses = make_escape_classes();

template <EscapeMode mode>
constexpr std::uint8_t mode_bit() noexcept {
    return mode == EscapeMode::Text ? kTextBit : kAttributeBit;
}

#if !defined(__SSE2__)
// One machine word of bytes: eight on 64-bit targets, four on 32-bit ones.
using Word = std::conditional_t<sizeof(void*) >= 8, std::uint64_t, std::uint32_t>;
inline constexpr Word kOnes = static_cast<Word>(~Word{0}) / 0xFF;
inline constexpr Word kHighs = kOnes * 0x80;

// Non-zero when some byte of `word` equals `byte`. Exact as a yes/no answer: a
// false flag can only sit above a true one.
constexpr Word has_byte(Word word, unsigned char byte) noexcept {
    Word diff = word ^ (kOnes * byte);
    return (diff - kOnes) & ~diff & kHighs;
}
#endif

#if defined(__SSE2__)
// The `count` (below 16) bytes at `bytes` in the low lanes of a block, zero bytes
// in the others, read with at most two loads and never past the last byte: the
// block of a short value or of a value's last bytes. A load that overlaps the
// first one is shifted so that each byte appears once.
[[nodiscard]] inline __m128i load_short_block(const unsigned char* bytes, std::size_t count) noexcept {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    if (count >= 8) {
        std::memcpy(&low, bytes, 8);
        if (count > 8) {
            std::memcpy(&high, bytes + count - 8, 8);
            high >>= 8 * (16 - count);
        }
    } else if (count >= 4) {
        std::uint32_t head;
        std::memcpy(&head, bytes, 4);
        low = head;
        if (count > 4) {
            std::uint32_t tail;
            std::memcpy(&tail, bytes + count - 4, 4);
            low |= static_cast<std::uint64_t>(tail >> (8 * (8 - count))) << 32;
        }
    } else {
        for (std::size_t index = 0; index < count; ++index) low |= std::uint64_t{bytes[index]} << (8 * index);
    }
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// The bytes of `bytes` (at most 16) in the low lanes of a block, zero bytes after.
[[nodiscard]] inline __m128i short_block(std::string_view bytes) noexcept {
    return load_short_block(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A bit for each byte of `block` that `mode` replaces. Zero bytes never are, so a
// block padded with them (load_short_block) reports only its own bytes.
template <EscapeMode mode>
[[nodiscard]] inline unsigned escape_hits(__m128i block) noexcept {
    __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('"')), _mm_cmpeq_epi8(block, _mm_set1_epi8('&'))),
        _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\'')),
                     _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('<')), _mm_cmpeq_epi8(block, _mm_set1_epi8('>')))));
    if constexpr (mode == EscapeMode::Attribute) {
        hits = _mm_or_si128(hits, _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\t')),
                                               _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\n')),
                                                            _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')))));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

// What escaping the bytes of `block` in `mode` adds to their length: each byte's
// growth picked by compares, then summed across the lanes.
template <EscapeMode mode>
[[nodiscard]] inline std::size_t block_growth(__m128i block) noexcept {
    auto growth_of = [&](char byte, int growth) {
        return _mm_and_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(byte)), _mm_set1_epi8(static_cast<char>(growth)));
    };
    __m128i total = _mm_or_si128(_mm_or_si128(growth_of('&', 4), growth_of('<', 3)),
                                 _mm_or_si128(growth_of('>', 3), _mm_or_si128(growth_of('"', 5), growth_of('\'', 5))));
    if constexpr (mode == EscapeMode::Attribute) {
        total = _mm_or_si128(total, _mm_or_si128(growth_of('\t', 3),
                                                 _mm_or_si128(growth_of('\n', 4), growth_of('\r', 4))));
    }
    const __m128i sums = _mm_sad_epu8(total, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}
#endif

}  // namespace escape_detail

// The offset of the first byte at or after `offset` that `mode` replaces, or `size`
// when there is none. Plain bytes are skipped sixteen at a time with SSE2, or a
// machine word at a time without it (then only the word holding a hit is looked
// at byte by byte). Never reads outside [bytes + offset, bytes + size) except
// below `offset` within the value.
template <EscapeMode mode>
[[nodiscard]] inline std::size_t find_escaped_byte(const unsigned char* bytes, std::size_t offset,
                                                   std::size_t size) noexcept {
    using namespace escape_detail;
#if defined(__SSE2__)
    auto hits_in = [](__m128i block) { return escape_hits<mode>(block); };
    while (size - offset >= 16) {
        unsigned mask = hits_in(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset)));
        if (mask != 0) return offset + static_cast<std::size_t>(__builtin_ctz(mask));
        offset += 16;
    }
    if (offset == size) return size;
    // Fewer than sixteen bytes are left: one more block covers them, either the last
    // sixteen bytes of the value (dropping the lanes already searched) or, for a
    // short value, the rest padded with zero bytes, which never need escaping.
    const std::size_t remaining = size - offset;
    unsigned mask;
    if (size >= 16) {
        mask = hits_in(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + size - 16))) >> (16 - remaining);
    } else {
        mask = hits_in(load_short_block(bytes + offset, remaining));
    }
    if (mask == 0) return size;
    return offset + static_cast<std::size_t>(__builtin_ctz(mask));
#else
    while (size - offset >= sizeof(Word)) {
        Word word;
        std::memcpy(&word, bytes + offset, sizeof word);
        Word hits = has_byte(word, '"') | has_byte(word, '&') | has_byte(word, '\'') | has_byte(word, '<') |
                    has_byte(word, '>');
        if constexpr (mode == EscapeMode::Attribute) {
            hits |= has_byte(word, '\t') | has_byte(word, '\n') | has_byte(word, '\r');
        }
        if (hits != 0) break;  // the byte loop below finds it within this word
        offset += sizeof(Word);
    }
    constexpr std::uint8_t bit = mode_bit<mode>();
    while (offset < size && (kEscapeClasses.bits[bytes[offset]] & bit) == 0) ++offset;
    return offset;
#endif
}

// What escaping `value` in `mode` does to its length: `growth` is the number of
// bytes the replacements add (for each replaced byte, the length of its
// replacement less one), and `non_ascii` says whether the value holds a byte above
// 0x7F. One pass, sixteen bytes per step with SSE2, one byte at a time without it.
struct EscapeMeasure {
    std::size_t growth;
    bool non_ascii;
};
[[nodiscard]] EscapeMeasure measure_escaped(std::string_view value, EscapeMode mode) noexcept;

// Appends `value` to `sink` escaped in `mode`: each maximal run of unchanged bytes in
// one append, then the replacement of the byte that ended it. Returns the sink's
// first error unchanged (a StringSink never fails).
template <typename Sink>
[[nodiscard]] Result<void, IoError> write_escaped(Sink& sink, std::string_view value, EscapeMode mode);

extern template Result<void, IoError> write_escaped<StringSink>(StringSink&, std::string_view, EscapeMode);
extern template Result<void, IoError> write_escaped<FileSink>(FileSink&, std::string_view, EscapeMode);

}  // namespace vorlane
