// Node.to_dict(): a node tree to nested dicts in two passes. The first copies the
// tree into a NodeMap without touching the interpreter; the second consumes the
// NodeMap and builds the Python objects. Both walk with explicit stacks, so the
// depth of the tree is bounded only by memory. Runs with the interpreter lock held.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "convert.hpp"
#include "entities/hashmap_types.hpp"
#include "node_methods.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

CallResult<StrRef> owned_copy(const StrRef& value) {
    auto bytes = bytes_of(value);
    if (!bytes) return std::move(bytes).error();
    return StrRef::owned(bytes.value());
}

// Fills `target` with the four entries of one node, the children as default maps to
// be filled by the caller; returns where those child maps live. The child vector's
// storage does not move when the vector itself is moved into the map, so the
// pointer stays valid.
CallResult<NodeMap*> fill_node_map(NodeMap& target, const NodeData& data) {
    auto name = owned_copy(data.name);
    if (!name) return std::move(name).error();

    StringMap attrs(draw_hash_keys(), data.attrs.size());
    for (auto entry : data.attrs) {
        auto key = owned_copy(entry.key);
        if (!key) return std::move(key).error();
        auto value = owned_copy(entry.value);
        if (!value) return std::move(value).error();
        attrs.insert(std::move(key).value(), std::move(value).value());
    }

    NodeMapList children;
    children.items().resize(data.children.size());
    NodeMap* child_maps = children.items().data();

    std::optional<StrRef> text;
    if (data.text) {
        auto copied = owned_copy(*data.text);
        if (!copied) return std::move(copied).error();
        text = std::move(copied).value();
    }

    target = NodeMap(draw_hash_keys(), 4);
    target.insert(std::string(kNameKey), HashmapTypes::string(std::move(name).value()));
    target.insert(std::string(kAttrsKey), HashmapTypes::map(std::move(attrs)));
    target.insert(std::string(kChildrenKey), HashmapTypes::vec(std::move(children)));
    target.insert(std::string(kTextKey), HashmapTypes::nullable_string(std::move(text)));
    return child_maps;
}

struct ExportFrame {
    // Borrowed: nodes are immutable and no Python code runs during the pass, so
    // every node stays alive through its parent for the whole walk.
    PyObject* node;
    NodeMap* child_maps;
    std::size_t next_child;
};

// First pass: the node map of `root` and its whole subtree, children in order.
CallResult<NodeMap> node_map_from_node(PyObject* root) {
    NodeMap root_map;
    auto root_children = fill_node_map(root_map, node_data(root));
    if (!root_children) return std::move(root_children).error();
    std::vector<ExportFrame> stack;
    stack.push_back(ExportFrame{root, root_children.value(), 0});
    while (!stack.empty()) {
        ExportFrame& frame = stack.back();
        const ChildList& children = node_data(frame.node).children;
        if (frame.next_child == children.size()) {
            stack.pop_back();
            continue;
        }
        PyObject* child = children[frame.next_child];
        NodeMap& target = frame.child_maps[frame.next_child];
        ++frame.next_child;
        auto grandchildren = fill_node_map(target, node_data(child));
        if (!grandchildren) return std::move(grandchildren).error();
        if (!node_data(child).children.empty()) stack.push_back(ExportFrame{child, grandchildren.value(), 0});
    }
    return root_map;
}

