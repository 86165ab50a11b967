// XmlWriter and write_element: render a NodeSnapshot as indented XML into a sink.
// No interpreter: runs with the lock released and touches only the snapshot.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "common/result.hpp"
#include "write/node_snapshot.hpp"
#include "write/sinks.hpp"

namespace vorlane {

// The declaration written before the root element by default: 39 bytes, ending in
// one line feed.
inline constexpr std::string_view XML_DECLARATION = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Why rendering stopped: the sink's I/O error, or a span of the snapshot that does
// not fit its DocumentBuffer (an internal failure).
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

// Renders `root` and all its descendants into writer.sink and consumes the snapshot:
// each part is released once written, and what is left is released when the sink
// fails. Uses an explicit stack, so any depth is fine. Returns the sink's first error
// unchanged (a StringSink never fails) or the InvariantViolation of a bad span;
// throws std::bad_alloc when memory runs out (including an indentation too long to
// hold in a StringSink).
template <typename Sink>
[[nodiscard]] Result<void, WriteError> write_element(XmlWriter<Sink>& writer, NodeSnapshot&& root);

extern template Result<void, WriteError> write_element<StringSink>(XmlWriter<StringSink>&, NodeSnapshot&&);
extern template Result<void, WriteError> write_element<FileSink>(XmlWriter<FileSink>&, NodeSnapshot&&);

}  // namespace vorlane
