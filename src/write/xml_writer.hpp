// XmlWriter and write_element: render a tree of element records as indented XML
// into a sink. No interpreter: runs with the lock released and only reads the
// records it is given.
//
// The renderer is written once over a tree adaptor, so that the module renders the
// records inside Node objects in place while the core tests render plain trees:
//
//     struct Tree {
//         using Record = ...;  // members: name, text, attrs, children
//         static const Record& child(const Record& parent, std::size_t index);
//     };
//
// `name` is a StrRef; `text` is optional-like (has_value(), operator*) holding a
// StrRef; iterating `attrs` yields entries with StrRef `key` and `value` in the
// map's one order; `children` has size().
#pragma once

#include <cstddef>
#include <cstdint>
#include <concepts>
#include <cstring>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "storage/str_ref.hpp"
#include "write/escape.hpp"
#include "write/sinks.hpp"

namespace vorlane {

// The declaration written before the root element by default: 39 bytes, ending in
// one line feed.
inline constexpr std::string_view XML_DECLARATION = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Why rendering stopped: the sink's I/O error, or a span of the tree that does not
// fit its DocumentBuffer (an internal failure).
using WriteError = std::variant<IoError, InvariantViolation>;

// The state of one rendering: the sink it appends to (borrowed), the spaces per
// nesting level, the current level, and whether the next start or end tag begins a
// new line. Create it with depth 0 and newline_pending false.
template <typename Sink>
struct XmlWriter {
    Sink& sink;
    std::uint32_t indent;
    std::uint32_t depth = 0;
    bool newline_pending = false;
};

namespace xml_writer_detail {

// The small steps below are forced inline: each runs once or more per tag, and a
// call for each would cost more than the step.
#if defined(__GNUC__)
#define VORLANE_WRITER_STEP inline __attribute__((always_inline))
#else
#define VORLANE_WRITER_STEP inline
#endif

template <typename Sink>
VORLANE_WRITER_STEP Result<void, WriteError> put(Sink& sink, std::string_view bytes) {
    Result<void, IoError> appended = sink.append(bytes);
    if (!appended) return WriteError(appended.error());
    return {};
}

// A sink may offer coarser steps than append (append_joined, append_attribute,
// append_escaped, append_line_break), each the same as the pieces it stands for;
// the steps below use them when it does.

// A sink of bytes that lends room in its buffer (room and commit) takes a short
// string with nothing to escape as one sixteen-byte block, stored whole: the bytes
// past the string's end lie in the room and are overwritten by what follows.
template <typename Sink>
concept LendsRoom = requires(Sink& sink) {
    { sink.room(std::size_t{}) } -> std::same_as<char*>;
    sink.commit(std::size_t{});
};

#if defined(__SSE2__)
// Writes ` key="value"` that way and returns true when key and value have at most
// sixteen bytes, the value needs no escaping and the room is there; false, with
// nothing written, otherwise.
template <LendsRoom Sink>
VORLANE_WRITER_STEP bool put_short_attribute(Sink& sink, std::string_view key, std::string_view value) {
    if (key.size() > 16 || value.size() > 16) return false;
    const __m128i value_block = escape_detail::short_block(value);
    if (escape_detail::escape_hits<EscapeMode::Attribute>(value_block) != 0) return false;
    char* const out = sink.room(36);
    if (out == nullptr) return false;
    out[0] = ' ';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), escape_detail::short_block(key));
    char* const after_key = out + 1 + key.size();
    after_key[0] = '=';
    after_key[1] = '"';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(after_key + 2), value_block);
    after_key[2 + value.size()] = '"';
    sink.commit(4 + key.size() + value.size());
    return true;
}

// As put_short_attribute for a text or value escaped in `mode`.
template <LendsRoom Sink>
VORLANE_WRITER_STEP bool put_short_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
    if (value.size() > 16) return false;
    const __m128i block = escape_detail::short_block(value);
    const unsigned escapes = mode == EscapeMode::Text ? escape_detail::escape_hits<EscapeMode::Text>(block)
                                                      : escape_detail::escape_hits<EscapeMode::Attribute>(block);
    if (escapes != 0) return false;
    char* const out = sink.room(16);
    if (out == nullptr) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
    sink.commit(value.size());
    return true;
}
#endif

