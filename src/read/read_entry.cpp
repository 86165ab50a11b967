// read_string and read_file: obtain the document's bytes, parse them with the
// interpreter lock released, and convert the parsed tree into Node objects.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/io_error.hpp"
#include "common/utf8.hpp"
#include "common/utf8_encode.hpp"
#include "convert.hpp"
#include "module_functions.hpp"
#include "read/parse_document.hpp"
#include "read/reader_error.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kReadStringSignature("read_string()", {"xml_string", "root_tag"}, 2);
const Signature kReadFileSignature("read_file()", {"file_path", "root_tag"}, 2);

struct FileBytes {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

// Reads a whole file (no interpreter): size from fstat, reads until end of file.
// An open or read interrupted by a signal is retried unless `interrupted` says the
// call ends (kInterruptedMessage then). Throws std::bad_alloc.
Result<FileBytes, IoError> read_whole_file(const std::string& path, InterruptCheck interrupted) {
    if (path.find('\0') != std::string::npos) return IoError::fixed(kNulInPathMessage);
    int fd = -1;
    while (true) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
        if (interrupted()) return IoError::fixed(kInterruptedMessage);
    }
    if (fd < 0) return IoError::from_errno(errno);
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat status {};
    if (::fstat(fd, &status) < 0) return IoError::from_errno(errno);
    std::size_t capacity = status.st_size > 0 ? static_cast<std::size_t>(status.st_size) : 0;
    if (static_cast<unsigned long long>(status.st_size) > SIZE_MAX - 1) throw std::bad_alloc();
    // One byte more than the reported size, so that reaching end of file needs no
    // second buffer when the size was right.
    capacity += 1;
    FileBytes file;
    file.bytes.reset(new char[capacity]);
    while (true) {
        if (file.size == capacity) {
            if (capacity > SIZE_MAX / 2) throw std::bad_alloc();
            std::size_t grown_capacity = capacity * 2;
            std::unique_ptr<char[]> grown(new char[grown_capacity]);
            std::memcpy(grown.get(), file.bytes.get(), file.size);
            file.bytes = std::move(grown);
            capacity = grown_capacity;
        }
        ssize_t got = ::read(fd, file.bytes.get() + file.size, capacity - file.size);
        if (got < 0) {
            if (errno != EINTR) return IoError::from_errno(errno);
            if (interrupted()) return IoError::fixed(kInterruptedMessage);
            continue;
        }
        if (got == 0) break;
        file.size += static_cast<std::size_t>(got);
    }
    return file;
}

// One element whose children are being converted; its finished children wait on the
// results stack from `first_result` on.
struct ConversionFrame {
    ParsedElement* element;
    std::size_t next_child;
    std::size_t first_result;
};

// The record of a node made from `element`, its strings and map moved, not copied.
NodeData node_data_from(ParsedElement& element) noexcept {
    NodeData data;
    data.buffer = std::move(element.buffer);
    data.name = std::move(element.name);
    data.text = std::move(element.text);
    data.attrs = std::move(element.attrs);
    return data;
}

}  // namespace

// Converts a parsed tree into Node objects, children before their parent, with an
// explicit stack. Finished nodes wait on one results stack until their parent takes
// them over, so no per-node child list is allocated. On failure the nodes created so
// far are released and the rest of the tree dropped.
CallResult<PyRef> node_from_parsed(ParsedElement&& root) {
    ParsedElement owned_root(std::move(root));
    std::vector<PyObject*> results;  // owned references
    struct ResultsGuard {
        std::vector<PyObject*>& items;
        ~ResultsGuard() {
            for (PyObject* item : items) Py_DECREF(item);
        }
    } guard{results};
    auto keep = [&](PyRef node) {
        // May throw; the node is released then.
        if (results.size() == results.capacity()) results.reserve(std::max<std::size_t>(64, 2 * results.capacity()));
        results.push_back(node.release());
    };
    std::vector<ConversionFrame> stack;
    stack.push_back(ConversionFrame{&owned_root, 0, 0});
    while (!stack.empty()) {
        ConversionFrame& frame = stack.back();
        std::vector<ParsedElement>& children = frame.element->children;
        if (frame.next_child < children.size()) {
            ParsedElement& child = children[frame.next_child++];
            if (child.children.empty()) {
                auto leaf = create_node_object(node_data_from(child), nullptr, 0);
                if (!leaf) return std::move(leaf).error();
                keep(std::move(leaf).value());
            } else {
                stack.push_back(ConversionFrame{&child, 0, results.size()});
            }
            continue;
        }
        const std::size_t first = frame.first_result;
        NodeData data = node_data_from(*frame.element);
        // The element's own children records are now empty shells; free them early.
        release_parsed_elements(children);
        stack.pop_back();
        auto node = create_node_object(std::move(data), results.data() + first, results.size() - first);
        results.resize(first);  // taken over by the node, or released with it on failure
        if (!node) return std::move(node).error();
        keep(std::move(node).value());
    }
    PyObject* finished = results.back();
    results.pop_back();
    return PyRef::adopt(finished);
}

