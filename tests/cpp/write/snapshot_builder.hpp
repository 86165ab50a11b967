// Helpers for the writer tests: build NodeSnapshot trees from literals, and make
// owned document buffers for span-valued snapshots.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/document_buffer.hpp"
#include "storage/str_ref.hpp"
#include "write/node_snapshot.hpp"

namespace vorlane::testing_support {

struct Attribute {
    std::string_view key;
    std::string_view value;
};

inline AttrMap make_attrs(std::initializer_list<Attribute> attributes) {
    if (attributes.size() == 0) return AttrMap();
    AttrMap map(draw_hash_keys(), attributes.size());
    for (const Attribute& attribute : attributes) {
        bool inserted = map.insert(StrRef::owned(attribute.key), StrRef::owned(attribute.value));
        if (!inserted) throw std::logic_error("duplicate attribute key in a test tree");
    }
    return map;
}

// An element with owned strings.
inline NodeSnapshot element(std::string_view name, std::initializer_list<Attribute> attributes = {},
                            std::optional<std::string_view> text = std::nullopt,
                            std::vector<NodeSnapshot> children = {}) {
    NodeSnapshot node;
    node.name = StrRef::owned(name);
    if (text.has_value()) node.text = StrRef::owned(*text);
    node.attrs = make_attrs(attributes);
    node.children = std::move(children);
    return node;
}

// Builds a vector of children from move-only snapshots.
template <typename... Nodes>
std::vector<NodeSnapshot> children_of(Nodes&&... nodes) {
    std::vector<NodeSnapshot> children;
    children.reserve(sizeof...(nodes));
    (children.push_back(std::forward<Nodes>(nodes)), ...);
    return children;
}

// A chain of `depth` nested elements named `name`; the innermost has no children.
inline NodeSnapshot chain(std::size_t depth, std::string_view name) {
    NodeSnapshot innermost = element(name);
    for (std::size_t level = 1; level < depth; ++level) {
        NodeSnapshot parent = element(name);
        parent.children.push_back(std::move(innermost));
        innermost = std::move(parent);
    }
    return innermost;
}

// A buffer owning a copy of `text`, as read from a file.
inline BufferRef make_buffer(std::string_view text) {
    auto bytes = std::make_unique<char[]>(text.size());
    std::memcpy(bytes.get(), text.data(), text.size());
    return BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), text.size()));
}

}  // namespace vorlane::testing_support
