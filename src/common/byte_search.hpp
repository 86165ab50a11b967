// The byte searches of the index builders and the reader, in one place: the first
// byte of a small fixed set in a range (sixteen bytes per step with SSE2, one machine
// word per step otherwise, a byte loop as the reference), eight-byte flag words for
// scans that track several bytes at once, and a library search for one byte.
// Header-only, no interpreter; every function is pure and runs without the lock.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane {

static_assert(std::endian::native == std::endian::little,
              "the word-at-a-time searches number bytes from the low end of a word");

namespace byte_search {


// True when `byte` is one of Needles.
template <unsigned char... Needles>
[[nodiscard]] constexpr bool is_one_of(unsigned char byte) noexcept {
    return ((byte == Needles) || ...);
}

// Offset of the first byte in [from, length) that is one of Needles, or `length`
// when there is none; a plain byte loop, the reference for the faster searches.
template <unsigned char... Needles>
[[nodiscard]] std::size_t find_first_of_bytewise(const char* data, std::size_t from,
                                                 std::size_t length) noexcept {
    for (std::size_t pos = from; pos < length; ++pos) {
        if (is_one_of<Needles...>(static_cast<unsigned char>(data[pos]))) return pos;
    }
    return length;
}

using Word = std::uintptr_t;
inline constexpr Word kLowBytes = ~Word{0} / 0xFF;   // 0x0101...01
inline constexpr Word kHighBits = kLowBytes * 0x80;  // 0x8080...80

// High bit set in every byte of `word` equal to `byte`. Bits above the lowest
// true match may be spurious (borrows), so only the lowest set bit is used.
template <unsigned char Byte>
[[nodiscard]] constexpr Word match_flags(Word word) noexcept {
    const Word diff = word ^ (kLowBytes * Byte);
    return (diff - kLowBytes) & ~diff & kHighBits;
}

// Same contract as find_first_of_bytewise, one machine word per step after the
// first aligned boundary. A spurious flag can only lie above a true match of the
// same needle, so the lowest flag of the combined word is always a true match.
template <unsigned char... Needles>
[[nodiscard]] std::size_t find_first_of_words(const char* data, std::size_t from,
                                              std::size_t length) noexcept {
    if constexpr (std::endian::native != std::endian::little) {
        return find_first_of_bytewise<Needles...>(data, from, length);
    } else {
        std::size_t pos = from;
        while (pos < length && reinterpret_cast<std::uintptr_t>(data + pos) % sizeof(Word) != 0) {
            if (is_one_of<Needles...>(static_cast<unsigned char>(data[pos]))) return pos;
            ++pos;
        }
        while (pos < length && length - pos >= sizeof(Word)) {
            Word word;
            std::memcpy(&word, data + pos, sizeof(Word));
            const Word flags = (match_flags<Needles>(word) | ...);
            if (flags != 0) return pos + static_cast<std::size_t>(std::countr_zero(flags)) / 8;
            pos += sizeof(Word);
        }
        return find_first_of_bytewise<Needles...>(data, pos, length);
    }
}

#if defined(__SSE2__)
// Same contract as find_first_of_bytewise, sixteen bytes per step. Loads never
// reach past `length`; the last partial block goes through the word search.
template <unsigned char... Needles>
[[nodiscard]] inline std::size_t find_first_of_sse2(const char* data, std::size_t from,
                                                    std::size_t length) noexcept {
    std::size_t pos = from;
    while (pos < length && length - pos >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        __m128i hits = _mm_setzero_si128();
        ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(Needles))))),
         ...);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) return pos + static_cast<std::size_t>(std::countr_zero(mask));
        pos += 16;
    }
    return find_first_of_words<Needles...>(data, pos, length);
}
#endif

// The search the builders use: SSE2 when available, the word search otherwise.
template <unsigned char... Needles>
[[nodiscard]] inline std::size_t find_first_of(const char* data, std::size_t from,
                                               std::size_t length) noexcept {
#if defined(__SSE2__)
    return find_first_of_sse2<Needles...>(data, from, length);
#else
    return find_first_of_words<Needles...>(data, from, length);
#endif
}


