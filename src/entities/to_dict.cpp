// Node.to_dict(): a node tree to nested dicts in one pass straight from the node
// records, walked with an explicit stack so the depth of the tree is bounded only by
// memory. Runs with the interpreter lock held.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "convert.hpp"
#include "node_methods.hpp"
#include "storage/node_object.hpp"
#include "write/text_units.hpp"

namespace vorlane {

namespace {

using NodeRecord = std::remove_cv_t<std::remove_reference_t<decltype(node_data(std::declval<PyObject*>()))>>;

// Pauses the interpreter's cyclic garbage collector for its scope and puts back the
// state it found on every exit. Every container the conversion creates is
// reachable from the result, so a collection during the call could free none of
// them; without the pause, the collections that millions of new containers trigger
// would walk them again and again.
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

// The four keys of a node dict, made once per call. They are the interpreter's
// interned strings, so a caller's d["name"] finds them by identity.
struct NodeKeys {
    PyRef name;
    PyRef attrs;
    PyRef children;
    PyRef text;

    static CallResult<NodeKeys> make() {
        NodeKeys keys;
        keys.name = PyRef::adopt(PyUnicode_InternFromString("name"));
        keys.attrs = PyRef::adopt(PyUnicode_InternFromString("attrs"));
        keys.children = PyRef::adopt(PyUnicode_InternFromString("children"));
        keys.text = PyRef::adopt(PyUnicode_InternFromString("text"));
        if (!keys.name || !keys.attrs || !keys.children || !keys.text) return CallError::null_object();
        return keys;
    }
};

// How a step of the conversion failed. The steps below return a null PyRef and
// leave the reason in the call's Conversion, so that the hot path carries no
// error value; the reason becomes a CallError once, at the end of the call.
enum class Failure : std::uint8_t {
    None,
    NullObject,  // the interpreter returned no object (its error pending, if any)
    Captured,    // the interpreter's error is pending and is raised as it is
    BadSpan,     // a span does not fit its document (an internal failure)
};

// A new str with the value of `bytes` (see str_from_utf8); null on failure, with
// `failure` set.
PyRef str_of_bytes(std::string_view bytes, Failure& failure) {
    PyRef text = PyRef::adopt(str_from_utf8(bytes));
    if (!text) failure = Failure::NullObject;
    return text;
}

// The strs made for element names and attribute keys during one call, by value: a
// document repeats a few names many times, and one immutable str per distinct name
// serves every dict that holds it. Direct-mapped, so a collision just replaces the
// entry and memory stays bounded whatever the document holds.
class SharedStrs {
public:
    // A str with the value of `bytes`, shared with earlier requests for that value;
    // null on failure, with `failure` set.
    PyRef get(std::string_view bytes, Failure& failure) {
        if (bytes.size() > kLongestShared) return str_of_bytes(bytes, failure);
        std::uint32_t hash = hash_of(bytes);
        Slot& slot = slots_[hash & (kSlotCount - 1)];
        if (slot.str && slot.hash == hash && slot.bytes == bytes) return PyRef::share(slot.str.get());
        PyRef made = str_of_bytes(bytes, failure);
        if (!made) return made;
        slot.hash = hash;
        slot.bytes.assign(bytes);
        slot.str = PyRef::share(made.get());
        return made;
    }

private:
    static constexpr std::size_t kSlotCount = 1024;
    static constexpr std::size_t kLongestShared = 64;

    // FNV-1a over the length and at most the first and last eight bytes: enough to
    // tell names apart, and cheap for long ones.
    static std::uint32_t hash_of(std::string_view bytes) noexcept {
        std::uint32_t hash = 2166136261u ^ static_cast<std::uint32_t>(bytes.size());
        auto mix = [&hash](std::string_view part) {
            for (unsigned char byte : part) {
                hash ^= byte;
                hash *= 16777619u;
            }
        };
        if (bytes.size() <= 16) {
            mix(bytes);
        } else {
            mix(bytes.substr(0, 8));
            mix(bytes.substr(bytes.size() - 8));
        }
        return hash ^ (hash >> 15);
    }

    struct Slot {
        std::uint32_t hash = 0;
        std::string bytes;
        PyRef str;
    };
    std::vector<Slot> slots_ = std::vector<Slot>(kSlotCount);
};

// The state of one call.
struct Conversion {
    NodeKeys keys;
    SharedStrs names;
    Failure failure = Failure::None;
    InvariantViolation bad_span{""};

    // The bytes of `value`; false, with the failure noted, for a bad span.
    bool read(const StrRef& value, std::string_view& bytes) {
        Result<std::string_view, InvariantViolation> viewed = value.view();
        if (!viewed) [[unlikely]] {
            failure = Failure::BadSpan;
            bad_span = viewed.error();
            return false;
        }
        bytes = viewed.value();
        return true;
    }