// The keys of node maps as interned strs, made once per process: every dict of the
// result uses the same four key objects, whose hashes are computed once.
PyObject* known_key(std::string_view key) noexcept {
    static PyObject* interned[4] = {};
    std::size_t slot;
    if (key == kNameKey) {
        slot = 0;
    } else if (key == kAttrsKey) {
        slot = 1;
    } else if (key == kChildrenKey) {
        slot = 2;
    } else if (key == kTextKey) {
        slot = 3;
    } else {
        return nullptr;
    }
    if (interned[slot] == nullptr) {
        PyObject* created = PyUnicode_InternFromString(std::string(key).c_str());
        if (created == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        interned[slot] = created;
    }
    return interned[slot];
}

CallResult<PyRef> key_str(const std::string& key) {
    if (PyObject* known = known_key(key)) return PyRef::share(known);
    return new_str(key);
}

// A string of the value tree as a str; the owned copy is freed at once.
CallResult<PyRef> consume_string(StrRef& text) {
    StrRef consumed(std::move(text));
    return str_from(consumed);
}

// The strs made for names and attribute keys during one conversion, by value: a
// document repeats a few names many times, and one immutable str per distinct
// name serves every dict that holds it. Direct-mapped, so a collision just
// replaces the entry.
class NameStrs {
public:
    // A str with the value of `text`, shared with earlier calls for the same value;
    // the owned copy is freed at once.
    CallResult<PyRef> consume(StrRef& text) {
        StrRef consumed(std::move(text));
        auto bytes = bytes_of(consumed);
        if (!bytes) return std::move(bytes).error();
        std::string_view value = bytes.value();
        if (value.size() > kLongestCached) return new_str(value);
        std::uint64_t hash = fnv1a(value);
        Slot& slot = slots_[hash % kSlotCount];
        if (slot.str && slot.hash == hash && slot.bytes == value) return PyRef::share(slot.str.get());
        auto made = new_str(value);
        if (!made) return made;
        slot.hash = hash;
        slot.bytes.assign(value);
        slot.str = PyRef::share(made.value().get());
        return made;
    }

private:
    static constexpr std::size_t kSlotCount = 512;
    static constexpr std::size_t kLongestCached = 48;

    static std::uint64_t fnv1a(std::string_view bytes) noexcept {
        std::uint64_t hash = 0xcbf29ce484222325ULL;
        for (unsigned char byte : bytes) {
            hash ^= byte;
            hash *= 0x100000001b3ULL;
        }
        return hash;
    }

    struct Slot {
        std::uint64_t hash = 0;
        std::string bytes;
        PyRef str;
    };
    std::vector<Slot> slots_ = std::vector<Slot>(kSlotCount);
};

// Pauses the interpreter's cyclic garbage collector for its scope. Every container
// the second pass creates is reachable from the result, so a collection during the
// pass could free none of them, and the repeated collections that millions of new
// containers trigger would only walk them again and again.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

CallResult<PyRef> dict_from_string_map(StringMap& pairs, NameStrs& names) {
    PyRef dict = PyRef::adopt(PyDict_New());
    if (!dict) return CallError::null_object();
    std::optional<CallError> failure;
    pairs.for_each([&](StringMap::Entry& entry) {
        auto key = names.consume(entry.key);
        if (!key) {
            failure = std::move(key).error();
            return false;
        }
        auto value = consume_string(entry.value);
        if (!value) {
            failure = std::move(value).error();
            return false;
        }
        if (PyDict_SetItem(dict.get(), key.value().get(), value.value().get()) < 0) {
            failure = CallError::captured();
            return false;
        }
        return true;
    });
    if (failure) return std::move(*failure);
    return dict;
}

struct ListFrame {
    NodeMapList maps;
    // Borrowed: the list is owned by the dict it was stored in, which the result holds.
    PyObject* list;
    std::size_t next_index;
};

// Converts the entries of one node map into a new dict. A `Vec` value becomes a
// list of the right length stored at once, with its items left empty: its maps
// move onto `pending`, to be converted by the caller's loop.
CallResult<PyRef> dict_from_node_map(NodeMap& map, std::vector<ListFrame>& pending, NameStrs& names) {
    PyRef dict = PyRef::adopt(PyDict_New());
    if (!dict) return CallError::null_object();
    std::optional<CallError> failure;
    map.for_each([&](NodeMap::Entry& entry) {
        auto key = key_str(entry.key);
        if (!key) {
            failure = std::move(key).error();
            return false;
        }
        PyRef value;
        auto& held = entry.value.value;
        switch (entry.value.variant()) {
            case HashmapTypes::String: {
                // The one String of a node map is its name.
                auto text = names.consume(std::get<HashmapTypes::String>(held));
                if (!text) {
                    failure = std::move(text).error();
                    return false;
                }
                value = std::move(text).value();
                break;
            }
            case HashmapTypes::NullableString: {
                auto& text = std::get<HashmapTypes::NullableString>(held);
                if (!text) {
                    value = PyRef::share(Py_None);
                    break;
                }
                auto made = consume_string(*text);
                if (!made) {
                    failure = std::move(made).error();
                    return false;
                }
                value = std::move(made).value();
                break;
            }
            case HashmapTypes::Map: {
                auto made = dict_from_string_map(std::get<HashmapTypes::Map>(held), names);
                if (!made) {
                    failure = std::move(made).error();
                    return false;
                }
                value = std::move(made).value();
                break;
            }
            case HashmapTypes::Vec: {
                auto& maps = std::get<HashmapTypes::Vec>(held);
                value = PyRef::adopt(PyList_New(static_cast<Py_ssize_t>(maps.size())));
                if (!value) {
                    failure = CallError::null_object();
                    return false;
                }
                if (maps.size() != 0) pending.push_back(ListFrame{std::move(maps), value.get(), 0});
                break;
            }
        }
        if (PyDict_SetItem(dict.get(), key.value().get(), value.get()) < 0) {
            failure = CallError::captured();
            return false;
        }
        return true;
    });
    if (failure) return std::move(*failure);
    return dict;
}

// Second pass: consumes the node map of the root and returns its dict. Each
// list's items are filled in order, depth first; an error releases the partly
// filled result (empty list items are allowed in a list being released).
CallResult<PyRef> dict_from_node_map_tree(NodeMap&& root) {
    CollectorPause paused;
    NameStrs names;
    std::vector<ListFrame> stack;
    NodeMap root_map(std::move(root));
    auto result = dict_from_node_map(root_map, stack, names);
    if (!result) return result;
    { NodeMap consumed(std::move(root_map)); }
    while (!stack.empty()) {
        ListFrame& frame = stack.back();
        if (frame.next_index == frame.maps.size()) {
            stack.pop_back();
            continue;
        }
        PyObject* list = frame.list;
        std::size_t index = frame.next_index++;
        // Moved out first: converting it may push a frame and move `frame`.
        NodeMap item(std::move(frame.maps.items()[index]));
        auto converted = dict_from_node_map(item, stack, names);
        if (!converted) return std::move(converted).error();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), std::move(converted).value().release());  // steals
    }
    return result;
}

CallResult<PyRef> node_to_dict_body(PyObject* self) {
    auto map = node_map_from_node(self);
    if (!map) return std::move(map).error();
    return dict_from_node_map_tree(std::move(map).value());
}

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) noexcept {
    return call_boundary([&] { return node_to_dict_body(self); });
}

}  // namespace vorlane
