// UTF-8 encoding of a run of code units as the interpreter stores a str: one,
// two or four bytes per code point (latin-1, the basic plane, all planes). The
// exact output length is measured first, then the units are encoded into a buffer
// of that size (or, in one pass, into room for the longest form). Runs of ASCII, the
// bulk of markup, go sixteen units per step; other basic-plane text eight units per
// step where the processor has SSSE3.
// Header-only, no interpreter; pure functions that run without the lock.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <array>
#include <tmmintrin.h>
// Basic-plane text that is not ASCII is encoded eight units at a time with the
// byte shuffle of SSSE3, on processors that have it (checked once, at run time).
#define VORLANE_UTF8_ENCODE_SSSE3 1
#endif

namespace vorlane {

// Code units of one width (1, 2 or 4 bytes each), `count` of them at `data`.
struct CodeUnits {
    const void* data = nullptr;
    std::size_t count = 0;
    unsigned width = 1;
};

// Returned by utf8_encoded_length when a unit is a surrogate (U+D800 to U+DFFF),
// which has no UTF-8 form.
inline constexpr std::size_t kUtf8HasSurrogate = ~std::size_t{0};

namespace utf8_encode_detail {

template <typename Unit>
[[nodiscard]] constexpr bool is_surrogate(Unit unit) noexcept {
    return (static_cast<std::uint32_t>(unit) & 0xFFFFF800u) == 0xD800u;
}

// Bytes beyond the first that `unit` takes in UTF-8 (0 to 3).
template <typename Unit>
[[nodiscard]] constexpr std::size_t extra_bytes(Unit unit) noexcept {
    const auto value = static_cast<std::uint32_t>(unit);
    return static_cast<std::size_t>(value >= 0x80) + static_cast<std::size_t>(value >= 0x800) +
           static_cast<std::size_t>(value >= 0x10000);
}

// Writes one unit of 0x80 or above (not a surrogate); returns the new end.
template <typename Unit>
[[nodiscard]] inline char* put_multibyte(Unit unit, char* out) noexcept {
    const auto value = static_cast<std::uint32_t>(unit);
    if (value < 0x800) {
        out[0] = static_cast<char>(0xC0 | (value >> 6));
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        return out + 2;
    }
    if (value < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (value >> 12));
        out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (value & 0x3F));
        return out + 3;
    }
    out[0] = static_cast<char>(0xF0 | (value >> 18));
    out[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (value & 0x3F));
    return out + 4;
}

// Writes units one at a time from `index` while they are not ASCII (`all` false), or
// up to `count` (`all` true). Returns the new end, or null at a surrogate when
// Checked (without, the units must hold none).
template <bool Checked, typename Unit>
[[nodiscard]] inline char* put_units(const Unit* units, std::size_t& index, std::size_t count, bool all,
                                     char* out) noexcept {
    for (; index < count; ++index) {
        const Unit unit = units[index];
        if (unit < 0x80) {
            if (!all) break;
            *out++ = static_cast<char>(unit);
            continue;
        }
        if constexpr (Checked && sizeof(Unit) > 1) {
            if (is_surrogate(unit)) return nullptr;
        }
        out = put_multibyte(unit, out);
    }
    return out;
}

#if defined(__SSE2__)
// The 16 units at `units` narrowed to one byte each: units below 0x80 keep their
// value, every other unit becomes a byte with its high bit set (saturation), so
// the movemask of the result flags exactly the non-ASCII units.
template <typename Unit>
[[nodiscard]] inline __m128i narrow_16(const Unit* units) noexcept {
    const auto* blocks = reinterpret_cast<const __m128i*>(units);
    if constexpr (sizeof(Unit) == 1) {
        return _mm_loadu_si128(blocks);
    } else if constexpr (sizeof(Unit) == 2) {
        // The narrowing reads lanes as signed, so units from 0x8000 up would become 0.
        // (unit & 0x7FFF) | (unit >> 8) is the unit itself below 0x80, at least 0x80
        // from there on, and never negative.
        const __m128i low_bits = _mm_set1_epi16(0x7FFF);
        auto fold = [&](__m128i lanes) {
            return _mm_or_si128(_mm_and_si128(lanes, low_bits), _mm_srli_epi16(lanes, 8));
        };
        return _mm_packus_epi16(fold(_mm_loadu_si128(blocks)), fold(_mm_loadu_si128(blocks + 1)));
    } else {
        // Code points are at most 0x10FFFF, positive as 32-bit signed values, so the
        // signed narrowing keeps them positive and the unsigned one then saturates.
        const __m128i low = _mm_packs_epi32(_mm_loadu_si128(blocks), _mm_loadu_si128(blocks + 1));
        const __m128i high = _mm_packs_epi32(_mm_loadu_si128(blocks + 2), _mm_loadu_si128(blocks + 3));
        return _mm_packus_epi16(low, high);
    }
}
#endif

