// Measuring UTF-8 output and converting it into str code units. ASCII, which is
// most of any XML output, moves sixteen bytes at a time with SSE2 (a machine word
// at a time without it). No interpreter.
#include "write/text_units.hpp"

#include <algorithm>
#include <cstring>

#include "common/byte_search.hpp"
#include "common/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorlane {

namespace {

// The number of bytes at `bytes` (at most kBlockBytes) before the first byte above
// 0x7F, or kBlockBytes when the whole block is ASCII. One block is read per call,
// so the loops below skip an ASCII run of any length in a few steps and land on
// the next non-ASCII byte directly.
#if defined(__SSE2__)
constexpr std::size_t kBlockBytes = 16;
std::size_t ascii_prefix(const unsigned char* bytes) noexcept {
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes))));
    return mask == 0 ? kBlockBytes : static_cast<std::size_t>(__builtin_ctz(mask));
}
#else
constexpr std::size_t kBlockBytes = 8;
std::size_t ascii_prefix(const unsigned char* bytes) noexcept {
    std::size_t count = 0;
    while (count < kBlockBytes && bytes[count] < 0x80) ++count;
    return count;
}
#endif

// The code point of the multi-byte sequence at `bytes` (well-formed), and its length.
std::uint32_t decode_sequence(const unsigned char* bytes, std::size_t& length) noexcept {
    const unsigned char lead = bytes[0];
    if (lead < 0xE0) {
        length = 2;
        return (std::uint32_t{lead & 0x1Fu} << 6) | (bytes[1] & 0x3Fu);
    }
    if (lead < 0xF0) {
        length = 3;
        return (std::uint32_t{lead & 0x0Fu} << 12) | (std::uint32_t{bytes[1] & 0x3Fu} << 6) | (bytes[2] & 0x3Fu);
    }
    length = 4;
    return (std::uint32_t{lead & 0x07u} << 18) | (std::uint32_t{bytes[1] & 0x3Fu} << 12) |
           (std::uint32_t{bytes[2] & 0x3Fu} << 6) | (bytes[3] & 0x3Fu);
}

// Widens an ASCII block into units.
template <typename Unit>
void widen_block(const unsigned char* bytes, Unit* units) noexcept {
#if defined(__SSE2__)
    store_ascii_block(units, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
#else
    for (std::size_t index = 0; index < kBlockBytes; ++index) units[index] = bytes[index];
#endif
}

// Converts `text` into units at `units`, writing at most `unit_count` of them, and
// returns the number written, or kConversionFailed when the text needs more units
// or ends inside a sequence. Well-formed input of the matching class is assumed
// (a lead byte above the class is narrowed); the bounds are checked all the same,
// so that no input makes the loop read or write outside its ranges.
template <typename Unit>
std::size_t convert(std::string_view text, Unit* units, std::size_t unit_count) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    Unit* const units_start = units;
    Unit* const units_end = units + unit_count;
    std::size_t offset = 0;
    while (offset < size) {
        // A whole block is widened when both the input and the output have room
        // for it; only its ASCII prefix counts, the rest is written again below.
        if (size - offset >= kBlockBytes && static_cast<std::size_t>(units_end - units) >= kBlockBytes) {
            const std::size_t ascii = ascii_prefix(bytes + offset);
            if (ascii != 0) {
                widen_block(bytes + offset, units);
                offset += ascii;
                units += ascii;
                continue;
            }
        }
        if (units == units_end) return kConversionFailed;
        const unsigned char lead = bytes[offset];
        if (lead < 0x80) {
            *units++ = lead;
            ++offset;
            continue;
        }
        const std::size_t needed = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (size - offset < needed) return kConversionFailed;
        std::size_t length = 0;
        *units++ = static_cast<Unit>(decode_sequence(bytes + offset, length));
        offset += length;
    }
    return static_cast<std::size_t>(units - units_start);
}

#if defined(__SSE2__)
// What a block of sixteen bytes holding only ASCII and two-byte sequences (lead
// 0xC2 to 0xDF, then a continuation byte) adds to a shape: most non-ASCII text in
// Latin scripts is that. `consumed` is 16, or 15 when the last byte is a lead whose
// continuation lies in the next block; 0 when the block holds anything else (or
// starts with a continuation byte), for the byte-wise path to judge.
struct TwoByteBlock {
    std::size_t consumed;
    std::size_t continuations;
    bool latin1_lead;  // a lead of 0xC2 or 0xC3 (U+0080 to U+00FF)
    bool wide_lead;    // a lead of 0xC4 to 0xDF (U+0100 to U+07FF)
};

