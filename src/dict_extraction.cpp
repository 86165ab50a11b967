// from_dict's conversion of node dicts into Node objects in one walk, and the text
// of the enum error. Runs with the interpreter lock held.
//
// The walk checks the Python types of the whole argument, in the dicts' own order,
// exactly as an extraction into an intermediate map would, and builds each node as
// soon as its dict has been read. A missing or misplaced key does not end the walk
// (a type error further on still takes precedence); it is kept as the node's
// building error and reported once the whole argument has been checked.
#include "dict_extraction.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/utf8_encode.hpp"
#include "convert.hpp"
#include "storage/attr_map.hpp"
#include "storage/document_buffer.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

constexpr std::string_view kEnumHeader =
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

void append_variant_line(std::string& out, std::string_view variant) {
    out += "\n- variant ";
    out += variant;
    out += " (";
    out += variant;
    out += "): TypeError: failed to extract field HashmapTypes::";
    out += variant;
    out += ".0, caused by ";
}

// "{type}: {message}" of one exception object; its __str__ may run.
void append_exception(std::string& out, PyObject* exception) {
    out += type_name_of(exception);
    out += ": ";
    PyRef text = PyRef::adopt(PyObject_Str(exception));
    Py_ssize_t size = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (bytes == nullptr) {
        PyErr_Clear();
        out += "<exception str() failed>";
        return;
    }
    out.append(bytes, static_cast<std::size_t>(size));
}

// One error written as "{type}: {message}", then ", caused by {type}: {message}"
// for each exception in its cause chain.
void append_error(std::string& out, const CallError& error) {
    switch (error.kind()) {
        case CallError::Kind::Type: out += "TypeError: "; break;
        case CallError::Kind::Value: out += "ValueError: "; break;
        case CallError::Kind::Overflow: out += "OverflowError: "; break;
        case CallError::Kind::OsErrno:
        case CallError::Kind::OsMessage: out += "OSError: "; break;
        case CallError::Kind::Internal: out += "PanicException: "; break;
        case CallError::Kind::Captured: {
            PyObject* exception = error.captured_exception();
            if (exception == nullptr) {
                out += "SystemError: no exception was set";
                return;
            }
            append_exception(out, exception);
            // A cause chain may loop back on itself; each exception is written once.
            std::vector<PyObject*> seen{exception};
            PyRef cause = PyRef::adopt(PyException_GetCause(exception));
            while (cause && std::find(seen.begin(), seen.end(), cause.get()) == seen.end()) {
                seen.push_back(cause.get());
                out += ", caused by ";
                append_exception(out, cause.get());
                cause = PyRef::adopt(PyException_GetCause(cause.get()));
            }
            return;
        }
    }
    out += error.message();
}

// The entries of a dict in its own order, refusing to go on when the dict changes
// size or yields more entries than it had when the walk began. Python code run
// between two steps may change the dict; the key and value are owned references
// for that reason.
class DictCursor {
public:
    explicit DictCursor(PyRef dict) noexcept
        : dict_(std::move(dict)), initial_size_(PyDict_GET_SIZE(dict_.get())), remaining_(initial_size_) {}

    [[nodiscard]] PyObject* dict() const noexcept { return dict_.get(); }
    [[nodiscard]] Py_ssize_t initial_size() const noexcept { return initial_size_; }

    // True with the next entry, false at the end, or the internal failure.
    [[nodiscard]] CallResult<bool> next(PyRef& key, PyRef& value) {
        if (PyDict_GET_SIZE(dict_.get()) != initial_size_) {
            return CallError::internal("dictionary changed size during iteration");
        }
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        if (!PyDict_Next(dict_.get(), &position_, &borrowed_key, &borrowed_value)) return false;
        if (remaining_ == 0) return CallError::internal("dictionary keys changed during iteration");
        --remaining_;
        key = PyRef::share(borrowed_key);
        value = PyRef::share(borrowed_value);
        return true;
    }

private:
    PyRef dict_;
    Py_ssize_t position_ = 0;
    Py_ssize_t initial_size_;
    Py_ssize_t remaining_;
};