#if defined(__SSE2__)
// Stores the sixteen units from `index` narrowed to bytes at `out` (which has room
// for sixteen) and, when they are all ASCII, steps both past them. Returns the mask
// of the units that are not ASCII.
template <typename Unit>
[[nodiscard]] inline unsigned put_ascii_16(const Unit* units, std::size_t& index, char*& out) noexcept {
    const __m128i narrowed = narrow_16(units + index);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), narrowed);
    const auto non_ascii = static_cast<unsigned>(_mm_movemask_epi8(narrowed));
    if (non_ascii == 0) {
        index += 16;
        out += 16;
    }
    return non_ascii;
}
#endif

// True when the 16 units at `units` are all below 0x80 (the word-at-a-time form of
// narrow_16's test, for targets without SSE2).
template <typename Unit>
[[nodiscard]] inline bool all_ascii_16_units(const Unit* units) noexcept {
    std::uint64_t combined = 0;
    for (std::size_t offset = 0; offset < 16 * sizeof(Unit); offset += 8) {
        std::uint64_t word;
        std::memcpy(&word, reinterpret_cast<const char*>(units) + offset, sizeof word);
        combined |= word;
    }
    constexpr std::uint64_t kNonAscii = sizeof(Unit) == 1   ? 0x8080808080808080ULL
                                        : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ULL
                                                            : 0xFFFFFF80FFFFFF80ULL;
    return (combined & kNonAscii) == 0;
}

#if defined(VORLANE_UTF8_ENCODE_SSSE3)
// Shuffles that pack the UTF-8 bytes of eight units, each laid out in its own lane,
// into consecutive bytes, with the number of bytes they make.
struct PackShuffles {
    // Eight 16-bit lanes, each ASCII (the byte in its low half) or two bytes (lead
    // low, continuation high); indexed by the mask of the ASCII lanes.
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> two{};
    std::array<std::uint8_t, 256> two_lengths{};
    // Four 32-bit lanes of one to three bytes, lead first; indexed by the mask of the
    // lanes of two bytes or more, plus sixteen times the mask of those of three.
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> three{};
    std::array<std::uint8_t, 256> three_lengths{};
};

constexpr PackShuffles make_pack_shuffles() {
    PackShuffles tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned length = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            tables.two[mask][length++] = static_cast<std::uint8_t>(2 * lane);
            if (((mask >> lane) & 1) == 0) tables.two[mask][length++] = static_cast<std::uint8_t>(2 * lane + 1);
        }
        tables.two_lengths[mask] = static_cast<std::uint8_t>(length);
        for (unsigned rest = length; rest < 16; ++rest) tables.two[mask][rest] = 0x80;

        length = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned bytes = 1 + ((mask >> lane) & 1) + ((mask >> (lane + 4)) & 1);
            for (unsigned byte = 0; byte < bytes; ++byte) {
                tables.three[mask][length++] = static_cast<std::uint8_t>(4 * lane + byte);
            }
        }
        tables.three_lengths[mask] = static_cast<std::uint8_t>(length);
        for (unsigned rest = length; rest < 16; ++rest) tables.three[mask][rest] = 0x80;
    }
    return tables;
}

inline constexpr PackShuffles kPackShuffles = make_pack_shuffles();

[[nodiscard]] inline bool has_ssse3() noexcept {
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}

