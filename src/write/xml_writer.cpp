// The serializer: start tags, attributes, texts and end tags with the layout driven
// by newline_pending, walked with an explicit stack. No interpreter.
#include "write/xml_writer.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "write/escape.hpp"

namespace vorlane {

namespace {

template <typename Sink>
Result<void, WriteError> put(Sink& sink, std::string_view bytes) {
    Result<void, IoError> appended = sink.append(bytes);
    if (!appended) return WriteError(appended.error());
    return {};
}

template <typename Sink>
Result<void, WriteError> put_escaped(Sink& sink, std::string_view value, EscapeMode mode) {
    Result<void, IoError> appended = write_escaped(sink, value, mode);
    if (!appended) return WriteError(appended.error());
    return {};
}

Result<std::string_view, WriteError> read_value(const StrRef& value) {
    Result<std::string_view, InvariantViolation> bytes = value.view();
    if (!bytes) return WriteError(bytes.error());
    return bytes.value();
}

// A line feed and the indentation of the current depth. The product is taken in
// 64 bits, where two 32-bit factors cannot overflow.
template <typename Sink>
Result<void, WriteError> break_line(XmlWriter<Sink>& writer) {
    Result<void, WriteError> line_feed = put(writer.sink, "\n");
    if (!line_feed) return line_feed;
    std::uint64_t spaces = std::uint64_t{writer.indent} * writer.depth;
    Result<void, IoError> indented = writer.sink.append_spaces(spaces);
    if (!indented) return WriteError(indented.error());
    return {};
}

// Writes the start tag, the attributes and the text of `node`, releasing the
// attributes and the text once written. Returns true when the element stays open
// (it has a text or children), false when it was self-closed.
template <typename Sink>
Result<bool, WriteError> start_element(XmlWriter<Sink>& writer, NodeSnapshot& node) {
    if (writer.newline_pending) {
        Result<void, WriteError> broken = break_line(writer);
        if (!broken) return broken.error();
    }
    writer.newline_pending = true;
    Result<std::string_view, WriteError> name = read_value(node.name);
    if (!name) return name.error();
    Result<void, WriteError> step = put(writer.sink, "<");
    if (!step) return step.error();
    step = put(writer.sink, *name);
    if (!step) return step.error();

    for (AttrMap::Entry entry : node.attrs) {
        Result<std::string_view, WriteError> key = read_value(entry.key);
        if (!key) return key.error();
        Result<std::string_view, WriteError> value = read_value(entry.value);
        if (!value) return value.error();
        step = put(writer.sink, " ");
        if (!step) return step.error();
        step = put(writer.sink, *key);
        if (!step) return step.error();
        step = put(writer.sink, "=\"");
        if (!step) return step.error();
        step = put_escaped(writer.sink, *value, EscapeMode::Attribute);
        if (!step) return step.error();
        step = put(writer.sink, "\"");
        if (!step) return step.error();
    }
    node.attrs = AttrMap();

    if (!node.text.has_value() && node.children.empty()) {
        step = put(writer.sink, "/>");
        if (!step) return step.error();
        return false;
    }
    step = put(writer.sink, ">");
    if (!step) return step.error();
    ++writer.depth;
    if (node.text.has_value()) {
        Result<std::string_view, WriteError> text = read_value(*node.text);
        if (!text) return text.error();
        step = put_escaped(writer.sink, *text, EscapeMode::Text);
        if (!step) return step.error();
        writer.newline_pending = false;
        node.text.reset();
    }
    return true;
}

// Writes the end tag of an element that start_element left open.
template <typename Sink>
Result<void, WriteError> end_element(XmlWriter<Sink>& writer, const NodeSnapshot& node) {
    --writer.depth;
    if (writer.newline_pending) {
        Result<void, WriteError> broken = break_line(writer);
        if (!broken) return broken;
    }
    writer.newline_pending = true;
    Result<std::string_view, WriteError> name = read_value(node.name);
    if (!name) return name.error();
    Result<void, WriteError> step = put(writer.sink, "</");
    if (!step) return step;
    step = put(writer.sink, *name);
    if (!step) return step;
    return put(writer.sink, ">");
}

// An element whose start tag is written and whose children are being written; the
// children before next_child have been moved out and released.
struct OpenElement {
    NodeSnapshot node;
    std::size_t next_child;
};

}  // namespace

template <typename Sink>
Result<void, WriteError> write_element(XmlWriter<Sink>& writer, NodeSnapshot&& root) {
    // The stack holds the ancestors of the element being written, each with its
    // remaining children; on any return it releases whatever was not written yet.
    std::vector<OpenElement> open;
    NodeSnapshot next = std::move(root);
    while (true) {
        Result<bool, WriteError> started = start_element(writer, next);
        if (!started) return started.error();
        if (started.value()) {
            open.push_back(OpenElement{std::move(next), 0});
        } else {
            next = NodeSnapshot();
        }

        // Close finished elements until one has a child left to start.
        while (true) {
            if (open.empty()) return {};
            OpenElement& top = open.back();
            if (top.next_child < top.node.children.size()) {
                next = std::move(top.node.children[top.next_child]);
                ++top.next_child;
                break;
            }
            Result<void, WriteError> ended = end_element(writer, top.node);
            if (!ended) return ended;
            open.pop_back();
        }
    }
}

template Result<void, WriteError> write_element<StringSink>(XmlWriter<StringSink>&, NodeSnapshot&&);
template Result<void, WriteError> write_element<FileSink>(XmlWriter<FileSink>&, NodeSnapshot&&);

}  // namespace vorlane
