// Entity and character-reference decoding. No interpreter.
#include "read/decode.hpp"

#include "common/utf8.hpp"

#include <algorithm>
#include <cstdint>

namespace vorlane {

namespace {

// The value of `byte` as a digit of `radix` (10 or 16), or -1.
inline int digit_value(char byte, unsigned radix) noexcept {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (radix == 16) {
        if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
        if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    }
    return -1;
}

// Reads the body of a numeric reference ("#65", "#x41", "#+65"): an optional lowercase
// `x` for hexadecimal, an optional `+`, at least one digit, no overflow of 32 bits, and
// a Unicode scalar value. Returns false for anything else.
bool parse_character_reference(std::string_view body, std::uint32_t& code_point) noexcept {
    std::size_t pos = 1;  // past '#'
    unsigned radix = 10;
    if (pos < body.size() && body[pos] == 'x') {
        radix = 16;
        ++pos;
    }
    if (pos < body.size() && body[pos] == '+') ++pos;
    if (pos == body.size()) return false;
    std::uint32_t value = 0;
    for (; pos < body.size(); ++pos) {
        int digit = digit_value(body[pos], radix);
        if (digit < 0) return false;
        if (value > (UINT32_MAX - static_cast<std::uint32_t>(digit)) / radix) return false;
        value = value * radix + static_cast<std::uint32_t>(digit);
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    code_point = value;
    return true;
}

void append_utf8(ByteBuilder& output, std::uint32_t code_point) {
    char encoded[4];
    output.append(encoded, encode_utf8(code_point, encoded));
}

// The replacement of a predefined entity name, or 0 when `name` is none of the five.
inline char predefined_entity(std::string_view name) noexcept {
    if (name == "lt") return '<';
    if (name == "gt") return '>';
    if (name == "amp") return '&';
    if (name == "quot") return '"';
    if (name == "apos") return '\'';
    return 0;
}

}  // namespace

Result<DecodedValue, ReaderError> decode_value(std::string_view bytes, std::uint64_t base_offset,
                                               DecodeMode mode) {
    const bool attribute_mode = mode == DecodeMode::Attribute;
    // Fast path: one search (two in attribute mode) and no allocation.
    std::size_t next_break = bytes.size();
    if (attribute_mode) next_break = find_line_break_or_tab(bytes);
    std::size_t next_amp = find_byte(bytes.substr(0, next_break), '&');
    if (next_amp == bytes.size()) return DecodedValue::unchanged();
    if (next_amp == next_break) next_amp = next_break + find_byte(bytes.substr(next_break), '&');

    // Every reference is at least as long as what it stands for, and a CR LF pair
    // shrinks to one byte, so the output never outgrows the input.
    ByteBuilder output(bytes.size());
    std::size_t cursor = 0;
    while (true) {
        std::size_t stop = std::min(next_break, next_amp);
        output.append(bytes.data() + cursor, stop - cursor);
        cursor = stop;
        if (cursor == bytes.size()) break;
        if (cursor == next_break) {
            // Attribute mode only: text mode never sets next_break inside the input.
            output.push_back(' ');
            if (bytes[cursor] == '\r' && cursor + 1 < bytes.size() && bytes[cursor + 1] == '\n') {
                cursor += 2;
            } else {
                cursor += 1;
            }
            next_break = cursor + find_line_break_or_tab(bytes.substr(cursor));
            if (next_amp < cursor) next_amp = cursor + find_byte(bytes.substr(cursor), '&');
            continue;
        }
        // At '&': the reference runs to the next ';' anywhere later in the input.
        std::uint64_t amp_offset = base_offset + cursor;
        std::size_t semicolon = cursor + 1 + find_byte(bytes.substr(cursor + 1), ';');
        if (semicolon == bytes.size()) {
            return ReaderError::malformed(MalformedKind::UnterminatedEntityReference, amp_offset);
        }
        std::string_view body = bytes.substr(cursor + 1, semicolon - cursor - 1);
        if (char replacement = predefined_entity(body); replacement != 0) {
            output.push_back(replacement);
        } else if (body.empty() || body[0] != '#') {
            return ReaderError::unknown_entity(body, amp_offset);
        } else {
            std::uint32_t code_point = 0;
            if (!parse_character_reference(body, code_point)) {
                return ReaderError::malformed(MalformedKind::InvalidCharacterReference, amp_offset,
                                              body);
            }
            append_utf8(output, code_point);
        }
        cursor = semicolon + 1;
        next_amp = cursor + find_byte(bytes.substr(cursor), '&');
        if (next_break < cursor) next_break = cursor + find_line_break_or_tab(bytes.substr(cursor));
    }
    return DecodedValue::owned(std::move(output));
}

}  // namespace vorlane
