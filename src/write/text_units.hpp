// The writer's UTF-8 output as the code units of a str: its length in code points,
// the narrowest unit width that holds every code point, and the conversion into
// units of that width. No interpreter: runs with the lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane {

#if defined(__SSE2__)
// Stores the sixteen ASCII bytes of `block` as sixteen code units at `units`.
template <typename Unit>
inline void store_ascii_block(Unit* units, __m128i block) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(units), block);
    } else {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(block, zero);
        const __m128i high = _mm_unpackhi_epi8(block, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units), low);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units + 8), high);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units), _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units + 4), _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units + 8), _mm_unpacklo_epi16(high, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(units + 12), _mm_unpackhi_epi16(high, zero));
        }
    }
}
#endif

// The widest code point class of a text, as the largest code point a str of that
// width may hold: 127 (ASCII), 255 (one byte per unit), 65535 (two), 1114111 (four).
// The class is exact: a text of class 255 holds at least one code point above 127,
// one of class 65535 at least one above 255, and so on, so a str made for it has
// the width an interpreter-made str of the same text has.
struct TextShape {
    std::size_t length;  // code points
    std::uint32_t max_char;
};

// The shape of `bytes`, or nothing when they are not well-formed UTF-8 (by the rules
// of first_invalid_utf8: no overlong forms, surrogates, code points above U+10FFFF
// or cut-off sequences). One pass checks and measures.
[[nodiscard]] std::optional<TextShape> text_shape(std::string_view bytes) noexcept;

// Returned by the conversions below when the units do not fit their room.
inline constexpr std::size_t kConversionFailed = static_cast<std::size_t>(-1);

// Converts well-formed UTF-8 of the matching class into code units at `units`,
// which has room for `unit_count` units (at least text_shape(bytes).length), and
// returns the number of units written: text_shape(bytes).length. Units past those
// may be overwritten, within the room. Input that needs more room than given, or
// that ends inside a sequence, stops the conversion with kConversionFailed; no
// input makes it read or write outside its ranges.
std::size_t utf8_to_ucs1(std::string_view bytes, std::uint8_t* units, std::size_t unit_count) noexcept;
std::size_t utf8_to_ucs2(std::string_view bytes, std::uint16_t* units, std::size_t unit_count) noexcept;
std::size_t utf8_to_ucs4(std::string_view bytes, std::uint32_t* units, std::size_t unit_count) noexcept;

}  // namespace vorlane
