// Byte searches of the reader: a library search for one byte in longer runs, and
// word-at-a-time (eight bytes per step) tests for several bytes at once, used on
// attribute values and by entity decoding. Header-only, no interpreter.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlane {

static_assert(std::endian::native == std::endian::little,
              "the word-at-a-time searches number bytes from the low end of a word");

namespace byte_search {

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

// Offset of the first TAB, LF or CR in `bytes`, or bytes.size(); word at a time.
[[nodiscard]] inline std::size_t find_line_break_or_tab(std::string_view bytes) noexcept {
    using namespace byte_search;
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t pos = 0;
    for (; pos + 8 <= size; pos += 8) {
        std::uint64_t word = load_word(data + pos);
        std::uint64_t mask = bytes_equal(word, '\t') | bytes_equal(word, '\n') | bytes_equal(word, '\r');
        if (mask != 0) return pos + first_flagged(mask);
    }
    for (; pos < size; ++pos) {
        if (data[pos] == '\t' || data[pos] == '\n' || data[pos] == '\r') return pos;
    }
    return size;
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
