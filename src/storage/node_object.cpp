// Node objects: creation from a NodeData, iterative deallocation, and the getters.
// Runs with the interpreter lock held.
#include "storage/node_object.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "boundary.hpp"
#include "common/page_populator.hpp"
#include "common/prefault.hpp"
#include "convert.hpp"

namespace vorlane {

ChildList::ChildList(std::size_t capacity) {
    if (capacity == 0) return;
    if (capacity > UINT32_MAX || capacity > SIZE_MAX / sizeof(PyObject*)) throw std::bad_alloc();
    items_ = static_cast<PyObject**>(std::malloc(capacity * sizeof(PyObject*)));
    if (items_ == nullptr) throw std::bad_alloc();
    capacity_ = static_cast<std::uint32_t>(capacity);
}

ChildList::ChildList(ChildList&& other) noexcept
    : items_(other.items_), count_(other.count_), capacity_(other.capacity_), placed_(other.placed_) {
    other.items_ = nullptr;
    other.count_ = 0;
    other.capacity_ = 0;
    other.placed_ = false;
}

ChildList& ChildList::operator=(ChildList&& other) noexcept {
    if (this != &other) {
        ChildList old(std::move(*this));
        items_ = other.items_;
        count_ = other.count_;
        capacity_ = other.capacity_;
        placed_ = other.placed_;
        other.items_ = nullptr;
        other.count_ = 0;
        other.capacity_ = 0;
        other.placed_ = false;
    }
    return *this;
}

void ChildList::release_items() noexcept {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(items_[i]);
    if (!placed_) std::free(items_);
}

PyObject** ChildList::release(std::size_t& count, bool& placed) noexcept {
    PyObject** items = items_;
    count = count_;
    placed = placed_;
    items_ = nullptr;
    count_ = 0;
    capacity_ = 0;
    placed_ = false;
    return items;
}

namespace {

constexpr std::size_t kBlockAlignment = 8;

// Builds the node block. `children` holds `count` references that the block takes
// over; on failure they are released along with `data`.
CallResult<PyRef> build_node_block(NodeData&& data, PyObject* const* children, std::size_t count,
                                   PyTypeObject* type) {
    struct Owed {
        PyObject* const* children;
        std::size_t count;
        ~Owed() {
            for (std::size_t i = 0; i < count; ++i) Py_DECREF(children[i]);
        }
    } owed{children, count};
    if (type == nullptr) {
        auto obtained = obtain_node_type();
        if (!obtained) return std::move(obtained).error();
        type = obtained.value();
    }
    if (count > (SIZE_MAX / 2) / sizeof(PyObject*)) throw std::bad_alloc();
    const std::size_t children_bytes =
        (count * sizeof(PyObject*) + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
    // A map whose block lies in its document's arena stays there (the node's buffer
    // reference keeps the arena alive); any other map moves into the node's block.
    const bool attrs_in_arena = data.attrs.is_placed();
    const std::size_t attrs_bytes = attrs_in_arena ? 0 : data.attrs.placed_bytes();
    if (attrs_bytes > SIZE_MAX / 2 - sizeof(NodeObject) - children_bytes) throw std::bad_alloc();
    void* memory = PyObject_Malloc(sizeof(NodeObject) + children_bytes + attrs_bytes);
    if (memory == nullptr) {
        NodeData dropped(std::move(data));
        PyErr_NoMemory();
        return CallError::captured();
    }
    // PyObject_Init takes the reference to a heap type that tp_free's caller gives back.
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);
    auto* node = reinterpret_cast<NodeObject*>(object);
    char* trailing = reinterpret_cast<char*>(node + 1);
    auto** placed_children = reinterpret_cast<PyObject**>(trailing);
    if (count != 0) std::memcpy(placed_children, children, count * sizeof(PyObject*));
    owed.count = 0;
    new (&node->data) NodeData();
    node->in_arena = false;
    node->data.buffer = std::move(data.buffer);
    node->data.name = std::move(data.name);
    node->data.text = std::move(data.text);
    node->data.attrs = attrs_in_arena ? std::move(data.attrs) : data.attrs.place_into(trailing + children_bytes);
    node->data.children = ChildList::placed(placed_children, count);
    return PyRef::adopt(object);
}

}  // namespace

// Arena nodes get their object header written directly (reference count and type);
// interpreters whose object header holds more than that cannot take such objects.
#if defined(Py_TRACE_REFS) || defined(Py_GIL_DISABLED)
#error "vorlane needs an interpreter built without Py_TRACE_REFS and with the GIL"
#endif

struct NodeArena::Chunk {
    Chunk* previous;
};

namespace {

// Every field of a node block is at most eight bytes wide; packing blocks at that
// alignment, rather than the object allocator's sixteen, saves eight bytes a node.
constexpr std::size_t kArenaAlignment = 8;
static_assert(alignof(NodeObject) <= kArenaAlignment);
constexpr std::size_t kChunkHeaderBytes =
    (sizeof(void*) + kArenaAlignment - 1) / kArenaAlignment * kArenaAlignment;
constexpr std::size_t kFirstChunkMinimum = std::size_t{1} << 10;
constexpr std::size_t kChunkMaximum = std::size_t{16} << 20;

}  // namespace

// The shared strs of one document: an open-addressing table of short byte strings,
// probed a bounded number of times so that no document can make lookups slow; what
// does not fit is simply not shared.
struct NodeArena::SharedStrs {
    static constexpr std::size_t kSlots = 1024;
    static constexpr std::size_t kLongestBytes = 64;
    static constexpr std::size_t kProbes = 8;
    struct Slot {
        const char* bytes;
        std::size_t size;
        std::uint64_t head;  // the bytes' two sample words (see sample_words)
        std::uint64_t tail;
        PyObject* str;  // owned
    };
    Slot slots[kSlots];
};

namespace {

// Two words sampled from `bytes`: the first and the last eight bytes (overlapping
// when there are fewer than sixteen), four and four below eight, and the first,
// middle and last byte below four. Up to sixteen bytes they cover every byte, so
// equal words and sizes mean equal bytes there.
void sample_words(std::string_view bytes, std::uint64_t& head, std::uint64_t& tail) noexcept {
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    if (size >= 8) {
        std::memcpy(&head, data, 8);
        std::memcpy(&tail, data + size - 8, 8);
    } else if (size >= 4) {
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, data, 4);
        std::memcpy(&last, data + size - 4, 4);
        head = first;
        tail = last;
    } else if (size > 0) {
        head = static_cast<unsigned char>(data[0]) | (std::uint64_t{static_cast<unsigned char>(data[size / 2])} << 8) |
               (std::uint64_t{static_cast<unsigned char>(data[size - 1])} << 16);
        tail = 0;
    } else {
        head = 0;
        tail = 0;
    }
}

std::size_t shared_str_hash(std::uint64_t head, std::uint64_t tail, std::size_t size) noexcept {
    // The keys come from the document, and the probe bound, not the hash, keeps
    // hostile input harmless: names that differ only between their first and last
    // eight bytes share a slot run, and past it are simply not shared.
    std::uint64_t hash = (head ^ (std::uint64_t{size} << 56)) * 0x9E3779B97F4A7C15ULL;
    hash ^= (tail + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<std::size_t>(hash ^ (hash >> 29) ^ (hash >> 47));
}

}  // namespace

PyObject* NodeArena::shared_str(std::string_view bytes) noexcept {
    if (bytes.size() > SharedStrs::kLongestBytes) return nullptr;
    if (shared_ == nullptr) {
        void* memory = PyMem_RawCalloc(1, sizeof(SharedStrs));
        if (memory == nullptr) return nullptr;
        shared_ = static_cast<SharedStrs*>(memory);
    }
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    sample_words(bytes, head, tail);
    const bool words_cover_all = bytes.size() <= 16;
    const std::size_t mask = SharedStrs::kSlots - 1;
    std::size_t position = shared_str_hash(head, tail, bytes.size()) & mask;
    for (std::size_t probe = 0; probe < SharedStrs::kProbes; ++probe, position = (position + 1) & mask) {
        SharedStrs::Slot& slot = shared_->slots[position];
        if (slot.str == nullptr) {
            PyObject* str = str_from_utf8(bytes);
            if (str == nullptr) {
                PyErr_Clear();
                return nullptr;
            }
            slot = SharedStrs::Slot{bytes.data(), bytes.size(), head, tail, str};
            Py_INCREF(str);
            return str;
        }
        if (slot.size == bytes.size() && slot.head == head && slot.tail == tail &&
            (words_cover_all || std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
    }
    return nullptr;
}

NodeArena* NodeArena::create(std::size_t expected_bytes) noexcept {
    void* memory = PyMem_RawMalloc(sizeof(NodeArena));
    if (memory == nullptr) return nullptr;
    auto* arena = new (memory) NodeArena();
    arena->next_chunk_bytes_ = std::clamp(expected_bytes, kFirstChunkMinimum, kChunkMaximum);
    return arena;
}

void NodeArena::destroy(void* memory) noexcept {
    auto* arena = static_cast<NodeArena*>(memory);
    if (arena->shared_ != nullptr) {
        // The last node of the document may go without the lock held (a failed parse's
        // nodes never reach a getter, so only a published document has strs here).
        for (const SharedStrs::Slot& slot : arena->shared_->slots) release_python_reference(slot.str);
        PyMem_RawFree(arena->shared_);
    }
    Chunk* chunk = arena->chunks_;
    while (chunk != nullptr) {
        Chunk* previous = chunk->previous;
        PyMem_RawFree(chunk);
        chunk = previous;
    }
    arena->~NodeArena();
    PyMem_RawFree(memory);
}

void* NodeArena::allocate(std::size_t size) noexcept {
    size = (size + kArenaAlignment - 1) / kArenaAlignment * kArenaAlignment;
    if (static_cast<std::size_t>(end_ - next_) < size) {
        if (size > SIZE_MAX / 2) return nullptr;
        // A block larger than the usual chunk (the children of a very wide element)
        // gets a chunk of its own size; the space left in the current one is given up.
        const std::size_t chunk_bytes = std::max(next_chunk_bytes_, size + kChunkHeaderBytes);
        void* memory = PyMem_RawMalloc(chunk_bytes);
        if (memory == nullptr) return nullptr;
        auto* chunk = static_cast<Chunk*>(memory);
        chunk->previous = chunks_;
        chunks_ = chunk;
        next_ = static_cast<char*>(memory) + kChunkHeaderBytes;
        end_ = static_cast<char*>(memory) + chunk_bytes;
        populated_ = next_;
        if (populator_ != nullptr) populator_->follow(lane_, next_, end_);
        next_chunk_bytes_ = std::min(next_chunk_bytes_ * 2, kChunkMaximum);
    }
    void* block = next_;
    next_ += size;
    if (next_ > populated_) populate_ahead();
    return block;
}

void NodeArena::populate_with(PagePopulator* populator, std::size_t lane) noexcept {
    populator_ = populator;
    lane_ = lane;
    if (populator_ != nullptr && next_ != nullptr) populator_->follow(lane_, next_, end_);
}

void NodeArena::populate_ahead() noexcept {
    if (populator_ != nullptr) {
        // The worker keeps its lead on the nodes; it hears where they are at every
        // quarter of a mebibyte.
        constexpr std::size_t kReportEvery = std::size_t{256} << 10;
        populator_->advance(lane_, next_);
        populated_ = next_ + std::min<std::size_t>(kReportEvery, static_cast<std::size_t>(end_ - next_));
        return;
    }
    constexpr std::size_t kAhead = std::size_t{1} << 20;
    const std::size_t ahead = std::min<std::size_t>(kAhead, static_cast<std::size_t>(end_ - populated_));
    prefault_for_writing(populated_, ahead);
    populated_ = std::max(populated_ + ahead, next_);
}

PyObject* place_arena_node(NodeArena& arena, PyTypeObject* type, NodeData& data, PyObject* const* children,
                           std::size_t count) noexcept {
    if (count > (SIZE_MAX / 4) / sizeof(PyObject*)) return nullptr;
    const std::size_t children_bytes = count * sizeof(PyObject*);
    // The map stays where it is when its block lies in the document's own arena.
    const bool attrs_in_place = data.attrs.is_placed();
    const std::size_t attrs_offset = sizeof(NodeObject) + children_bytes;
    const std::size_t attrs_bytes = attrs_in_place ? 0 : data.attrs.placed_bytes();
    void* memory = arena.allocate(attrs_offset + attrs_bytes);
    if (memory == nullptr) return nullptr;
    // The header is written as a new object's header is, minus the type reference,
    // which publish_arena_nodes adds for all nodes at once.
    std::memset(memory, 0, sizeof(PyObject));
    auto* object = static_cast<PyObject*>(memory);
    Py_SET_REFCNT(object, 1);
    Py_SET_TYPE(object, type);
    auto* node = reinterpret_cast<NodeObject*>(object);
    char* trailing = reinterpret_cast<char*>(node + 1);
    auto** placed_children = reinterpret_cast<PyObject**>(trailing);
    if (count != 0) std::memcpy(placed_children, children, children_bytes);
    // Each member is move-constructed in place, with no default state to assign over.
    new (&node->data) NodeData{std::move(data.buffer), std::move(data.name), std::move(data.text),
                               attrs_in_place ? std::move(data.attrs)
                                              : data.attrs.place_into(static_cast<char*>(memory) + attrs_offset),
                               ChildList::placed(placed_children, count)};
    node->in_arena = true;
    return object;
}

void publish_arena_nodes(PyTypeObject* type, std::size_t count) noexcept {
    if (count == 0) return;
    auto* type_object = reinterpret_cast<PyObject*>(type);
    Py_SET_REFCNT(type_object, Py_REFCNT(type_object) + static_cast<Py_ssize_t>(count));
}

void discard_unpublished_nodes(PyObject* const* nodes, std::size_t count) noexcept {
    // Each node is visited once: its children join the work list before its record
    // goes. Should the list fail to grow, the children's subtrees are left to leak
    // rather than released through the interpreter, which may not be held here.
    std::vector<PyObject*> pending;
    try {
        pending.assign(nodes, nodes + count);
    } catch (...) {
        return;
    }
    while (!pending.empty()) {
        auto* node = reinterpret_cast<NodeObject*>(pending.back());
        pending.pop_back();
        std::size_t child_count = 0;
        bool placed = false;
        PyObject** children = node->data.children.release(child_count, placed);
        try {
            pending.insert(pending.end(), children, children + child_count);
        } catch (...) {
        }
        node->data.~NodeData();
    }
}

CallResult<PyRef> create_node_object(NodeData&& data, PyTypeObject* type) {
    std::size_t count = 0;
    bool placed = false;
    PyObject** children = data.children.release(count, placed);
    struct Freed {
        PyObject** items;
        bool placed;
        ~Freed() {
            if (!placed) std::free(items);
        }
    } freed{children, placed};
    return build_node_block(std::move(data), children, count, type);
}

CallResult<PyRef> create_node_object(NodeData&& data, PyObject* const* children, std::size_t count,
                                     PyTypeObject* type) {
    return build_node_block(std::move(data), children, count, type);
}

CallResult<PyObject*> node_argument(PyObject* object, const char* parameter) {
    if (object == nullptr || !is_node(object)) {
        return type_mismatch(object == nullptr ? Py_None : object, "Node").noting(parameter);
    }
    return object;
}

CallResult<std::string_view> bytes_of(const StrRef& value) {
    auto bytes = value.view();
    if (!bytes) return CallError::internal(bytes.error());
    return bytes.value();
}

CallResult<PyRef> str_from(const StrRef& value) {
    auto bytes = bytes_of(value);
    if (!bytes) return std::move(bytes).error();
    return new_str(bytes.value());
}

CallResult<PyRef> shared_str_from(const NodeData& node, const StrRef& value) {
    auto bytes = bytes_of(value);
    if (!bytes) return std::move(bytes).error();
    if (value.is_span() && node.buffer && value.buffer() == node.buffer.get()) {
        if (void* attachment = node.buffer->attachment(&NodeArena::destroy)) {
            if (PyObject* shared = static_cast<NodeArena*>(attachment)->shared_str(bytes.value())) {
                return PyRef::adopt(shared);
            }
        }
    }
    return new_str(bytes.value());
}

namespace {

// Children whose release is still owed by the deallocation loop of this thread.
// Dropping a node hands its children here instead of releasing them from inside
// its own deallocation, so a chain of any depth is freed without native recursion.
struct DeallocQueue {
    std::vector<PyObject*> children;
    bool draining = false;
};

DeallocQueue& dealloc_queue() noexcept {
    thread_local DeallocQueue queue;
    return queue;
}

void destroy_node(PyObject* self, DeallocQueue& queue) noexcept {
    auto* node = reinterpret_cast<NodeObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    // Read first: releasing the record's buffer reference may free the arena holding it.
    const bool in_arena = node->in_arena;
    std::size_t count = 0;
    bool placed = false;
    PyObject** children = node->data.children.release(count, placed);
    // The children are queued before the block (which may hold their array) is freed.
    bool queued = true;
    try {
        queue.children.reserve(queue.children.size() + count);
    } catch (...) {
        queued = false;
    }
    if (queued) queue.children.insert(queue.children.end(), children, children + count);
    node->data.~NodeData();
    if (!queued) {
        // Out of memory for the queue: release directly (recursive, but only while
        // memory is exhausted).
        for (std::size_t i = 0; i < count; ++i) Py_DECREF(children[i]);
    }
    if (!placed) std::free(children);
    if (!in_arena) type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

void node_tp_dealloc(PyObject* self) noexcept {
    AttachedScope attached;
    DeallocQueue& queue = dealloc_queue();
    destroy_node(self, queue);
    if (queue.draining) return;
    queue.draining = true;
    while (!queue.children.empty()) {
        PyObject* child = queue.children.back();
        queue.children.pop_back();
        Py_DECREF(child);  // a child node dying here enqueues its own children
    }
    queue.draining = false;
    if (queue.children.capacity() > 4096) std::vector<PyObject*>().swap(queue.children);
}

PyObject* node_get_name(PyObject* self, void*) {
    return call_boundary([&]() -> CallResult<PyRef> {
        const NodeData& data = node_data(self);
        return shared_str_from(data, data.name);
    });
}

PyObject* node_get_text(PyObject* self, void*) {
    return call_boundary([&]() -> CallResult<PyRef> {
        const auto& text = node_data(self).text;
        if (!text) return PyRef::share(Py_None);
        return str_from(*text);
    });
}

PyObject* node_get_attrs(PyObject* self, void*) {
    return call_boundary([&]() -> CallResult<PyRef> {
        const NodeData& data = node_data(self);
        PyRef dict = PyRef::adopt(dict_with_room(data.attrs.size()));
        if (!dict) return CallError::null_object();
        for (auto entry : data.attrs) {
            auto key = shared_str_from(data, entry.key);
            if (!key) return std::move(key).error();
            auto value = str_from(entry.value);
            if (!value) return std::move(value).error();
            if (PyDict_SetItem(dict.get(), key->get(), value->get()) < 0) return CallError::captured();
        }
        return dict;
    });
}

PyObject* node_get_children(PyObject* self, void*) {
    return call_boundary([&]() -> CallResult<PyRef> {
        const ChildList& children = node_data(self).children;
        PyRef list = PyRef::adopt(PyList_New(static_cast<Py_ssize_t>(children.size())));
        if (!list) return CallError::null_object();
        for (std::size_t i = 0; i < children.size(); ++i) {
            Py_INCREF(children[i]);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), children[i]);  // steals
        }
        return list;
    });
}

}  // namespace vorlane
