// write_string and write_file: convert the arguments under the interpreter lock,
// then render the tree straight from the Node objects with the lock released.
// write_string renders twice: once to measure the output, then into the character
// data of a str made at that length and width (see str_sinks.hpp).
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
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>


#include "binding.hpp"
#include "boundary.hpp"
#include "common/page_populator.hpp"
#include "common/prefault.hpp"
#include "convert.hpp"
#include "module_functions.hpp"
#include "storage/node_object.hpp"
#include "write/str_sinks.hpp"
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

// Outputs of at least this many code points are written into the result str with
// the lock released; shorter ones are not worth the hand-over.
constexpr std::size_t kUnlockedFillUnits = 256 * 1024;

// What the measuring rendering of write_string found: its outcome, and the shape
// of the str the output makes.
struct MeasuredOutput {
    Result<void, WriteError> written;
    std::size_t unit_count = 0;
    std::uint32_t max_char = 127;
    bool well_formed = true;
};

// The settings of one write_string rendering, shared by its two passes.
struct StringRender {
    const NodeObjectTree::Record& root;
    std::uint32_t indent;
    bool declaration;

    // Renders the output through `sink`, the declaration first when asked for.
    template <typename Sink>
    Result<void, WriteError> run(Sink& sink) const {
        if (declaration) (void)sink.append(XML_DECLARATION);
        XmlWriter<Sink> writer{sink, indent};
        return write_element<NodeObjectTree>(writer, root);
    }

    // Renders the output once more into `units`, the character data of a new str
    // of `unit_count` code units of type Unit; true when it filled them exactly.
    template <typename Unit, bool Ascii = false>
    bool fill(void* units, std::size_t unit_count) const {
        UnitSink<Unit, Ascii> sink(static_cast<Unit*>(units), unit_count);
        Result<void, WriteError> written = run(sink);
        return written && sink.complete();
    }

    // Fills the str's data for its kind (`ascii`: a compact ASCII str).
    bool fill_kind(int kind, bool ascii, void* units, std::size_t unit_count) const {
        if (ascii) return fill<std::uint8_t, true>(units, unit_count);
        if (kind == PyUnicode_1BYTE_KIND) return fill<std::uint8_t>(units, unit_count);
        if (kind == PyUnicode_2BYTE_KIND) return fill<std::uint16_t>(units, unit_count);
        return fill<std::uint32_t>(units, unit_count);
    }
};

// The result str of write_string, for a rendering already measured (and found
// well-formed): the str is created at its final length and width, and the tree is
// rendered a second time straight into its character data, with no byte buffer
// between and no decoding pass. The tree cannot change between the two passes
// (node records are immutable, see the top of this file), so the second fills the
// str exactly; a mismatch would be an internal failure, never a short str. A large
// output is rendered with the lock released: the str is new and reachable from
// nowhere but this frame, and the rendering writes only its character data, never
// its header or reference count.
CallResult<PyRef> str_from_rendering(const StringRender& render, const MeasuredOutput& measured) {
    const std::size_t unit_count = measured.unit_count;
    PyRef text = PyRef::adopt(PyUnicode_New(static_cast<Py_ssize_t>(unit_count), measured.max_char));
    if (!text) {
        // An output too large for memory is a MemoryError, as it is while rendering.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        return CallError::null_object();
    }
    const int kind = PyUnicode_KIND(text.get());
    const bool ascii = measured.max_char == 127;
    void* const units = PyUnicode_DATA(text.get());
    bool filled;
    if (unit_count < kUnlockedFillUnits) {
        filled = render.fill_kind(kind, ascii, units, unit_count);
    } else {
        // No owned reference may live in a frame across a lock release (a thread
        // ended at interpreter exit unwinds through it): the new str is held raw
        // meanwhile, and dropped by hand when the rendering throws.
        PyObject* const filling = text.release();
        try {
            filled = without_interpreter_lock([&](InterpreterLockReleased&) {
                // The rendering writes the str's character data from end to end: its
                // pages are mapped in with one call rather than one fault at a time,
                // a large output's back three quarters by a worker on a spare core,
                // which is still at it while the rendering fills the front. Rendering
                // fills memory at about half the rate pages are mapped in, so the
                // worker stays ahead with that share; mapping in half here, the
                // rendering waited some 7% of the call before it could start.
                const std::size_t bytes = unit_count * static_cast<std::size_t>(kind);
                PagePopulator populator;
                CoreShare cores;
                if (bytes >= kPopulatorWorthBytes && cores.claim() && populator.start()) {
                    populator.set_lead(0, SIZE_MAX);
                }
                prefault_split(static_cast<char*>(units), bytes, bytes / 4, &populator, 0);
                const bool rendered = render.fill_kind(kind, ascii, units, unit_count);
                populator.stop();
                return rendered;
            });
        } catch (const std::exception&) {
            Py_DECREF(filling);
            throw;
        }
        text = PyRef::adopt(filling);
    }
    if (!filled) return CallError::internal("invariant: the XML writer renders the same output twice");
    return text;
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

    const StringRender render{node_data(node.value()), indent.value(), declaration.value()};
    MeasuredOutput measured = without_interpreter_lock([&](InterpreterLockReleased&) {
        MeasuredOutput result;
        MeasureSink sink;
        result.written = render.run(sink);
        result.unit_count = sink.unit_count();
        result.max_char = sink.max_char();
        result.well_formed = sink.well_formed();
        return result;
    });
    if (!measured.written) return write_error_to_call_error(measured.written.error());
    if (!measured.well_formed) return CallError::internal("invariant: the XML writer only emits valid UTF-8");
    return str_from_rendering(render, measured);
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
