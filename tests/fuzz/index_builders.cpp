// Fuzz target for the structural index: both builders run on the same bytes. Each
// either fails with an error that points at a '<' of the input, or returns an index
// whose entries and text ranges hold the invariants every consumer relies on:
// entries ordered by start, each inside the input with its name inside it, text
// ranges ordered, non-empty, inside the input, with no construct starting inside
// them. build_index must return exactly what the builder it picks returns. The two
// builders differ on purpose on some inputs (quote state, unterminated constructs,
// '<' inside tags), so their results are not compared with each other.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "index/structural_index.hpp"

namespace {

using vorlane::Result;
using vorlane::ScanError;
using vorlane::StructuralIndex;
using vorlane::TagKind;

bool has_name(TagKind kind) {
    return kind == TagKind::Open || kind == TagKind::Close || kind == TagKind::SelfClosing ||
           kind == TagKind::ProcessingInstruction;
}

bool ends_at_greater_than(TagKind kind) {
    return kind == TagKind::Open || kind == TagKind::Close || kind == TagKind::SelfClosing;
}

void check_error(const ScanError& error, std::string_view input) {
    switch (error.kind) {
        case ScanError::Kind::UnclosedTag:
        case ScanError::Kind::NameTooLong:
            FUZZ_CHECK(error.offset < input.size());
            FUZZ_CHECK(input[error.offset] == '<');
            return;
        case ScanError::Kind::UnexpectedEnd:
            FUZZ_CHECK(error.offset == 0);
            return;
    }
    vorlane::fuzzing::fail_check("error.kind is a known ScanError kind", __FILE__, __LINE__);
}

void check_index(const StructuralIndex& index, std::string_view input) {
    FUZZ_CHECK(index.input.data() == input.data());
    FUZZ_CHECK(index.input.size() == input.size());
    const std::size_t count = index.size();
    FUZZ_CHECK(index.tag_ends.size() == count);
    FUZZ_CHECK(index.tag_kinds.size() == count);
    FUZZ_CHECK(index.tag_names.size() == count);

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t start = index.tag_starts[i];
        const std::uint64_t end = index.tag_ends[i];
        const TagKind kind = index.tag_kinds[i];
        FUZZ_CHECK(start < input.size());
        FUZZ_CHECK(input[start] == '<');
        FUZZ_CHECK(end >= start);
        FUZZ_CHECK(end < input.size());
        if (i > 0) FUZZ_CHECK(start > index.tag_starts[i - 1]);
        FUZZ_CHECK(static_cast<std::uint8_t>(kind) <=
                   static_cast<std::uint8_t>(TagKind::ProcessingInstruction));
        if (has_name(kind)) {
            const vorlane::NameRef name = index.tag_names[i];
            FUZZ_CHECK(name.offset > start);
            FUZZ_CHECK(name.offset + name.length <= end);
        }
        if (ends_at_greater_than(kind)) FUZZ_CHECK(input[end] == '>');
        if (kind == TagKind::SelfClosing) FUZZ_CHECK(input[end - 1] == '/');
    }

    // No construct starts inside a text range, and a range that begins where a
    // CDATA section's body begins is exactly that body. Entries are ordered by
    // start, so one cursor walks them along the ranges.
    std::size_t next_entry = 0;
    for (std::size_t i = 0; i < index.text_ranges.size(); ++i) {
        const vorlane::TextRange range = index.text_ranges[i];
        FUZZ_CHECK(range.start < range.end);
        FUZZ_CHECK(range.end <= input.size());
        if (i > 0) FUZZ_CHECK(range.start >= index.text_ranges[i - 1].end);
        while (next_entry < count && index.tag_starts[next_entry] < range.start) ++next_entry;
        if (next_entry < count) FUZZ_CHECK(index.tag_starts[next_entry] >= range.end);
        if (next_entry > 0) {
            const std::size_t before = next_entry - 1;
            if (index.tag_kinds[before] == TagKind::CData && index.tag_starts[before] + 9 == range.start) {
                FUZZ_CHECK(range.end + 2 == index.tag_ends[before]);
            }
        }
    }
}

void check_builder(const Result<StructuralIndex, ScanError>& result, std::string_view input) {
    if (result) {
        check_index(result.value(), input);
    } else {
        check_error(result.error(), input);
    }
}

bool same_result(const Result<StructuralIndex, ScanError>& left,
                 const Result<StructuralIndex, ScanError>& right) {
    if (left.ok() != right.ok()) return false;
    if (!left.ok()) return left.error() == right.error();
    const StructuralIndex& a = left.value();
    const StructuralIndex& b = right.value();
    return a.tag_starts == b.tag_starts && a.tag_ends == b.tag_ends && a.tag_kinds == b.tag_kinds &&
           a.tag_names == b.tag_names && a.text_ranges == b.text_ranges;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto sequential = vorlane::build_index_sequential(input);
    const auto bitmap = vorlane::build_index_bitmap(input);
    check_builder(sequential, input);
    check_builder(bitmap, input);
    const auto chosen = vorlane::build_index(input);
    FUZZ_CHECK(same_result(chosen, vorlane::prefers_bitmap_builder(input) ? bitmap : sequential));
    return 0;
}
