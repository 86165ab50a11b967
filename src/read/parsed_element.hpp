// ParsedElement: the reader's element record, started by the tokenizer and completed by
// the walk, then handed to an ElementSink: the module's sink turns it into a node at
// once; the tree form of parse_document gathers records into a tree through `children`.
// No interpreter. Releasing a record releases its whole subtree with an explicit work
// list, so a tree of any depth is torn down without deep recursion.
#pragma once

#include <optional>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

struct ParsedElement {
    // The one reference that the borrowed spans below use; it also keeps the arena of
    // the attribute block and of a joined text alive. Declared first, so it is released last.
    BufferRef buffer;
    StrRef name;                           // a span over the name bytes
    std::optional<StrRef> text;            // gathered and trimmed; absent when empty
    std::vector<ParsedElement> children;   // document order; filled by the tree form only
    AttrMap attrs;

    // Provided, so that an element is made from its members' own initial values
    // rather than a zero fill of the whole record first (a slow block store).
    ParsedElement() noexcept {}
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
void release_parsed_elements(std::vector<ParsedElement>& elements) noexcept;

}  // namespace vorlane
