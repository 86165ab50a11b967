// Differential test: over generated well-formed documents, quotes of both kinds in
// character data, comments, CDATA sections, instructions and internal subsets
// included, the two builders must produce identical indexes, with one entry per
// construct written, whichever builder the sample would pick. Arbitrary markup
// checks the shape of whatever index either builder returns.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/structural_index.hpp"
#include "index_test_support.hpp"

namespace vorlane::index_testing {
namespace {

class DocumentGenerator {
public:
    explicit DocumentGenerator(unsigned seed) : random_(seed) {}

    struct Document {
        std::string text;
        std::size_t construct_count = 0;
    };

    // One document of up to `element_budget` elements, built with an explicit
    // stack of open names.
    Document generate(std::size_t element_budget) {
        Document doc;
        if (chance(2)) {
            doc.text += "<?xml version=\"1.0\" encoding='UTF-8'?>\n";
            ++doc.construct_count;
        }
        if (chance(4)) doc.text += "<!DOCTYPE root SYSTEM \"root.dtd\">\n";
        if (chance(4)) doc.text += internal_subset();
        if (chance(3)) {
            // Enough double quotes in the first 4096 bytes to make the sample pick
            // the bitmap builder.
            doc.text += "<?quotes";
            for (int i = 0; i < 40; ++i) doc.text += " q" + std::to_string(i) + "=\"" + body("ab'") + "\"";
            doc.text += "?>";
            ++doc.construct_count;
        }
        if (chance(3)) add_comment(doc);

        std::vector<std::string> open_names;
        open_element(doc, open_names);
        std::size_t budget = element_budget;
        while (!open_names.empty()) {
            const unsigned action = pick(10);
            if (budget > 0 && action < 3 && open_names.size() < 12) {
                --budget;
                open_element(doc, open_names);
            } else if (budget > 0 && action == 3) {
                --budget;
                doc.text += "<" + name() + attributes() + (chance(2) ? "/>" : " />");
                ++doc.construct_count;
            } else if (action <= 5) {
                doc.text += text();
            } else if (action == 6) {
                add_comment(doc);
            } else if (action == 7) {
                doc.text += "<![CDATA[" + body("<>&]-/ab\n'\"") + "]]>";
                ++doc.construct_count;
            } else if (action == 8 && chance(2)) {
                doc.text += "<?" + name() + " k=\"v>?\" " + body("ab ?-'\"<") + "?>";
                ++doc.construct_count;
            } else {
                doc.text += "</" + open_names.back() + whitespace(0) + ">";
                ++doc.construct_count;
                open_names.pop_back();
            }
        }
        if (chance(2)) doc.text += "\n";
        return doc;
    }

private:
    bool chance(unsigned one_in) { return random_() % one_in == 0; }
    unsigned pick(unsigned count) { return static_cast<unsigned>(random_() % count); }

    std::string from(const std::string& alphabet, std::size_t min_len, std::size_t max_len) {
        std::string out;
        const std::size_t len = min_len + random_() % (max_len - min_len + 1);
        for (std::size_t i = 0; i < len; ++i) out.push_back(alphabet[random_() % alphabet.size()]);
        return out;
    }

    std::string name() {
        static const char* const names[] = {"a", "item", "x:y", "long_name-1.2", "\xc3\xa9l\xc3\xa9ment", "b"};
        return names[pick(6)];
    }

    std::string whitespace(std::size_t min_len) { return from(" \t\n\r\f", min_len, 2); }

    std::string attributes() {
        std::string out;
        const unsigned count = pick(5);
        for (unsigned i = 0; i < count; ++i) {
            const char quote = chance(2) ? '"' : '\'';
            const char other = quote == '"' ? '\'' : '"';
            std::string value = from(std::string("ab />=<&;") + other, 0, 40);
            out += whitespace(1) + "k" + std::to_string(i) + whitespace(0) + "=" + whitespace(0) + quote + value +
                   quote;
        }
        return out + whitespace(0);
    }

    std::string text() { return from("abc xyz\n\t&;>=/#'\"", 1, 30); }

