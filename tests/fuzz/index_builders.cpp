// Fuzz target for the structural index: both builders run on the same bytes. Each
// either fails with an error that points at a '<' of the input, or returns an index
// whose entries and text ranges hold the invariants every consumer relies on:
// entries ordered by start, each inside the input with its name inside it, text
// ranges ordered, non-empty, inside the input, with no construct starting inside
// them. build_index must return exactly what the builder it picks returns. On
// malformed input the two builders differ on purpose (unterminated constructs,
// '<' inside tags, unmatched quotes in tags), so their results on the raw bytes
// are not compared; instead the same bytes also drive the writing of a
// well-formed document, quotes scattered through its text, comments, CDATA
// sections, instructions and internal subset, on which both builders must
// produce the identical index.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "index/structural_index.hpp"

namespace {

using vorlane::Result;
using vorlane::ScanError;
using vorlane::StructuralIndex;
using vorlane::TagKind;

bool has_name(TagKind kind) {
    return kind == TagKind::Open || kind == TagKind::Close || kind == TagKind::SelfClosing ||
           kind == TagKind::ProcessingInstruction;
}

bool ends_at_greater_than(TagKind kind) {
    return kind == TagKind::Open || kind == TagKind::Close || kind == TagKind::SelfClosing;
}

void check_error(const ScanError& error, std::string_view input) {
    switch (error.kind) {
        case ScanError::Kind::UnclosedTag:
        case ScanError::Kind::NameTooLong:
        case ScanError::Kind::UnterminatedDeclaration:
            FUZZ_CHECK(error.offset < input.size());
            FUZZ_CHECK(input[error.offset] == '<');
            return;
        case ScanError::Kind::UnexpectedEnd:
            FUZZ_CHECK(error.offset == 0);
            return;
    }
    vorlane::fuzzing::fail_check("error.kind is a known ScanError kind", __FILE__, __LINE__);
}

void check_index(const StructuralIndex& index, std::string_view input) {
    FUZZ_CHECK(index.input.data() == input.data());
    FUZZ_CHECK(index.input.size() == input.size());
    const std::size_t count = index.size();
    FUZZ_CHECK(index.tag_ends.size() == count);
    FUZZ_CHECK(index.tag_kinds.size() == count);
    FUZZ_CHECK(index.tag_names.size() == count);

    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t start = index.tag_starts[i];
        const std::uint64_t end = index.tag_ends[i];
        const TagKind kind = index.tag_kinds[i];
        FUZZ_CHECK(start < input.size());
        FUZZ_CHECK(input[start] == '<');
        FUZZ_CHECK(end >= start);
        FUZZ_CHECK(end < input.size());
        if (i > 0) FUZZ_CHECK(start > index.tag_starts[i - 1]);
        FUZZ_CHECK(static_cast<std::uint8_t>(kind) <=
                   static_cast<std::uint8_t>(TagKind::ProcessingInstruction));
        if (has_name(kind)) {
            const vorlane::NameRef name = index.tag_names[i];
            FUZZ_CHECK(name.offset > start);
            FUZZ_CHECK(name.offset + name.length <= end);
        }
        if (ends_at_greater_than(kind)) FUZZ_CHECK(input[end] == '>');
        if (kind == TagKind::SelfClosing) FUZZ_CHECK(input[end - 1] == '/');
    }

    // No construct starts inside a text range, and a range that begins where a
    // CDATA section's body begins is exactly that body. Entries are ordered by
    // start, so one cursor walks them along the ranges.
    std::size_t next_entry = 0;
    for (std::size_t i = 0; i < index.text_ranges.size(); ++i) {
        const vorlane::TextRange range = index.text_ranges[i];
        FUZZ_CHECK(range.start < range.end);
        FUZZ_CHECK(range.end <= input.size());
        if (i > 0) FUZZ_CHECK(range.start >= index.text_ranges[i - 1].end);
        while (next_entry < count && index.tag_starts[next_entry] < range.start) ++next_entry;
        if (next_entry < count) FUZZ_CHECK(index.tag_starts[next_entry] >= range.end);
        if (next_entry > 0) {
            const std::size_t before = next_entry - 1;
            if (index.tag_kinds[before] == TagKind::CData && index.tag_starts[before] + 9 == range.start) {
                FUZZ_CHECK(range.end + 2 == index.tag_ends[before]);
            }
        }
    }
}

void check_builder(const Result<StructuralIndex, ScanError>& result, std::string_view input) {
    if (result) {
        check_index(result.value(), input);
    } else {
        check_error(result.error(), input);
    }
}

bool same_result(const Result<StructuralIndex, ScanError>& left,
                 const Result<StructuralIndex, ScanError>& right) {
    if (left.ok() != right.ok()) return false;
    if (!left.ok()) return left.error() == right.error();
    const StructuralIndex& a = left.value();
    const StructuralIndex& b = right.value();
    return a.tag_starts == b.tag_starts && a.tag_ends == b.tag_ends && a.tag_kinds == b.tag_kinds &&
           a.tag_names == b.tag_names && a.text_ranges == b.text_ranges;
}

