// The start-tag tokenizer and the construct checks, over indexes built by hand so that
// these tests depend on nothing but the tokenizer.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "read/tokenizer.hpp"
#include "read_test_support.hpp"

namespace vorlane {
namespace {

using read_testing::concat;
using read_testing::make_buffer;
using read_testing::render;

// The index of a document that is exactly one start tag or empty-element tag.
// The index of a document whose first `tag_size` bytes (all of it by default) are one
// start tag; whatever follows is left unindexed.
StructuralIndex single_tag_index(std::string_view input, std::size_t tag_size = std::string_view::npos) {
    StructuralIndex index;
    index.input = input;
    const std::string_view tag = input.substr(0, tag_size);
    bool self_closing = tag.size() >= 2 && tag.substr(tag.size() - 2) == "/>";
    std::size_t name_end = 1;
    while (name_end < tag.size() && !is_markup_space(tag[name_end]) && tag[name_end] != '/' &&
           tag[name_end] != '>') {
        ++name_end;
    }
    index.tag_starts = {0};
    index.tag_ends = {tag.size() - 1};
    index.tag_kinds = {self_closing ? TagKind::SelfClosing : TagKind::Open};
    index.tag_names = {NameRef{1, static_cast<std::uint16_t>(name_end - 1)}};
    return index;
}

// An index with one construct of `kind` over all of `text`, ending at `end`.
StructuralIndex single_construct_index(std::string_view text, TagKind kind, std::uint64_t end) {
    StructuralIndex index;
    index.input = text;
    index.tag_starts = {0};
    index.tag_ends = {end};
    index.tag_kinds = {kind};
    index.tag_names = {NameRef{}};
    return index;
}

struct TagCase {
    const char* label;
    std::string tag;
    std::string expected;  // the rendered element, or "!" + message
};

class TokenizeStartTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(TokenizeStartTag, Table) {
    const TagCase& test = GetParam();
    BufferRef buffer = make_buffer(test.tag);
    StructuralIndex index = single_tag_index(buffer->bytes());
    std::size_t spans = 0;
    {
        auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
        if (element) {
            EXPECT_EQ(render(*element), test.expected);
            EXPECT_FALSE(element->text.has_value());
            EXPECT_TRUE(element->children.empty());
            spans = read_testing::count_buffer_references(*element);
            EXPECT_EQ(buffer->use_count(), 1 + spans) << "one reference per element, no more";
        } else {
            EXPECT_EQ(read_testing::error_text(element.error()), test.expected);
            EXPECT_EQ(buffer->use_count(), 1u) << "a failed tag keeps no reference";
        }
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

std::string many_attributes(std::size_t count) {
    std::string tag = "<m";
    for (std::size_t i = 0; i < count; ++i) tag += concat(" k", std::to_string(i), "='", std::to_string(i), "'");
    return tag + "/>";
}

std::string many_attributes_rendered(std::size_t count) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < count; ++i) items.push_back(concat("k", std::to_string(i), "=", std::to_string(i)));
    std::sort(items.begin(), items.end());
    std::string out = "m[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ' ';
        out += items[i];
    }
    return out + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenizeStartTag,
    ::testing::Values(
        TagCase{"NameOnly", "<a>", "a"}, TagCase{"EmptyElement", "<a/>", "a"},
        TagCase{"EmptyElementSpace", "<a />", "a"}, TagCase{"TrailingSpace", "<a  >", "a"},
        TagCase{"OneAttribute", "<a x='1'>", "a[x=1]"},
        TagCase{"DoubleQuotes", "<a x=\"1\" y=\"2\"/>", "a[x=1 y=2]"},
        TagCase{"SpacesAroundEquals", "<a x = '1'>", "a[x=1]"},
        TagCase{"EveryWhitespace", "<a\tx='1'\ny='2'\rz='3'\fw='4' >", "a[w=4 x=1 y=2 z=3]"},
        TagCase{"ApostropheInDoubleQuotes", "<a x=\"it's\">", "a[x=it's]"},
        TagCase{"DoubleQuoteInApostrophes", "<a x='say \"hi\"'>", "a[x=say \"hi\"]"},
        TagCase{"GreaterThanInValue", "<a x='a>b'>", "a[x=a>b]"},
        TagCase{"EmptyValue", "<a x=''/>", "a[x=]"},
        TagCase{"CaseDiffers", "<a x='1' X='2'>", "a[X=2 x=1]"},
        TagCase{"DecodedValue", "<a x='&lt;&#65;'>", "a[x=<A]"},
        TagCase{"LineBreaksInValue", "<a x='1\r\n2\t3'>", "a[x=1 2 3]"},
        TagCase{"Utf8Name", "<\xC3\xA9t\xC3\xA9 \xC3\xA0='\xC3\xA7" "a'>", "\xC3\xA9t\xC3\xA9[\xC3\xA0=\xC3\xA7" "a]"},
        TagCase{"ColonNames", "<a:b c:d='1'>", "a:b[c:d=1]"},
        TagCase{"LongValue", "<a x='abcdefghijklmnopqrstuvwxyz'>", "a[x=abcdefghijklmnopqrstuvwxyz]"},
        TagCase{"LessThanInTheNextName", "<a x='1' y<z='2'>", "a[x=1 y<z=2]"},
        TagCase{"FortyAttributes", many_attributes(40), many_attributes_rendered(40)},
        // Errors.
        TagCase{"EmptyName", "<>", "!malformed XML at byte 0: expected element name after '<'"},
        TagCase{"SpaceBeforeName", "< a>", "!malformed XML at byte 0: expected element name after '<'"},
        TagCase{"NoWhitespaceBetween", "<a x='1'y='2'>",
                "!malformed XML at byte 8: expected whitespace before attribute"},
        TagCase{"SlashInOpenTag", "<a/b>", "!malformed XML at byte 2: expected whitespace before attribute"},
        TagCase{"EqualsAfterValue", "<a x='1'=>", "!malformed XML at byte 8: expected whitespace before attribute"},
        TagCase{"NoValue", "<a x>", "!malformed XML at byte 3: attribute 'x' has no value"},
        TagCase{"NoValueThenAttribute", "<a x y='1'>", "!malformed XML at byte 3: attribute 'x' has no value"},
        TagCase{"QuoteAfterName", "<a x\"1\">", "!malformed XML at byte 3: attribute 'x' has no value"},
        TagCase{"SecondHasNoValue", "<a x='1' yy>", "!malformed XML at byte 9: attribute 'yy' has no value"},
        TagCase{"Unquoted", "<a x=1>", "!malformed XML at byte 5: value of attribute 'x' is not quoted"},
        TagCase{"UnquotedAtEnd", "<a x=  >", "!malformed XML at byte 7: value of attribute 'x' is not quoted"},
        TagCase{"UnquotedSelfClosing", "<a x=/>", "!malformed XML at byte 5: value of attribute 'x' is not quoted"},
        TagCase{"EqualsFirst", "<a ='1'>", "!malformed XML at byte 3: expected attribute name"},
        TagCase{"QuoteFirst", "<a x='1' '2'>", "!malformed XML at byte 9: expected attribute name"},
        TagCase{"UnterminatedValue", "<a x='1>", "!malformed XML at byte 6: unterminated attribute value"},
        TagCase{"LessThanInValue", "<a x='a<b'>", "!malformed XML at byte 7: '<' is not allowed in attribute values"},
        TagCase{"LessThanInLongValue", "<a x='abcdefghij<klmnop&bad;'>",
                "!malformed XML at byte 16: '<' is not allowed in attribute values"},
        TagCase{"LessThanBeforeBadEntity", "<a x='&bad;<'>",
                "!malformed XML at byte 11: '<' is not allowed in attribute values"},
        TagCase{"Duplicate", "<a x='1' x='2'>", "!malformed XML at byte 9: duplicate attribute 'x'"},
        TagCase{"DuplicateAmongMany", "<a k1='1' k2='2' k3='3' k2='4'>",
                "!malformed XML at byte 24: duplicate attribute 'k2'"},
        TagCase{"UnknownEntityInValue", "<a x=\"&bad;\">", "!unknown entity reference '&bad;' at byte 6"},
        TagCase{"InvalidReferenceInValue", "<a b='1' x='&#xD800;'>",
                "!malformed XML at byte 12: invalid character reference '&#xD800;'"},
        TagCase{"UnterminatedEntityInValue", "<a x='a&b'>",
                "!malformed XML at byte 7: unterminated entity reference"}),
    [](const auto& info) { return std::string(info.param.label); });

// One byte of interest at every position of values of every length from 0 to 40, so
// that it falls in every lane of the sixteen- and eight-byte steps and in the
// byte-wise tail, with the document ending at the tag or going on after it (bytes
// past the tag that would matter inside a value must not count).
TEST(TokenizeStartTag, ValueBytesAtEveryPosition) {
    struct Probe {
        std::string inserted;
        std::string decoded;  // what the inserted bytes read as, or "" for an error
    };
    const Probe probes[] = {{"\"", "\""}, {"&amp;", "&"}, {"\t", " "}, {"\r\n", " "},
                            {"\x0b", "\x0b"}, {"<", ""}};
    const std::string suffixes[] = {"", "'<&\t\"x", std::string(40, '\'')};
    for (const std::string& suffix : suffixes) {
      for (const Probe& probe : probes) {
        for (std::size_t length = 0; length <= 40; ++length) {
            for (std::size_t at = 0; at <= length; ++at) {
                std::string value = std::string(at, 'v') + probe.inserted + std::string(length - at, 'w');
                std::string tag = "<a k='" + value + "' z='1'>";
                BufferRef buffer = make_buffer(tag + suffix);
                StructuralIndex index = single_tag_index(buffer->bytes(), tag.size());
                auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
                if (probe.decoded.empty()) {
                    ASSERT_FALSE(element) << tag;
                    EXPECT_EQ(element.error().message(), concat("malformed XML at byte ", std::to_string(6 + at),
                                                                ": '<' is not allowed in attribute values"));
                    continue;
                }
                ASSERT_TRUE(element) << tag;
                auto read = element->attrs.find("k");
                ASSERT_NE(read, nullptr);
                EXPECT_EQ(read->raw(), std::string(at, 'v') + probe.decoded + std::string(length - at, 'w')) << tag;
                EXPECT_EQ(read->is_span(), probe.inserted == probe.decoded) << tag;
                ASSERT_NE(element->attrs.find("z"), nullptr);
            }
            // The closing quote itself at every distance, with the other quote inside.
            std::string tag = concat("<a k='", std::string(length, '"'), "'>");
            BufferRef buffer = make_buffer(tag + suffix);
            StructuralIndex index = single_tag_index(buffer->bytes(), tag.size());
            auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
            ASSERT_TRUE(element);
            EXPECT_EQ(element->attrs.find("k")->raw(), std::string(length, '"'));
        }
      }
    }
}

// Every byte that ends an attribute name, after names of every length around the
// sixteen-byte steps of the name scan, with bytes next to them that do not end one.
TEST(TokenizeStartTag, NameEndsAtEveryLength) {
    const struct {
        std::string after;     // what follows the name in the tag
        std::string expected;  // "" when the key and value come out whole
    } endings[] = {{"='v'", ""},   {" ='v'", ""},  {"\t='v'", ""}, {"\n= 'v'", ""},
                   {"\f='v'", ""}, {"\r='v'", ""}, {"'v'", "!"},  {"\"v\"", "!"}};
    for (const auto& ending : endings) {
        for (std::size_t length = 1; length <= 40; ++length) {
            // Bytes near the terminators that are name bytes: VT, 0x08, 0x0E, '!' and a
            // non-ASCII letter.
            std::string key;
            const std::string filler = std::string("k\x0b\x08\x0e!") + "\xc3\xa9";
            while (key.size() < length) key += filler[key.size() % filler.size()];
            if ((static_cast<unsigned char>(key.back()) & 0xC0) == 0xC0) key.back() = 'z';
            const std::string tag = concat("<a ", key, ending.after, " z='1'>");
            BufferRef buffer = make_buffer(tag);
            StructuralIndex index = single_tag_index(buffer->bytes());
            auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
            if (!ending.expected.empty()) {
                ASSERT_FALSE(element) << tag;
                continue;
            }
            ASSERT_TRUE(element) << tag;
            auto read = element->attrs.find(key);
            ASSERT_NE(read, nullptr) << tag;
            EXPECT_EQ(read->raw(), "v");
            EXPECT_EQ(element->attrs.size(), 2u);
        }
    }
}

// Bytes past a value's closing quote, in the same block of sixteen, are not the
// value's: a '<' in the next attribute's name is that name's byte.
TEST(TokenizeStartTag, BytesPastTheClosingQuoteInTheSameBlock) {
    for (const std::string next : {"y<z", "<", "y&z"}) {
        const std::string tag = "<a x='1' " + next + "='2'>";
        BufferRef buffer = make_buffer(tag + std::string(40, 't'));
        StructuralIndex index = single_tag_index(buffer->bytes(), tag.size());
        auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
        ASSERT_TRUE(element) << tag;
        EXPECT_EQ(element->attrs.find("x")->raw(), "1");
        EXPECT_TRUE(element->attrs.find("x")->is_span()) << tag;
        EXPECT_EQ(element->attrs.find(next)->raw(), "2");
    }
}

TEST(TokenizeStartTag, UnterminatedValueAtEveryLength) {
    // The quotes after the tag lie outside it, even where a block read takes them in.
    for (const std::string suffix : {"", "\"\"\"", "\"x\"x\"x\"x\"x\"x\"x\"x\"x\"x\"x\"x"}) {
      for (std::size_t length = 0; length <= 40; ++length) {
        std::string tag = concat("<a k=\"", std::string(length, 'x'), "'&<>");
        BufferRef buffer = make_buffer(tag + suffix);
        StructuralIndex index = single_tag_index(buffer->bytes(), tag.size());
        auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
        ASSERT_FALSE(element);
        EXPECT_EQ(element.error().message(), "malformed XML at byte 6: unterminated attribute value");
        EXPECT_EQ(buffer->use_count(), 1u);
      }
    }
}

TEST(TokenizeStartTag, NamesKeysAndUnchangedValuesAreSpans) {
    BufferRef buffer = make_buffer("<abc key='val' amp='&amp;' long='0123456789abcdef'/>");
    StructuralIndex index = single_tag_index(buffer->bytes());
    auto element = tokenize_start_tag(buffer->bytes(), index, 0, buffer.get(), draw_hash_keys());
    ASSERT_TRUE(element);
    EXPECT_TRUE(element->name.is_span());
    EXPECT_TRUE(element->name.is_borrowed());
    EXPECT_EQ(element->buffer.get(), buffer.get());
    EXPECT_EQ(element->name.span_start(), 1u);
    EXPECT_EQ(element->name.span_end(), 4u);
    for (auto entry : element->attrs) {
        EXPECT_TRUE(entry.key.is_span()) << entry.key.raw();
        EXPECT_EQ(entry.value.is_span(), entry.key.raw() != "amp") << entry.key.raw();
        EXPECT_EQ(entry.value.is_borrowed(), entry.key.raw() != "amp") << entry.key.raw();
    }
    auto value = element->attrs.find("key");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->span_start(), 10u);
    EXPECT_EQ(value->span_end(), 13u);
    EXPECT_EQ(element->attrs.find("amp")->raw(), "&");
    // Ours and the element's one reference, which its five spans borrow.
    EXPECT_EQ(buffer->use_count(), 2u);
}

