// read_string and read_file: obtain the document's bytes, parse them with the
// interpreter lock released, and convert the parsed tree into Node objects.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "boundary.hpp"
#include "common/io_error.hpp"
#include "common/page_populator.hpp"
#include "common/prefault.hpp"
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

// The lanes of a read's page populator: the nodes, the attribute blocks and joined
// texts, and the block that receives the document's bytes.
constexpr std::size_t kNodeLane = 0;
constexpr std::size_t kDocumentArenaLane = 1;
constexpr std::size_t kWrittenBlockLane = 2;

// Reads a whole file (no interpreter): size from fstat, reads until end of file.
// An open or read interrupted by a signal is retried unless `interrupted` says the
// call ends (kInterruptedMessage then). `prepare(size)` is told the reported size
// before the bytes are allocated and returns the populator to share the mapping in
// of their pages with, or null. Throws std::bad_alloc.
template <typename Prepare>
Result<FileBytes, IoError> read_whole_file(const std::string& path, InterruptCheck interrupted, Prepare prepare) {
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
    PagePopulator* populator = prepare(capacity);
    FileBytes file;
    file.bytes.reset(new char[capacity]);
    // Declared after the bytes, so that the worker is done with them before an error
    // return or a throw frees them.
    LaneRelease release_block(populator, kWrittenBlockLane);
    // The kernel's copy would otherwise take a fault on each fresh page.
    prefault_in_halves(file.bytes.get(), capacity, populator, kWrittenBlockLane);
    while (true) {
        if (file.size == capacity) {
            if (capacity > SIZE_MAX / 2) throw std::bad_alloc();
            std::size_t grown_capacity = capacity * 2;
            std::unique_ptr<char[]> grown(new char[grown_capacity]);
            std::memcpy(grown.get(), file.bytes.get(), file.size);
            if (populator != nullptr) populator->forget(kWrittenBlockLane);
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

}  // namespace

// Makes the node of a finished element in `arena`, with the `count` nodes at
// `children` as its children, its strings and map moved, not copied. Null when the
// arena has no room (the element's record is released then, the children are not).
PyObject* node_from_parsed(NodeArena& arena, PyTypeObject* type, ParsedElement&& element,
                           PyObject* const* children, std::size_t count) noexcept {
    NodeData data;
    data.buffer = std::move(element.buffer);
    data.name = std::move(element.name);
    data.text = std::move(element.text);
    data.attrs = std::move(element.attrs);
    return place_arena_node(arena, type, data, children, count);
}

namespace {

// Turns the elements of a parse into nodes as they are finished, without the lock:
// each finished element becomes a node in the document's NodeArena, taking the nodes
// of its children from the end of the pending list. Nothing outside sees the nodes
// until publish; a sink dropped before that tears them down again.
class NodeSink final : public ElementSink {
public:
    explicit NodeSink(PyTypeObject* type) noexcept : type_(type) {}
    NodeSink(const NodeSink&) = delete;
    NodeSink& operator=(const NodeSink&) = delete;
    ~NodeSink() override { discard_unpublished_nodes(pending_.data(), pending_.size()); }

    // Starts the worker that maps in the pages of a large document's stores ahead of
    // their writers, if a thread can be had; `document_size` is about the document's
    // length in bytes. Before the parse and before the document is encoded.
    void prepare(std::size_t document_size) noexcept {
        if (document_size < kPopulatorWorthBytes || populator_.running()) return;
        if (!cores_.claim() || !populator_.start()) return;
        populator_.set_lead(kNodeLane, kNodeLead);
        populator_.set_lead(kDocumentArenaLane, kDocumentArenaLead);
        populator_.set_lead(kWrittenBlockLane, SIZE_MAX);
    }

    // The worker, if one runs, for the block that receives the document's bytes.
    PagePopulator* populator() noexcept { return populator_.running() ? &populator_ : nullptr; }

    // The document the nodes come from; before the parse.
    void bind(DocumentBuffer* buffer) noexcept {
        buffer_ = BufferRef::share(buffer);
        prepare(buffer_->size());
        if (!populator_.running()) return;
        try {
            buffer_->arena().populate_with(&populator_, kDocumentArenaLane);
        } catch (const std::bad_alloc&) {
            // Populating only saves time: the parse makes the arena when it needs
            // it, and reports there if it cannot.
        }
    }

    // After the parse, before the lock is taken again.
    void parse_ended() noexcept {
        populator_.stop();
        cores_.release();
    }

    void finish(ParsedElement&& element, std::size_t child_count) override {
        if (arena_ == nullptr) {
            // Nodes take about twice the bytes of the markup they come from; even a
            // small document gets a chunk of 64 KiB, so that growing stays rare.
            arena_ = NodeArena::create(std::max<std::size_t>(buffer_->size() / 4, std::size_t{64} << 10));
            if (arena_ == nullptr) throw std::bad_alloc();
            buffer_->attach(arena_, &NodeArena::destroy);
            if (populator_.running()) arena_->populate_with(&populator_, kNodeLane);
        }
        if (pending_.size() == pending_.capacity()) {
            pending_.reserve(std::max<std::size_t>(256, 2 * pending_.capacity()));
        }
        const std::size_t first = pending_.size() - child_count;
        PyObject* node = node_from_parsed(*arena_, type_, std::move(element), pending_.data() + first, child_count);
        if (node == nullptr) throw std::bad_alloc();
        pending_.resize(first);  // taken over by the node
        pending_.push_back(node);
        ++made_;
    }

    // The root node, handed to Python; with the lock held, after a successful parse.
    PyRef publish() noexcept {
        publish_arena_nodes(type_, made_);
        PyObject* root = pending_.back();
        pending_.clear();
        return PyRef::adopt(root);
    }

private:
    // How far ahead of their writers the arenas' lanes map pages in: far enough that
    // the nodes do not overtake them, near enough that the pages past the last node
    // stay few. The document's own bytes are written at memory speed, so the
    // worker takes their back half whole.
    static constexpr std::size_t kNodeLead = std::size_t{2} << 20;
    static constexpr std::size_t kDocumentArenaLead = std::size_t{1} << 20;

    // Declared first, so that it is released after the nodes are discarded.
    BufferRef buffer_;
    PyTypeObject* type_;
    NodeArena* arena_ = nullptr;
    std::vector<PyObject*> pending_;  // nodes not yet taken by a parent; the root at the end
    std::size_t made_ = 0;
    // Declared last, so that its worker has stopped before the arena can go.
    PagePopulator populator_;
    CoreShare cores_;
};

// What a parse run without the lock produced: the root, or the message of its error
// and where it lies.
struct ParseOutcome {
    bool parsed = false;
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

// Parses `buffer` and drops the caller's reference to it (the spans of the result
// keep it alive from then on). Runs with the lock released.
ParseOutcome parse_detached(const std::string& root_tag, BufferRef own_reference, NodeSink& sink) {
    ParseOutcome outcome;
    sink.bind(own_reference.get());
    auto parsed = parse_document(own_reference.get(), root_tag, sink);
    sink.parse_ended();
    if (parsed) {
        outcome.parsed = true;
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
CallResult<PyRef> finish_read(ParseOutcome&& outcome, NodeSink& sink,
                              std::optional<std::string> filename = std::nullopt) {
    if (!outcome.parsed) {
        outcome.error_location.filename = std::move(filename);
        return CallError::value_error(std::move(outcome.error_message)).locating(std::move(outcome.error_location));
    }
    return sink.publish();
}

// The UTF-8 form of a str's code units in bytes the caller owns, its length in
// `length`; null when a unit is a surrogate.
// - A str of two- or four-byte units (any text beyond latin-1) is written in one pass
//   into room for the longest form it can have, where that room can be had: the pages
//   past the form's end are never touched, so they take no memory, and the units
//   (twice or four times the bytes of the form) are read once instead of twice.
// - Otherwise (latin-1, whose measuring pass is cheap and whose exact-size block is
//   often memory the process has just freed; the room refused; or a 32-bit address
//   space asked for more than a little spare) the form is measured first and then
//   written into bytes of exactly its length.
// Runs without the lock; throws std::bad_alloc.
std::unique_ptr<char[]> encode_str_units(CodeUnits units, std::size_t& length, PagePopulator* populator) {
    const std::size_t bound = units.width > 1 ? utf8_length_bound(units) : 0;
    constexpr std::size_t kSpareOnSmallTargets = std::size_t{64} << 20;
    if (bound != 0 && (sizeof(void*) >= 8 || bound - units.count <= kSpareOnSmallTargets)) {
        std::unique_ptr<char[]> bytes(new (std::nothrow) char[bound]);
        if (bytes) {
            // The bytes may be freed on the way out (a surrogate), or by the caller
            // as soon as they are returned (no buffer for them can be had, say): the
            // worker is done with them first.
            LaneRelease release_block(populator, kWrittenBlockLane);
            // Every unit takes at least one byte.
            prefault_in_halves(bytes.get(), units.count, populator, kWrittenBlockLane);
            length = encode_utf8_units_checked(units, bytes.get());
            if (length == kUtf8HasSurrogate) return nullptr;
            return bytes;
        }
    }
    length = utf8_encoded_length(units);
    if (length == kUtf8HasSurrogate) return nullptr;
    std::unique_ptr<char[]> bytes(new char[length]);
    LaneRelease release_block(populator, kWrittenBlockLane);
    prefault_in_halves(bytes.get(), length, populator, kWrittenBlockLane);
    (void)encode_utf8_units(units, bytes.get());
    return bytes;
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
    auto type = obtain_node_type();
    if (!type) return std::move(type).error();
    NodeSink sink(type.value());

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
            std::size_t length = 0;
            sink.prepare(units.value().count);
            std::unique_ptr<char[]> bytes = encode_str_units(units.value(), length, sink.populator());
            if (!bytes) {
                result.has_surrogate = true;
                return result;
            }
            result.parsed = parse_detached(
                root_tag_copy, BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), length)), sink);
            return result;
        });
        if (!encoded.has_surrogate) return finish_read(std::move(encoded.parsed), sink);
        auto interpreter_form = utf8_of(xml_string);
        if (!interpreter_form) return std::move(interpreter_form).error();
        document = interpreter_form.value();
    }

    Py_INCREF(xml_string);  // owned by the buffer from here on
    BufferRef buffer = BufferRef::adopt(DocumentBuffer::create_python_text(
        xml_string, document->data(), document->size(), release_python_object_hook));
    ParseOutcome outcome = without_interpreter_lock([&](InterpreterLockReleased&) {
        return parse_detached(root_tag_copy, std::move(buffer), sink);
    });
    return finish_read(std::move(outcome), sink);
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
    auto type = obtain_node_type();
    if (!type) return std::move(type).error();
    NodeSink sink(type.value());

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
        result.file = read_whole_file(path_copy, interrupts.check(), [&sink](std::size_t size) {
            sink.prepare(size);
            return sink.populator();
        });
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
                    root_tag_copy, BufferRef::adopt(DocumentBuffer::create_owned(std::move(file.bytes), size)),
                    sink);
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
    return finish_read(std::move(outcome.parsed), sink, std::move(path_copy));
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return read_string_body(args, nargs, kwnames); });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] { return read_file_body(args, nargs, kwnames); });
}

}  // namespace vorlane