// Four units (zero-extended in 32-bit lanes, none a surrogate) written as UTF-8 at
// `out`; sixteen bytes are stored. Returns the new end.
[[gnu::target("ssse3")]] inline char* put_four_units_ssse3(__m128i lanes, char* out) noexcept {
    const __m128i low_six = _mm_set1_epi32(0x3F);
    const __m128i continuation = _mm_set1_epi32(0x80);
    const __m128i last = _mm_or_si128(_mm_and_si128(lanes, low_six), continuation);
    const __m128i middle = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(lanes, 6), low_six), continuation);
    const __m128i two = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(lanes, 6), _mm_set1_epi32(0xC0)),
                                     _mm_slli_epi32(last, 8));
    const __m128i three = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(lanes, 12), _mm_set1_epi32(0xE0)),
                                       _mm_or_si128(_mm_slli_epi32(middle, 8), _mm_slli_epi32(last, 16)));
    const __m128i at_least_two = _mm_cmpgt_epi32(lanes, _mm_set1_epi32(0x7F));
    const __m128i three_bytes = _mm_cmpgt_epi32(lanes, _mm_set1_epi32(0x7FF));
    const __m128i one_or_two = _mm_or_si128(_mm_and_si128(at_least_two, two), _mm_andnot_si128(at_least_two, lanes));
    const __m128i encoded = _mm_or_si128(_mm_and_si128(three_bytes, three), _mm_andnot_si128(three_bytes, one_or_two));
    const auto index = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(at_least_two))) |
                       (static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(three_bytes))) << 4);
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(kPackShuffles.three[index].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(encoded, shuffle));
    return out + kPackShuffles.three_lengths[index];
}

// Eight basic-plane units at `units` written as UTF-8 at `out`, storing up to 32
// bytes, which the caller guarantees lie within the output. Returns the new end, or
// null when one of them is a surrogate (reported only With Checked; without, the
// units must hold none).
template <bool Checked>
[[gnu::target("ssse3")]] inline char* put_eight_units_ssse3(const std::uint16_t* units, char* out) noexcept {
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
    const __m128i zero = _mm_setzero_si128();
    const __m128i above_two = _mm_and_si128(lanes, _mm_set1_epi16(static_cast<short>(0xF800)));
    if constexpr (Checked) {
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(above_two, _mm_set1_epi16(static_cast<short>(0xD800)))) != 0) {
            return nullptr;
        }
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(above_two, zero)) == 0xFFFF) {
        // Every unit takes one or two bytes: the units of Latin, Greek, Cyrillic,
        // Hebrew and Arabic text.
        const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(lanes, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
        const __m128i lead = _mm_or_si128(_mm_srli_epi16(lanes, 6), _mm_set1_epi16(0xC0));
        const __m128i trail = _mm_slli_epi16(
            _mm_or_si128(_mm_and_si128(lanes, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8);
        const __m128i encoded =
            _mm_or_si128(_mm_and_si128(ascii, lanes), _mm_andnot_si128(ascii, _mm_or_si128(lead, trail)));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero))) & 0xFFu;
        const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(kPackShuffles.two[mask].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(encoded, shuffle));
        return out + kPackShuffles.two_lengths[mask];
    }
    out = put_four_units_ssse3(_mm_unpacklo_epi16(lanes, zero), out);
    return put_four_units_ssse3(_mm_unpackhi_epi16(lanes, zero), out);
}

// encode_portable() for basic-plane units on processors with SSSE3: ASCII sixteen
// units per step as there, and any sixteen that hold another unit eight units per
// step, whatever their mix, without looking for where the ASCII ends.
template <bool Checked>
[[gnu::target("ssse3")]] std::size_t encode_basic_plane_ssse3(const std::uint16_t* units, std::size_t count,
                                                              char* out) noexcept {
    char* const start = out;
    std::size_t index = 0;
    while (count - index >= 16) {
        const unsigned non_ascii = put_ascii_16(units, index, out);
        if (non_ascii == 0) continue;
        // With 24 units left, the output still to come is at least 24 bytes: the two
        // 16-byte stores of the step (at most 12 bytes apart) stay inside it.
        if (count - index >= 24) {
            char* const next = put_eight_units_ssse3<Checked>(units + index, out);
            if constexpr (Checked) {
                if (next == nullptr) return kUtf8HasSurrogate;
            }
            out = next;
            index += 8;
            continue;
        }
        const std::size_t ascii_prefix = static_cast<std::size_t>(std::countr_zero(non_ascii));
        index += ascii_prefix;
        out += ascii_prefix;
        out = put_units<Checked>(units, index, count, false, out);
        if (out == nullptr) return kUtf8HasSurrogate;
    }
    out = put_units<Checked>(units, index, count, true, out);
    if (out == nullptr) return kUtf8HasSurrogate;
    return static_cast<std::size_t>(out - start);
}
#endif