namespace {

// What a parse run without the lock produced: the root, or the message of its error
// and where it lies.
struct ParseOutcome {
    std::optional<ParsedElement> root;
    std::string error_message;
    CallError::Location error_location;
};

// Where the byte at `offset` of `document` lies, for the error's attributes. Only
// computed once an error has happened.
CallError::Location locate(std::string_view document, std::uint64_t offset) {
    const TextPosition position = text_position(document, offset);
    CallError::Location location;
    location.has_position = true;
    location.offset = offset;
    location.lineno = position.lineno;
    location.colno = position.colno;
    return location;
}

// From this input size on, a parse gives the memory of its index back to the system
// before the nodes are made (see parse_detached).
constexpr std::size_t kTrimAfterParseBytes = std::size_t{8} << 20;

// Parses `buffer` and drops the caller's reference to it (the spans of the result
// keep it alive from then on). Runs with the lock released.
ParseOutcome parse_detached(const std::string& root_tag, BufferRef own_reference) {
    ParseOutcome outcome;
    auto parsed = parse_document(own_reference.get(), root_tag);
#if defined(__GLIBC__)
    // The structural index of a large document (tens of bytes per tag) is freed by now,
    // but the C allocator keeps those pages resident, so they would add to the memory the
    // nodes need next. Handing them back costs a walk over the allocator's free lists,
    // small next to parsing a document this large.
    if (own_reference->size() >= kTrimAfterParseBytes) malloc_trim(0);
#endif
    if (parsed) {
        outcome.root.emplace(std::move(parsed).value());
    } else {
        const ReaderError& error = parsed.error();
        outcome.error_message = error.message();
        if (error.has_offset()) {
            outcome.error_location =
                locate(std::string_view(own_reference->data(), own_reference->size()), error.offset());
        }
    }
    return outcome;
}

// Turns the outcome into the result, with the lock held again. `filename` is the
// path of read_file, for the error's `filename` attribute.
CallResult<PyRef> finish_read(ParseOutcome&& outcome, std::optional<std::string> filename = std::nullopt) {
    if (!outcome.root) {
        outcome.error_location.filename = std::move(filename);
        return CallError::value_error(std::move(outcome.error_message)).locating(std::move(outcome.error_location));
    }
    return node_from_parsed(std::move(*outcome.root));
}

CallResult<PyRef> read_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kReadStringSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    PyObject* xml_string = bound.value()[0];
    if (!PyUnicode_Check(xml_string)) return type_mismatch(xml_string, "str").noting("xml_string");
    auto units = code_units_of(xml_string);
    if (!units) return std::move(units).error();
    std::optional<std::string_view> document = stored_utf8(xml_string);
    auto root_tag = utf8_argument(bound.value()[1], "root_tag");
    if (!root_tag) {
        // A document that cannot be encoded is reported before a bad root tag.
        if (!document) {
            auto encoded = utf8_of(xml_string);
            if (!encoded) return std::move(encoded).error();
        }
        return std::move(root_tag).error();
    }
    std::string root_tag_copy(root_tag.value());

