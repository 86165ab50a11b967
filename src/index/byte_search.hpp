// Byte searches shared by the two index builders: find the first byte of a small
// fixed set in a range, sixteen bytes per step with SSE2 where the compiler targets
// it, one machine word per step (four bytes on 32-bit x86) otherwise.
// Header-only, no interpreter; every function is pure and runs without the lock.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane::index_search {

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

}  // namespace vorlane::index_search