template <typename Unit>
[[nodiscard]] std::size_t encoded_length(const Unit* units, std::size_t count) noexcept {
    std::size_t extra = 0;
    std::size_t index = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 1) {
        // Latin-1 has no surrogates and each byte of 0x80 or above takes two: count
        // them with per-lane byte counters, summed before any lane can overflow.
        const __m128i zero = _mm_setzero_si128();
        while (count - index >= 16) {
            __m128i lane_counts = zero;
            std::size_t steps = 0;
            while (steps < 255 && count - index >= 16) {
                const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + index));
                lane_counts = _mm_sub_epi8(lane_counts, _mm_cmplt_epi8(block, zero));
                index += 16;
                ++steps;
            }
            const __m128i sums = _mm_sad_epu8(lane_counts, zero);
            extra += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                     static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
        }
    }
    if constexpr (sizeof(Unit) == 2) {
        // Per lane, -1 for a unit of 0x80 or above and -1 more from 0x800 up, summed in
        // 16-bit lanes for at most 16,000 steps (no overflow) and then folded.
        const __m128i zero = _mm_setzero_si128();
        const __m128i above_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
        const __m128i above_two = _mm_set1_epi16(static_cast<short>(0xF800));
        const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
        __m128i surrogates = zero;
        while (count - index >= 8) {
            __m128i lane_counts = zero;
            std::size_t steps = 0;
            while (steps < 16000 && count - index >= 8) {
                const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + index));
                const __m128i high = _mm_and_si128(lanes, above_two);
                lane_counts = _mm_add_epi16(lane_counts, _mm_cmpeq_epi16(_mm_and_si128(lanes, above_ascii), zero));
                lane_counts = _mm_add_epi16(lane_counts, _mm_cmpeq_epi16(high, zero));
                surrogates = _mm_or_si128(surrogates, _mm_cmpeq_epi16(high, surrogate));
                index += 8;
                ++steps;
            }
            // lane_counts holds -(units below 0x80) - (units below 0x800) per lane.
            const __m128i pairs = _mm_madd_epi16(lane_counts, _mm_set1_epi16(1));
            alignas(16) std::int32_t sums[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(sums), pairs);
            const std::int64_t below = -(static_cast<std::int64_t>(sums[0]) + sums[1] + sums[2] + sums[3]);
            extra += 2 * 8 * steps - static_cast<std::size_t>(below);
        }
        if (_mm_movemask_epi8(surrogates) != 0) return kUtf8HasSurrogate;
    }
    if constexpr (sizeof(Unit) == 4) {
        // As for two-byte units, with a third count from 0x10000 up, in 32-bit lanes.
        const __m128i zero = _mm_setzero_si128();
        const __m128i above_ascii = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
        const __m128i above_two = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
        const __m128i above_three = _mm_set1_epi32(static_cast<int>(0xFFFF0000u));
        const __m128i surrogate = _mm_set1_epi32(0xD800);
        __m128i surrogates = zero;
        while (count - index >= 4) {
            __m128i lane_counts = zero;
            std::size_t steps = 0;
            while (steps < (1u << 28) && count - index >= 4) {
                const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + index));
                const __m128i high = _mm_and_si128(lanes, above_two);
                lane_counts = _mm_add_epi32(lane_counts, _mm_cmpeq_epi32(_mm_and_si128(lanes, above_ascii), zero));
                lane_counts = _mm_add_epi32(lane_counts, _mm_cmpeq_epi32(high, zero));
                lane_counts = _mm_add_epi32(lane_counts, _mm_cmpeq_epi32(_mm_and_si128(lanes, above_three), zero));
                surrogates = _mm_or_si128(surrogates, _mm_cmpeq_epi32(high, surrogate));
                index += 4;
                ++steps;
            }
            alignas(16) std::int32_t sums[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(sums), lane_counts);
            const std::int64_t below = -(static_cast<std::int64_t>(sums[0]) + sums[1] + sums[2] + sums[3]);
            extra += 3 * 4 * steps - static_cast<std::size_t>(below);
        }
        if (_mm_movemask_epi8(surrogates) != 0) return kUtf8HasSurrogate;
    }
#endif
    while (count - index >= 16) {
#if defined(__SSE2__)
        const bool ascii = _mm_movemask_epi8(narrow_16(units + index)) == 0;
#else
        const bool ascii = all_ascii_16_units(units + index);
#endif
        if (!ascii) {
            for (std::size_t end = index + 16; index < end; ++index) {
                if (is_surrogate(units[index])) return kUtf8HasSurrogate;
                extra += extra_bytes(units[index]);
            }
        } else {
            index += 16;
        }
    }
    for (; index < count; ++index) {
        if (is_surrogate(units[index])) return kUtf8HasSurrogate;
        extra += extra_bytes(units[index]);
    }
    return count + extra;
}

