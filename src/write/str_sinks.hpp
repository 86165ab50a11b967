// The two sinks write_string renders through, so that its result str is made at
// its final length and width and filled in place, with no byte buffer between:
// MeasureSink counts what a rendering would append (code points, the widest
// code point class, well-formedness), and UnitSink writes the same rendering
// straight into the code units of a str made for that measure. No interpreter:
// both run with the lock released and know nothing of Python objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "write/escape.hpp"
#include "write/sinks.hpp"
#include "write/text_units.hpp"

namespace vorlane {

// The most code units an output may have: the largest length a str can be made
// with, for the widest unit.
inline constexpr std::uint64_t kMaxOutputUnits =
    static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / 4;

namespace str_sinks_detail {

// True when some byte of the `size` (at most 16) bytes at `data` is above 0x7F,
// tested with at most two loads.
[[nodiscard]] inline bool has_non_ascii(const char* data, std::size_t size) noexcept {
    if (size >= 8) {
        std::uint64_t head;
        std::uint64_t tail;
        std::memcpy(&head, data, 8);
        std::memcpy(&tail, data + size - 8, 8);
        return ((head | tail) & 0x8080808080808080ULL) != 0;
    }
    if (size >= 4) {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, data, 4);
        std::memcpy(&tail, data + size - 4, 4);
        return ((head | tail) & 0x80808080U) != 0;
    }
    unsigned char any = 0;
    for (std::size_t index = 0; index < size; ++index) any |= static_cast<unsigned char>(data[index]);
    return (any & 0x80) != 0;
}

// The conversion of one piece into units of each width (see text_units.hpp).
inline std::size_t convert_piece(std::string_view bytes, std::uint8_t* units, std::size_t room) noexcept {
    return utf8_to_ucs1(bytes, units, room);
}
inline std::size_t convert_piece(std::string_view bytes, std::uint16_t* units, std::size_t room) noexcept {
    return utf8_to_ucs2(bytes, units, room);
}
inline std::size_t convert_piece(std::string_view bytes, std::uint32_t* units, std::size_t room) noexcept {
    return utf8_to_ucs4(bytes, units, room);
}

}  // namespace str_sinks_detail

// Counts the code points of everything appended and the widest code point class
// among them (127, 255, 65535 or 1114111, as TextShape), and notes a piece that is
// not well-formed UTF-8. Appending never fails; a total above kMaxOutputUnits
// throws std::bad_alloc, as a StringSink does for an output it cannot hold.
class MeasureSink {
public:
    // Short pieces are tested inline; longer ones are measured whole out of line,
    // where text_shape skips ASCII sixteen bytes at a time.
    Result<void, IoError> append(std::string_view bytes) {
        if (bytes.size() > 16 || str_sinks_detail::has_non_ascii(bytes.data(), bytes.size())) {
            add_non_ascii(bytes);
        } else {
            add_units(bytes.size());
        }
        return {};
    }

    Result<void, IoError> append_spaces(std::uint64_t count) {
        add_units(count);
        return {};
    }

    // Counts a value written escaped, from its measure_escaped result: its own code
    // points, and the ASCII bytes its replacements add.
    Result<void, IoError> append_escaped_value(std::string_view value, EscapeMeasure measure) {
        if (measure.non_ascii) {
            add_non_ascii(value);
        } else {
            add_units(value.size());
        }
        add_units(measure.growth);
        return {};
    }

    // The number of code points appended.
    [[nodiscard]] std::size_t unit_count() const noexcept { return static_cast<std::size_t>(unit_count_); }
    // The widest code point class appended (127 when nothing but ASCII was).
    [[nodiscard]] std::uint32_t max_char() const noexcept { return max_char_; }
    // False once a piece was not well-formed UTF-8.
    [[nodiscard]] bool well_formed() const noexcept { return well_formed_; }

private:
    void add_units(std::uint64_t count) {
        if (count > kMaxOutputUnits - unit_count_) throw std::bad_alloc();
        unit_count_ += count;
    }
    // Measures a piece that may hold non-ASCII bytes (out of line: rarer, or longer).
    void add_non_ascii(std::string_view bytes);

    std::uint64_t unit_count_ = 0;
    std::uint32_t max_char_ = 127;
    bool well_formed_ = true;
};

// Writes everything appended as code units of type Unit into a fixed range: the
// character data of a str made for a MeasureSink's result. Ascii says the whole
// output is ASCII, so bytes are copied as they are; otherwise each piece is
// converted from UTF-8. Appending never fails: a piece that does not fit the
// range, or cannot be converted, stops the writing, and complete() then says so.
template <typename Unit, bool Ascii = false>
class UnitSink {
public:
    UnitSink(Unit* units, std::size_t unit_count) noexcept : next_(units), end_(units + unit_count) {}
    UnitSink(const UnitSink&) = delete;
    UnitSink& operator=(const UnitSink&) = delete;

    Result<void, IoError> append(std::string_view bytes) noexcept {
        const std::size_t size = bytes.size();
        const std::size_t room = static_cast<std::size_t>(end_ - next_);
        if constexpr (Ascii) {
            if (size > room) return stop();
            copy_piece(reinterpret_cast<char*>(next_), bytes.data(), size);
            next_ += size;
        } else {
            // Short pieces are widened inline; the rare one that holds a non-ASCII
            // byte is converted again from its start, over what was widened.
            const auto* source = reinterpret_cast<const unsigned char*>(bytes.data());
            if (size <= 16 && size <= room) {
                unsigned char any = 0;
                for (std::size_t index = 0; index < size; ++index) {
                    next_[index] = source[index];
                    any |= source[index];
                }
                if ((any & 0x80) == 0) {
                    next_ += size;
                    return {};
                }
            }
            const std::size_t written = str_sinks_detail::convert_piece(bytes, next_, room);
            if (written == kConversionFailed) return stop();
            next_ += written;
        }
        return {};
    }

    Result<void, IoError> append_spaces(std::uint64_t count) noexcept {
        if (count > static_cast<std::uint64_t>(end_ - next_)) return stop();
        const auto spaces = static_cast<std::size_t>(count);
        std::fill(next_, next_ + spaces, static_cast<Unit>(' '));
        next_ += spaces;
        return {};
    }

    // True when every piece was written and they filled the range exactly.
    [[nodiscard]] bool complete() const noexcept { return !stopped_ && next_ == end_; }

private:
    Result<void, IoError> stop() noexcept {
        stopped_ = true;
        next_ = end_;
        return {};
    }
    Unit* next_;
    Unit* end_;
    bool stopped_ = false;
};

}  // namespace vorlane
