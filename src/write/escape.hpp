// Output escaping of texts and attribute values: one fixed table, a text mode and an
// attribute mode. No interpreter: runs with the lock released.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/result.hpp"
#include "write/sinks.hpp"

namespace vorlane {

// Text mode escapes & < > " '; attribute mode also escapes tab, carriage return and
// line feed as character references.
enum class EscapeMode : std::uint8_t { Text, Attribute };

// The replacement of `byte` in `mode`, or an empty view when the byte is written
// unchanged. Every byte that is escaped is ASCII, so a UTF-8 value can be scanned
// byte by byte.
[[nodiscard]] std::string_view escape_replacement(unsigned char byte, EscapeMode mode) noexcept;

// Appends `value` to `sink` escaped in `mode`: each maximal run of unchanged bytes in
// one append, then the replacement of the byte that ended it. Returns the sink's
// first error unchanged (a StringSink never fails).
template <typename Sink>
[[nodiscard]] Result<void, IoError> write_escaped(Sink& sink, std::string_view value, EscapeMode mode);

extern template Result<void, IoError> write_escaped<StringSink>(StringSink&, std::string_view, EscapeMode);
extern template Result<void, IoError> write_escaped<FileSink>(FileSink&, std::string_view, EscapeMode);

}  // namespace vorlane