// Where the nodes of one conversion live: a document of their own that holds no
// markup, whose NodeArena takes the node blocks together with the UTF-8 bytes of
// every name, text, attribute key and value. Each node holds a reference to that
// document, so the memory goes with the last node of the tree; a conversion that
// fails drops the nodes it made, and with them the arena. Nothing is allocated
// per string or per node, and a str's own UTF-8 form is never cached on it.
class TreeStore {
public:
    explicit TreeStore(PyTypeObject* type) noexcept : type_(type) {}

    // The UTF-8 form of `object` in the arena (borrowed by the node that gets it), or
    // the String variant's error: the type mismatch for anything but a str, the
    // interpreter's encoding error for a str with surrogates. Throws std::bad_alloc.
    CallResult<StrRef> string(PyObject* object) {
        if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
        auto units = code_units_of(object);
        if (units) {
            std::optional<std::string_view> stored = stored_utf8(object);
            if (stored) return copy(*stored);
            const std::size_t length = utf8_encoded_length(units.value());
            if (length != kUtf8HasSurrogate) {
                char* bytes = allocate(length);
                (void)encode_utf8_units(units.value(), bytes);
                return StrRef::borrowed_bytes(bytes, length);
            }
        }
        // No UTF-8 form: the interpreter's own encoder says why.
        auto bytes = utf8_of(object);
        if (!bytes) return std::move(bytes).error();
        return copy(bytes.value());
    }

    // A node of the record `data` and the nodes in `children`, whose references it
    // takes over (the list is left empty). Throws std::bad_alloc.
    PyRef place(NodeData& data, std::vector<PyObject*>& children) {
        ready();
        data.buffer = BufferRef::share(buffer_.get());
        PyObject* node = place_arena_node(*arena_, type_, data, children.data(), children.size());
        if (node == nullptr) throw std::bad_alloc();
        children.clear();
        publish_arena_nodes(type_, 1);
        return PyRef::adopt(node);
    }

private:
    void ready() {
        if (arena_ != nullptr) return;
        if (!buffer_) buffer_ = BufferRef::adopt(DocumentBuffer::create_owned(nullptr, 0));
        NodeArena* arena = NodeArena::create(0);
        if (arena == nullptr) throw std::bad_alloc();
        buffer_->attach(arena, &NodeArena::destroy);
        arena_ = arena;
    }
    char* allocate(std::size_t size) {
        static char empty[1];
        if (size == 0) return empty;  // the arena may have no chunk yet
        ready();
        void* block = arena_->allocate(size);
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<char*>(block);
    }
    StrRef copy(std::string_view bytes) {
        char* block = allocate(bytes.size());
        if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
        return StrRef::borrowed_bytes(block, bytes.size());
    }

    BufferRef buffer_;
    NodeArena* arena_ = nullptr;  // attached to buffer_, freed with it
    PyTypeObject* type_;
};

// The `Map` variant: a dict whose keys and values are all str. An error of kind
// Internal ends the whole conversion; any other is the variant's error.
CallResult<AttrPairs> extract_string_map(PyObject* object, TreeStore& store) {
    if (!PyDict_Check(object)) return type_mismatch(object, "dict");
    DictCursor cursor(PyRef::share(object));
    AttrPairs attrs;
    attrs.pairs.reserve(static_cast<std::size_t>(cursor.initial_size()));
    PyRef key;
    PyRef value;
    while (true) {
        auto more = cursor.next(key, value);
        if (!more) return std::move(more).error();
        if (!more.value()) break;
        auto key_text = store.string(key.get());
        if (!key_text) return std::move(key_text).error();
        auto value_text = store.string(value.get());
        if (!value_text) return std::move(value_text).error();
        if (!PyUnicode_CheckExact(key.get())) attrs.keys_distinct = false;
        attrs.pairs.emplace_back(std::move(key_text).value(), std::move(value_text).value());
    }
    return attrs;
}

// The variants of a node dict's value, in the order conversion tries them.
enum class Variant { String, Vec, NullableString, Map };

// The keys building reads; every other key's value is checked and dropped.
enum class Field { Name, Attrs, Children, Text, Other };

// The nodes made from a `Vec` value's dicts, in order, and the building error of
// the first dict that could not become a node (after which no more are kept). The
// list owns its references until a node takes them over.
struct ChildNodes {
    std::vector<PyObject*> nodes;
    std::optional<CallError> first_error;

