// Helpers for the writer tests: TestElement trees built from literals and rendered
// through the TestTree adaptor, and owned document buffers for span values.
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

namespace vorlane::testing_support {

// One element with its children held by value, in the shape write_element reads.
// Torn down with a work list, so chains of any depth are released without recursion.
struct TestElement {
    StrRef name;
    std::optional<StrRef> text;
    AttrMap attrs;
    std::vector<TestElement> children;

    TestElement() noexcept = default;
    TestElement(TestElement&&) noexcept = default;
    TestElement& operator=(TestElement&& other) noexcept {
        if (this != &other) {
            release_children();
            name = std::move(other.name);
            text = std::move(other.text);
            attrs = std::move(other.attrs);
            children = std::move(other.children);
        }
        return *this;
    }
    ~TestElement() { release_children(); }

private:
    void release_children() noexcept {
        std::vector<TestElement> pending = std::move(children);
        children.clear();
        while (!pending.empty()) {
            TestElement last = std::move(pending.back());
            pending.pop_back();
            for (TestElement& child : last.children) pending.push_back(std::move(child));
            last.children.clear();
        }
    }
};

struct TestTree {
    using Record = TestElement;
    static const TestElement& child(const TestElement& parent, std::size_t index) { return parent.children[index]; }
};

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
inline TestElement element(std::string_view name, std::initializer_list<Attribute> attributes = {},
                            std::optional<std::string_view> text = std::nullopt,
                            std::vector<TestElement> children = {}) {
    TestElement node;
    node.name = StrRef::owned(name);
    if (text.has_value()) node.text = StrRef::owned(*text);
    node.attrs = make_attrs(attributes);
    node.children = std::move(children);
    return node;
}

// Builds a vector of children from move-only elements.
template <typename... Nodes>
std::vector<TestElement> children_of(Nodes&&... nodes) {
    std::vector<TestElement> children;
    children.reserve(sizeof...(nodes));
    (children.push_back(std::forward<Nodes>(nodes)), ...);
    return children;
}

// A chain of `depth` nested elements named `name`; the innermost has no children.
inline TestElement chain(std::size_t depth, std::string_view name) {
    TestElement innermost = element(name);
    for (std::size_t level = 1; level < depth; ++level) {
        TestElement parent = element(name);
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