template <typename Sink>
VORLANE_WRITER_STEP Result<void, WriteError> put_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
#if defined(__SSE2__)
    if constexpr (LendsRoom<Sink>) {
        if (put_short_escaped(sink, value, mode)) return {};
    }
#endif
    Result<void, IoError> appended;
    if constexpr (requires { sink.append_escaped(value, mode); }) {
        appended = sink.append_escaped(value, mode);
    } else {
        appended = write_escaped(sink, value, mode);
    }
    if (!appended) return WriteError(appended.error());
    return {};
}

// Appends `head`, `middle` and `tail` (head and tail short literals): in one step
// when the sink offers room for all three, else piece by piece.
template <typename Sink>
VORLANE_WRITER_STEP Result<void, WriteError> put_joined(Sink& sink, std::string_view head, std::string_view middle,
                                                        std::string_view tail) {
    if constexpr (requires { sink.append_joined(head, middle, tail); }) {
        Result<void, IoError> appended = sink.append_joined(head, middle, tail);
        if (!appended) return WriteError(appended.error());
        return {};
    }
    if constexpr (requires { sink.room(std::size_t{}); }) {
        const std::size_t total = head.size() + middle.size() + tail.size();
        if (char* out = sink.room(total)) {
            std::memcpy(out, head.data(), head.size());
            std::memcpy(out + head.size(), middle.data(), middle.size());
            std::memcpy(out + head.size() + middle.size(), tail.data(), tail.size());
            sink.commit(total);
            return {};
        }
    }
    Result<void, WriteError> step = put(sink, head);
    if (!step) return step;
    step = put(sink, middle);
    if (!step || tail.empty()) return step;
    return put(sink, tail);
}

// Sets `bytes` to the value and returns true, or returns false for a span that
// fails its check, whose error bad_value gives.
VORLANE_WRITER_STEP bool read_value(const StrRef& value, std::string_view& bytes) noexcept {
    return value.view_into(bytes);
}
[[gnu::cold]] inline WriteError bad_value(const StrRef& value) { return WriteError(value.view().error()); }

// The error of the attribute entry at `index` that AttrMap::views_at refused: its
// key's, or else its value's.
template <typename Map>
[[gnu::cold]] WriteError bad_entry(const Map& attrs, std::size_t index) {
    std::size_t position = 0;
    for (const auto& entry : attrs) {
        if (position++ != index) continue;
        std::string_view bytes;
        return read_value(entry.key, bytes) ? bad_value(entry.value) : bad_value(entry.key);
    }
    return WriteError(InvariantViolation{"attribute entry out of range"});
}

// A line feed and the indentation of the current depth. The product is taken in
// 64 bits, where two 32-bit factors cannot overflow.
template <typename Sink>
VORLANE_WRITER_STEP Result<void, WriteError> break_line(XmlWriter<Sink>& writer) {
    std::uint64_t spaces = std::uint64_t{writer.indent} * writer.depth;
    if constexpr (requires { writer.sink.append_line_break(spaces); }) {
        Result<void, IoError> appended = writer.sink.append_line_break(spaces);
        if (!appended) return WriteError(appended.error());
        return {};
    }
    if constexpr (requires { writer.sink.room(std::size_t{}); }) {
        if (spaces < kFileBufferBytes) {
            const auto count = static_cast<std::size_t>(spaces);
            if (char* out = writer.sink.room(count + 1)) {
                out[0] = '\n';
                std::memset(out + 1, ' ', count);
                writer.sink.commit(count + 1);
                return {};
            }
        }
    }
    Result<void, WriteError> line_feed = put(writer.sink, "\n");
    if (!line_feed) return line_feed;
    if (spaces == 0) return {};
    Result<void, IoError> indented = writer.sink.append_spaces(spaces);
    if (!indented) return WriteError(indented.error());
    return {};
}