    ChildNodes() noexcept = default;
    ChildNodes(ChildNodes&& other) noexcept
        : nodes(std::move(other.nodes)), first_error(std::move(other.first_error)) {
        other.nodes.clear();
    }
    ChildNodes& operator=(ChildNodes&& other) noexcept {
        if (this != &other) {
            drop();
            nodes = std::move(other.nodes);
            other.nodes.clear();
            first_error = std::move(other.first_error);
        }
        return *this;
    }
    ChildNodes(const ChildNodes&) = delete;
    ChildNodes& operator=(const ChildNodes&) = delete;
    ~ChildNodes() { drop(); }

    void push(PyRef node) {
        nodes.push_back(node.get());
        (void)node.release();  // held by the list now
    }
    void drop() noexcept {
        for (PyObject* node : nodes) Py_DECREF(node);
        nodes.clear();
    }
};

// What a node dict holds under the four keys building reads: the variant of the
// last value seen under each (absent: the key is missing), with the payload that
// building takes from it.
struct NodeParts {
    std::optional<Variant> name_variant;
    StrRef name;
    std::optional<Variant> attrs_variant;
    AttrPairs attrs;
    std::optional<Variant> children_variant;
    ChildNodes children;
    std::optional<Variant> text_variant;
    std::optional<StrRef> text;

    void place_string(Field field, StrRef&& value) {
        switch (field) {
            case Field::Name: name = std::move(value); break;
            case Field::Text: text = std::move(value); break;
            default: break;
        }
        set_variant(field, Variant::String);
    }
    void place_nullable_string(Field field, std::optional<StrRef> value) {
        if (field == Field::Text) text = std::move(value);
        set_variant(field, Variant::NullableString);
    }
    void place_vec(Field field, ChildNodes&& nodes) {
        if (field == Field::Children) children = std::move(nodes);
        set_variant(field, Variant::Vec);
    }
    void place_map(Field field, AttrPairs&& pairs) {
        if (field == Field::Attrs) attrs = std::move(pairs);
        set_variant(field, Variant::Map);
    }

private:
    // Records the variant of the field's latest value and drops the payload an
    // earlier value of another variant left.
    void set_variant(Field field, Variant variant) {
        switch (field) {
            case Field::Name:
                name_variant = variant;
                if (variant != Variant::String) name = StrRef();
                break;
            case Field::Attrs:
                attrs_variant = variant;
                if (variant != Variant::Map) attrs = AttrPairs();
                break;
            case Field::Children:
                children_variant = variant;
                if (variant != Variant::Vec) children = ChildNodes();
                break;
            case Field::Text:
                text_variant = variant;
                if (variant != Variant::String && variant != Variant::NullableString) text.reset();
                break;
            case Field::Other: break;
        }
    }
};

// How building a node from its parts ended.
struct Built {
    PyRef node;                           // set on success
    std::optional<CallError> invalid;     // a missing or misplaced key: the ValueError
};

// Builds a node from a dict's parts, checking the keys in the order name, attrs,
// children, then the first child that could not be built. Throws std::bad_alloc.
Built build_node(NodeParts&& parts, TreeStore& store) {
    Built built;
    if (parts.name_variant != Variant::String) {
        built.invalid = CallError::value_error("Invalid name");
        return built;
    }
    if (parts.attrs_variant != Variant::Map) {
        built.invalid = CallError::value_error("Invalid attrs");
        return built;
    }
    if (parts.children_variant != Variant::Vec) {
        built.invalid = CallError::value_error("Invalid children");
        return built;
    }
    if (parts.children.first_error) {
        built.invalid = std::move(parts.children.first_error);
        return built;
    }
    NodeData data;
    data.name = std::move(parts.name);
    // A `Vec` or `Map` text has been dropped already: only a str or None is left.
    data.text = std::move(parts.text);
    data.attrs = attr_map_from(std::move(parts.attrs));
    built.node = store.place(data, parts.children.nodes);
    return built;
}

// A dict being read into the parts of one node.
struct MapFrame {
    DictCursor cursor;
    NodeParts parts;
};

// A value being tried as the `Vec` variant: its sequence is being iterated, each
// item read as a node dict in a MapFrame above this one.
struct SequenceFrame {
    PyRef value;
    PyRef iterator;
    ChildNodes children;
    Field field;  // where the value goes in the node below
};