    if (!document) {
        // Encoding a large str takes as long as scanning it, so it is done with the
        // lock released, into bytes the buffer owns; the reference keeps the code
        // units alive meanwhile, and is dropped through the pending list if the
        // thread is unwound before it holds the lock again. A surrogate has no
        // UTF-8 form: the interpreter's encoder then raises its own error.
        Py_INCREF(xml_string);
        struct HeldString {
            PyObject* object;
            ~HeldString() { release_python_reference(object); }
        } held{xml_string};
        struct EncodedOutcome {
            bool has_surrogate = false;
            ParseOutcome parsed;
        };
        EncodedOutcome encoded = without_interpreter_lock([&](InterpreterLockReleased&) {
            EncodedOutcome result;
            const std::size_t length = utf8_encoded_length(units.value());
            if (length == kUtf8HasSurrogate) {
                result.has_surrogate = true;
                return result;
            }
            std::unique_ptr<char[]> bytes(new char[length]);
            (void)encode_utf8_units(units.value(), bytes.get());
            result.parsed =
                parse_detached(root_tag_copy, BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), length)));
            return result;
        });
        if (!encoded.has_surrogate) return finish_read(std::move(encoded.parsed));
        auto interpreter_form = utf8_of(xml_string);
        if (!interpreter_form) return std::move(interpreter_form).error();
        document = interpreter_form.value();
    }

    Py_INCREF(xml_string);  // owned by the buffer from here on
    BufferRef buffer = BufferRef::adopt(DocumentBuffer::create_python_text(
        xml_string, document->data(), document->size(), release_python_object_hook));
    ParseOutcome outcome = without_interpreter_lock([&](InterpreterLockReleased&) {
        return parse_detached(root_tag_copy, std::move(buffer));
    });
    return finish_read(std::move(outcome));
}

CallResult<PyRef> read_file_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kReadFileSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    auto path = utf8_argument(bound.value()[0], "file_path");
    if (!path) return std::move(path).error();
    std::string path_copy(path.value());
    auto root_tag = utf8_argument(bound.value()[1], "root_tag");
    if (!root_tag) return std::move(root_tag).error();
    std::string root_tag_copy(root_tag.value());

    // Reading, checking and parsing share one span without the lock.
    struct FileOutcome {
        Result<FileBytes, IoError> file = IoError::from_errno(0);
        std::size_t invalid_at = kUtf8Valid;
        CallError::Location invalid_location;
        ParseOutcome parsed;
        PyObject* interruption = nullptr;  // owned: the exception a signal handler raised
    };
    FileOutcome outcome = without_interpreter_lock([&](InterpreterLockReleased& unlocked) {
        FileOutcome result;
        SignalInterrupts interrupts(unlocked);
        result.file = read_whole_file(path_copy, interrupts.check());
        result.interruption = interrupts.take_raised();
        if (result.file) {
            // Every later use of the strings needs valid UTF-8, so a file that is
            // not is refused before parsing, at its first bad byte.
            FileBytes& file = result.file.value();
            const std::string_view bytes(file.bytes.get(), file.size);
            result.invalid_at = first_invalid_utf8(bytes);
            if (result.invalid_at != kUtf8Valid) {
                result.invalid_location = locate(bytes, result.invalid_at);
            } else {
                std::size_t size = file.size;
                result.parsed = parse_detached(
                    root_tag_copy, BufferRef::adopt(DocumentBuffer::create_owned(std::move(file.bytes), size)));
            }
        }
        return result;
    });
    if (outcome.interruption != nullptr) return CallError::from_exception(PyRef::adopt(outcome.interruption));
    if (!outcome.file) return io_call_error(outcome.file.error());
    if (outcome.invalid_at != kUtf8Valid) {
        CallError::Location location = std::move(outcome.invalid_location);
        location.filename = std::move(path_copy);
        return CallError::value_error("malformed XML at byte " + std::to_string(outcome.invalid_at) +
                                      ": invalid UTF-8")
            .locating(std::move(location));
    }
    return finish_read(std::move(outcome.parsed), std::move(path_copy));
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return read_string_body(args, nargs, kwnames); });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return read_file_body(args, nargs, kwnames); });
}

}  // namespace vorlane
