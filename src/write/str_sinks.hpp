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
        add_units(piece_units(bytes));
        return {};
    }

    Result<void, IoError> append_spaces(std::uint64_t count) {
        add_units(count);
        return {};
    }

    // The coarse steps of the renderer (see UnitSink): short ASCII strings are
    // counted from one block each, everything else as the pieces would be.
    Result<void, IoError> append_joined(std::string_view head, std::string_view middle, std::string_view tail) {
        add_units(head.size() + piece_units(middle) + tail.size());
        return {};
    }

    Result<void, IoError> append_attribute(std::string_view key, std::string_view value) {
#if defined(__SSE2__)
        if (key.size() <= 16 && value.size() <= 16) {
            const __m128i key_block = escape_detail::short_block(key);
            const __m128i value_block = escape_detail::short_block(value);
            if (_mm_movemask_epi8(_mm_or_si128(key_block, value_block)) == 0) {
                add_units(4 + key.size() + value.size() +
                          escape_detail::block_growth<EscapeMode::Attribute>(value_block));
                return {};
            }
        }
#endif
        add_units(4 + piece_units(key) + escaped_units(value, EscapeMode::Attribute));
        return {};
    }

    Result<void, IoError> append_escaped(std::string_view value, EscapeMode mode) {
#if defined(__SSE2__)
        if (value.size() <= 16) {
            const __m128i block = escape_detail::short_block(value);
            if (_mm_movemask_epi8(block) == 0) {
                add_units(value.size() + (mode == EscapeMode::Text
                                              ? escape_detail::block_growth<EscapeMode::Text>(block)
                                              : escape_detail::block_growth<EscapeMode::Attribute>(block)));
                return {};
            }
        }
#endif
        add_units(escaped_units(value, mode));
        return {};
    }

    Result<void, IoError> append_line_break(std::uint64_t spaces) {
        add_units(1);
        add_units(spaces);
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
    // The code points of `bytes`, taking note of their class.
    std::uint64_t piece_units(std::string_view bytes) {
        if (bytes.size() > 16 || str_sinks_detail::has_non_ascii(bytes.data(), bytes.size())) {
            return non_ascii_units(bytes);
        }
        return bytes.size();
    }
    // The code points of `value` escaped in `mode`.
    std::uint64_t escaped_units(std::string_view value, EscapeMode mode) {
        const EscapeMeasure measure = measure_escaped(value, mode);
        return (measure.non_ascii ? non_ascii_units(value) : value.size()) + measure.growth;
    }
    // The code points of a piece that may hold non-ASCII bytes (out of line: rarer,
    // or longer), taking note of their class; one that is not well-formed counts as
    // its bytes.
    std::uint64_t non_ascii_units(std::string_view bytes);

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

    // The coarse steps below are what the renderer asks of a sink that offers them
    // (see xml_writer.hpp), each the same as its pieces appended one by one. Their
    // common case, short ASCII strings with nothing to escape and room to spare, is
    // tested and written a block at a time: each string is read as one sixteen-byte
    // block and stored as sixteen units, the units past its end to be overwritten by
    // what follows. Every other case appends the pieces.

    // `head`, `middle` and `tail`; head and tail are short ASCII literals.
    Result<void, IoError> append_joined(std::string_view head, std::string_view middle, std::string_view tail) {
#if defined(__SSE2__)
        if (middle.size() <= 16 && head.size() <= 2 && tail.size() <= 2 && room() >= 20) {
            const __m128i block = escape_detail::short_block(middle);
            if (_mm_movemask_epi8(block) == 0) {
                Unit* out = put_literal(next_, head);
                store_ascii_block(out, block);
                next_ = put_literal(out + middle.size(), tail);
                return {};
            }
        }
#endif
        (void)append(head);
        (void)append(middle);
        return append(tail);
    }

    // One attribute: " " key "=\"" value "\"", the value escaped.
    Result<void, IoError> append_attribute(std::string_view key, std::string_view value) {
#if defined(__SSE2__)
        if (key.size() <= 16 && value.size() <= 16 && room() >= 36) {
            const __m128i key_block = escape_detail::short_block(key);
            const __m128i value_block = escape_detail::short_block(value);
            if ((_mm_movemask_epi8(_mm_or_si128(key_block, value_block)) |
                 escape_detail::escape_hits<EscapeMode::Attribute>(value_block)) == 0) {
                Unit* out = next_;
                out[0] = static_cast<Unit>(' ');
                store_ascii_block(out + 1, key_block);
                out += 1 + key.size();
                out[0] = static_cast<Unit>('=');
                out[1] = static_cast<Unit>('"');
                store_ascii_block(out + 2, value_block);
                out += 2 + value.size();
                out[0] = static_cast<Unit>('"');
                next_ = out + 1;
                return {};
            }
        }
#endif
        (void)append_joined(" ", key, "=\"");
        (void)write_escaped(*this, value, EscapeMode::Attribute);
        return append("\"");
    }

    // `value` escaped in `mode`. Leading blocks of plain ASCII are stored as they
    // are read; from the first block holding anything else, the rest of the value
    // goes through write_escaped (those blocks end on character boundaries).
    Result<void, IoError> append_escaped(std::string_view value, EscapeMode mode) {
#if defined(__SSE2__)
        if (mode == EscapeMode::Text) return append_escaped_in<EscapeMode::Text>(value);
        return append_escaped_in<EscapeMode::Attribute>(value);
#else
        return write_escaped(*this, value, mode);
#endif
    }

    // A line feed and `spaces` spaces.
    Result<void, IoError> append_line_break(std::uint64_t spaces) noexcept {
#if defined(__SSE2__)
        if (spaces < 16 && room() >= 16) {
            // Lane 0 the line feed, the others spaces.
            store_ascii_block(next_, _mm_insert_epi16(_mm_set1_epi8(' '), ('\n' | (' ' << 8)), 0));
            next_ += spaces + 1;
            return {};
        }
#endif
        (void)append("\n");
        return append_spaces(spaces);
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
    [[nodiscard]] std::size_t room() const noexcept { return static_cast<std::size_t>(end_ - next_); }

    // Writes the characters of a short ASCII literal at `out` and returns the end.
    static Unit* put_literal(Unit* out, std::string_view literal) noexcept {
        for (char byte : literal) *out++ = static_cast<Unit>(byte);
        return out;
    }

#if defined(__SSE2__)
    template <EscapeMode mode>
    Result<void, IoError> append_escaped_in(std::string_view value) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
        std::size_t offset = 0;
        while (value.size() - offset >= 16 && room() >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset));
            if ((static_cast<unsigned>(_mm_movemask_epi8(block)) | escape_detail::escape_hits<mode>(block)) != 0) {
                return write_escaped(*this, value.substr(offset), mode);
            }
            store_ascii_block(next_, block);
            next_ += 16;
            offset += 16;
        }
        const std::string_view rest = value.substr(offset);
        if (rest.size() < 16 && room() >= 16) {
            const __m128i block = escape_detail::short_block(rest);
            if ((static_cast<unsigned>(_mm_movemask_epi8(block)) | escape_detail::escape_hits<mode>(block)) == 0) {
                store_ascii_block(next_, block);
                next_ += rest.size();
                return {};
            }
        }
        if (rest.empty()) return {};
        return write_escaped(*this, rest, mode);
    }
#endif

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