// Why the `String` variant refused `value` (which the caller saw it refuse). The
// errors of refused variants are only built once a value fits no variant at all,
// so that the values that fit pay nothing for them.
CallError string_error_of(PyObject* value) {
    if (!PyUnicode_Check(value)) return type_mismatch(value, "str");
    auto bytes = utf8_of(value);
    if (!bytes) return std::move(bytes).error();
    return CallError::internal("a str gained a UTF-8 form during conversion");
}

// Why the `Vec` variant refuses a value that is not a sequence (or is a str).
CallError vec_error_of(PyObject* value) {
    if (PyUnicode_Check(value)) return str_is_not_a_sequence();
    return not_a_sequence(value);
}

enum class Placement { Placed, FitsNoVariant, Aborted };

// The dicts of the map frames on the current path, for finding a dict met again
// inside itself. Open addressing with linear probing over a table kept at most half
// full. Dicts leave in the reverse order of their arrival, so taking the last one
// out only empties its slot: every dict that arrived later, and could have probed
// past that slot, has left already.
class PathSet {
public:
    // Adds `dict`; false (and nothing added) when it is on the path already.
    bool push(PyObject* dict) {
        if ((arrivals_.size() + 1) * 2 > slots_.size()) grow();
        const std::size_t slot = free_slot_or_found(dict);
        if (slots_[slot] == dict) return false;
        slots_[slot] = dict;
        arrivals_.push_back(Arrival{dict, slot});
        return true;
    }
    // Removes the dict pushed last.
    void pop() noexcept {
        slots_[arrivals_.back().slot] = nullptr;
        arrivals_.pop_back();
    }

private:
    struct Arrival {
        PyObject* dict;
        std::size_t slot;
    };

    std::size_t free_slot_or_found(PyObject* dict) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::uint64_t mixed = (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(dict)) >> 4) *
                              0x9E3779B97F4A7C15ULL;
        std::size_t slot = static_cast<std::size_t>(mixed >> 32) & mask;
        while (slots_[slot] != nullptr && slots_[slot] != dict) slot = (slot + 1) & mask;
        return slot;
    }

    // Doubles the table and places the dicts again in their order of arrival.
    void grow() {
        slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, nullptr);
        for (Arrival& arrival : arrivals_) {
            arrival.slot = free_slot_or_found(arrival.dict);
            slots_[arrival.slot] = arrival.dict;
        }
    }

    std::vector<PyObject*> slots_;
    std::vector<Arrival> arrivals_;
};

class Conversion {
public:
    explicit Conversion(PyTypeObject* type) noexcept : store_(type) {}
    CallResult<PyRef> run(PyObject* root);

private:
    // Outcome of one step: go on, or the conversion has ended with an error.
    using Step = std::optional<CallError>;

    Step step_map();
    Step step_sequence();
    // The top map frame has been read: builds its node and hands it to the
    // sequence below, or ends the conversion at the root.
    Step finish_map();
    Step push_map(PyRef dict);
    // Which field of a node a key names; the key's own error when it is not a str
    // with a UTF-8 form.
    CallResult<Field> field_of(PyObject* key);
    // Tries `NullableString` and then `Map` for a value that `String` and `Vec`
    // refused, `error` holding the `Vec` variant's error. Placed: stored in
    // `parts`. FitsNoVariant: `error` has become the value's enum error. Aborted:
    // `internal` holds an internal failure.
    Placement place_after_vec(NodeParts& parts, Field field, PyObject* value, ExtractionError& error,
                              std::optional<CallError>& internal);
    // The top map frame failed with `error`: unwinds through the frames below it.
    Step fail_map(ExtractionError error);
    void pop_map() {
        on_path_.pop();
        maps_.pop_back();
    }

    // Declared first: the frames' strings borrow its memory.
    TreeStore store_;
    std::vector<MapFrame> maps_;
    std::vector<SequenceFrame> sequences_;
    // The dicts of the map frames: a dict met again while it is being read
    // contains itself.
    PathSet on_path_;
    std::optional<CallResult<PyRef>> result_;
};

CallResult<PyRef> Conversion::run(PyObject* root) {
    Step pushed = push_map(PyRef::share(root));
    if (pushed) return std::move(*pushed);
    while (!result_) {
        // The frames alternate map, sequence, map, ...: the top is a sequence
        // exactly when there are as many sequence frames as map frames.
        Step failed = sequences_.size() == maps_.size() ? step_sequence() : step_map();
        if (failed) return std::move(*failed);
    }
    return std::move(*result_);
}

