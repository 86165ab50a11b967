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
#include "convert.hpp"
#include "module_functions.hpp"
#include "read/parse_document.hpp"
#include "storage/node_object.hpp"

namespace vorlane {

namespace {

const Signature kReadStringSignature("read_string()", {"xml_string", "root_tag"}, 2);
const Signature kReadFileSignature("read_file()", {"file_path", "root_tag"}, 2);

struct FileBytes {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

// Reads a whole file (no interpreter): size from fstat, reads until end of file,
// EINTR retried. Throws std::bad_alloc.
Result<FileBytes, IoError> read_whole_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return IoError::fixed(kNulInPathMessage);
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
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
            if (errno == EINTR) continue;
            return IoError::from_errno(errno);
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

// What a parse run without the lock produced: the root, or the message of its error.
struct ParseOutcome {
    std::optional<ParsedElement> root;
    std::string error_message;
};

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
        outcome.error_message = parsed.error().message();
    }
    return outcome;
}

// Turns the outcome into the result, with the lock held again.
CallResult<PyRef> finish_read(ParseOutcome&& outcome) {
    if (!outcome.root) return CallError::value_error(std::move(outcome.error_message));
    return node_from_parsed(std::move(*outcome.root));
}

CallResult<PyRef> read_string_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind_arguments(kReadStringSignature, args, nargs, kwnames);
    if (!bound) return std::move(bound).error();
    PyObject* xml_string = bound.value()[0];
    if (!PyUnicode_Check(xml_string)) return type_mismatch(xml_string, "str").noting("xml_string");
    auto document = utf8_of(xml_string);
    if (!document) return std::move(document).error();
    auto root_tag = utf8_argument(bound.value()[1], "root_tag");
    if (!root_tag) return std::move(root_tag).error();
    std::string root_tag_copy(root_tag.value());

    Py_INCREF(xml_string);  // owned by the buffer from here on
    BufferRef buffer = BufferRef::adopt(DocumentBuffer::create_python_text(
        xml_string, document.value().data(), document.value().size(), release_python_object_hook));
    ParseOutcome outcome;
    {
        InterpreterLockReleased unlocked;
        outcome = parse_detached(root_tag_copy, std::move(buffer));
    }
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
    Result<FileBytes, IoError> file = IoError::from_errno(0);
    std::size_t invalid_at = kUtf8Valid;
    ParseOutcome outcome;
    {
        InterpreterLockReleased unlocked;
        file = read_whole_file(path_copy);
        if (file) {
            // Every later use of the strings needs valid UTF-8, so a file that is
            // not is refused before parsing, at its first bad byte.
            invalid_at = first_invalid_utf8(std::string_view(file->bytes.get(), file->size));
            if (invalid_at == kUtf8Valid) {
                std::size_t size = file->size;
                outcome = parse_detached(root_tag_copy, BufferRef::adopt(DocumentBuffer::create_owned(
                                                            std::move(file->bytes), size)));
            }
        }
    }
    if (!file) return io_call_error(file.error());
    if (invalid_at != kUtf8Valid) {
        return CallError::value_error("malformed XML at byte " + std::to_string(invalid_at) + ": invalid UTF-8");
    }
    return finish_read(std::move(outcome));
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] { return read_string_body(args, nargs, kwnames); });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] { return read_file_body(args, nargs, kwnames); });
}

}  // namespace vorlane
