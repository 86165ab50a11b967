// Helpers for the index tests: expected entries written as (start, end, kind,
// name) and a comparison that reports every difference readably. No interpreter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "index/structural_index.hpp"

namespace vorlane::index_testing {

struct Entry {
    std::uint64_t start;
    std::uint64_t end;
    TagKind kind;
    std::string_view name;
};

struct Expected {
    std::vector<Entry> entries;
    std::vector<TextRange> texts;
};

using Outcome = std::variant<Expected, ScanError>;

enum class Builder { Sequential, Bitmap };

inline const char* builder_name(Builder builder) {
    return builder == Builder::Sequential ? "Sequential" : "Bitmap";
}

inline std::ostream& operator<<(std::ostream& out, Builder builder) { return out << builder_name(builder); }

inline Result<StructuralIndex, ScanError> run_builder(Builder builder, std::string_view input) {
    return builder == Builder::Sequential ? build_index_sequential(input) : build_index_bitmap(input);
}

inline const char* kind_name(TagKind kind) {
    switch (kind) {
        case TagKind::Open: return "Open";
        case TagKind::Close: return "Close";
        case TagKind::SelfClosing: return "SelfClosing";
        case TagKind::Comment: return "Comment";
        case TagKind::CData: return "CData";
        case TagKind::ProcessingInstruction: return "ProcessingInstruction";
    }
    return "?";
}

inline const char* error_name(ScanError::Kind kind) {
    switch (kind) {
        case ScanError::Kind::UnclosedTag: return "UnclosedTag";
        case ScanError::Kind::UnexpectedEnd: return "UnexpectedEnd";
        case ScanError::Kind::NameTooLong: return "NameTooLong";
        case ScanError::Kind::UnterminatedDeclaration: return "UnterminatedDeclaration";
    }
    return "?";
}

// Where the name of an entry of `kind` starting at `start` begins.
inline std::uint64_t name_offset_for(TagKind kind, std::uint64_t start) {
    switch (kind) {
        case TagKind::Open:
        case TagKind::SelfClosing: return start + 1;
        case TagKind::Close:
        case TagKind::ProcessingInstruction: return start + 2;
        default: return 0;
    }
}

// One line per entry and text range, for failure messages and for comparing
// whole indexes in one assertion.
inline std::string describe(const StructuralIndex& index) {
    std::ostringstream out;
    for (std::size_t i = 0; i < index.size(); ++i) {
        out << kind_name(index.tag_kinds[i]) << '(' << index.tag_starts[i] << ',' << index.tag_ends[i]
            << ", name@" << index.tag_names[i].offset << '+' << index.tag_names[i].length << ")\n";
    }
    for (const TextRange& text : index.text_ranges) out << "text[" << text.start << ',' << text.end << ")\n";
    return out.str();
}

inline std::string describe(std::string_view input, const Expected& expected) {
    std::ostringstream out;
    for (const Entry& entry : expected.entries) {
        const std::uint64_t offset = name_offset_for(entry.kind, entry.start);
        out << kind_name(entry.kind) << '(' << entry.start << ',' << entry.end << ", name@" << offset << '+'
            << entry.name.size() << ")\n";
        // The expected name must be the bytes at that offset in the input.
        if (!entry.name.empty()) {
            EXPECT_EQ(input.substr(offset, entry.name.size()), entry.name)
                << "bad expectation for " << kind_name(entry.kind) << " at " << entry.start;
        }
    }
    for (const TextRange& text : expected.texts) out << "text[" << text.start << ',' << text.end << ")\n";
    return out.str();
}

inline std::string describe(const ScanError& error) {
    std::ostringstream out;
    out << error_name(error.kind) << '@' << error.offset;
    return out.str();
}

// Asserts that `result` is exactly `expected` for `input`.
inline void expect_outcome(std::string_view input, const Result<StructuralIndex, ScanError>& result,
                           const Outcome& expected) {
    if (const auto* error = std::get_if<ScanError>(&expected)) {
        ASSERT_FALSE(result.ok()) << "expected " << describe(*error) << ", got index\n"
                                  << describe(result.value());
        EXPECT_EQ(describe(result.error()), describe(*error));
        return;
    }
    ASSERT_TRUE(result.ok()) << "expected an index, got " << describe(result.error());
    const StructuralIndex& index = result.value();
    EXPECT_EQ(index.input.data(), input.data());
    EXPECT_EQ(index.input.size(), input.size());
    EXPECT_EQ(index.tag_ends.size(), index.size());
    EXPECT_EQ(index.tag_kinds.size(), index.size());
    EXPECT_EQ(index.tag_names.size(), index.size());
    EXPECT_EQ(describe(index), describe(input, std::get<Expected>(expected)));
}

}  // namespace vorlane::index_testing
