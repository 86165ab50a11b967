// decode_value: entity and character-reference decoding of one attribute value or one
// run of character data, with a fast path that reports "unchanged" so the caller can
// keep a span into the document.
// No interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/byte_builder.hpp"
#include "common/result.hpp"
#include "common/byte_search.hpp"
#include "read/reader_error.hpp"

namespace vorlane {

enum class DecodeMode : std::uint8_t {
    Text,       // character data: TAB, LF and CR are kept
    Attribute,  // attribute values: TAB, LF, CR and CR LF each become one space
};

// The outcome of decoding: either the input bytes are the value, or an owned string.
class DecodedValue {
public:
    [[nodiscard]] static DecodedValue unchanged() noexcept { return DecodedValue(); }
    [[nodiscard]] static DecodedValue owned(ByteBuilder&& output) noexcept {
        DecodedValue value;
        value.changed_ = true;
        value.output_ = std::move(output);
        return value;
    }

    [[nodiscard]] bool is_unchanged() const noexcept { return !changed_; }
    // The decoded bytes; meaningful only when the value changed.
    [[nodiscard]] ByteBuilder& output() noexcept { return output_; }
    [[nodiscard]] const ByteBuilder& output() const noexcept { return output_; }

private:
    DecodedValue() noexcept = default;
    bool changed_ = false;
    ByteBuilder output_;
};

// Decodes `bytes`, whose first byte lies at `base_offset` in the document (used for
// error offsets). Returns Unchanged when nothing needs replacing (no allocation),
// the decoded string otherwise, or the first Malformed / UnknownEntity error.
// Throws std::bad_alloc.
[[nodiscard]] Result<DecodedValue, ReaderError> decode_value(std::string_view bytes,
                                                            std::uint64_t base_offset,
                                                            DecodeMode mode);

}  // namespace vorlane
