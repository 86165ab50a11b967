// Fuzz target for decode_value, in text mode and in attribute mode on the same
// bytes. The first input byte chooses the base offset, the rest is the value. Each
// result is compared with a plain byte-by-byte decoder written from the rules
// (predefined entities, numeric references, line breaks in attribute values):
// the same output or the same first error, Unchanged exactly when nothing needs
// replacing, and a decoded value never longer than its input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_check.hpp"
#include "read/decode.hpp"

namespace {

using vorlane::DecodeMode;
using vorlane::MalformedKind;
using vorlane::ReaderError;

struct ExpectedError {
    ReaderError::Kind kind;
    MalformedKind malformed_kind;
    std::uint64_t offset;
    std::string name;
};

using Expected = std::variant<std::string, ExpectedError>;

bool is_break(char byte) { return byte == '\t' || byte == '\n' || byte == '\r'; }

void append_utf8(std::string& output, std::uint32_t code_point) {
    if (code_point < 0x80) {
        output += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        output += static_cast<char>(0xC0 | (code_point >> 6));
        output += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        output += static_cast<char>(0xE0 | (code_point >> 12));
        output += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        output += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        output += static_cast<char>(0xF0 | (code_point >> 18));
        output += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        output += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        output += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// The code point of a numeric reference body ("#65", "#x41", "#+65"), or -1.
long long reference_code_point(std::string_view body) {
    std::size_t pos = 1;
    std::uint64_t radix = 10;
    if (pos < body.size() && body[pos] == 'x') {
        radix = 16;
        ++pos;
    }
    if (pos < body.size() && body[pos] == '+') ++pos;
    if (pos == body.size()) return -1;
    std::uint64_t value = 0;
    for (; pos < body.size(); ++pos) {
        const char byte = body[pos];
        std::uint64_t digit;
        if (byte >= '0' && byte <= '9') {
            digit = static_cast<std::uint64_t>(byte - '0');
        } else if (radix == 16 && byte >= 'a' && byte <= 'f') {
            digit = static_cast<std::uint64_t>(byte - 'a' + 10);
        } else if (radix == 16 && byte >= 'A' && byte <= 'F') {
            digit = static_cast<std::uint64_t>(byte - 'A' + 10);
        } else {
            return -1;
        }
        value = value * radix + digit;
        if (value > UINT32_MAX) return -1;
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
    return static_cast<long long>(value);
}

Expected reference_decode(std::string_view bytes, std::uint64_t base_offset, DecodeMode mode) {
    std::string output;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const char byte = bytes[pos];
        if (mode == DecodeMode::Attribute && is_break(byte)) {
            output += ' ';
            const bool pair = byte == '\r' && pos + 1 < bytes.size() && bytes[pos + 1] == '\n';
            pos += pair ? 2 : 1;
            continue;
        }
        if (byte != '&') {
            output += byte;
            ++pos;
            continue;
        }
        const std::uint64_t amp_offset = base_offset + pos;
        const std::size_t semicolon = bytes.find(';', pos + 1);
        if (semicolon == std::string_view::npos) {
            return ExpectedError{ReaderError::Kind::Malformed,
                                 MalformedKind::UnterminatedEntityReference, amp_offset, ""};
        }
        const std::string_view body = bytes.substr(pos + 1, semicolon - pos - 1);
        if (body == "lt") {
            output += '<';
        } else if (body == "gt") {
            output += '>';
        } else if (body == "amp") {
            output += '&';
        } else if (body == "quot") {
            output += '"';
        } else if (body == "apos") {
            output += '\'';
        } else if (body.empty() || body[0] != '#') {
            return ExpectedError{ReaderError::Kind::UnknownEntity,
                                 MalformedKind::UnexpectedEndOfDocument, amp_offset, std::string(body)};
        } else {
            const long long code_point = reference_code_point(body);
            if (code_point < 0) {
                return ExpectedError{ReaderError::Kind::Malformed,
                                     MalformedKind::InvalidCharacterReference, amp_offset,
                                     std::string(body)};
            }
            append_utf8(output, static_cast<std::uint32_t>(code_point));
        }
        pos = semicolon + 1;
    }
    return output;
}

bool needs_decoding(std::string_view bytes, DecodeMode mode) {
    for (const char byte : bytes) {
        if (byte == '&') return true;
        if (mode == DecodeMode::Attribute && is_break(byte)) return true;
    }
    return false;
}

void check_mode(std::string_view bytes, std::uint64_t base_offset, DecodeMode mode) {
    auto result = vorlane::decode_value(bytes, base_offset, mode);
    const Expected expected = reference_decode(bytes, base_offset, mode);
    if (const auto* error = std::get_if<ExpectedError>(&expected)) {
        FUZZ_CHECK(!result.ok());
        const ReaderError& actual = result.error();
        FUZZ_CHECK(actual.kind() == error->kind);
        if (error->kind == ReaderError::Kind::Malformed) {
            FUZZ_CHECK(actual.malformed_kind() == error->malformed_kind);
        }
        FUZZ_CHECK(actual.offset() == error->offset);
        FUZZ_CHECK(actual.name() == error->name);
        FUZZ_CHECK(!actual.message().empty());
        return;
    }
    FUZZ_CHECK(result.ok());
    const std::string& decoded = std::get<std::string>(expected);
    const vorlane::DecodedValue& value = result.value();
    FUZZ_CHECK(value.is_unchanged() == !needs_decoding(bytes, mode));
    if (value.is_unchanged()) {
        FUZZ_CHECK(decoded == bytes);
    } else {
        FUZZ_CHECK(value.output().view() == decoded);
        FUZZ_CHECK(value.output().size() <= bytes.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint64_t base_offset = std::uint64_t{data[0]} * 0x01000193;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    check_mode(bytes, base_offset, DecodeMode::Text);
    check_mode(bytes, base_offset, DecodeMode::Attribute);
    return 0;
}
