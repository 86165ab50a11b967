// Output escaping: a 256-entry class table and a scan that copies unchanged runs in
// one piece. No interpreter.
#include "write/escape.hpp"

#include <array>
#include <cstddef>

namespace vorlane {

namespace {

// Bit set for each mode in which a byte is replaced.
constexpr std::uint8_t kTextBit = 1;
constexpr std::uint8_t kAttributeBit = 2;

constexpr std::array<std::uint8_t, 256> make_escape_classes() {
    std::array<std::uint8_t, 256> classes{};
    for (unsigned char byte : {'&', '<', '>', '"', '\''}) classes[byte] = kTextBit | kAttributeBit;
    for (unsigned char byte : {'\t', '\r', '\n'}) classes[byte] = kAttributeBit;
    return classes;
}

constexpr std::array<std::uint8_t, 256> kEscapeClasses = make_escape_classes();

constexpr std::uint8_t mode_bit(EscapeMode mode) noexcept {
    return mode == EscapeMode::Text ? kTextBit : kAttributeBit;
}

}  // namespace

std::string_view escape_replacement(unsigned char byte, EscapeMode mode) noexcept {
    if ((kEscapeClasses[byte] & mode_bit(mode)) == 0) return {};
    switch (byte) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&apos;";
        case '\t': return "&#9;";
        case '\r': return "&#13;";
        case '\n': return "&#10;";
        default: return {};
    }
}

template <typename Sink>
Result<void, IoError> write_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
    const std::uint8_t bit = mode_bit(mode);
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    std::size_t run_start = 0;
    std::size_t offset = 0;
    while (true) {
        // Most bytes are plain: test four per round before the byte-wise tail.
        while (size - offset >= 4 &&
               ((kEscapeClasses[bytes[offset]] | kEscapeClasses[bytes[offset + 1]] |
                 kEscapeClasses[bytes[offset + 2]] | kEscapeClasses[bytes[offset + 3]]) & bit) == 0) {
            offset += 4;
        }
        while (offset < size && (kEscapeClasses[bytes[offset]] & bit) == 0) ++offset;
        if (offset == size) break;
        if (offset > run_start) {
            Result<void, IoError> run = sink.append(value.substr(run_start, offset - run_start));
            if (!run) return run;
        }
        Result<void, IoError> replaced = sink.append(escape_replacement(bytes[offset], mode));
        if (!replaced) return replaced;
        ++offset;
        run_start = offset;
    }
    if (size > run_start) return sink.append(value.substr(run_start));
    return {};
}

template Result<void, IoError> write_escaped<StringSink>(StringSink&, std::string_view, EscapeMode);
template Result<void, IoError> write_escaped<FileSink>(FileSink&, std::string_view, EscapeMode);

}  // namespace vorlane
