// MarkupBitmaps: one bit per input byte for every '<' and every '>' that stands
// outside a quoted run, the first stage of the bitmap index builder.
// No interpreter; runs without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorlane {

struct MarkupBitmaps {
    // Offset p is bit p % 64 of word p / 64; each array has ceil(length / 64) words.
    std::vector<std::uint64_t> open_bits;   // unquoted '<'
    std::vector<std::uint64_t> close_bits;  // unquoted '>'
};

// Scans `input` once with a quote state (none, double quote, apostrophe) that runs
// through the whole document: a quote byte with no quote open opens a quote of its
// kind, only the same byte closes it, and '<' / '>' are marked only outside quotes.
// Throws std::bad_alloc when the bitmaps cannot be allocated.
[[nodiscard]] MarkupBitmaps scan_markup_bitmaps(std::string_view input);

}  // namespace vorlane
