// parse_document: tree assembly, text gathering, root selection and every reader error
// with its exact offset, through both index builders; buffer references; deep input.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "index/structural_index.hpp"
#include "read/parse_document.hpp"
#include "read_test_support.hpp"

namespace vorlane {
namespace {

using read_testing::bitmap_prefix;
using read_testing::count_buffer_references;
using read_testing::error_text;
using read_testing::make_buffer;
using read_testing::render;
using read_testing::shift_offsets;

// Parses `document` and returns the rendered tree or "!" + the error message, checking
// on the way that the buffer holds exactly one reference per span of the result, and
// none after the result is gone.
std::string parse_and_render(std::string_view document, std::string_view root_tag) {
    BufferRef buffer = make_buffer(document);
    std::string outcome;
    {
        auto parsed = parse_document(buffer.get(), root_tag);
        if (parsed) {
            outcome = render(*parsed);
            EXPECT_EQ(buffer->use_count(), 1 + count_buffer_references(*parsed)) << document;
        } else {
            outcome = error_text(parsed.error());
            EXPECT_EQ(buffer->use_count(), 1u) << "a failed parse keeps no reference: " << document;
        }
    }
    EXPECT_EQ(buffer->use_count(), 1u) << document;
    return outcome;
}

struct DocumentCase {
    const char* label;
    std::string document;
    std::string root;
    // The rendered tree, or "!" + message; "@N" stands for the document offset N.
    std::string expected;
};

// Cases that behave the same under both index builders. Each runs once as written
// (sequential builder) and once behind a quote-dense empty-element tag (bitmap
// builder), with every offset shifted by the length of that tag.
class ParseDocumentBothBuilders : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ParseDocumentBothBuilders, Sequential) {
    const DocumentCase& test = GetParam();
    ASSERT_FALSE(prefers_bitmap_builder(test.document));
    EXPECT_EQ(parse_and_render(test.document, test.root), shift_offsets(test.expected, 0));
}

TEST_P(ParseDocumentBothBuilders, Bitmap) {
    const DocumentCase& test = GetParam();
    std::string prefix = bitmap_prefix(test.document);
    std::string document = prefix + test.document;
    ASSERT_TRUE(prefers_bitmap_builder(document));
    EXPECT_EQ(parse_and_render(document, test.root), shift_offsets(test.expected, prefix.size()));
}

const char* const kNbsp = "\xC2\xA0";
const char* const kIdeographicSpace = "\xE3\x80\x80";
const char* const kLineSeparator = "\xE2\x80\xA8";
const char* const kNextLine = "\xC2\x85";

INSTANTIATE_TEST_SUITE_P(
    Trees, ParseDocumentBothBuilders,
    ::testing::Values(
        DocumentCase{"RootInside", "<doc><meta/><data><item/></data></doc>", "data", "data(item)"},
        DocumentCase{"TextAroundChild", "<a>x<b/>y</a>", "a", "a'xy'(b)"},
        DocumentCase{"SpacesAroundChildKept", "<a>x <b/> y</a>", "a", "a'x  y'(b)"},
        DocumentCase{"CommentRemoved", "<a>x<!--c-->y</a>", "a", "a'xy'"},
        DocumentCase{"InstructionRemoved", "<r>a<?p x?>b<!-- c -->c</r>", "r", "r'abc'"},
        DocumentCase{"WhitespaceOnlyAbsent", "<a>  \n\t </a>", "a", "a"},
        DocumentCase{"EmptyAbsent", "<a></a>", "a", "a"},
        DocumentCase{"CDataPiecesJoinedThenTrimmed", "<a> <![CDATA[ x ]]> </a>", "a", "a'x'"},
        DocumentCase{"CDataLiteral", "<r><![CDATA[a<b & c]]></r>", "r", "r'a<b & c'"},
        DocumentCase{"EmptyCData", "<r><![CDATA[]]></r>", "r", "r"},
        DocumentCase{"BlankCData", "<r><![CDATA[ \n ]]></r>", "r", "r"},
        DocumentCase{"CDataBetweenText", "<r>a<![CDATA[b]]>c<d/>e</r>", "r", "r'abce'(d)"},
        DocumentCase{"TrimAfterDecoding", "<a>&#32;x</a>", "a", "a'x'"},
        DocumentCase{"DecodedText", "<a>x&amp;y</a>", "a", "a'x&y'"},
        DocumentCase{"DecodedAndTrimmed", "<r> a &lt; b </r>", "r", "r'a < b'"},
        DocumentCase{"DecodedLineBreakTrimmed", "<r>&#10;x&#13;</r>", "r", "r'x'"},
        DocumentCase{"TextLineBreaksKept", "<r>a\r\nb</r>", "r", "r'a\r\nb'"},
        DocumentCase{"UnicodeWhitespaceTrimmed",
                     std::string("<r>") + kIdeographicSpace + kNbsp + "x" + kLineSeparator + " y" +
                         kNextLine + "\x0b</r>",
                     "r", std::string("r'x") + kLineSeparator + " y'"},
        DocumentCase{"NonWhitespaceUnicodeKept", "<r>\xC3\xA9</r>", "r", "r'\xC3\xA9'"},
        DocumentCase{"AttributesAndChildren",
                     "<r a=\"1\" b='2'><c d=\"&lt;\"/>text<e>inner</e>tail</r>", "r",
                     "r[a=1 b=2]'texttail'(c[d=<],e'inner')"},
        DocumentCase{"NestedNameLikeRoot", "<r><r>i</r></r>", "r", "r(r'i')"},
        DocumentCase{"RootDeepInside", "<a><b><r x=\"1\">t</r></b></a>", "r", "r[x=1]'t'"},
        DocumentCase{"RootAfterOuterClosed", "<a>ignored &bad;</a><r/>", "r", "r"},
        DocumentCase{"FirstOfTwo", "<r>1</r><r>2</r>", "r", "r'1'"},
        DocumentCase{"EndTagSpace", "<r></r >", "r", "r"},
        DocumentCase{"EndTagUnicodeSpace", std::string("<r></r \t") + kNbsp + kIdeographicSpace + ">", "r", "r"},
        DocumentCase{"TextOutsideRootNotDecoded", "<x>&foo;</x><r/>", "r", "r"},
        DocumentCase{"OuterAttributesNotExamined", "<x a=1><r/></x>", "r", "r"},
        DocumentCase{"Declaration", "<?xml version=\"1.0\"?><r/>", "r", "r"},
        DocumentCase{"Doctype", "<!DOCTYPE r [<!ELEMENT r ANY>]><r>t</r>", "r", "r't'"},
        DocumentCase{"ApostrophesInText", "<r>it's <i>x</i> isn't</r>", "r", "r'it's  isn't'(i'x')"},
        DocumentCase{"LoneApostropheInText", "<r>it's</r><x/>", "r", "r'it's'"},
        DocumentCase{"QuotesInCommentCDataAndInstruction",
                     "<r>\"<!-- don't --><![CDATA[it\"s]]><?pi a'b?><i/>'</r>", "r", "r'\"it\"s\''(i)"},
        DocumentCase{"DoctypeSubsetCannotInjectARoot", "<!DOCTYPE r [<!ENTITY f '> <r>fake</r>'>]><r>real</r>",
                     "r", "r'real'"},
        DocumentCase{"DoctypeSubsetUnterminated", "<!DOCTYPE r [<!ENTITY f '> <r>fake</r>'><r>real</r>", "r",
                     "!malformed XML at byte @0: unterminated document type declaration"},
        DocumentCase{"NamespacedRoot", "<a:b>t</a:b>", "a:b", "a:b't'"},
        DocumentCase{"RootCaseSensitive", "<R/><r/>", "r", "r"},
        DocumentCase{"WalkStopsAtRootEnd", "<r></r></x></y>", "r", "r"},
        DocumentCase{"WalkStopsBeforeBadEntity", "<r/><x>&bad;</x>", "r", "r"},
        // Errors.
        DocumentCase{"MismatchedEndTag", "<r><a></r>", "r", "!malformed XML at byte @6: expected </a>, found </r>"},
        DocumentCase{"MismatchOutside", "<a><b></a><r/>", "r", "!malformed XML at byte @6: expected </b>, found </a>"},
        DocumentCase{"NeverClosed", "<r><a>", "r", "!unexpected end of document: <a> is never closed"},
        DocumentCase{"RootNeverClosed", "<r>text", "r", "!unexpected end of document: <r> is never closed"},
        DocumentCase{"UnexpectedEndTag", "</x><r/>", "r", "!malformed XML at byte @0: unexpected end tag </x>"},
        DocumentCase{"EmptyEndTag", "<r></></r>", "r", "!malformed XML at byte @3: expected </r>, found </>"},
        DocumentCase{"MalformedEndTag", "<r></r x>", "r", "!malformed XML at byte @3: malformed end tag </r>"},
        DocumentCase{"NbspGluedToEndTagName", std::string("<r></r") + kNbsp + ">", "r",
                     std::string("!malformed XML at byte @3: expected </r>, found </r") + kNbsp + ">"},
        DocumentCase{"MalformedEndTagOutside", "<a></a b><r/>", "r", "!malformed XML at byte @3: malformed end tag </a>"},
        DocumentCase{"OuterEmptyElementValidated", "<x a=1/><r/>", "r",
                     "!malformed XML at byte @5: value of attribute 'a' is not quoted"},
        DocumentCase{"RootNotFound", "<x/>", "r", "!root tag <r> not found in document"},
        DocumentCase{"RootNotFoundNamespace", "<a:b/>", "b", "!root tag <b> not found in document"},
        DocumentCase{"EmptyDocument", "", "r", "!root tag <r> not found in document"},
        DocumentCase{"TextOnly", "just text", "r", "!root tag <r> not found in document"},
        DocumentCase{"UnclosedTag", "<r", "r", "!malformed XML: Unclosed tag at byte @0"},
        DocumentCase{"UnclosedAfterRoot", "<r></r><a b=\"", "r", "!malformed XML: Unclosed tag at byte @7"},
        DocumentCase{"UnknownEntityAfterUtf8", "<r>\xC3\xA9&bad;</r>", "r", "!unknown entity reference '&bad;' at byte @5"},
        DocumentCase{"UnknownEntityInChild", "<r><c>ok</c><c>&nbsp;</c></r>", "r",
                     "!unknown entity reference '&nbsp;' at byte @15"},
        DocumentCase{"EmptyEntity", "<r>&;</r>", "r", "!unknown entity reference '&;' at byte @3"},
        DocumentCase{"UnterminatedEntity", "<r>AT&T</r>", "r", "!malformed XML at byte @5: unterminated entity reference"},
        DocumentCase{"InvalidReference", "<r>&#xD800;</r>", "r",
                     "!malformed XML at byte @3: invalid character reference '&#xD800;'"},
        DocumentCase{"EntityInAttribute", "<r a=\"&bad;\"/>", "r", "!unknown entity reference '&bad;' at byte @6"},
        DocumentCase{"EmptyElementName", "<r><></r>", "r", "!malformed XML at byte @3: expected element name after '<'"},
        DocumentCase{"EmptyNameOutside", "< r></r>", "r", "!malformed XML at byte @0: expected element name after '<'"},
        DocumentCase{"DuplicateAttribute", "<r x=\"1\" x=\"2\"/>", "r", "!malformed XML at byte @9: duplicate attribute 'x'"},
        DocumentCase{"WhitespaceBeforeAttribute", "<r><a x=\"1\"y=\"2\"/></r>", "r",
                     "!malformed XML at byte @11: expected whitespace before attribute"},
        DocumentCase{"LessThanInValue", "<r a=\"x<y\"/>", "r", "!malformed XML at byte @7: '<' is not allowed in attribute values"},
        DocumentCase{"UnterminatedInstruction", "<r><?pi x></r>", "r",
                     "!malformed XML at byte @3: unterminated processing instruction"},
        DocumentCase{"RootTagEmpty", "<r/>", "", "!root tag <> not found in document"}),
    [](const auto& info) { return std::string(info.param.label); });

// Cases where the two builders differ on purpose: the same document, both expectations.
struct BuilderPairCase {
    const char* label;
    std::string document;
    std::string root;
    std::string sequential;
    std::string bitmap;  // offsets relative to the document, shifted for the prefix
};

class ParseDocumentBuildersDiffer : public ::testing::TestWithParam<BuilderPairCase> {};

TEST_P(ParseDocumentBuildersDiffer, SideBySide) {
    const BuilderPairCase& test = GetParam();
    ASSERT_FALSE(prefers_bitmap_builder(test.document));
    EXPECT_EQ(parse_and_render(test.document, test.root), test.sequential);
    std::string prefix = bitmap_prefix(test.document);
    ASSERT_TRUE(prefers_bitmap_builder(prefix + test.document));
    EXPECT_EQ(parse_and_render(prefix + test.document, test.root), shift_offsets(test.bitmap, prefix.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDocumentBuildersDiffer,
    ::testing::Values(
        BuilderPairCase{"TrailingLessThan", "<r/><", "r", "!malformed XML: Unclosed tag at byte 4", "r"},
        BuilderPairCase{"CommentAfterRoot", "<r></r><!-- x", "r",
                        "!malformed XML at byte 13: unexpected end of document",
                        "!malformed XML: Unclosed tag at byte @7"},
        BuilderPairCase{"CommentWithoutEnd", "<r><!-- x", "r",
                        "!malformed XML at byte 9: unexpected end of document",
                        "!malformed XML: Unclosed tag at byte @3"},
        BuilderPairCase{"CommentEndingInGreaterThan", "<r><!-- a > b", "r",
                        "!malformed XML at byte 13: unexpected end of document",
                        "!malformed XML at byte @3: unterminated comment"},
        BuilderPairCase{"UnterminatedCData", "<r><![CDATA[x</r>", "r",
                        "!malformed XML at byte 17: unexpected end of document",
                        "!malformed XML at byte @3: unterminated CDATA section"},
        BuilderPairCase{"UnterminatedValueBeforeGreaterThan", "<r><a x='1>text</a></r>", "r",
                        "!malformed XML at byte 9: unterminated attribute value",
                        "!malformed XML: Unclosed tag at byte @3"}),
    [](const auto& info) { return std::string(info.param.label); });

// A reference at every position of text pieces of every length up to 40, in an
// element followed by the end of the document, by a sibling, or by more text after
// the root, so that it falls in every lane of the block search and next to the part
// of a block that lies past the piece.
TEST(ParseDocument, ReferencesAtEveryPositionOfAPiece) {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            const std::string text = std::string(at, 'x') + "&amp;" + std::string(length - at, 'y');
            const std::string expected = std::string(at, 'x') + "&" + std::string(length - at, 'y');
            const std::string documents[] = {"<r><t>" + text + "</t></r>", "<r><t>" + text + "</t><s/></r>",
                                             "<r><t>" + text + "</t></r>" + std::string(20, '&'),
                                             "<r>" + text + "</r>"};
            for (const std::string& document : documents) {
                BufferRef buffer = make_buffer(document);
                auto parsed = parse_document(buffer.get(), "r");
                ASSERT_TRUE(parsed) << document;
                const ParsedElement& holder = parsed->children.empty() ? *parsed : parsed->children[0];
                ASSERT_TRUE(holder.text.has_value()) << document;
                EXPECT_EQ(holder.text->raw(), expected) << document;
            }
        }
        // A bare '&' as the piece's last byte is still found.
        const std::string document = "<r><t>" + std::string(length, 'x') + "&</t></r>";
        BufferRef buffer = make_buffer(document);
        auto parsed = parse_document(buffer.get(), "r");
        ASSERT_FALSE(parsed) << document;
        EXPECT_EQ(parsed.error().message(),
                  "malformed XML at byte " + std::to_string(6 + length) + ": unterminated entity reference");
    }
}

// A leading piece of white space only is dropped, whatever its length and whatever
// follows it in the document; one other byte anywhere in it keeps the piece.
TEST(ParseDocument, LeadingWhiteSpacePiecesOfEveryLength) {
    const std::string spaces = " \t\n\r \n  \t\r\n    \t \n\r  \t \n";
    for (std::size_t length = 1; length <= 20; ++length) {
        const std::string white = spaces.substr(0, length);
        for (const std::string& after : {std::string("<c/>y</r>"), std::string("</r>")}) {
            const std::string expected = after == "</r>" ? "" : "y";
            BufferRef buffer = make_buffer("<r>" + white + after);
            auto parsed = parse_document(buffer.get(), "r");
            ASSERT_TRUE(parsed) << length;
            EXPECT_EQ(parsed->text.has_value() ? std::string(parsed->text->raw()) : std::string(), expected) << length;
            // Unicode white space (U+00A0, U+3000) is white space too.
            BufferRef wide = make_buffer("<r>" + white + "\xC2\xA0\xE3\x80\x80" + after);
            auto wide_parsed = parse_document(wide.get(), "r");
            ASSERT_TRUE(wide_parsed) << length;
            EXPECT_EQ(wide_parsed->text.has_value() ? std::string(wide_parsed->text->raw()) : std::string(), expected);
            for (std::size_t at = 0; at < length; ++at) {
                std::string kept = white;
                kept[at] = 'x';
                BufferRef marked = make_buffer("<r>" + kept + after);
                auto marked_parsed = parse_document(marked.get(), "r");
                ASSERT_TRUE(marked_parsed) << length << " " << at;
                ASSERT_TRUE(marked_parsed->text.has_value()) << length << " " << at;
                // Trimming takes the white space before the 'x' and, at the end of
                // the text, after it.
                const std::string text = expected.empty() ? "x" : "x" + white.substr(at + 1) + expected;
                EXPECT_EQ(std::string(marked_parsed->text->raw()), text) << length << " " << at;
            }
        }
    }
}

TEST(ParseDocument, NameLimits) {
    std::string longest(65535, 'n');
    BufferRef buffer = make_buffer("<" + longest + "/>");
    auto parsed = parse_document(buffer.get(), longest);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->name.size(), 65535u);

