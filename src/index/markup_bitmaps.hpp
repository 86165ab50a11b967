// MarkupBitmaps: one bit per input byte for every '<' and every '>' that stands
// outside a quoted attribute value, the first stage of the bitmap index builder.
// No interpreter; runs without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorlane {

struct MarkupBitmaps {
    // Offset p is bit p % 64 of word p / 64; each array has ceil(length / 64) words.
    std::vector<std::uint64_t> open_bits;   // '<' outside attribute values
    std::vector<std::uint64_t> close_bits;  // '>' outside attribute values
};

// Scans `input` once. Inside a start tag a quote byte opens a value that only the
// same byte closes, and '<' / '>' inside it are not marked; everywhere else
// (character data, end tags, comments, CDATA sections, instructions and
// declarations) quotes mean nothing and every '<' and '>' is marked.
// Throws std::bad_alloc when the bitmaps cannot be allocated.
[[nodiscard]] MarkupBitmaps scan_markup_bitmaps(std::string_view input);

// The same bitmaps from the walk from event to event alone, without marking blocks
// of plain markup at once: the reference the block shortcut is tested against.
[[nodiscard]] MarkupBitmaps scan_markup_bitmaps_by_events(std::string_view input);

}  // namespace vorlane
