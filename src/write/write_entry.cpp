// write_string and write_file: convert the arguments under the interpreter lock,
// then render the tree straight from the Node objects with the lock released.
//
// Why the render may read the nodes without the lock:
// - A node's record (name, text, attributes, child pointers) is complete before the
//   Node object is published and is never written again: the type has no
//   initialiser, setter or clear slot that changes it, and cannot be subclassed.
//   Releasing and re-taking the lock orders those writes before our reads.
// - The root is the call's argument, and the caller's reference keeps it alive for
//   the whole call (the entry point owns no reference across a lock release, see
//   boundary.hpp). Every node owns strong references to its children, in a list
//   that never changes, so
//   every node reachable from the root keeps a count of at least one for as long as
//   the root lives: no node of the tree, and no DocumentBuffer its spans point into,
//   can be freed during the call.
// - Other threads run meanwhile and may take and drop their own references to any
//   node of the tree, the root included. That changes only the objects' reference
//   counts, which the render neither reads nor writes, and it cannot free a
//   reachable node (previous point). Nodes that become unreachable are not visited.
// - The render touches no reference count and no other Python object: it reads the
//   records and the bytes of their strings, and writes only into its own sink.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "module_functions.hpp"
#include "storage/node_object.hpp"
#include "write/text_units.hpp"
#include "write/xml_writer.hpp"

