// MeasureSink's out-of-line part: pieces that hold non-ASCII bytes or are long.
// No interpreter.
#include "write/str_sinks.hpp"

#include <optional>

#include "write/text_units.hpp"

namespace vorlane {

void MeasureSink::add_non_ascii(std::string_view bytes) {
    const std::optional<TextShape> shape = text_shape(bytes);
    if (!shape) {
        // The output is refused once measured; the piece still counts, as bytes.
        well_formed_ = false;
        add_units(bytes.size());
        return;
    }
    add_units(shape->length);
    if (shape->max_char > max_char_) max_char_ = shape->max_char;
}

}  // namespace vorlane