TwoByteBlock two_byte_block(const unsigned char* bytes) noexcept {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
    // Bytes compared as signed after flipping the top bit: 0x80 to 0xFF map to
    // 0x00 to 0x7F, in order.
    const __m128i flipped = _mm_xor_si128(block, _mm_set1_epi8(static_cast<char>(0x80)));
    const auto continuations =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(flipped, _mm_set1_epi8(0x40)))) & high;
    const __m128i above_c1 = _mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x41));
    const __m128i below_e0 = _mm_cmplt_epi8(flipped, _mm_set1_epi8(0x60));
    const auto leads = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(above_c1, below_e0))) & high;
    if ((continuations | leads) != high) return {};
    const unsigned last_lead = leads & 0x8000u;
    const unsigned whole_leads = leads & 0x7FFFu;
    if (continuations != (whole_leads << 1)) return {};
    const auto wide = static_cast<unsigned>(_mm_movemask_epi8(
                          _mm_and_si128(_mm_cmpgt_epi8(flipped, _mm_set1_epi8(0x43)), below_e0))) &
                      whole_leads;
    return TwoByteBlock{last_lead != 0 ? kBlockBytes - 1 : kBlockBytes,
                        count_bits_16(continuations), (whole_leads & ~wide) != 0,
                        wide != 0};
}
#endif

}  // namespace

std::optional<TextShape> text_shape(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t continuation_count = 0;
    unsigned char highest_lead = 0;
    std::size_t offset = 0;
    while (offset < size) {
        if (size - offset >= kBlockBytes) {
            const std::size_t ascii = ascii_prefix(bytes + offset);
            if (ascii == kBlockBytes) {
                offset += ascii;
                continue;
            }
#if defined(__SSE2__)
            const TwoByteBlock block = two_byte_block(bytes + offset);
            if (block.consumed != 0) {
                continuation_count += block.continuations;
                // The class of the widest lead is all that the shape keeps of it.
                if (block.wide_lead) {
                    highest_lead = std::max<unsigned char>(highest_lead, 0xC4);
                } else if (block.latin1_lead) {
                    highest_lead = std::max<unsigned char>(highest_lead, 0xC2);
                }
                offset += block.consumed;
                continue;
            }
#endif
            if (ascii != 0) {
                offset += ascii;
                continue;
            }
        }
        const unsigned char lead = bytes[offset];
        if (lead < 0x80) {
            ++offset;
            continue;
        }
        const Utf8Lead sequence = utf8_lead(lead);
        const std::size_t length = sequence.length;
        if (length == 0 || size - offset < length) return std::nullopt;
        const unsigned char second = bytes[offset + 1];
        if (second < sequence.second_low || second > sequence.second_high) return std::nullopt;
        for (std::size_t index = 2; index < length; ++index) {
            if ((bytes[offset + index] & 0xC0) != 0x80) return std::nullopt;
        }
        if (lead > highest_lead) highest_lead = lead;
        continuation_count += length - 1;
        offset += length;
    }
    std::uint32_t max_char = 127;
    if (highest_lead >= 0xF0) {
        max_char = 0x10FFFF;
    } else if (highest_lead >= 0xC4) {
        max_char = 0xFFFF;
    } else if (highest_lead != 0) {
        max_char = 0xFF;
    }
    return TextShape{size - continuation_count, max_char};
}

std::size_t utf8_to_ucs1(std::string_view bytes, std::uint8_t* units, std::size_t unit_count) noexcept {
    return convert(bytes, units, unit_count);
}
std::size_t utf8_to_ucs2(std::string_view bytes, std::uint16_t* units, std::size_t unit_count) noexcept {
    return convert(bytes, units, unit_count);
}
std::size_t utf8_to_ucs4(std::string_view bytes, std::uint32_t* units, std::size_t unit_count) noexcept {
    return convert(bytes, units, unit_count);
}

}  // namespace vorlane
