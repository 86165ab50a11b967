// Extraction of node dicts into NodeMap values, and the text of the enum error.
// Runs with the interpreter lock held.
#include "dict_extraction.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "convert.hpp"
#include "storage/attr_map.hpp"

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

// The owned UTF-8 copy of a str, or the variant's error: the type mismatch for
// anything else, the interpreter's encoding error for a str without a UTF-8 form.
CallResult<StrRef> owned_string(PyObject* object) {
    if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
    auto bytes = utf8_of(object);
    if (!bytes) return std::move(bytes).error();
    return StrRef::owned(bytes.value());
}

// A key of a node map: a str, copied.
CallResult<std::string> owned_key(PyObject* object) {
    if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
    auto bytes = utf8_of(object);
    if (!bytes) return std::move(bytes).error();
    return std::string(bytes.value());
}

// The `Map` variant: a dict whose keys and values are all str. An error of kind
// Internal ends the whole extraction; any other is the variant's error.
CallResult<StringMap> extract_string_map(PyObject* object) {
    if (!PyDict_Check(object)) return type_mismatch(object, "dict");
    DictCursor cursor(PyRef::share(object));
    StringMap pairs(draw_hash_keys(), static_cast<std::size_t>(cursor.initial_size()));
    PyRef key;
    PyRef value;
    while (true) {
        auto more = cursor.next(key, value);
        if (!more) return std::move(more).error();
        if (!more.value()) break;
        auto key_text = owned_string(key.get());
        if (!key_text) return std::move(key_text).error();
        auto value_text = owned_string(value.get());
        if (!value_text) return std::move(value_text).error();
        pairs.insert(std::move(key_text).value(), std::move(value_text).value());
    }
    return pairs;
}

// A dict being extracted into a node map.
struct MapFrame {
    DictCursor cursor;
    NodeMap map;
};

// A value being tried as the `Vec` variant: its sequence is being iterated, each
// item extracted as a node map in a MapFrame above this one.
struct SequenceFrame {
    PyRef value;
    PyRef iterator;
    NodeMapList maps;
    std::string key;  // where the value goes in the map below
};

// Room reserved for the items of a sequence: its length, taken from lists and
// tuples as is and otherwise bounded, since a custom __len__ may report anything.
std::size_t capacity_hint(PyObject* sequence) {
    Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    if (PyList_Check(sequence) || PyTuple_Check(sequence)) return static_cast<std::size_t>(length);
    return std::min<std::size_t>(static_cast<std::size_t>(length), 1024);
}

MapFrame new_map_frame(PyRef dict) {
    DictCursor cursor(std::move(dict));
    auto size = static_cast<std::size_t>(cursor.initial_size());
    return MapFrame{std::move(cursor), NodeMap(draw_hash_keys(), size)};
}

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

class Extraction {
public:
    Result<NodeMap, CallError> run(PyObject* root);

private:
    // Outcome of one step: go on, or the extraction has ended with an error.
    using Step = std::optional<CallError>;

    Step step_map();
    Step step_sequence();
    // Tries `NullableString` and then `Map` for a value that `String` and `Vec`
    // refused, `error` holding the `Vec` variant's error. Placed: inserted under
    // `key`. FitsNoVariant: `error` has become the value's enum error. Aborted:
    // `internal` holds an internal failure.
    Placement place_after_vec(MapFrame& frame, std::string& key, PyObject* value, ExtractionError& error,
                              std::optional<CallError>& internal);
    // The top map frame failed with `error`: unwinds through the frames below it.
    Step fail_map(ExtractionError error);

    std::vector<MapFrame> maps_;
    std::vector<SequenceFrame> sequences_;
    std::optional<NodeMap> result_;
};

Result<NodeMap, CallError> Extraction::run(PyObject* root) {
    maps_.push_back(new_map_frame(PyRef::share(root)));
    while (!result_) {
        // The frames alternate map, sequence, map, ...: the top is a sequence
        // exactly when there are as many sequence frames as map frames.
        Step failed = sequences_.size() == maps_.size() ? step_sequence() : step_map();
        if (failed) return std::move(*failed);
    }
    return std::move(*result_);
}

