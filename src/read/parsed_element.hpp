// ParsedElement: the reader's element record, started by the tokenizer and completed by
// tree assembly, then consumed by the conversion into nodes. No interpreter.
// Releasing a record releases its whole subtree with an explicit work list, so a tree
// of any depth is torn down without deep recursion.
#pragma once

#include <memory>
#include <memory_resource>
#include <optional>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

// The memory of one parse: children arrays and attribute blocks are carved from it
// and never freed one by one; it goes as a whole with the tree.
using ParseArena = std::pmr::monotonic_buffer_resource;

struct ParsedElement {
    // Set only on the element a parse returns: the arena that the children arrays and
    // attribute blocks of its whole tree live in. Declared first, released last.
    std::unique_ptr<ParseArena> arena;
    BufferRef buffer;                          // the one reference that every borrowed span below uses
    StrRef name;                               // a span over the name bytes
    std::optional<StrRef> text;                // gathered and trimmed; absent when empty
    std::pmr::vector<ParsedElement> children;  // document order
    AttrMap attrs;

    ParsedElement() noexcept = default;
    // An element whose children array is allocated from `resource`.
    explicit ParsedElement(std::pmr::memory_resource* resource) noexcept : children(resource) {}
    explicit ParsedElement(StrRef element_name) noexcept : name(std::move(element_name)) {}
    ParsedElement(ParsedElement&& other) noexcept = default;
    // Releases the subtree held before (iteratively), then takes over `other`'s.
    ParsedElement& operator=(ParsedElement&& other) noexcept;
    ParsedElement(const ParsedElement&) = delete;
    ParsedElement& operator=(const ParsedElement&) = delete;
    // Releases the subtree iteratively; never recurses once per level.
    ~ParsedElement();
};

// Releases every element of `elements` and all their descendants without recursing
// once per level of nesting; `elements` is left empty.
void release_parsed_elements(std::pmr::vector<ParsedElement>& elements) noexcept;

}  // namespace vorlane