TEST(TokenizeStartTag, SharedSpanSourceGivesBackWhatItDidNotHandOut) {
    BufferRef buffer = make_buffer("<a x='1' y='2'>");
    StructuralIndex index = single_tag_index(buffer->bytes());
    HashKeys keys = draw_hash_keys();
    {
        SpanSource spans(buffer.get());
        auto first = tokenize_start_tag(buffer->bytes(), index, 0, spans, keys);
        auto second = tokenize_start_tag(buffer->bytes(), index, 0, spans, keys);
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->attrs.keys().k0, keys.k0);
        EXPECT_EQ(second->attrs.keys().k1, keys.k1);
        EXPECT_GE(buffer->use_count(), 1u + 2u);
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(ElementNameAndRegion, OpenAndSelfClosing) {
    struct Case {
        std::string tag;
        std::string name;
        std::string region;
        std::uint64_t region_offset;
    };
    for (const Case& test : {Case{"<a>", "a", "", 2}, Case{"<a/>", "a", "", 2},
                             Case{"<ab x='1'/>", "ab", " x='1'", 3}, Case{"<a/b>", "a", "/b", 2},
                             Case{"<r x='1' >", "r", " x='1' ", 2}}) {
        StructuralIndex index = single_tag_index(test.tag);
        auto parts = element_name_and_region(test.tag, index, 0);
        ASSERT_TRUE(parts) << test.tag;
        EXPECT_EQ(parts->name, test.name);
        EXPECT_EQ(parts->name_offset, 1u);
        EXPECT_EQ(parts->region, test.region) << test.tag;
        EXPECT_EQ(parts->region_offset, test.region_offset);
    }
}

struct ConstructCase {
    const char* label;
    std::string text;
    TagKind kind;
    std::uint64_t end;
    std::string expected;  // "ok", the CDATA body, or "!" + message
};

class ConstructCheck : public ::testing::TestWithParam<ConstructCase> {};

TEST_P(ConstructCheck, Table) {
    const ConstructCase& test = GetParam();
    StructuralIndex index = single_construct_index(test.text, test.kind, test.end);
    std::string outcome;
    if (test.kind == TagKind::CData) {
        auto body = check_cdata(test.text, index, 0);
        outcome = body ? test.text.substr(body->start, body->end - body->start)
                       : read_testing::error_text(body.error());
    } else {
        auto checked = test.kind == TagKind::Comment ? check_comment(test.text, index, 0)
                                                     : check_processing_instruction(test.text, index, 0);
        outcome = checked ? "ok" : read_testing::error_text(checked.error());
    }
    EXPECT_EQ(outcome, test.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstructCheck,
    ::testing::Values(
        ConstructCase{"EmptyComment", "<!---->", TagKind::Comment, 6, "ok"},
        ConstructCase{"Comment", "<!-- x -->", TagKind::Comment, 9, "ok"},
        ConstructCase{"CommentEndingAtGreaterThan", "<!-- a > b", TagKind::Comment, 8,
                      "!malformed XML at byte 0: unterminated comment"},
        ConstructCase{"CommentTooShort", "<!-->", TagKind::Comment, 4,
                      "!malformed XML at byte 0: unterminated comment"},
        ConstructCase{"CommentAtLengthMinusTwo", "<!-- ab", TagKind::Comment, 5,
                      "!malformed XML at byte 0: unterminated comment"},
        ConstructCase{"EmptyCData", "<![CDATA[]]>", TagKind::CData, 11, ""},
        ConstructCase{"CData", "<![CDATA[a<b & c]]>", TagKind::CData, 18, "a<b & c"},
        ConstructCase{"CDataBrackets", "<![CDATA[]]]]>", TagKind::CData, 13, "]]"},
        ConstructCase{"UnterminatedCData", "<![CDATA[ab", TagKind::CData, 9,
                      "!malformed XML at byte 0: unterminated CDATA section"},
        ConstructCase{"UnterminatedCDataAtEnd", "<![CDATA[ab]]", TagKind::CData, 11,
                      "!malformed XML at byte 0: unterminated CDATA section"},
        ConstructCase{"Declaration", "<?xml version='1.0'?>", TagKind::ProcessingInstruction, 20, "ok"},
        ConstructCase{"ShortInstruction", "<?a?>", TagKind::ProcessingInstruction, 4, "ok"},
        ConstructCase{"UnterminatedInstruction", "<?xml a>", TagKind::ProcessingInstruction, 7,
                      "!malformed XML at byte 0: unterminated processing instruction"},
        ConstructCase{"InstructionTargetToEnd", "<?xml", TagKind::ProcessingInstruction, 4,
                      "!malformed XML at byte 0: unterminated processing instruction"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace vorlane