    std::string too_long(65536, 'n');
    for (const std::string& document : {"<" + too_long + "/>", bitmap_prefix("<") + "<" + too_long + "/>"}) {
        std::string expected = read_testing::concat("!malformed XML at byte ", std::to_string(document.find("<n")),
                                                    ": name longer than 65535 bytes");
        EXPECT_EQ(parse_and_render(document, "n"), expected);
    }
}

struct TextKindCase {
    const char* label;
    std::string document;
    std::string text;
    bool span;
};

class ParseDocumentTextStorage : public ::testing::TestWithParam<TextKindCase> {};

TEST_P(ParseDocumentTextStorage, SpanOrOwned) {
    const TextKindCase& test = GetParam();
    BufferRef buffer = make_buffer(test.document);
    auto parsed = parse_document(buffer.get(), "a");
    ASSERT_TRUE(parsed);
    ASSERT_TRUE(parsed->text.has_value());
    EXPECT_EQ(parsed->text->raw(), test.text);
    EXPECT_EQ(parsed->text->is_span(), test.span);
    EXPECT_TRUE(parsed->name.is_span());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDocumentTextStorage,
    ::testing::Values(TextKindCase{"SingleRun", "<a>xy</a>", "xy", true},
                      TextKindCase{"SingleRunTrimmed", "<a>\n  xy \n</a>", "xy", true},
                      TextKindCase{"SingleRunBesideComment", "<a>xy<!--c--></a>", "xy", true},
                      TextKindCase{"SingleRunBesideEmptyCData", "<a>xy<![CDATA[]]></a>", "xy", true},
                      TextKindCase{"CDataBody", "<a><![CDATA[x&y]]></a>", "x&y", true},
                      TextKindCase{"Decoded", "<a>x&amp;y</a>", "x&y", false},
                      TextKindCase{"DecodedTrimmed", "<a> &lt; </a>", "<", false},
                      TextKindCase{"TwoRuns", "<a>x<b/>y</a>", "xy", false},
                      TextKindCase{"BlankThenRun", "<a> <b/>x</a>", "x", true},
                      TextKindCase{"BlanksThenRunThenBlank", "<a>\n <b/>\n <b/>x <b/> </a>", "x", false},
                      TextKindCase{"RunThenBlankThenRun", "<a>x<b/> <b/>y</a>", "x y", false},
                      TextKindCase{"RunThenCData", "<a>x<![CDATA[y]]></a>", "xy", false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ParseDocument, ChildrenKeepDocumentOrderAtEveryWidth) {
    // Mixed empty-element and open/close children, so that both ways a child is
    // finished hand it to its parent in place.
    for (std::size_t width : {0u, 1u, 2u, 3u, 5u, 9u, 300u}) {
        std::string document = "<r>";
        for (std::size_t i = 0; i < width; ++i) {
            document += i % 2 == 0 ? "<c i='" + std::to_string(i) + "'/>"
                                   : "<c i='" + std::to_string(i) + "'><g/></c>";
        }
        document += "</r>";
        BufferRef buffer = make_buffer(document);
        auto parsed = parse_document(buffer.get(), "r");
        ASSERT_TRUE(parsed);
        ASSERT_EQ(parsed->children.size(), width);
        for (std::size_t i = 0; i < width; ++i) {
            const ParsedElement& child = parsed->children[i];
            auto index = child.attrs.find("i");
            ASSERT_NE(index, nullptr);
            EXPECT_EQ(index->raw(), std::to_string(i));
            EXPECT_EQ(child.children.size(), i % 2) << width << " " << i;
        }
    }
}

TEST(ParseDocument, OneKeyPairPerCallSharedByAllMaps) {
    BufferRef buffer = make_buffer("<r a=\"1\"><c b=\"2\"/><c b=\"3\"><d e=\"4\"/></c></r>");
    auto first = parse_document(buffer.get(), "r");
    auto second = parse_document(buffer.get(), "r");
    ASSERT_TRUE(first && second);
    HashKeys keys = first->attrs.keys();
    for (const ParsedElement* element : {&first->children[0], &first->children[1], &first->children[1].children[0]}) {
        EXPECT_EQ(element->attrs.keys().k0, keys.k0);
        EXPECT_EQ(element->attrs.keys().k1, keys.k1);
    }
    EXPECT_NE(second->attrs.keys().k0, keys.k0) << "each call draws a fresh pair";
}

TEST(ParseDocument, DeepDocumentParsesAndReleases) {
    constexpr std::size_t kDepth = 200000;
    std::string document;
    for (std::size_t i = 0; i < kDepth; ++i) document += "<a k=\"v\">";
    document += "x";
    for (std::size_t i = 0; i < kDepth; ++i) document += "</a>";
    BufferRef buffer = make_buffer(document);
    {
        auto parsed = parse_document(buffer.get(), "a");
        ASSERT_TRUE(parsed);
        std::size_t depth = 1;
        const ParsedElement* element = &*parsed;
        while (!element->children.empty()) {
            ASSERT_EQ(element->children.size(), 1u);
            element = &element->children[0];
            ++depth;
        }
        EXPECT_EQ(depth, kDepth);
        EXPECT_EQ(element->text->raw(), "x");
        EXPECT_EQ(buffer->use_count(), 1 + count_buffer_references(*parsed));
        EXPECT_EQ(buffer->use_count(), 1 + kDepth) << "one reference per element";
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(ParseDocument, DeepFailureReleasesEverything) {
    constexpr std::size_t kDepth = 150000;
    std::string document;
    for (std::size_t i = 0; i < kDepth; ++i) document += "<a>t";
    BufferRef buffer = make_buffer(document);
    auto parsed = parse_document(buffer.get(), "a");
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().message(), "unexpected end of document: <a> is never closed");
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(ParseDocument, RootBelowDeepOuterElements) {
    constexpr std::size_t kDepth = 100000;
    std::string document;
    for (std::size_t i = 0; i < kDepth; ++i) document += "<o>";
    document += "<r>t</r>";
    for (std::size_t i = 0; i < kDepth; ++i) document += "</o>";
    EXPECT_EQ(parse_and_render(document, "r"), "r't'");
}

// Long enough that the walk gives back the index pages behind it several times over:
// every element must still come out whole, in order, up to the last.
TEST(ParseDocument, LongDocumentReadsEveryEntryWhole) {
    constexpr std::size_t kElements = 200000;
    std::string document = "<r>";
    for (std::size_t i = 0; i < kElements; ++i) {
        const std::string number = std::to_string(i);
        document += "<e n='" + number + "'>t" + number;
        if (i % 7 == 0) document += "<![CDATA[c]]>";
        document += (i % 5 == 0 ? "<x/>" : "") + std::string("</e>");
    }
    document += "</r>";
    BufferRef buffer = make_buffer(document);
    auto parsed = parse_document(buffer.get(), "r");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->children.size(), kElements);
    for (std::size_t i = 0; i < kElements; ++i) {
        const ParsedElement& child = parsed->children[i];
        const std::string number = std::to_string(i);
        ASSERT_EQ(child.name.raw(), "e") << i;
        auto n = child.attrs.find("n");
        ASSERT_NE(n, nullptr) << i;
        ASSERT_EQ(n->raw(), number) << i;
        ASSERT_TRUE(child.text.has_value()) << i;
        ASSERT_EQ(child.text->raw(), "t" + number + (i % 7 == 0 ? "c" : "")) << i;
        ASSERT_EQ(child.children.size(), i % 5 == 0 ? 1u : 0u) << i;
    }
}

// Documents long enough that their index comes in several windows: an index error
// anywhere decides the outcome, as with the whole index built before the walk, also
// after the root is finished or the walk has failed windows earlier.
struct WindowedOutcomeCase {
    const char* label;
    std::string head;  // before the filler
    std::string tail;  // after it
    const char* root;
    std::string expected;  // "!" + message ({last} the offset of the tail's '<'), or "root"
};

class ParseDocumentWindows : public ::testing::TestWithParam<WindowedOutcomeCase> {};

TEST_P(ParseDocumentWindows, IndexErrorsDecideWhereverTheyLie) {
    const WindowedOutcomeCase& test = GetParam();
    // Plain elements take the sequential index; quote-dense ones the bitmap index.
    for (const char* element : {"<f/>", "<f a=\"1\" b=\"2\" c=\"3\"/>"}) {
        std::string filler;
        for (int i = 0; i < 30000; ++i) filler += element;
        const std::string document = test.head + filler + test.tail;
        std::string expected = test.expected;
        if (const std::size_t at = expected.find("{last}"); at != std::string::npos) {
            expected.replace(at, 6, std::to_string(document.size() - 2));
        }
        const std::string outcome = parse_and_render(document, test.root);
        if (expected == "root") {
            EXPECT_EQ(outcome, "r[k=1]") << element << outcome.substr(0, 200);
        } else {
            EXPECT_EQ(outcome, expected) << element;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDocumentWindows,
    ::testing::Values(
        WindowedOutcomeCase{"RootFinishedThenUnclosedTagAtEnd", "<d><r k='1'/>", "<x", "r",
                            "!malformed XML: Unclosed tag at byte {last}"},
        WindowedOutcomeCase{"WalkFailedThenUnclosedTagAtEnd", "<d></x>", "<x", "r",
                            "!malformed XML: Unclosed tag at byte {last}"},
        WindowedOutcomeCase{"WalkFailedAndIndexWhole", "<d></x>", "</d>", "r",
                            "!malformed XML at byte 3: expected </d>, found </x>"},
        WindowedOutcomeCase{"RootFinishedAndIndexWhole", "<d><r k='1'/>", "</d>", "r", "root"},
        WindowedOutcomeCase{"RootAfterManyWindows", "<d>", "<r k='1'/></d>", "r", "root"},
        WindowedOutcomeCase{"RootNeverClosed", "<d><r k='1'>", "", "r",
                            "!unexpected end of document: <r> is never closed"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TrimWhiteSpace, UnicodeSetAndInvalidBytes) {
    struct Case {
        std::string bytes;
        std::string kept;
    };
    for (const Case& test : {Case{"", ""}, Case{" \t\n\v\f\r", ""}, Case{"\xC2\x85x\xC2\xA0", "x"},
                             Case{"\xE1\x9A\x80x\xE2\x80\x80\xE2\x80\x8A", "x"},
                             Case{"\xE2\x80\xA9\xE2\x80\xAFx\xE2\x81\x9F", "x"},
                             Case{"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // U+200B is not White_Space
                             Case{"\x1Cx\x1F", "\x1Cx\x1F"},          // separators below U+0020 are not
                             Case{"\xA0x\xC2", "\xA0x\xC2"},          // stray bytes are content
                             Case{"\xE0\x80\xA0x", "\xE0\x80\xA0x"},  // an overlong space is content
                             Case{" \xC3\xA9 ", "\xC3\xA9"}}) {
        TrimBounds kept = trim_white_space(test.bytes);
        EXPECT_EQ(test.bytes.substr(kept.first, kept.second - kept.first), test.kept);
    }
}

}  // namespace
}  // namespace vorlane
