// NodeData and the Node object that holds it: creation, access, deallocation and
// the four getters. Requires the interpreter lock (except where noted).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "call_error.hpp"
#include "storage/attr_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

class PagePopulator;

// The children of a node: owned strong references, allocated at exactly their
// count (nothing for none), or lying inside the node's own block. Dropping a
// ChildList with references still in it releases them, so it needs the lock then.
class ChildList {
public:
    ChildList() noexcept = default;
    // Room for `capacity` children; throws std::bad_alloc.
    explicit ChildList(std::size_t capacity);
    ChildList(ChildList&& other) noexcept;
    ChildList& operator=(ChildList&& other) noexcept;
    ChildList(const ChildList&) = delete;
    ChildList& operator=(const ChildList&) = delete;
    // Inline for the empty list (moved from, or of a leaf): nothing to release.
    ~ChildList() {
        if (items_ != nullptr) release_items();
    }
    // Takes over `count` references already stored at `items`, memory that the list
    // never frees (it lies inside the node's block).
    [[nodiscard]] static ChildList placed(PyObject** items, std::size_t count) noexcept {
        ChildList list;
        list.items_ = items;
        list.count_ = count;
        list.placed_ = true;
        return list;
    }

    // Appends a reference the caller hands over (steals). The room must be there.
    void push_back_stolen(PyObject* child) noexcept { items_[count_++] = child; }
    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] PyObject* operator[](std::size_t index) const noexcept { return items_[index]; }
    [[nodiscard]] PyObject* const* begin() const noexcept { return items_; }
    [[nodiscard]] PyObject* const* end() const noexcept { return items_ + count_; }
    // Gives up the references and the array: the caller releases the items
    // (`count` of them) and, unless `placed` comes back true, frees the array with std::free.
    [[nodiscard]] PyObject** release(std::size_t& count, bool& placed) noexcept;

private:
    void release_items() noexcept;
    PyObject** items_ = nullptr;
    std::size_t count_ = 0;
    std::uint32_t capacity_ = 0;
    bool placed_ = false;
};

struct NodeData {
    // The buffer reference that the borrowed spans below use (empty when there are none).
    // Declared first so that it is released after them.
    BufferRef buffer;
    StrRef name;
    std::optional<StrRef> text;
    AttrMap attrs;
    ChildList children;
};

// A Node object is one block: the header and record, then the child references,
// then the attribute map's entries, except that a parsed node's entries stay in its
// document's arena (DocumentBuffer::arena), which the node's buffer reference keeps
// alive. Nodes never change, so nothing in the block grows.
struct NodeObject {
    PyObject_HEAD
    NodeData data;
    // The block lies in a NodeArena and is freed with it, not on its own.
    bool in_arena;
};

// The memory of the nodes made from one parsed document: chunks from the interpreter's
// raw allocator (usable without the lock), handed out front to back and freed together
// when the document's buffer goes. Every node in it holds a buffer reference, so the
// chunks outlive the last of them.
class NodeArena {
public:
    // An empty arena whose chunks start at about `expected_bytes` (at least 1 KiB) and
    // double from there; null when even its header cannot be allocated.
    [[nodiscard]] static NodeArena* create(std::size_t expected_bytes) noexcept;
    // Frees the arena and every chunk; the DocumentBuffer attachment release.
    static void destroy(void* arena) noexcept;
    // `size` bytes aligned for any node; null when no chunk can be had.
    [[nodiscard]] void* allocate(std::size_t size) noexcept;
    // A str of `bytes` (which lie in the arena's document) shared by every caller asking
    // for equal bytes: element names and attribute keys repeat throughout a document.
    // A new reference, or null without an error set when the bytes are not kept (too
    // long, the table is full or cannot be had); the caller makes its own str then.
    // With the interpreter lock held.
    [[nodiscard]] PyObject* shared_str(std::string_view bytes) noexcept;
    // Leaves the mapping in of the chunks' pages ahead of the nodes to `lane` of
    // `populator` (running, and stopped before the arena is destroyed) instead of
    // doing it here.
    void populate_with(PagePopulator* populator, std::size_t lane) noexcept;

private:
    struct Chunk;
    struct SharedStrs;
    NodeArena() noexcept = default;
    SharedStrs* shared_ = nullptr;
    Chunk* chunks_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    char* populated_ = nullptr;
    std::size_t next_chunk_bytes_ = 0;
    PagePopulator* populator_ = nullptr;
    std::size_t lane_ = 0;
    void populate_ahead() noexcept;
};