Conversion::Step Conversion::push_map(PyRef dict) {
    if (!on_path_.push(dict.get())) {
        return CallError::value_error("Invalid children: a dictionary contains itself");
    }
    maps_.push_back(MapFrame{DictCursor(std::move(dict)), NodeParts()});
    return std::nullopt;
}

CallResult<Field> Conversion::field_of(PyObject* key) {
    if (!PyUnicode_Check(key)) return type_mismatch(key, "str");
    auto bytes = utf8_of(key);
    if (!bytes) return std::move(bytes).error();
    std::string_view name = bytes.value();
    if (name == "name") return Field::Name;
    if (name == "attrs") return Field::Attrs;
    if (name == "children") return Field::Children;
    if (name == "text") return Field::Text;
    return Field::Other;
}

Conversion::Step Conversion::finish_map() {
    NodeParts parts(std::move(maps_.back().parts));
    pop_map();
    Built built = build_node(std::move(parts), store_);
    if (maps_.empty()) {
        if (built.invalid) {
            result_ = CallResult<PyRef>(std::move(*built.invalid));
        } else {
            result_ = CallResult<PyRef>(std::move(built.node));
        }
        return std::nullopt;
    }
    ChildNodes& siblings = sequences_.back().children;
    if (siblings.first_error) return std::nullopt;
    if (built.invalid) {
        siblings.first_error = std::move(built.invalid);
        siblings.drop();
    } else {
        siblings.push(std::move(built.node));
    }
    return std::nullopt;
}

Conversion::Step Conversion::step_map() {
    MapFrame& frame = maps_.back();
    PyRef key_object;
    PyRef value_object;
    auto more = frame.cursor.next(key_object, value_object);
    if (!more) return std::move(more).error();
    if (!more.value()) return finish_map();

    // A key that is not a str fails the map directly, not as an enum error.
    auto field_result = field_of(key_object.get());
    if (!field_result) return fail_map(ExtractionError(std::move(field_result).error()));
    const Field field = field_result.value();
    PyObject* value = value_object.get();

    // The variants in order: String, Vec, NullableString, Map. None is neither a
    // str nor a sequence, and a dict never passes the sequence check, so the
    // first two refuse them without running any code and are skipped here.
    if (PyUnicode_Check(value)) {
        if (field == Field::Name || field == Field::Text) {
            auto text = store_.string(value);
            if (text) {
                frame.parts.place_string(field, std::move(text).value());
                return std::nullopt;
            }
        } else if (utf8_of(value)) {
            // Checked, and dropped.
            frame.parts.place_string(field, StrRef());
            return std::nullopt;
        }
    } else if (value == Py_None) {
        frame.parts.place_nullable_string(field, std::nullopt);
        return std::nullopt;
    } else if (PySequence_Check(value)) {
        std::size_t capacity = sequence_capacity_hint(value);
        PyRef iterator = PyRef::adopt(PyObject_GetIter(value));
        if (iterator) {
            SequenceFrame sequence{std::move(value_object), std::move(iterator), ChildNodes(), field};
            sequence.children.nodes.reserve(capacity);
            sequences_.push_back(std::move(sequence));
            return std::nullopt;
        }
        ExtractionError error{CallError::captured()};
        std::optional<CallError> internal;
        Placement placement = place_after_vec(frame.parts, field, value, error, internal);
        if (placement == Placement::Aborted) return std::move(*internal);
        if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
        return std::nullopt;
    }

    if (PyDict_Check(value)) {
        // Only `Map` can take a dict; the errors of the others are built below
        // only when it refuses (trying it again then gives the same error, as no
        // Python code runs in between).
        auto pairs = extract_string_map(value, store_);
        if (pairs) {
            frame.parts.place_map(field, std::move(pairs).value());
            return std::nullopt;
        }
        if (pairs.error().kind() == CallError::Kind::Internal) return std::move(pairs).error();
    }
    CallError vec_error = vec_error_of(value);
    if (vec_error.kind() == CallError::Kind::Internal) return vec_error;
    ExtractionError error{std::move(vec_error)};
    std::optional<CallError> internal;
    Placement placement = place_after_vec(frame.parts, field, value, error, internal);
    if (placement == Placement::Aborted) return std::move(*internal);
    if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
    return std::nullopt;
}

