// Node objects: creation from a NodeData, iterative deallocation, and the getters.
// Runs with the interpreter lock held.
#include "storage/node_object.hpp"

#include <cstdlib>
#include <new>
#include <vector>

#include "boundary.hpp"
#include "convert.hpp"

namespace vorlane {

ChildList::ChildList(std::size_t capacity) {
    if (capacity == 0) return;
    if (capacity > SIZE_MAX / sizeof(PyObject*)) throw std::bad_alloc();
    items_ = static_cast<PyObject**>(std::malloc(capacity * sizeof(PyObject*)));
    if (items_ == nullptr) throw std::bad_alloc();
    capacity_ = capacity;
}

ChildList::ChildList(ChildList&& other) noexcept
    : items_(other.items_), count_(other.count_), capacity_(other.capacity_) {
    other.items_ = nullptr;
    other.count_ = other.capacity_ = 0;
}

ChildList& ChildList::operator=(ChildList&& other) noexcept {
    if (this != &other) {
        ChildList old(std::move(*this));
        items_ = other.items_;
        count_ = other.count_;
        capacity_ = other.capacity_;
        other.items_ = nullptr;
        other.count_ = other.capacity_ = 0;
    }
    return *this;
}

ChildList::~ChildList() {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(items_[i]);
    std::free(items_);
}

PyObject** ChildList::release(std::size_t& count) noexcept {
    PyObject** items = items_;
    count = count_;
    items_ = nullptr;
    count_ = capacity_ = 0;
    return items;
}

CallResult<PyRef> create_node_object(NodeData&& data, PyTypeObject* type) {
    if (type == nullptr) {
        auto obtained = obtain_node_type();
        if (!obtained) return std::move(obtained).error();
        type = obtained.value();
    }
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        NodeData dropped(std::move(data));
        return CallError::captured();
    }
    new (&reinterpret_cast<NodeObject*>(object)->data) NodeData(std::move(data));
    return PyRef::adopt(object);
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
    std::size_t count = 0;
    PyObject** children = node->data.children.release(count);
    node->data.~NodeData();
    type->tp_free(self);
    Py_DECREF(type);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            queue.children.push_back(children[i]);
        } catch (...) {
            // Out of memory for the queue: release directly (recursive, but
            // only while memory is exhausted).
            Py_DECREF(children[i]);
        }
    }
    std::free(children);
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

PyObject* node_get_name(PyObject* self, void*) noexcept {
    return call_boundary([&]() -> CallResult<PyRef> { return str_from(node_data(self).name); });
}

PyObject* node_get_text(PyObject* self, void*) noexcept {
    return call_boundary([&]() -> CallResult<PyRef> {
        const auto& text = node_data(self).text;
        if (!text) return PyRef::share(Py_None);
        return str_from(*text);
    });
}

PyObject* node_get_attrs(PyObject* self, void*) noexcept {
    return call_boundary([&]() -> CallResult<PyRef> {
        PyRef dict = PyRef::adopt(PyDict_New());
        if (!dict) return CallError::null_object();
        for (auto entry : node_data(self).attrs) {
            auto key = str_from(entry.key);
            if (!key) return std::move(key).error();
            auto value = str_from(entry.value);
            if (!value) return std::move(value).error();
            if (PyDict_SetItem(dict.get(), key->get(), value->get()) < 0) return CallError::captured();
        }
        return dict;
    });
}

PyObject* node_get_children(PyObject* self, void*) noexcept {
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