// Writes the start tag, the attributes and the text of `record`, and sets `name` to
// its name for the end tag. Returns true when the element stays open (it has a
// text or children), false when it was self-closed.
template <typename Sink, typename Record>
Result<bool, WriteError> start_element(XmlWriter<Sink>& writer, const Record& record, std::string_view& name) {
    if (writer.newline_pending) {
        Result<void, WriteError> broken = break_line(writer);
        if (!broken) return broken.error();
    }
    writer.newline_pending = true;
    if (!read_value(record.name, name)) return bad_value(record.name);
    Result<void, WriteError> step = put_joined(writer.sink, "<", name, "");
    if (!step) return step.error();

    const std::size_t attribute_count = record.attrs.size();
    for (std::size_t index = 0; index < attribute_count; ++index) {
        std::string_view key;
        std::string_view value;
        if (!record.attrs.views_at(index, key, value)) return bad_entry(record.attrs, index);
#if defined(__SSE2__)
        if constexpr (LendsRoom<Sink>) {
            if (put_short_attribute(writer.sink, key, value)) continue;
        }
#endif
        if constexpr (requires { writer.sink.append_attribute(key, value); }) {
            Result<void, IoError> appended = writer.sink.append_attribute(key, value);
            if (!appended) return WriteError(appended.error());
        } else {
            step = put_joined(writer.sink, " ", key, "=\"");
            if (!step) return step.error();
            step = put_escaped(writer.sink, value, EscapeMode::Attribute);
            if (!step) return step.error();
            step = put(writer.sink, "\"");
            if (!step) return step.error();
        }
    }

    if (!record.text.has_value() && record.children.size() == 0) {
        step = put(writer.sink, "/>");
        if (!step) return step.error();
        return false;
    }
    step = put(writer.sink, ">");
    if (!step) return step.error();
    ++writer.depth;
    if (record.text.has_value()) {
        std::string_view text;
        if (!read_value(*record.text, text)) return bad_value(*record.text);
        step = put_escaped(writer.sink, text, EscapeMode::Text);
        if (!step) return step.error();
        writer.newline_pending = false;
    }
    return true;
}

// Writes the end tag of an element that start_element left open.
template <typename Sink>
Result<void, WriteError> end_element(XmlWriter<Sink>& writer, std::string_view name) {
    --writer.depth;
    if (writer.newline_pending) {
        Result<void, WriteError> broken = break_line(writer);
        if (!broken) return broken;
    }
    writer.newline_pending = true;
    return put_joined(writer.sink, "</", name, ">");
}

#undef VORLANE_WRITER_STEP

}  // namespace xml_writer_detail

// Renders `root` and all its descendants into writer.sink, reading the records in
// place and changing none of them. Uses an explicit stack, so any depth is fine.
// Returns the sink's first error unchanged (a StringSink never fails) or the
// InvariantViolation of a bad span; what was appended before an error stays in the
// sink. Throws std::bad_alloc when memory runs out (including an indentation too
// long to hold in a StringSink).
template <typename Tree, typename Sink>
[[nodiscard]] Result<void, WriteError> write_element(XmlWriter<Sink>& writer, const typename Tree::Record& root) {
    using Record = typename Tree::Record;
    using namespace xml_writer_detail;
    // An element whose start tag is written and whose children before next_child
    // are written too.
    struct OpenElement {
        const Record* record;
        std::string_view name;  // read (and checked) once, for both tags
        std::size_t next_child;
    };
    std::vector<OpenElement> open;
    const Record* next = &root;
    while (true) {
        std::string_view name;
        Result<bool, WriteError> started = start_element(writer, *next, name);
        if (!started) return started.error();
        if (started.value()) open.push_back(OpenElement{next, name, 0});

        // Close finished elements until one has a child left to start.
        while (true) {
            if (open.empty()) return {};
            OpenElement& top = open.back();
            if (top.next_child < top.record->children.size()) {
                next = &Tree::child(*top.record, top.next_child);
                ++top.next_child;
                // The record after this one is asked for now: records are separate
                // allocations, and the first touch of each is otherwise a cache
                // miss the rendering waits for.
                if (top.next_child < top.record->children.size()) {
                    __builtin_prefetch(&Tree::child(*top.record, top.next_child));
                }
                break;
            }
            Result<void, WriteError> ended = end_element(writer, top.name);
            if (!ended) return ended;
            open.pop_back();
        }
    }
}

}  // namespace vorlane