// Encodes `count` units into `out`. With Checked, a surrogate stops the encoding and
// kUtf8HasSurrogate is returned (the bytes written so far are left as they are);
// without, the units must hold none.
template <bool Checked = false, typename Unit>
std::size_t encode_portable(const Unit* units, std::size_t count, char* out) noexcept {
    char* const start = out;
    std::size_t index = 0;
    while (count - index >= 16) {
#if defined(__SSE2__)
        // Every unit takes at least one byte, so with 16 units left the output has
        // room for a 16-byte store even when only its ASCII prefix is kept.
        const unsigned non_ascii = put_ascii_16(units, index, out);
        if (non_ascii == 0) continue;
        const std::size_t ascii_prefix = static_cast<std::size_t>(std::countr_zero(non_ascii));
        index += ascii_prefix;
        out += ascii_prefix;
#else
        if (all_ascii_16_units(units + index)) {
            for (std::size_t k = 0; k < 16; ++k) out[k] = static_cast<char>(units[index + k]);
            index += 16;
            out += 16;
            continue;
        }
        while (units[index] < 0x80) *out++ = static_cast<char>(units[index++]);
#endif
        // A run of non-ASCII units (a word of accented or CJK letters) stays here.
        out = put_units<Checked>(units, index, count, false, out);
        if (out == nullptr) return kUtf8HasSurrogate;
    }
    out = put_units<Checked>(units, index, count, true, out);
    if (out == nullptr) return kUtf8HasSurrogate;
    return static_cast<std::size_t>(out - start);
}

// The portable loop, or for basic-plane units the SSSE3 one where the processor has it.
template <bool Checked = false, typename Unit>
std::size_t encode(const Unit* units, std::size_t count, char* out) noexcept {
#if defined(VORLANE_UTF8_ENCODE_SSSE3)
    if constexpr (sizeof(Unit) == 2) {
        if (has_ssse3()) return encode_basic_plane_ssse3<Checked>(units, count, out);
    }
#endif
    return encode_portable<Checked>(units, count, out);
}

template <typename Unit>
[[nodiscard]] const Unit* units_of(CodeUnits units) noexcept {
    return static_cast<const Unit*>(units.data);
}

}  // namespace utf8_encode_detail

// The most bytes the UTF-8 form of `units` can take (two per latin-1 unit, three per
// basic-plane unit, four per unit of all planes), or 0 when that does not fit a size.
[[nodiscard]] inline std::size_t utf8_length_bound(CodeUnits units) noexcept {
    const std::size_t per_unit = units.width == 1 ? 2 : units.width == 2 ? 3 : 4;
    if (units.count > (static_cast<std::size_t>(-1) - 16) / per_unit) return 0;
    return units.count * per_unit;
}

// The exact number of bytes of the UTF-8 form of `units`, or kUtf8HasSurrogate when
// one of them is a surrogate.
[[nodiscard]] inline std::size_t utf8_encoded_length(CodeUnits units) noexcept {
    using namespace utf8_encode_detail;
    switch (units.width) {
        case 1: return encoded_length(units_of<std::uint8_t>(units), units.count);
        case 2: return encoded_length(units_of<std::uint16_t>(units), units.count);
        default: return encoded_length(units_of<std::uint32_t>(units), units.count);
    }
}

// Writes the UTF-8 form of `units` to `out` and returns its length. The units must
// hold no surrogate and `out` must have room for utf8_encoded_length(units) bytes
// (no byte past that length is written).
inline std::size_t encode_utf8_units(CodeUnits units, char* out) noexcept {
    using namespace utf8_encode_detail;
    switch (units.width) {
        case 1: return encode(units_of<std::uint8_t>(units), units.count, out);
        case 2: return encode(units_of<std::uint16_t>(units), units.count, out);
        default: return encode(units_of<std::uint32_t>(units), units.count, out);
    }
}

// Writes the UTF-8 form of `units` to `out` in one pass, without measuring first, and
// returns its length, or kUtf8HasSurrogate when a unit is a surrogate (what was
// written then means nothing). `out` must have room for utf8_length_bound(units)
// bytes; none past the returned length is written.
inline std::size_t encode_utf8_units_checked(CodeUnits units, char* out) noexcept {
    using namespace utf8_encode_detail;
    switch (units.width) {
        case 1: return encode<true>(units_of<std::uint8_t>(units), units.count, out);
        case 2: return encode<true>(units_of<std::uint16_t>(units), units.count, out);
        default: return encode<true>(units_of<std::uint32_t>(units), units.count, out);
    }
}

}  // namespace vorlane