// Builds a node of `type` in `arena` from `data` and the `count` nodes at `children`,
// whose references it takes over, without the interpreter lock: nothing outside the
// caller can see the node until publish_arena_nodes. The node holds one reference to
// `type` that publish_arena_nodes has yet to add. Null when the arena has no room;
// `data` and the children are left untouched then.
[[nodiscard]] PyObject* place_arena_node(NodeArena& arena, PyTypeObject* type, NodeData& data,
                                         PyObject* const* children, std::size_t count) noexcept;
// Adds the type references of `count` nodes made by place_arena_node; with the lock held,
// before any of them is handed out.
void publish_arena_nodes(PyTypeObject* type, std::size_t count) noexcept;
// Tears down nodes made by place_arena_node that were never published, with their
// subtrees, without the interpreter lock (no reference count of any object is touched).
void discard_unpublished_nodes(PyObject* const* nodes, std::size_t count) noexcept;

// The Node type, created once per process on first need; null with the error set
// if it cannot be created.
PyTypeObject* node_type() noexcept;
// Creates the type (module exec uses it to report a failure).
[[nodiscard]] CallResult<PyTypeObject*> obtain_node_type();

[[nodiscard]] inline bool is_node(PyObject* object) noexcept {
    PyTypeObject* type = node_type();
    return type != nullptr && PyObject_TypeCheck(object, type);
}
[[nodiscard]] inline const NodeData& node_data(PyObject* node) noexcept {
    return reinterpret_cast<NodeObject*>(node)->data;
}

// Moves `data` into a new instance of `type` (Node by default): one block from the
// object allocator holding the record, its child references and its attribute entries
// (unless the map's block already lies in an arena, where it stays).
// On failure the record is dropped and the interpreter's error returned.
[[nodiscard]] CallResult<PyRef> create_node_object(NodeData&& data, PyTypeObject* type = nullptr);
// As above, for a record without children of its own, with the children given as
// `count` references at `children`, which the call takes over (and releases on failure).
[[nodiscard]] CallResult<PyRef> create_node_object(NodeData&& data, PyObject* const* children,
                                                   std::size_t count, PyTypeObject* type = nullptr);

// The `node` argument of the write functions: a Node instance, borrowed; anything
// else is the type-mismatch error noting `parameter`.
[[nodiscard]] CallResult<PyObject*> node_argument(PyObject* object, const char* parameter);

// The string value of a StrRef as a new str; a bad span is an internal failure.
[[nodiscard]] CallResult<PyRef> str_from(const StrRef& value);
// As str_from for a name or attribute key of `node`: a str shared with the equal names
// and keys of the same parsed document.
[[nodiscard]] CallResult<PyRef> shared_str_from(const NodeData& node, const StrRef& value);
// The checked bytes of a StrRef; a bad span is an internal failure.
[[nodiscard]] CallResult<std::string_view> bytes_of(const StrRef& value);

// Slots and getters of the Node type.
void node_tp_dealloc(PyObject* self) noexcept;
PyObject* node_get_name(PyObject* self, void* closure);
PyObject* node_get_text(PyObject* self, void* closure);
PyObject* node_get_attrs(PyObject* self, void* closure);
PyObject* node_get_children(PyObject* self, void* closure);

}  // namespace vorlane
