// Fuzz target for the writer against the reader: a document that parses (valid
// UTF-8, root tag from the input as in fuzz_document.hpp) is written with
// write_element straight from its ParsedElement tree (indent and declaration chosen
// by the settings byte), and the output must parse again, with the root's name as root
// tag, into an equal tree. Names and keys are written unescaped by design, so trees
// holding a quote, '<', '>' or '&' in a name or key are left out: the writer does
// not promise a readable document for them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.hpp"
#include "fuzz_document.hpp"
#include "read/parse_document.hpp"
#include "write/sinks.hpp"
#include "write/xml_writer.hpp"

namespace {

using vorlane::ParsedElement;

bool is_plain_name(std::string_view name) {
    return name.find_first_of("\"'<>&") == std::string_view::npos;
}

bool has_only_plain_names(const ParsedElement& root) {
    std::vector<const ParsedElement*> pending{&root};
    while (!pending.empty()) {
        const ParsedElement* element = pending.back();
        pending.pop_back();
        if (!is_plain_name(element->name.raw())) return false;
        for (const auto entry : element->attrs) {
            if (!is_plain_name(entry.key.raw())) return false;
        }
        for (const ParsedElement& child : element->children) pending.push_back(&child);
    }
    return true;
}

// The parsed tree, read in place by the writer.
struct ParsedTree {
    using Record = ParsedElement;
    static const ParsedElement& child(const ParsedElement& parent, std::size_t index) {
        return parent.children[index];
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorlane;
    const auto input = fuzzing::split_document_input(data, size);
    if (!input || !fuzzing::is_valid_utf8(input->document)) return 0;
    BufferRef buffer = fuzzing::make_document_buffer(input->document);
    auto first = parse_document(buffer.get(), input->root_tag);
    if (!first || !has_only_plain_names(first.value())) return 0;
    const ParsedElement& original = first.value();

    const std::uint32_t indent = (input->settings >> 5) & 0x3;
    const bool with_declaration = (input->settings & 0x80) != 0;
    StringSink sink;
    if (with_declaration) FUZZ_CHECK(sink.append(XML_DECLARATION).ok());
    XmlWriter<StringSink> writer{sink, indent};
    FUZZ_CHECK(write_element<ParsedTree>(writer, original).ok());
    FUZZ_CHECK(writer.depth == 0);
    FUZZ_CHECK(writer.newline_pending);

    BufferRef written = fuzzing::make_document_buffer(sink.view());
    FUZZ_CHECK(fuzzing::is_valid_utf8(written->bytes()));
    auto second = parse_document(written.get(), original.name.raw());
    const bool equal = second.ok() && fuzzing::same_tree(original, second.value());
    if (!equal) {
        std::fprintf(stderr, "written document (%s):\n%.*s\n",
                     second.ok() ? "parses into a different tree" : second.error().message().c_str(),
                     static_cast<int>(sink.view().size()), sink.view().data());
    }
    FUZZ_CHECK(equal);
    return 0;
}
