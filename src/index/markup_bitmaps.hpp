// MarkupBitmaps: one bit per input byte for every '<' and every '>' that stands
// outside a quoted attribute value, the first stage of the bitmap index builder.
// No interpreter; runs without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vorlane {

// An allocator whose value-less construction leaves the element uninitialized: the
// scan writes every word of the bitmaps, so zeroing them first (megabytes for a large
// document) would be a pass over memory for nothing.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() noexcept = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    // Construction with a value goes through allocator_traits' default.
    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
};

// One bit per input byte, 64 to a word.
using BitWords = std::vector<std::uint64_t, UninitializedAllocator<std::uint64_t>>;

struct MarkupBitmaps {
    // Offset p is bit p % 64 of word p / 64; each array has ceil(length / 64) words.
    BitWords open_bits;   // '<' outside attribute values
    BitWords close_bits;  // '>' outside attribute values
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
