// MeasureSink's out-of-line part: pieces that hold non-ASCII bytes or are long.
// No interpreter.
#include "write/str_sinks.hpp"

#include <optional>

#include "write/text_units.hpp"

namespace vorlane {

std::uint64_t MeasureSink::non_ascii_units(std::string_view bytes) {
    const std::optional<TextShape> shape = text_shape(bytes);
    if (!shape) {
        // The output is refused once measured; the piece still counts, as bytes.
        well_formed_ = false;
        return bytes.size();
    }
    if (shape->max_char > max_char_) max_char_ = shape->max_char;
    return shape->length;
}

}  // namespace vorlane