Conversion::Step Conversion::step_sequence() {
    SequenceFrame& sequence = sequences_.back();
    PyRef item = PyRef::adopt(PyIter_Next(sequence.iterator.get()));
    std::optional<CallError> vec_error;
    if (!item) {
        if (PyErr_Occurred() == nullptr) {
            SequenceFrame done(std::move(sequence));
            sequences_.pop_back();
            maps_.back().parts.place_vec(done.field, std::move(done.children));
            return std::nullopt;
        }
        vec_error = CallError::captured();
    } else if (!PyDict_Check(item.get())) {
        vec_error = type_mismatch(item.get(), "dict");
    } else {
        return push_map(std::move(item));
    }

    SequenceFrame failed(std::move(sequence));
    sequences_.pop_back();
    ExtractionError error{std::move(*vec_error)};
    std::optional<CallError> internal;
    Placement placement = place_after_vec(maps_.back().parts, failed.field, failed.value.get(), error, internal);
    if (placement == Placement::Aborted) return std::move(*internal);
    if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
    return std::nullopt;
}

Placement Conversion::place_after_vec(NodeParts& parts, Field field, PyObject* value, ExtractionError& error,
                                      std::optional<CallError>& internal) {
    if (value == Py_None) {
        parts.place_nullable_string(field, std::nullopt);
        return Placement::Placed;
    }
    auto text = store_.string(value);
    if (text) {
        parts.place_nullable_string(field, std::move(text).value());
        return Placement::Placed;
    }
    CallError nullable_string_error = std::move(text).error();

    auto pairs = extract_string_map(value, store_);
    if (pairs) {
        parts.place_map(field, std::move(pairs).value());
        return Placement::Placed;
    }
    if (pairs.error().kind() == CallError::Kind::Internal) {
        internal = std::move(pairs).error();
        return Placement::Aborted;
    }
    CallError string_error = string_error_of(value);
    if (string_error.kind() == CallError::Kind::Internal) {
        internal = std::move(string_error);
        return Placement::Aborted;
    }
    error.nest_in_enum(std::move(string_error), std::move(nullable_string_error), std::move(pairs).error());
    return Placement::FitsNoVariant;
}

Conversion::Step Conversion::fail_map(ExtractionError error) {
    // Each failed map fails the `Vec` attempt of the value holding it; when that
    // value fits no later variant either, the map below fails in turn.
    while (true) {
        pop_map();
        if (maps_.empty()) return std::move(error).into_call_error().noting("dict_");
        SequenceFrame failed(std::move(sequences_.back()));
        sequences_.pop_back();
        std::optional<CallError> internal;
        Placement placement = place_after_vec(maps_.back().parts, failed.field, failed.value.get(), error, internal);
        if (placement == Placement::Aborted) return std::move(*internal);
        if (placement == Placement::Placed) return std::nullopt;
    }
}

}  // namespace

void ExtractionError::nest_in_enum(CallError string_error, CallError nullable_string_error, CallError map_error) {
    levels_.push_back(EnumLevel{std::move(string_error), std::move(nullable_string_error), std::move(map_error)});
}

CallError ExtractionError::into_call_error() && {
    if (levels_.empty()) return std::move(innermost_);
    // Written from the outermost level in: each level's `Vec` line ends with the
    // next level's whole message, after which the levels' remaining lines follow
    // from the innermost out. One pass, linear in the length of the message.
    std::string message;
    for (std::size_t remaining = levels_.size(); remaining > 0; --remaining) {
        const EnumLevel& level = levels_[remaining - 1];
        if (remaining != levels_.size()) message += "TypeError: ";
        message += kEnumHeader;
        append_variant_line(message, "String");
        append_error(message, level.string_error);
        append_variant_line(message, "Vec");
    }
    append_error(message, innermost_);
    for (const EnumLevel& level : levels_) {
        append_variant_line(message, "NullableString");
        append_error(message, level.nullable_string_error);
        append_variant_line(message, "Map");
        append_error(message, level.map_error);
    }
    return CallError::type_error(std::move(message));
}


CallResult<PyRef> node_tree_from_dict(PyObject* object) {
    auto type = obtain_node_type();
    if (!type) return std::move(type).error();
    Conversion conversion(type.value());
    return conversion.run(object);
}

}  // namespace vorlane
