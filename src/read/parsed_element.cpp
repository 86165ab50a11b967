// ParsedElement teardown: a work list of elements whose children are still to be
// released replaces the call stack. No interpreter.
#include "read/parsed_element.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace vorlane {

namespace {

// Releases the descendants of `top` using no memory at all: repeatedly walks down the
// last-child path to an element whose last child is a leaf and drops that leaf. It
// costs one walk per element, so it only serves when the work list cannot grow.
void release_without_memory(ParsedElement& top) noexcept {
    while (!top.children.empty()) {
        ParsedElement* parent = &top;
        while (!parent->children.back().children.empty()) parent = &parent->children.back();
        parent->children.pop_back();
    }
}

}  // namespace

void release_parsed_elements(std::vector<ParsedElement>& elements) noexcept {
    // Invariant: every element in `pending` still owns its subtree; an element is
    // popped only after its children have been moved to the end of `pending`, so the
    // destructor of the popped element finds no children and returns at once.
    std::vector<ParsedElement> pending = std::move(elements);
    elements.clear();
    while (!pending.empty()) {
        if (pending.back().children.empty()) {
            pending.pop_back();
            continue;
        }
        std::size_t incoming = pending.back().children.size();
        if (pending.capacity() - pending.size() + 1 < incoming) {
            try {
                pending.reserve(std::max(pending.capacity() * 2, pending.size() + incoming));
            } catch (const std::bad_alloc&) {
                release_without_memory(pending.back());
                pending.pop_back();
                continue;
            }
        }
        std::vector<ParsedElement> grandchildren = std::move(pending.back().children);
        pending.pop_back();
        // The capacity check above guarantees these moves never reallocate.
        for (ParsedElement& child : grandchildren) pending.push_back(std::move(child));
    }
}

ParsedElement& ParsedElement::operator=(ParsedElement&& other) noexcept {
    if (this != &other) {
        release_parsed_elements(children);
        name = std::move(other.name);
        text = std::move(other.text);
        children = std::move(other.children);
        attrs = std::move(other.attrs);
        // Last: the old map may lie in the old buffer's arena, which this reference keeps.
        buffer = std::move(other.buffer);
    }
    return *this;
}

ParsedElement::~ParsedElement() {
    if (!children.empty()) release_parsed_elements(children);
}

}  // namespace vorlane