namespace vorlane {

namespace {

// The Node objects as a tree for write_element: each record is read in place.
struct NodeObjectTree {
    using Record = std::remove_cv_t<std::remove_reference_t<decltype(node_data(std::declval<PyObject*>()))>>;
    static const Record& child(const Record& parent, std::size_t index) noexcept {
        return node_data(parent.children[index]);
    }
};

// Outputs at least this long are converted into the result str with the lock
// released; shorter ones are not worth the hand-over.
constexpr std::size_t kUnlockedConversionBytes = 256 * 1024;

// The result str of write_string, from output already checked to be UTF-8 and
// measured. The str is created at its final length and width and filled straight
// from the bytes: ASCII is copied as it is, anything else converted once, with no
// decoding pass of the interpreter's. A large output is converted with the lock
// released: the str is new and reachable from nowhere but `text`, and the
// conversion writes only its character data, never its header or reference count.
// The sink's bytes are freed once converted, a large output's with the lock released.
CallResult<PyRef> str_from_output(StringSink& sink, TextShape shape) {
    const std::string_view bytes = sink.view();
    PyRef text = PyRef::adopt(PyUnicode_New(static_cast<Py_ssize_t>(shape.length), shape.max_char));
    if (!text) return CallError::null_object();
    const int kind = PyUnicode_KIND(text.get());
    void* units = PyUnicode_DATA(text.get());
    auto convert = [&] {
        if (shape.max_char == 127) {
            std::memcpy(units, bytes.data(), bytes.size());
        } else if (kind == PyUnicode_1BYTE_KIND) {
            utf8_to_ucs1(bytes, static_cast<std::uint8_t*>(units), shape.length);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            utf8_to_ucs2(bytes, static_cast<std::uint16_t*>(units), shape.length);
        } else {
            utf8_to_ucs4(bytes, static_cast<std::uint32_t*>(units), shape.length);
        }
    };
    if (bytes.size() < kUnlockedConversionBytes) {
        convert();
        return text;
    }
    // No owned reference may live in a frame across a lock release (a thread ended
    // at interpreter exit unwinds through it): the new str is held raw meanwhile.
    PyObject* filling = text.release();
    without_interpreter_lock([&](InterpreterLockReleased&) {
        convert();
        sink.release();
        return true;
    });
    return PyRef::adopt(filling);
}

const Signature kWriteStringSignature("write_string()", {"node", "indent", "default_xml_def"}, 1);
const Signature kWriteFileSignature("write_file()", {"node", "file_path", "indent", "default_xml_def"}, 2);

constexpr std::uint32_t kDefaultIndent = 4;

// `indent`: absent gives 4; otherwise an integer (anything with __index__) in 0 to
// 4294967295.
CallResult<std::uint32_t> indent_argument(PyObject* object) {
    if (object == nullptr) return kDefaultIndent;
    PyRef number = PyRef::adopt(PyNumber_Index(object));
    if (!number) return CallError::captured().noting("indent");
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyRef zero = PyRef::adopt(PyLong_FromLong(0));
        int negative = zero ? PyObject_RichCompareBool(number.get(), zero.get(), Py_LT) : -1;
        if (negative != 0) return CallError::captured().noting("indent");
        PyErr_Clear();
        return CallError::overflow("number too large to fit in target type").noting("indent");
    }
    if (value > UINT32_MAX) return CallError::overflow("number too large to fit in target type").noting("indent");
    return static_cast<std::uint32_t>(value);
}

// A NumPy boolean scalar, recognised by its type without importing NumPy.
bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyRef module = PyRef::adopt(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    PyRef name = PyRef::adopt(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// `default_xml_def`: absent gives true; a bool or a NumPy boolean scalar otherwise.
CallResult<bool> declaration_argument(PyObject* object) {
    if (object == nullptr) return true;
    if (PyBool_Check(object)) return object == Py_True;
    if (!is_numpy_bool(object)) return type_mismatch(object, "bool").noting("default_xml_def");
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        return CallError::type_error("object of type '" + type_name_of(object) +
                                     "' does not define a '__bool__' conversion")
            .noting("default_xml_def");
    }
    int truth = number->nb_bool(object);
    if (truth < 0) return CallError::captured().noting("default_xml_def");
    return truth != 0;
}

// Opens (truncating) and writes the file, then closes it; the first error wins,
// and one reported by close counts like any write error. Runs without the lock.
Result<void, WriteError> write_to_file(const std::string& path, InterruptCheck interrupted, bool declaration,
                                       std::uint32_t indent, const NodeObjectTree::Record& root) {
    auto opened = FileSink::open(path, interrupted);
    if (!opened) return WriteError(opened.error());
    FileSink sink = std::move(opened).value();
    if (declaration) {
        Result<void, IoError> appended = sink.append(XML_DECLARATION);
        if (!appended) return WriteError(appended.error());
    }
    XmlWriter<FileSink> writer{sink, indent};
    Result<void, WriteError> outcome = write_element<NodeObjectTree>(writer, root);
    if (!outcome) return outcome;
    Result<void, IoError> closed = sink.close();
    if (!closed) return WriteError(closed.error());
    return outcome;
}

CallError write_error_to_call_error(const WriteError& error) {
    if (const auto* io = std::get_if<IoError>(&error)) return io_call_error(*io);
    return CallError::internal(std::get<InvariantViolation>(error));
}

// The node argument is borrowed for the whole call: the caller's own reference
// keeps it (and with it the whole tree) alive until the call returns.
CallResult<PyRef> write_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kWriteStringSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto node = node_argument(bound.value()[0], "node");
    if (!node) return std::move(node).error();
    auto indent = indent_argument(bound.value()[1]);
    if (!indent) return std::move(indent).error();
    auto declaration = declaration_argument(bound.value()[2]);
    if (!declaration) return std::move(declaration).error();

    const NodeObjectTree::Record& root = node_data(node.value());
    struct Rendered {
        StringSink sink;
        Result<void, WriteError> written;
        std::optional<TextShape> shape;
    };
    Rendered rendered = without_interpreter_lock([&](InterpreterLockReleased&) {
        Rendered result;
        if (declaration.value()) (void)result.sink.append(XML_DECLARATION);
        XmlWriter<StringSink> writer{result.sink, indent.value()};
        result.written = write_element<NodeObjectTree>(writer, root);
        if (result.written) result.shape = text_shape(result.sink.view());
        return result;
    });
    if (!rendered.written) return write_error_to_call_error(rendered.written.error());
    if (!rendered.shape) return CallError::internal("invariant: the XML writer only emits valid UTF-8");
    return str_from_output(rendered.sink, *rendered.shape);
}

CallResult<PyRef> write_file_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kWriteFileSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto node = node_argument(bound.value()[0], "node");
    if (!node) return std::move(node).error();
    auto path = utf8_argument(bound.value()[1], "file_path");
    if (!path) return std::move(path).error();
    std::string path_copy(path.value());
    auto indent = indent_argument(bound.value()[2]);
    if (!indent) return std::move(indent).error();
    auto declaration = declaration_argument(bound.value()[3]);
    if (!declaration) return std::move(declaration).error();

    const NodeObjectTree::Record& root = node_data(node.value());
    struct Written {
        Result<void, WriteError> outcome;
        PyObject* interruption = nullptr;  // owned: the exception a signal handler raised
    };
    Written written = without_interpreter_lock([&](InterpreterLockReleased& unlocked) {
        Written result;
        SignalInterrupts interrupts(unlocked);
        result.outcome = write_to_file(path_copy, interrupts.check(), declaration.value(), indent.value(), root);
        result.interruption = interrupts.take_raised();
        return result;
    });
    if (written.interruption != nullptr) return CallError::from_exception(PyRef::adopt(written.interruption));
    if (!written.outcome) return write_error_to_call_error(written.outcome.error());
    return PyRef::share(Py_None);
}

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return write_string_body(args, nargs, kwnames); });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return write_file_body(args, nargs, kwnames); });
}

}  // namespace vorlane