    // A document type declaration whose internal subset holds markup, quotes,
    // brackets and '>' inside entity values, comments and instructions.
    std::string internal_subset() {
        static const char* const pieces[] = {
            "<!ENTITY f '> <r a=\"x\">fake</r>'>", "<!ENTITY g \"it's ]> <\">", "<!-- don't ]> <x> -->",
            "<?pi ]> \"?>",                       "<!ELEMENT r ANY>",             "<!ATTLIST r a CDATA \"]>\">",
            "\n  "};
        std::string out = chance(2) ? "<!DOCTYPE root [" : "<!DOCTYPE root SYSTEM \"a[b\" [";
        const unsigned count = pick(6);
        for (unsigned i = 0; i < count; ++i) out += pieces[pick(7)];
        return out + "]" + whitespace(0) + ">\n";
    }

    // Bytes for comment, CDATA and instruction bodies; callers pick alphabets
    // that cannot form the construct's terminator.
    std::string body(const std::string& alphabet) {
        std::string out = from(alphabet, 0, 20);
        // "--" may not appear inside a comment.
        for (std::size_t i = 0; i + 1 < out.size(); ++i) {
            if (out[i] == '-' && out[i + 1] == '-') out[i + 1] = 'z';
        }
        for (std::size_t i = 0; i + 1 < out.size(); ++i) {
            if ((out[i] == '-' || out[i] == ']' || out[i] == '?') && (out[i + 1] == '-' || out[i + 1] == ']' ||
                                                                     out[i + 1] == '>' || out[i + 1] == '?')) {
                out[i + 1] = 'z';
            }
        }
        if (!out.empty() && (out.back() == '-' || out.back() == ']' || out.back() == '?')) out.back() = 'z';
        return out;
    }

    void add_comment(Document& doc) {
        doc.text += "<!--" + body("ab <>&-/\n'\"") + "-->";
        ++doc.construct_count;
    }

    void open_element(Document& doc, std::vector<std::string>& open_names) {
        open_names.push_back(name());
        doc.text += "<" + open_names.back() + attributes() + ">";
        ++doc.construct_count;
    }

