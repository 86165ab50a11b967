// Helpers for the reader tests: buffers made from literals, a compact rendering of a
// ParsedElement tree, span counting and the quote-dense prefix that steers a document
// to the bitmap index builder. No interpreter.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/parsed_element.hpp"
#include "read/reader_error.hpp"
#include "storage/document_buffer.hpp"

namespace vorlane::read_testing {

// A buffer holding a copy of `text`; the caller owns the one reference.
inline BufferRef make_buffer(std::string_view text) {
    auto bytes = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(bytes.get(), text.data(), text.size());
    return BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), text.size()));
}

// The parts appended one after the other. Test strings are built with this rather than
// `"literal" + std::string(...)`, about which g++ 12 warns falsely (-Wrestrict) at -O3.
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

// "!" followed by the error's message: how the tables write an expected error.
inline std::string error_text(const ReaderError& error) { return concat("!", error.message()); }

// The attributes of `element` as "k=v" items sorted by key, joined by spaces.
inline std::string render_attrs(const ParsedElement& element) {
    std::vector<std::string> items;
    for (auto entry : element.attrs) {
        items.push_back(std::string(entry.key.raw()) + "=" + std::string(entry.value.raw()));
    }
    std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

// A one-line rendering: name, then [attributes], then 'text', then (children, ...).
// Walked with an explicit stack so that deep trees can be rendered too.
inline std::string render(const ParsedElement& root) {
    std::string out;
    struct Frame {
        const ParsedElement* element;
        std::size_t next_child;
    };
    std::vector<Frame> stack;
    auto open = [&](const ParsedElement& element) {
        out += element.name.raw();
        if (!element.attrs.empty()) out += concat("[", render_attrs(element), "]");
        if (element.text) out += concat("'", element.text->raw(), "'");
        if (!element.children.empty()) out += "(";
        stack.push_back(Frame{&element, 0});
    };
    open(root);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_child < top.element->children.size()) {
            if (top.next_child > 0) out += ",";
            const ParsedElement& child = top.element->children[top.next_child++];
            open(child);
            continue;
        }
        if (!top.element->children.empty()) out += ")";
        stack.pop_back();
    }
    return out;
}

// The number of spans in the tree (each holds one buffer reference).
// The buffer references a parsed tree holds: one per element that keeps a reference for
// its borrowed spans, plus one per span that counts its own. Every borrowed span must lie
// in an element whose reference is to that same buffer.
inline std::size_t count_buffer_references(const ParsedElement& root) {
    std::size_t count = 0;
    std::vector<const ParsedElement*> pending{&root};
    while (!pending.empty()) {
        const ParsedElement* element = pending.back();
        pending.pop_back();
        if (element->buffer) ++count;
        auto add = [&](const StrRef& value) {
            if (!value.is_span()) return;
            if (value.is_borrowed()) {
                EXPECT_EQ(element->buffer.get(), value.buffer()) << "a borrowed span outside its buffer's holder";
            } else {
                ++count;
            }
        };
        add(element->name);
        if (element->text) add(*element->text);
        for (auto entry : element->attrs) {
            add(entry.key);
            add(entry.value);
        }
        for (const ParsedElement& child : element->children) pending.push_back(&child);
    }
    return count;
}

// An empty-element tag `<q a0="" a1="" .../>` with enough double quotes that a document
// starting with it, followed by `body`, is indexed by the bitmap builder.
inline std::string bitmap_prefix(std::string_view body) {
    std::size_t open_count = static_cast<std::size_t>(std::count(body.begin(), body.end(), '<')) + 1;
    std::size_t quote_count = static_cast<std::size_t>(std::count(body.begin(), body.end(), '"'));
    std::string prefix = "<q";
    std::size_t attribute = 0;
    while (quote_count <= 5 * open_count) {
        prefix += concat(" a", std::to_string(attribute++), "=\"\"");
        quote_count += 2;
    }
    prefix += "/>";
    return prefix;
}

// `text` with every "@N" replaced by the decimal value N + shift: expected messages are
// written for the bare document and shifted for a prefixed one.
inline std::string shift_offsets(std::string_view text, std::size_t shift) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '@') {
            out += text[i];
            continue;
        }
        std::size_t value = 0;
        std::size_t j = i + 1;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') value = value * 10 + (text[j++] - '0');
        out += std::to_string(value + shift);
        i = j - 1;
    }
    return out;
}

}  // namespace vorlane::read_testing