    PyRef str_of(const StrRef& value) {
        std::string_view bytes;
        if (!read(value, bytes)) return PyRef();
        return str_of_bytes(bytes, failure);
    }

    PyRef shared_str_of(const StrRef& value) {
        std::string_view bytes;
        if (!read(value, bytes)) return PyRef();
        return names.get(bytes, failure);
    }

    // Stores `value` under `key` in `dict`; false, with the failure noted, when
    // the interpreter refuses.
    bool store(PyObject* dict, PyObject* key, PyObject* value) {
        if (PyDict_SetItem(dict, key, value) == 0) [[likely]] return true;
        failure = Failure::Captured;
        return false;
    }

    // A new object from the interpreter, or null with the failure noted.
    PyRef made(PyObject* object) {
        if (object == nullptr) failure = Failure::NullObject;
        return PyRef::adopt(object);
    }

    // The error of the step that failed.
    CallError error() const {
        switch (failure) {
            case Failure::Captured: return CallError::captured();
            case Failure::BadSpan: return CallError::internal(bad_span);
            default: return CallError::null_object();
        }
    }
};

// The dict of one node, its "children" list created at the right length with its
// items left empty for the caller to fill; `children` receives that list
// (borrowed: the dict holds it). Null on failure, noted in `conversion`.
PyRef node_dict(Conversion& conversion, const NodeRecord& record, PyObject*& children) {
    PyRef dict = conversion.made(PyDict_New());
    if (!dict) return dict;

    PyRef name = conversion.shared_str_of(record.name);
    if (!name || !conversion.store(dict.get(), conversion.keys.name.get(), name.get())) return PyRef();

    // The attributes in the node's own order, the order of every other consumer.
    PyRef attrs = conversion.made(dict_with_room(record.attrs.size()));
    if (!attrs) return attrs;
    for (const auto& entry : record.attrs) {
        PyRef key = conversion.shared_str_of(entry.key);
        if (!key) return key;
        PyRef value = conversion.str_of(entry.value);
        if (!value || !conversion.store(attrs.get(), key.get(), value.get())) return PyRef();
    }
    if (!conversion.store(dict.get(), conversion.keys.attrs.get(), attrs.get())) return PyRef();

    PyRef list = conversion.made(PyList_New(static_cast<Py_ssize_t>(record.children.size())));
    if (!list || !conversion.store(dict.get(), conversion.keys.children.get(), list.get())) return PyRef();
    children = list.get();

    if (record.text.has_value()) {
        PyRef text = conversion.str_of(*record.text);
        if (!text || !conversion.store(dict.get(), conversion.keys.text.get(), text.get())) return PyRef();
    } else if (!conversion.store(dict.get(), conversion.keys.text.get(), Py_None)) {
        return PyRef();
    }
    return dict;
}

// A node whose dict exists and whose children's dicts are being stored, in order,
// into its list.
struct ExportFrame {
    // Borrowed: nodes are immutable and no Python code runs during the call, so
    // every node stays alive through its parent for the whole walk.
    const NodeRecord* record;
    // Borrowed: held by the node's dict, which the result holds.
    PyObject* list;
    std::size_t next_child;
};

CallResult<PyRef> node_to_dict_body(PyObject* self) {
    CollectorPause paused;
    auto keys = NodeKeys::make();
    if (!keys) return std::move(keys).error();
    Conversion conversion{std::move(keys).value(), SharedStrs()};

    const NodeRecord& root = node_data(self);
    PyObject* root_list = nullptr;
    PyRef result = node_dict(conversion, root, root_list);
    if (!result) return conversion.error();
    std::vector<ExportFrame> stack;
    if (!root.children.empty()) stack.push_back(ExportFrame{&root, root_list, 0});
    // Lists are filled depth first; an error releases the partly filled result
    // (a list may be released with items still empty).
    while (!stack.empty()) {
        ExportFrame& top = stack.back();
        if (top.next_child == top.record->children.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t index = top.next_child++;
        PyObject* list = top.list;
        const NodeRecord& child = node_data(top.record->children[index]);
        PyObject* child_list = nullptr;
        PyRef made = node_dict(conversion, child, child_list);
        if (!made) return conversion.error();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), made.release());  // steals
        if (!child.children.empty()) stack.push_back(ExportFrame{&child, child_list, 0});
    }
    return result;
}

}  // namespace

PyObject* node_to_dict(PyObject* self, PyObject*) {
    return call_boundary([&] { return node_to_dict_body(self); });
}

}  // namespace vorlane