// The windows of a streamed builder joined into one index, or the error it stops at.
template <typename Stream>
Result<StructuralIndex, ScanError> joined_windows(std::string_view input, std::size_t window_entries) {
    Stream stream(input, window_entries);
    StructuralIndex joined;
    while (true) {
        auto more = stream.next();
        if (!more) return more.error();
        if (!more.value()) return joined;
        const StructuralIndex& window = stream.window();
        joined.tag_starts.insert(joined.tag_starts.end(), window.tag_starts.begin(), window.tag_starts.end());
        joined.tag_ends.insert(joined.tag_ends.end(), window.tag_ends.begin(), window.tag_ends.end());
        joined.tag_kinds.insert(joined.tag_kinds.end(), window.tag_kinds.begin(), window.tag_kinds.end());
        joined.tag_names.insert(joined.tag_names.end(), window.tag_names.begin(), window.tag_names.end());
        joined.text_ranges.insert(joined.text_ranges.end(), window.text_ranges.begin(), window.text_ranges.end());
    }
}

// Writes a well-formed document whose shape and contents come from `bytes`: each
// byte picks the next construct, and the bytes after it fill its content, with
// the few bytes that would end the construct early replaced.
class WellFormedWriter {
public:
    explicit WellFormedWriter(std::string_view bytes) : bytes_(bytes) {}

    std::string write() {
        if (next() % 4 == 0) {
            out_ += "<!DOCTYPE r [";
            for (unsigned count = next() % 4; count > 0; --count) {
                switch (next() % 3) {
                    case 0: out_ += "<!ENTITY e '" + content("'") + "'>"; break;
                    case 1: out_ += "<!ENTITY e \"" + content("\"") + "\">"; break;
                    default: out_ += "<!--" + content("-") + "-->"; break;
                }
            }
            out_ += "]>";
        }
        if (next() % 2 == 0) {
            // Quote-dense enough for the sample to pick the bitmap builder.
            out_ += "<?q";
            for (int i = 0; i < 40; ++i) out_ += " a=\"\"";
            out_ += "?>";
        }
        std::vector<std::string> open;
        open_element(open);
        while (!open.empty()) {
            const std::uint8_t action = at_end() ? 255 : next();
            switch (action % 8) {
                case 0:
                    if (open.size() < 32) open_element(open);
                    break;
                case 1: out_ += "<e" + attributes() + "/>"; break;
                case 2: out_ += content("<&"); break;
                case 3: out_ += "<!--" + content("-") + "-->"; break;
                case 4: out_ += "<![CDATA[" + content("]") + "]]>"; break;
                case 5: out_ += "<?p " + content("?") + "?>"; break;
                default:
                    out_ += "</" + open.back() + ">";
                    open.pop_back();
                    break;
            }
        }
        return out_;
    }

private:
    bool at_end() const { return position_ >= bytes_.size(); }
    std::uint8_t next() { return at_end() ? 0 : static_cast<std::uint8_t>(bytes_[position_++]); }

    // Up to 15 bytes of content, each of `forbidden` (and NUL) written as an
    // apostrophe or a double quote instead, so that quotes are everywhere.
    std::string content(std::string_view forbidden) {
        std::string text;
        for (unsigned count = next() % 16; count > 0 && !at_end(); --count) {
            char byte = static_cast<char>(next());
            if (byte == 0 || forbidden.find(byte) != std::string_view::npos) byte = (byte & 1) ? '\'' : '"';
            if (forbidden.find(byte) != std::string_view::npos) byte = 'q';
            text.push_back(byte);
        }
        return text;
    }

    std::string attributes() {
        std::string text;
        for (unsigned count = next() % 3; count > 0; --count) {
            const bool apostrophe = next() % 2 == 0;
            const std::string quote = apostrophe ? "'" : "\"";
            text += " a" + std::to_string(count) + "=" + quote + content(apostrophe ? "'<&" : "\"<&") + quote;
        }
        return text;
    }

    void open_element(std::vector<std::string>& open) {
        open.push_back(next() % 2 == 0 ? "a" : "b");
        out_ += "<" + open.back() + attributes() + ">";
    }

    std::string_view bytes_;
    std::size_t position_ = 0;
    std::string out_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto sequential = vorlane::build_index_sequential(input);
    const auto bitmap = vorlane::build_index_bitmap(input);
    check_builder(sequential, input);
    check_builder(bitmap, input);
    // Windows of a few entries, so that every input crosses window edges.
    const std::size_t window_entries = 1 + (size == 0 ? 0 : data[0] % 5);
    FUZZ_CHECK(same_result(joined_windows<vorlane::SequentialIndexStream>(input, window_entries), sequential));
    FUZZ_CHECK(same_result(joined_windows<vorlane::BitmapIndexStream>(input, window_entries), bitmap));
    const auto chosen = vorlane::build_index(input);
    FUZZ_CHECK(same_result(chosen, vorlane::prefers_bitmap_builder(input) ? bitmap : sequential));

    const std::string document = WellFormedWriter(input).write();
    const auto sequential_document = vorlane::build_index_sequential(document);
    FUZZ_CHECK(sequential_document.ok());
    FUZZ_CHECK(same_result(sequential_document, vorlane::build_index_bitmap(document)));
    return 0;
}