    std::mt19937 random_;
};

// The windows of a streamed builder, joined: what the whole build gives, or the error
// it fails with.
template <typename Stream>
Result<StructuralIndex, ScanError> joined_windows(std::string_view input, std::size_t window_entries) {
    Stream stream(input, window_entries);
    StructuralIndex joined;
    joined.input = input;
    while (true) {
        auto more = stream.next();
        if (!more) return more.error();
        const StructuralIndex& window = stream.window();
        if (!more.value()) {
            if (window.size() != 0 || !window.text_ranges.empty()) ADD_FAILURE() << "a last window that is not empty";
            return joined;
        }
        if (window.size() > window_entries) ADD_FAILURE() << "a window over its size";
        const auto append = [](auto& into, const auto& from) { into.insert(into.end(), from.begin(), from.end()); };
        append(joined.tag_starts, window.tag_starts);
        append(joined.tag_ends, window.tag_ends);
        append(joined.tag_kinds, window.tag_kinds);
        append(joined.tag_names, window.tag_names);
        append(joined.text_ranges, window.text_ranges);
    }
}

template <typename Stream>
void expect_windows_join_to(std::string_view input, const Result<StructuralIndex, ScanError>& whole) {
    for (const std::size_t window_entries : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{64}}) {
        SCOPED_TRACE(window_entries);
        const auto joined = joined_windows<Stream>(input, window_entries);
        ASSERT_EQ(joined.ok(), whole.ok());
        if (!whole.ok()) {
            EXPECT_EQ(describe(joined.error()), describe(whole.error()));
        } else {
            EXPECT_EQ(describe(joined.value()), describe(whole.value()));
        }
    }
}

class BuilderAgreement : public ::testing::TestWithParam<unsigned> {};

TEST_P(BuilderAgreement, GeneratedDocumentsGiveIdenticalIndexes) {
    DocumentGenerator generator(GetParam());
    for (int round = 0; round < 60; ++round) {
        const std::size_t budget = round % 10 == 0 ? 2000 : static_cast<std::size_t>(round * 3);
        const DocumentGenerator::Document doc = generator.generate(budget);
        SCOPED_TRACE(doc.text.size() < 2000 ? doc.text : doc.text.substr(0, 2000));
        const auto sequential = build_index_sequential(doc.text);
        const auto bitmap = build_index_bitmap(doc.text);
        const auto chosen = build_index(doc.text);
        ASSERT_TRUE(sequential.ok()) << describe(sequential.error());
        ASSERT_TRUE(bitmap.ok()) << describe(bitmap.error());
        ASSERT_TRUE(chosen.ok()) << describe(chosen.error());
        EXPECT_EQ(describe(chosen.value()), describe(sequential.value()));
        EXPECT_EQ(sequential->size(), doc.construct_count);
        EXPECT_EQ(sequential->tag_starts, bitmap->tag_starts);
        EXPECT_EQ(sequential->tag_ends, bitmap->tag_ends);
        EXPECT_EQ(sequential->tag_kinds, bitmap->tag_kinds);
        EXPECT_EQ(sequential->tag_names, bitmap->tag_names);
        EXPECT_EQ(sequential->text_ranges, bitmap->text_ranges);
        ASSERT_EQ(describe(sequential.value()), describe(bitmap.value()));
        expect_windows_join_to<SequentialIndexStream>(doc.text, sequential);
        expect_windows_join_to<BitmapIndexStream>(doc.text, bitmap);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BuilderAgreement, ::testing::Values(1u, 2u, 3u, 42u, 1234u, 99991u));

// Whatever the input, an index that is returned is ordered and stays inside the
// input. Inputs live in heap blocks of exactly their size, so a read past the end
// shows up under the address sanitizer.
void expect_well_formed_index(const StructuralIndex& index, std::size_t length) {
    for (std::size_t i = 0; i < index.size(); ++i) {
        EXPECT_LT(index.tag_ends[i], length);
        EXPECT_GT(index.tag_ends[i], index.tag_starts[i]);
        if (i > 0) {
            EXPECT_GT(index.tag_starts[i], index.tag_starts[i - 1]);
        }
        const NameRef name = index.tag_names[i];
        if (name.length > 0) {
            EXPECT_GT(name.offset, index.tag_starts[i]);
            EXPECT_LE(name.offset + name.length, index.tag_ends[i] + 1);
        }
    }
    for (std::size_t i = 0; i < index.text_ranges.size(); ++i) {
        EXPECT_LT(index.text_ranges[i].start, index.text_ranges[i].end);
        EXPECT_LE(index.text_ranges[i].end, length);
        if (i > 0) {
            EXPECT_GE(index.text_ranges[i].start, index.text_ranges[i - 1].end);
        }
    }
}

// The sequential builder's rules written as plain byte loops, without the wide
// searches: the reference that the fast paths must match on any input.
Result<StructuralIndex, ScanError> reference_sequential(std::string_view input) {
    const std::size_t length = input.size();
    auto find = [&](std::size_t from, std::string_view what) {
        const std::size_t at = from <= length ? input.find(what, from) : std::string_view::npos;
        return at == std::string_view::npos ? length : at;
    };
    auto is_space = [](char byte) {
        return byte == '\t' || byte == '\n' || byte == '\f' || byte == '\r' || byte == ' ';
    };
    StructuralIndex index;
    index.input = input;
    std::size_t last_end = 0;
    std::size_t scan = 0;
    while (true) {
        const std::size_t open = find(scan, "<");
        if (open >= length) break;
        const std::size_t text_start = last_end == 0 ? 0 : last_end + 1;
        if (text_start < open) index.text_ranges.push_back({text_start, open});
        if (open + 1 >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
        TagKind kind;
        std::size_t end;
        std::size_t name_start = 0;
        std::size_t name_end = 0;
        if (input.substr(open + 1, 3) == "!--") {
            kind = TagKind::Comment;
            const std::size_t at = find(open + 4, "-->");
            end = at < length ? at + 2 : length;
        } else if (input.substr(open + 1, 8) == "![CDATA[") {
            kind = TagKind::CData;
            const std::size_t at = find(open + 9, "]]>");
            if (at < length && at > open + 9) index.text_ranges.push_back({open + 9, at});
            end = at < length ? at + 2 : length;
        } else if (input[open + 1] == '!') {
            const std::size_t at = find(open + 1, ">");
            last_end = at < length ? at : open + 1;
            scan = last_end + 1;
            continue;
        } else if (input[open + 1] == '/') {
            kind = TagKind::Close;
            name_start = name_end = open + 2;
            while (name_end < length && !is_space(input[name_end]) && input[name_end] != '>') ++name_end;
            end = find(name_end, ">");
            if (end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
        } else if (input[open + 1] == '?') {
            kind = TagKind::ProcessingInstruction;
            name_start = name_end = open + 2;
            while (name_end < length && !is_space(input[name_end]) && input[name_end] != '>' &&
                   input[name_end] != '?') {
                ++name_end;
            }
            if (name_end + 1 < length) {
                const std::size_t at = find(name_end, "?>");
                end = at < length ? at + 1 : length - 1;
            } else {
                end = name_end;
            }
        } else {
            name_start = name_end = open + 1;
            while (name_end < length && !is_space(input[name_end]) && input[name_end] != '/' &&
                   input[name_end] != '>') {
                ++name_end;
            }
            if (name_end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
            std::size_t pos = name_end;
            end = length;
            kind = TagKind::Open;
            while (pos < length) {
                const char byte = input[pos];
                if (byte == '"' || byte == '\'') {
                    const std::size_t close = find(pos + 1, std::string_view(&byte, 1));
                    pos = close < length ? close + 1 : pos + 2;
                } else if (byte == '/' && pos + 1 < length && input[pos + 1] == '>') {
                    kind = TagKind::SelfClosing;
                    end = pos + 1;
                    break;
                } else if (byte == '>') {
                    end = pos;
                    break;
                } else {
                    ++pos;
                }
            }
            if (end >= length) return ScanError{ScanError::Kind::UnclosedTag, open};
        }
        if (end >= length) return ScanError{ScanError::Kind::UnexpectedEnd, 0};
        index.tag_starts.push_back(open);
        index.tag_ends.push_back(end);
        index.tag_kinds.push_back(kind);
        index.tag_names.push_back({name_start, static_cast<std::uint16_t>(name_end - name_start)});
        last_end = end;
        scan = end + 1;
    }
    return index;
}

TEST(SequentialReference, FastPathsMatchByteLoopsOnArbitraryMarkup) {
    std::mt19937 random(4242);
    // Long filler runs push quotes and terminators across the sixteen-byte blocks.
    const std::string alphabet = "<<>>//!?-[]\"\"''aC \n=DATA";
    for (int round = 0; round < 4000; ++round) {
        const std::size_t length = random() % 160;
        auto bytes = std::make_unique<char[]>(length == 0 ? 1 : length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] = random() % 3 == 0 ? alphabet[random() % alphabet.size()] : 'f';
        }
        const std::string_view input(bytes.get(), length);
        SCOPED_TRACE(std::string(input));
        const auto expected = reference_sequential(input);
        const auto actual = build_index_sequential(input);
        expect_windows_join_to<SequentialIndexStream>(input, actual);
        expect_windows_join_to<BitmapIndexStream>(input, build_index_bitmap(input));
        ASSERT_EQ(actual.ok(), expected.ok());
        if (!expected.ok()) {
            ASSERT_EQ(describe(actual.error()), describe(expected.error()));
        } else {
            ASSERT_EQ(describe(actual.value()), describe(expected.value()));
        }
    }
}

class ArbitraryMarkup : public ::testing::TestWithParam<Builder> {};

TEST_P(ArbitraryMarkup, ReturnedIndexIsOrderedAndInBounds) {
    std::mt19937 random(31337);
    const std::string alphabet = "<<>>/!?-[]\"'aC \n=DATA";
    std::size_t accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t length = random() % 40;
        auto bytes = std::make_unique<char[]>(length == 0 ? 1 : length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = alphabet[random() % alphabet.size()];
        const std::string_view input(bytes.get(), length);
        const auto result = run_builder(GetParam(), input);
        if (!result.ok()) continue;
        ++accepted;
        SCOPED_TRACE(std::string(input));
        expect_well_formed_index(result.value(), length);
    }
    EXPECT_GT(accepted, 100u);
}

INSTANTIATE_TEST_SUITE_P(BothBuilders, ArbitraryMarkup, ::testing::Values(Builder::Sequential, Builder::Bitmap),
                         [](const ::testing::TestParamInfo<Builder>& info) {
                             return std::string(builder_name(info.param));
                         });

}  // namespace
}  // namespace vorlane::index_testing