Extraction::Step Extraction::step_map() {
    MapFrame& frame = maps_.back();
    PyRef key_object;
    PyRef value_object;
    auto more = frame.cursor.next(key_object, value_object);
    if (!more) return std::move(more).error();
    if (!more.value()) {
        NodeMap done(std::move(frame.map));
        maps_.pop_back();
        if (maps_.empty()) {
            result_ = std::move(done);
        } else {
            sequences_.back().maps.items().push_back(std::move(done));
        }
        return std::nullopt;
    }

    // A key that is not a str fails the map directly, not as an enum error.
    auto key = owned_key(key_object.get());
    if (!key) return fail_map(ExtractionError(std::move(key).error()));
    PyObject* value = value_object.get();

    // The variants in order: String, Vec, NullableString, Map. None is neither a
    // str nor a sequence, and a dict never passes the sequence check, so the
    // first two refuse them without running any code and are skipped here.
    if (PyUnicode_Check(value)) {
        auto bytes = utf8_of(value);
        if (bytes) {
            frame.map.insert(std::move(key).value(), HashmapTypes::string(StrRef::owned(bytes.value())));
            return std::nullopt;
        }
    } else if (value == Py_None) {
        frame.map.insert(std::move(key).value(), HashmapTypes::nullable_string(std::nullopt));
        return std::nullopt;
    } else if (PySequence_Check(value)) {
        std::size_t capacity = capacity_hint(value);
        PyRef iterator = PyRef::adopt(PyObject_GetIter(value));
        if (iterator) {
            SequenceFrame sequence{std::move(value_object), std::move(iterator), NodeMapList(),
                                   std::move(key).value()};
            sequence.maps.items().reserve(capacity);
            sequences_.push_back(std::move(sequence));
            return std::nullopt;
        }
        ExtractionError error{CallError::captured()};
        std::string placed_key = std::move(key).value();
        std::optional<CallError> internal;
        Placement placement = place_after_vec(frame, placed_key, value, error, internal);
        if (placement == Placement::Aborted) return std::move(*internal);
        if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
        return std::nullopt;
    }

    if (PyDict_Check(value)) {
        // Only `Map` can take a dict; the errors of the others are built below
        // only when it refuses (trying it again then gives the same error, as no
        // Python code runs in between).
        auto pairs = extract_string_map(value);
        if (pairs) {
            frame.map.insert(std::move(key).value(), HashmapTypes::map(std::move(pairs).value()));
            return std::nullopt;
        }
        if (pairs.error().kind() == CallError::Kind::Internal) return std::move(pairs).error();
    }
    CallError vec_error = vec_error_of(value);
    if (vec_error.kind() == CallError::Kind::Internal) return vec_error;
    ExtractionError error{std::move(vec_error)};
    std::string placed_key = std::move(key).value();
    std::optional<CallError> internal;
    Placement placement = place_after_vec(frame, placed_key, value, error, internal);
    if (placement == Placement::Aborted) return std::move(*internal);
    if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
    return std::nullopt;
}

Extraction::Step Extraction::step_sequence() {
    SequenceFrame& sequence = sequences_.back();
    PyRef item = PyRef::adopt(PyIter_Next(sequence.iterator.get()));
    std::optional<CallError> vec_error;
    if (!item) {
        if (PyErr_Occurred() == nullptr) {
            SequenceFrame done(std::move(sequence));
            sequences_.pop_back();
            maps_.back().map.insert(std::move(done.key), HashmapTypes::vec(std::move(done.maps)));
            return std::nullopt;
        }
        vec_error = CallError::captured();
    } else if (!PyDict_Check(item.get())) {
        vec_error = type_mismatch(item.get(), "dict");
    } else {
        maps_.push_back(new_map_frame(std::move(item)));
        return std::nullopt;
    }

    SequenceFrame failed(std::move(sequence));
    sequences_.pop_back();
    ExtractionError error{std::move(*vec_error)};
    std::optional<CallError> internal;
    Placement placement = place_after_vec(maps_.back(), failed.key, failed.value.get(), error, internal);
    if (placement == Placement::Aborted) return std::move(*internal);
    if (placement == Placement::FitsNoVariant) return fail_map(std::move(error));
    return std::nullopt;
}

Placement Extraction::place_after_vec(MapFrame& frame, std::string& key, PyObject* value, ExtractionError& error,
                                      std::optional<CallError>& internal) {
    if (value == Py_None) {
        frame.map.insert(std::move(key), HashmapTypes::nullable_string(std::nullopt));
        return Placement::Placed;
    }
    auto text = owned_string(value);
    if (text) {
        frame.map.insert(std::move(key), HashmapTypes::nullable_string(std::move(text).value()));
        return Placement::Placed;
    }
    CallError nullable_string_error = std::move(text).error();

    auto pairs = extract_string_map(value);
    if (pairs) {
        frame.map.insert(std::move(key), HashmapTypes::map(std::move(pairs).value()));
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

Extraction::Step Extraction::fail_map(ExtractionError error) {
    // Each failed map fails the `Vec` attempt of the value holding it; when that
    // value fits no later variant either, the map below fails in turn.
    while (true) {
        maps_.pop_back();
        if (maps_.empty()) return std::move(error).into_call_error();
        SequenceFrame failed(std::move(sequences_.back()));
        sequences_.pop_back();
        std::optional<CallError> internal;
        Placement placement = place_after_vec(maps_.back(), failed.key, failed.value.get(), error, internal);
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

Result<NodeMap, CallError> extract_node_map(PyObject* object) {
    Extraction extraction;
    return extraction.run(object);
}

}  // namespace vorlane