// Eight-byte flag words: every flag below is exact, so a scan may use all of them.


constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

[[nodiscard]] inline std::uint64_t load_word(const char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// High bit set in exactly the bytes of `word` that are zero (no borrow between bytes,
// so every flag is exact, not only the lowest).
[[nodiscard]] inline std::uint64_t zero_bytes(std::uint64_t word) noexcept {
    return ~(((word & kLows) + kLows) | word | kLows);
}

// High bit set in exactly the bytes of `word` equal to `byte`.
[[nodiscard]] inline std::uint64_t bytes_equal(std::uint64_t word, unsigned char byte) noexcept {
    return zero_bytes(word ^ (kOnes * byte));
}

// High bit set in exactly the bytes of `word` below 0x0E (TAB, LF, CR and the
// rarer control bytes next to them).
[[nodiscard]] inline std::uint64_t bytes_below_0e(std::uint64_t word) noexcept {
    return ~(((word & kLows) + kOnes * (0x80 - 0x0E)) | word) & kHighs;
}

// Index of the lowest flagged byte of a non-zero mask.
[[nodiscard]] inline std::size_t first_flagged(std::uint64_t mask) noexcept {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

// The flags of the bytes below byte index `count` (0 to 7) of a mask.
[[nodiscard]] inline std::uint64_t flags_below(std::uint64_t mask, std::size_t count) noexcept {
    return mask & ((std::uint64_t{1} << (8 * count)) - 1);
}

}  // namespace byte_search


// The number of set bits in a 16-bit mask (a movemask), without the library call
// that a popcount becomes on targets without the instruction.
[[nodiscard]] constexpr unsigned count_bits_16(unsigned mask) noexcept {
    mask = mask - ((mask >> 1) & 0x5555u);
    mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
    mask = (mask + (mask >> 4)) & 0x0F0Fu;
    return (mask + (mask >> 8)) & 0x1Fu;
}
static_assert(count_bits_16(0xFFFFu) == 16 && count_bits_16(0x8001u) == 2 && count_bits_16(0) == 0);

// The bits of a 16-byte block's movemask that lie inside a piece with `remaining`
// bytes left from the block's start: all sixteen, or the first `remaining`. Lets a
// search load whole blocks past the end of a piece (where the buffer goes on) and
// ignore what lies beyond it.
[[nodiscard]] constexpr unsigned block_bits_within(std::size_t remaining) noexcept {
    return remaining >= 16 ? 0xFFFFu : (1u << remaining) - 1;
}

// Offset of the first `byte` in `bytes`, or bytes.size(). Short inputs are scanned
// byte by byte; from 8 bytes on the vectorised library search pays for its call.
[[nodiscard]] inline std::size_t find_byte(std::string_view bytes, char byte) noexcept {
    if (bytes.size() < 8) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == byte) return i;
        }
        return bytes.size();
    }
    const void* found = std::memchr(bytes.data(), byte, bytes.size());
    return found == nullptr ? bytes.size()
                            : static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
}

// Offset of the first TAB, LF or CR in `bytes`, or bytes.size().
[[nodiscard]] inline std::size_t find_line_break_or_tab(std::string_view bytes) noexcept {
    return byte_search::find_first_of<'\t', '\n', '\r'>(bytes.data(), 0, bytes.size());
}

// The number of `byte` in `bytes`, word at a time.
[[nodiscard]] inline std::size_t count_byte(std::string_view bytes, char byte) noexcept {
    using namespace byte_search;
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t count = 0;
    std::size_t pos = 0;
    for (; pos + 8 <= size; pos += 8) {
        // One flag per byte moved down to bit 0 of its byte; the multiplication sums
        // the eight bytes into the top one (at most 8, so no carry is lost).
        std::uint64_t ones = bytes_equal(load_word(data + pos), static_cast<unsigned char>(byte)) >> 7;
        count += static_cast<std::size_t>((ones * kOnes) >> 56);
    }
    for (; pos < size; ++pos) count += data[pos] == byte ? 1 : 0;
    return count;
}

}  // namespace vorlane
