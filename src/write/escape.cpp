// Output escaping: the replacement table and the run-copying scan. No interpreter.
#include "write/escape.hpp"

namespace vorlane {

std::string_view escape_replacement(unsigned char byte, EscapeMode mode) noexcept {
    const std::uint8_t bit = mode == EscapeMode::Text ? escape_detail::kTextBit : escape_detail::kAttributeBit;
    if ((escape_detail::kEscapeClasses.bits[byte] & bit) == 0) return {};
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

namespace {

template <EscapeMode mode, typename Sink>
Result<void, IoError> write_escaped_in(Sink& sink, std::string_view value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    std::size_t run_start = 0;
    while (true) {
        std::size_t hit = find_escaped_byte<mode>(bytes, run_start, size);
        if (hit > run_start) {
            Result<void, IoError> run = sink.append(value.substr(run_start, hit - run_start));
            if (!run) return run;
        }
        if (hit == size) return {};
        Result<void, IoError> replaced = sink.append(escape_replacement(bytes[hit], mode));
        if (!replaced) return replaced;
        run_start = hit + 1;
    }
}

}  // namespace

template <typename Sink>
Result<void, IoError> write_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
    if (mode == EscapeMode::Text) return write_escaped_in<EscapeMode::Text>(sink, value);
    return write_escaped_in<EscapeMode::Attribute>(sink, value);
}

template Result<void, IoError> write_escaped<StringSink>(StringSink&, std::string_view, EscapeMode);
template Result<void, IoError> write_escaped<FileSink>(FileSink&, std::string_view, EscapeMode);

}  // namespace vorlane
