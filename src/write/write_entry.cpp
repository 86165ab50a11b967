// write_string and write_file: convert the arguments and take a snapshot under the
// interpreter lock, then render it with the lock released.
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/utf8.hpp"
#include "convert.hpp"
#include "entities/snapshot.hpp"
#include "module_functions.hpp"
#include "storage/node_object.hpp"
#include "write/xml_writer.hpp"

namespace vorlane {

namespace {

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
                                       std::uint32_t indent, NodeSnapshot&& snapshot) {
    NodeSnapshot owned(std::move(snapshot));
    auto opened = FileSink::open(path, interrupted);
    if (!opened) return WriteError(opened.error());
    FileSink sink = std::move(opened).value();
    if (declaration) {
        Result<void, IoError> appended = sink.append(XML_DECLARATION);
        if (!appended) return WriteError(appended.error());
    }
    XmlWriter<FileSink> writer{sink, indent};
    Result<void, WriteError> outcome = write_element(writer, std::move(owned));
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
// keeps it (and with it the whole tree) alive until the call returns. Frames that
// release the lock own no Python reference across the release, so a thread ended
// by interpreter shutdown while it waits for the lock touches no object as it
// unwinds.
CallResult<PyRef> write_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kWriteStringSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto node = node_argument(bound.value()[0], "node");
    if (!node) return std::move(node).error();
    auto indent = indent_argument(bound.value()[1]);
    if (!indent) return std::move(indent).error();
    auto declaration = declaration_argument(bound.value()[2]);
    if (!declaration) return std::move(declaration).error();

    NodeSnapshot snapshot = take_snapshot(node.value());
    struct Rendered {
        StringSink sink;
        Result<void, WriteError> written;
        bool valid_utf8 = true;
    };
    Rendered rendered = without_interpreter_lock([&](InterpreterLockReleased&) {
        Rendered result;
        if (declaration.value()) (void)result.sink.append(XML_DECLARATION);
        XmlWriter<StringSink> writer{result.sink, indent.value()};
        result.written = write_element(writer, std::move(snapshot));
        if (result.written) result.valid_utf8 = first_invalid_utf8(result.sink.view()) == kUtf8Valid;
        return result;
    });
    if (!rendered.written) return write_error_to_call_error(rendered.written.error());
    if (!rendered.valid_utf8) return CallError::internal("invariant: the XML writer only emits valid UTF-8");
    ByteBuilder bytes = rendered.sink.take();
    return new_str(bytes.view());
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

    NodeSnapshot snapshot = take_snapshot(node.value());
    struct Written {
        Result<void, WriteError> outcome;
        PyObject* interruption = nullptr;  // owned: the exception a signal handler raised
    };
    Written written = without_interpreter_lock([&](InterpreterLockReleased& unlocked) {
        Written result;
        SignalInterrupts interrupts(unlocked);
        result.outcome = write_to_file(path_copy, interrupts.check(), declaration.value(), indent.value(),
                                       std::move(snapshot));
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
