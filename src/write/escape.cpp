// Output escaping: the replacement table and the run-copying scan. No interpreter.
#include "write/escape.hpp"

#include "write/str_sinks.hpp"

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

template <EscapeMode mode>
EscapeMeasure measure_escaped_in(std::string_view value) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    std::size_t growth = 0;
    std::size_t offset = 0;
#if defined(__SSE2__)
    __m128i any = _mm_setzero_si128();
    for (; size - offset >= 16; offset += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + offset));
        growth += escape_detail::block_growth<mode>(block);
        any = _mm_or_si128(any, block);
    }
    if (offset != size) {
        // The rest, padded with zero bytes, which never grow.
        const __m128i block = escape_detail::load_short_block(bytes + offset, size - offset);
        growth += escape_detail::block_growth<mode>(block);
        any = _mm_or_si128(any, block);
    }
    return {growth, _mm_movemask_epi8(any) != 0};
#else
    unsigned char any = 0;
    for (; offset < size; ++offset) {
        const unsigned char byte = bytes[offset];
        any |= byte;
        if ((escape_detail::kEscapeClasses.bits[byte] & escape_detail::mode_bit<mode>()) != 0) {
            growth += escape_replacement(byte, mode).size() - 1;
        }
    }
    return {growth, (any & 0x80) != 0};
#endif
}

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

EscapeMeasure measure_escaped(std::string_view value, EscapeMode mode) noexcept {
    if (mode == EscapeMode::Text) return measure_escaped_in<EscapeMode::Text>(value);
    return measure_escaped_in<EscapeMode::Attribute>(value);
}

template <typename Sink>
Result<void, IoError> write_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
    if (mode == EscapeMode::Text) return write_escaped_in<EscapeMode::Text>(sink, value);
    return write_escaped_in<EscapeMode::Attribute>(sink, value);
}

template Result<void, IoError> write_escaped<StringSink>(StringSink&, std::string_view, EscapeMode);
template Result<void, IoError> write_escaped<FileSink>(FileSink&, std::string_view, EscapeMode);
template Result<void, IoError> write_escaped<UnitSink<std::uint8_t, true>>(UnitSink<std::uint8_t, true>&,
                                                                         std::string_view, EscapeMode);
template Result<void, IoError> write_escaped<UnitSink<std::uint8_t>>(UnitSink<std::uint8_t>&, std::string_view,
                                                                   EscapeMode);
template Result<void, IoError> write_escaped<UnitSink<std::uint16_t>>(UnitSink<std::uint16_t>&, std::string_view,
                                                                    EscapeMode);
template Result<void, IoError> write_escaped<UnitSink<std::uint32_t>>(UnitSink<std::uint32_t>&, std::string_view,
                                                                    EscapeMode);

}  // namespace vorlane
