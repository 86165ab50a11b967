// UTF-8 helpers: validation (the first byte where a byte string stops being
// well-formed), decoding one character, character boundaries and encoding one
// scalar value. Header-only, no interpreter; safe to call with the lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane {

// Returned by first_invalid_utf8 when the whole input is valid.
inline constexpr std::size_t kUtf8Valid = std::string_view::npos;

namespace utf8_detail {

// True when none of the 8 bytes at `bytes` has its high bit set.
[[nodiscard]] inline bool all_ascii_8(const unsigned char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return (word & 0x8080808080808080ULL) == 0;
}

// True when none of the 16 bytes at `bytes` has its high bit set.
[[nodiscard]] inline bool all_ascii_16(const unsigned char* bytes) noexcept {
#if defined(__SSE2__)
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    return _mm_movemask_epi8(block) == 0;
#else
    std::uint64_t first;
    std::uint64_t second;
    std::memcpy(&first, bytes, sizeof first);
    std::memcpy(&second, bytes + 8, sizeof second);
    return ((first | second) & 0x8080808080808080ULL) == 0;
#endif
}

[[nodiscard]] inline bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

}  // namespace utf8_detail

// Well-formed UTF-8 sequences: the lead byte, then the allowed range of the second
// byte; every later byte is 0x80 to 0xBF.
//   C2..DF 80..BF | E0 A0..BF | E1..EC 80..BF | ED 80..9F | EE..EF 80..BF
//   F0 90..BF | F1..F3 80..BF | F4 80..8F
struct Utf8Lead {
    std::size_t length;  // 0: the byte opens no well-formed sequence
    unsigned char second_low;
    unsigned char second_high;
};

[[nodiscard]] constexpr Utf8Lead utf8_lead(unsigned char lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead >= 0xE0 && lead <= 0xEF) {
        return {3, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
                static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return {4, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
                static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
    }
    return {0, 0, 0};
}

// The offset of the first byte of the first ill-formed sequence in `bytes` (which is
// also the length of its longest valid prefix), or kUtf8Valid when all of it is
// well-formed UTF-8. Overlong forms, surrogates (U+D800 to U+DFFF), values above
// U+10FFFF and sequences cut off by the end of the input are ill-formed.
[[nodiscard]] inline std::size_t first_invalid_utf8(std::string_view bytes) noexcept {
    using utf8_detail::is_continuation;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t offset = 0;
    while (offset < size) {
        // Markup and most texts are ASCII: skip it a block at a time, then a byte at
        // a time up to the next lead byte.
        while (size - offset >= 16 && utf8_detail::all_ascii_16(data + offset)) offset += 16;
        if (size - offset >= 8 && utf8_detail::all_ascii_8(data + offset)) offset += 8;
        while (offset < size && data[offset] < 0x80) ++offset;
        if (offset == size) break;

        const Utf8Lead lead = utf8_lead(data[offset]);
        const std::size_t length = lead.length;
        if (length == 0 || size - offset < length) return offset;
        const unsigned char second = data[offset + 1];
        if (second < lead.second_low || second > lead.second_high) return offset;
        for (std::size_t index = 2; index < length; ++index) {
            if (!is_continuation(data[offset + index])) return offset;
        }
        offset += length;
    }
    return kUtf8Valid;
}

// True when all of `bytes` is well-formed UTF-8.
[[nodiscard]] inline bool is_valid_utf8(std::string_view bytes) noexcept {
    return first_invalid_utf8(bytes) == kUtf8Valid;
}

// One UTF-8 character: its code point and length, or length 0 for an invalid or
// truncated sequence (overlong forms and surrogates included).
struct DecodedChar {
    char32_t code_point = 0;
    std::size_t length = 0;
};

// The multi-byte sequence starting at `pos` (lead byte 0x80 or above).
[[nodiscard]] inline DecodedChar decode_multibyte_char(std::string_view bytes, std::size_t pos) noexcept {
    auto byte_at = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    unsigned char lead = byte_at(pos);
    std::size_t length;
    char32_t code_point;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code_point = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code_point = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code_point = lead & 0x07, minimum = 0x10000;
    } else {
        return {};
    }
    if (bytes.size() - pos < length) return {};
    for (std::size_t k = 1; k < length; ++k) {
        unsigned char next = byte_at(pos + k);
        if ((next & 0xC0) != 0x80) return {};
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
        return {};
    }
    return {code_point, length};
}

// The character starting at `pos` (below bytes.size()).
[[nodiscard]] inline DecodedChar decode_char(std::string_view bytes, std::size_t pos) noexcept {
    auto lead = static_cast<unsigned char>(bytes[pos]);
    if (lead < 0x80) return {lead, 1};
    return decode_multibyte_char(bytes, pos);
}

// True when `offset` is 0, the length, or the index of a byte that is not a
// UTF-8 continuation byte (0x80 to 0xBF).
[[nodiscard]] inline bool is_char_boundary(std::string_view bytes, std::size_t offset) noexcept {
    if (offset == 0 || offset == bytes.size()) return true;
    if (offset > bytes.size()) return false;
    return !utf8_detail::is_continuation(static_cast<unsigned char>(bytes[offset]));
}

// Writes the UTF-8 form of the scalar value `code_point` to `out` and returns its
// length (1 to 4).
[[nodiscard]] inline std::size_t encode_utf8(char32_t code_point, char out[4]) noexcept {
    if (code_point < 0x80) {
        out[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code_point >> 6));
        out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code_point >> 12));
        out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code_point >> 18));
    out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
}

}  // namespace vorlane
