// Shared pieces of the fuzz targets that parse whole documents: how an input is
// split into settings, root tag and document, the owned DocumentBuffer the parse
// reads, and iterative walks over ParsedElement trees (span checks, comparison).
// No interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "fuzz_check.hpp"
#include "read/parse_document.hpp"
#include "read/parsed_element.hpp"
#include "storage/document_buffer.hpp"
#include "storage/str_ref.hpp"

namespace vorlane::fuzzing {

// One fuzz input: a settings byte whose low five bits give the root tag's length,
// then the root tag, then the document.
struct DocumentInput {
    std::uint8_t settings = 0;
    std::string_view root_tag;
    std::string_view document;
};

// Splits `data`; empty when it is too short to hold the settings byte and the tag.
inline std::optional<DocumentInput> split_document_input(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return std::nullopt;
    const std::size_t tag_len = data[0] & 0x1F;
    if (size - 1 < tag_len) return std::nullopt;
    const char* bytes = reinterpret_cast<const char*>(data);
    return DocumentInput{data[0], {bytes + 1, tag_len}, {bytes + 1 + tag_len, size - 1 - tag_len}};
}

// A buffer owning an exact-size heap copy of `document`, so that AddressSanitizer
// sees any read past its end.
inline BufferRef make_document_buffer(std::string_view document) {
    auto bytes = std::make_unique<char[]>(document.size());
    if (!document.empty()) std::memcpy(bytes.get(), document.data(), document.size());
    return BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), document.size()));
}

inline bool is_valid_utf8(std::string_view bytes) { return first_invalid_utf8(bytes) == kUtf8Valid; }

// A span points into `buffer` within its bounds; over valid UTF-8 it also reads
// back (its ends fall on character boundaries).
inline void check_str_ref(const StrRef& value, const DocumentBuffer* buffer, bool valid_utf8) {
    if (value.is_span()) {
        FUZZ_CHECK(value.buffer() == buffer);
        FUZZ_CHECK(value.span_start() <= value.span_end());
        FUZZ_CHECK(value.span_end() <= buffer->size());
    }
    if (valid_utf8) FUZZ_CHECK(value.view().ok());
}

// Checks every element of the tree under `root`: names are non-empty spans, a
// present text is non-empty and trimmed, keys are spans, all spans are valid.
inline void check_parsed_tree(const ParsedElement& root, const DocumentBuffer* buffer, bool valid_utf8) {
    std::vector<const ParsedElement*> pending{&root};
    while (!pending.empty()) {
        const ParsedElement* element = pending.back();
        pending.pop_back();
        FUZZ_CHECK(element->name.is_span());
        FUZZ_CHECK(element->name.size() > 0);
        check_str_ref(element->name, buffer, valid_utf8);
        if (element->text.has_value()) {
            const StrRef& text = *element->text;
            check_str_ref(text, buffer, valid_utf8);
            FUZZ_CHECK(text.size() > 0);
            if (valid_utf8) {
                const TrimBounds kept = trim_white_space(text.raw());
                FUZZ_CHECK(kept.first == 0 && kept.second == text.size());
            }
        }
        std::size_t attribute_count = 0;
        for (const auto entry : element->attrs) {
            FUZZ_CHECK(entry.key.is_span());
            check_str_ref(entry.key, buffer, valid_utf8);
            check_str_ref(entry.value, buffer, valid_utf8);
            const auto found = element->attrs.find(entry.key.raw());
            FUZZ_CHECK(found && found->raw() == entry.value.raw());
            FUZZ_CHECK(found->is_span() == entry.value.is_span());
            ++attribute_count;
        }
        FUZZ_CHECK(attribute_count == element->attrs.size());
        for (const ParsedElement& child : element->children) pending.push_back(&child);
    }
}

inline bool same_attributes(const AttrMap& left, const AttrMap& right) {
    if (left.size() != right.size()) return false;
    for (const auto entry : left) {
        const auto other = right.find(entry.key.raw());
        if (other == nullptr || other->raw() != entry.value.raw()) return false;
    }
    return true;
}

// True when both trees have the same names, texts, attributes (in any order) and
// children, level by level.
inline bool same_tree(const ParsedElement& left, const ParsedElement& right) {
    std::vector<std::pair<const ParsedElement*, const ParsedElement*>> pending{{&left, &right}};
    while (!pending.empty()) {
        const auto [a, b] = pending.back();
        pending.pop_back();
        if (a->name.raw() != b->name.raw()) return false;
        if (a->text.has_value() != b->text.has_value()) return false;
        if (a->text.has_value() && a->text->raw() != b->text->raw()) return false;
        if (!same_attributes(a->attrs, b->attrs)) return false;
        if (a->children.size() != b->children.size()) return false;
        for (std::size_t i = 0; i < a->children.size(); ++i) {
            pending.push_back({&a->children[i], &b->children[i]});
        }
    }
    return true;
}

}  // namespace vorlane::fuzzing
