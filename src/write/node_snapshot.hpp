// NodeSnapshot: a detached copy of one element and its descendants that the writer
// renders without the interpreter lock. Holds no Python object; spans keep their
// DocumentBuffer alive. Built under the lock (by the module's snapshot walk),
// rendered and released without it.
#pragma once

#include <optional>
#include <vector>

#include "storage/attr_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

// One element: name, optional text (empty and absent differ), children in order,
// attributes in the iteration order of the node they were copied from. Move-only;
// a snapshot owns its children outright.
struct NodeSnapshot {
    StrRef name;
    std::optional<StrRef> text;
    std::vector<NodeSnapshot> children;
    AttrMap attrs;

    NodeSnapshot() noexcept = default;
    NodeSnapshot(NodeSnapshot&&) noexcept = default;
    NodeSnapshot& operator=(NodeSnapshot&& other) noexcept;
    NodeSnapshot(const NodeSnapshot&) = delete;
    NodeSnapshot& operator=(const NodeSnapshot&) = delete;
    // Releases the whole subtree with an explicit work list, never recursing once
    // per level, so any depth is torn down safely.
    ~NodeSnapshot();
};

// Releases every descendant of `node` (leaving it without children) without
// allocating, in time proportional to nodes times depth. The destructor falls back
// to it when memory for its work list cannot be had.
void release_children_in_place(NodeSnapshot& node) noexcept;

}  // namespace vorlane
