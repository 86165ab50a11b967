// NodeSnapshot teardown: iterative, so a tree of any depth is released without
// deep native recursion. No interpreter: runs with or without the lock.
#include "write/node_snapshot.hpp"

#include <new>
#include <utility>

namespace vorlane {

namespace {

// Destroys the nodes of `nodes` and everything below them. Each node is destroyed
// only once its children have been moved out onto the work list, so no destructor
// call reaches more than one level.
void release_all(std::vector<NodeSnapshot>& nodes) noexcept {
    std::vector<NodeSnapshot> pending = std::move(nodes);
    try {
        while (!pending.empty()) {
            NodeSnapshot& last = pending.back();
            if (last.children.empty()) {
                pending.pop_back();
                continue;
            }
            std::vector<NodeSnapshot> grandchildren = std::move(last.children);
            pending.pop_back();
            if (pending.empty()) {
                pending = std::move(grandchildren);
                continue;
            }
            if (pending.capacity() - pending.size() < grandchildren.size()) {
                std::size_t doubled = pending.capacity() * 2;
                std::size_t needed = pending.size() + grandchildren.size();
                try {
                    pending.reserve(doubled > needed ? doubled : needed);
                } catch (const std::bad_alloc&) {
                    // Put the grandchildren back under a node that already has a
                    // place (the slot freed by pop_back), then finish without memory.
                    NodeSnapshot holder;
                    holder.children = std::move(grandchildren);
                    pending.push_back(std::move(holder));
                    throw;
                }
            }
            for (NodeSnapshot& grandchild : grandchildren) pending.push_back(std::move(grandchild));
        }
    } catch (const std::bad_alloc&) {
        while (!pending.empty()) {
            release_children_in_place(pending.back());
            pending.pop_back();
        }
    }
}

}  // namespace

void release_children_in_place(NodeSnapshot& node) noexcept {
    // Repeatedly follow the last child down to a node whose last child is a leaf,
    // and drop that leaf: destroying a leaf never recurses.
    while (!node.children.empty()) {
        NodeSnapshot* parent = &node;
        while (!parent->children.back().children.empty()) parent = &parent->children.back();
        parent->children.pop_back();
    }
}

NodeSnapshot& NodeSnapshot::operator=(NodeSnapshot&& other) noexcept {
    if (this != &other) {
        release_all(children);
        name = std::move(other.name);
        text = std::move(other.text);
        children = std::move(other.children);
        attrs = std::move(other.attrs);
    }
    return *this;
}

NodeSnapshot::~NodeSnapshot() {
    if (!children.empty()) release_all(children);
}

}  // namespace vorlane
