// The serializer: exact layout (newline_pending, self-closing, text then first child
// on the same line), escaping in place, spans, bad spans, and very deep trees.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "failing_allocator.hpp"
#include "test_tree.hpp"
#include "write/xml_writer.hpp"

namespace vorlane {
namespace {

using testing_support::chain;
using testing_support::children_of;
using testing_support::element;
using testing_support::make_attrs;
using testing_support::make_buffer;
using testing_support::TestElement;
using testing_support::TestTree;

std::string render(TestElement root, std::uint32_t indent, bool declaration = false) {
    StringSink sink;
    if (declaration) {
        EXPECT_TRUE(sink.append(XML_DECLARATION).ok());
    }
    XmlWriter<StringSink> writer{sink, indent};
    Result<void, WriteError> written = write_element<TestTree>(writer, root);
    EXPECT_TRUE(written.ok());
    EXPECT_EQ(writer.depth, 0u);
    EXPECT_TRUE(writer.newline_pending);
    return std::string(sink.view());
}

TestElement catalog() {
    return element("catalog", {{"id", "7"}}, std::nullopt,
                   children_of(element("book", {{"lang", "en"}}, "Tom & Jerry's"), element("shelf"),
                               element("box", {}, "a<b",
                                       children_of(element("item", {{"note", "x\ty\"z"}})))));
}

TEST(XmlWriterTest, DeclarationIsThirtyNineBytesEndingInLineFeed) {
    EXPECT_EQ(XML_DECLARATION.size(), 39u);
    EXPECT_EQ(XML_DECLARATION.back(), '\n');
}

TEST(XmlWriterTest, CatalogWithDeclarationAndIndentFour) {
    EXPECT_EQ(render(catalog(), 4, true),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<catalog id=\"7\">\n"
              "    <book lang=\"en\">Tom &amp; Jerry&apos;s</book>\n"
              "    <shelf/>\n"
              "    <box>a&lt;b<item note=\"x&#9;y&quot;z\"/>\n"
              "    </box>\n"
              "</catalog>");
}

TEST(XmlWriterTest, CatalogWithoutDeclarationAndIndentTwo) {
    EXPECT_EQ(render(catalog(), 2),
              "<catalog id=\"7\">\n"
              "  <book lang=\"en\">Tom &amp; Jerry&apos;s</book>\n"
              "  <shelf/>\n"
              "  <box>a&lt;b<item note=\"x&#9;y&quot;z\"/>\n"
              "  </box>\n"
              "</catalog>");
}

TEST(XmlWriterTest, IndentZeroKeepsLineBreaksWithoutSpaces) {
    EXPECT_EQ(render(catalog(), 0),
              "<catalog id=\"7\">\n"
              "<book lang=\"en\">Tom &amp; Jerry&apos;s</book>\n"
              "<shelf/>\n"
              "<box>a&lt;b<item note=\"x&#9;y&quot;z\"/>\n"
              "</box>\n"
              "</catalog>");
}

struct LayoutCase {
    const char* label;
    TestElement (*build)();
    std::uint32_t indent;
    const char* expected;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, WritesExactBytes) {
    EXPECT_EQ(render(GetParam().build(), GetParam().indent), GetParam().expected);
}

std::string layout_case_name(const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Cases, LayoutTest,
    ::testing::Values(
        LayoutCase{"BareLeafSelfCloses", [] { return element("a"); }, 4, "<a/>"},
        LayoutCase{"LeafWithAttributeSelfCloses", [] { return element("a", {{"k", "v"}}); }, 4,
                   "<a k=\"v\"/>"},
        LayoutCase{"EmptyTextGivesAdjacentTags", [] { return element("a", {}, ""); }, 4, "<a></a>"},
        LayoutCase{"EmptyTextWithAttribute", [] { return element("a", {{"k", ""}}, ""); }, 4,
                   "<a k=\"\"></a>"},
        LayoutCase{"TextOnlyKeepsEndTagOnSameLine", [] { return element("a", {}, "hi"); }, 4,
                   "<a>hi</a>"},
        LayoutCase{"TextIsNotTrimmedOrPadded", [] { return element("a", {}, "  x\n "); }, 4,
                   "<a>  x\n </a>"},
        LayoutCase{"ChildrenWithoutText",
                   [] { return element("a", {}, std::nullopt, children_of(element("b"), element("c"))); }, 2,
                   "<a>\n  <b/>\n  <c/>\n</a>"},
        LayoutCase{"TextThenFirstChildOnSameLine",
                   [] { return element("a", {}, "t", children_of(element("b"), element("c"))); }, 2,
                   "<a>t<b/>\n  <c/>\n</a>"},
        LayoutCase{"EmptyTextStillPullsFirstChildUp",
                   [] { return element("a", {}, "", children_of(element("b"))); }, 2, "<a><b/>\n</a>"},
        LayoutCase{"ChildTextsAtEachDepth",
                   [] {
                       return element("a", {}, std::nullopt,
                                      children_of(element("b", {}, std::nullopt,
                                                          children_of(element("c", {}, "x"), element("d", {}, ""))),
                                                  element("e", {}, "y")));
                   },
                   3, "<a>\n   <b>\n      <c>x</c>\n      <d></d>\n   </b>\n   <e>y</e>\n</a>"},
        LayoutCase{"TextParentInsideIndentedTree",
                   [] {
                       return element("r", {}, std::nullopt,
                                      children_of(element("p", {}, "t",
                                                          children_of(element("q", {}, std::nullopt,
                                                                              children_of(element("s")))))));
                   },
                   1, "<r>\n <p>t<q>\n   <s/>\n  </q>\n </p>\n</r>"},
        LayoutCase{"NamesAndKeysAreNotEscaped", [] { return element("a<b \"c", {{"k<'\" &", "v"}}); }, 4,
                   "<a<b \"c k<'\" &=\"v\"/>"},
        LayoutCase{"NonAsciiUnchanged",
                   [] { return element("\xC3\xA9l\xC3\xA9ment", {{"cl\xC3\xA9", "\xE2\x82\xAC"}}, "\xF0\x9F\x98\x80"); },
                   4,
                   "<\xC3\xA9l\xC3\xA9ment cl\xC3\xA9=\"\xE2\x82\xAC\">\xF0\x9F\x98\x80</\xC3\xA9l\xC3\xA9ment>"},
        LayoutCase{"TextEscapesQuotesButNotWhitespace", [] { return element("a", {}, "\"'&<>\t\r\n"); }, 4,
                   "<a>&quot;&apos;&amp;&lt;&gt;\t\r\n</a>"},
        LayoutCase{"AttributeEscapesWhitespaceToo", [] { return element("a", {{"k", "\"'&<>\t\r\n"}}); }, 4,
                   "<a k=\"&quot;&apos;&amp;&lt;&gt;&#9;&#13;&#10;\"/>"},
        LayoutCase{"LargeIndent", [] { return element("a", {}, std::nullopt, children_of(element("b"))); }, 10,
                   "<a>\n          <b/>\n</a>"}),
    layout_case_name);

TEST(XmlWriterTest, AttributesFollowTheMapsIterationOrder) {
    TestElement node = element("n", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}, {"f", "6"}});
    std::string expected = "<n";
    for (AttrMap::Entry entry : node.attrs) {
        expected.append(" ").append(entry.key.raw()).append("=\"").append(entry.value.raw()).append("\"");
    }
    expected += "/>";
    EXPECT_EQ(render(std::move(node), 4), expected);
}

TEST(XmlWriterTest, RenderingTwiceGivesTheSameBytesAndLeavesTheTree) {
    TestElement tree = catalog();
    StringSink first;
    XmlWriter<StringSink> first_writer{first, 4};
    ASSERT_TRUE(write_element<TestTree>(first_writer, tree).ok());
    StringSink second;
    XmlWriter<StringSink> second_writer{second, 4};
    ASSERT_TRUE(write_element<TestTree>(second_writer, tree).ok());
    EXPECT_EQ(first.view(), second.view());
    EXPECT_EQ(tree.children.size(), 3u);
    EXPECT_EQ(tree.children[2].text->raw(), "a<b");
}

TEST(XmlWriterTest, ClonedSubtreeIsWrittenEachTime) {
    TestElement first = element("s", {}, "x", children_of(element("t")));
    TestElement second = element("s", {}, "x", children_of(element("t")));
    EXPECT_EQ(render(element("r", {}, std::nullopt, children_of(std::move(first), std::move(second))), 1),
              "<r>\n <s>x<t/>\n </s>\n <s>x<t/>\n </s>\n</r>");
}

TEST(XmlWriterTest, SpanValuesAreWrittenAndTheirBufferReleased) {
    BufferRef buffer = make_buffer("<doc k=\"a&b\">t<x/></doc>");
    {
        TestElement root;
        root.name = StrRef::span(buffer.get(), 1, 4);
        root.text = StrRef::span(buffer.get(), 13, 14);
        root.attrs = AttrMap(draw_hash_keys(), 1);
        ASSERT_TRUE(root.attrs.insert(StrRef::span(buffer.get(), 5, 6), StrRef::span(buffer.get(), 8, 11)));
        TestElement child;
        child.name = StrRef::span(buffer.get(), 15, 16);
        root.children.push_back(std::move(child));
        EXPECT_EQ(buffer->use_count(), 6u);
        EXPECT_EQ(render(std::move(root), 4), "<doc k=\"a&amp;b\">t<x/>\n</doc>");
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(XmlWriterTest, SpanOffTheBufferIsAnInvariantViolation) {
    BufferRef buffer = make_buffer("caf\xC3\xA9");
    struct BadSpan {
        const char* label;
        std::size_t start;
        std::size_t end;
    };
    for (BadSpan bad : {BadSpan{"PastTheEnd", 2, 9}, BadSpan{"SplitsACharacter", 0, 4},
                        BadSpan{"StartAfterEnd", 3, 2}}) {
        SCOPED_TRACE(bad.label);
        {
            TestElement inner = element("inner");
            inner.text = StrRef::span(buffer.get(), bad.start, bad.end);
            TestElement root = element("r", {}, std::nullopt,
                                       children_of(element("ok"), std::move(inner), element("later")));
            root.children[2].name = StrRef::span(buffer.get(), 0, 3);
            StringSink sink;
            XmlWriter<StringSink> writer{sink, 2};
            Result<void, WriteError> written = write_element<TestTree>(writer, root);
            ASSERT_FALSE(written.ok());
            EXPECT_TRUE(std::holds_alternative<InvariantViolation>(written.error()));
            EXPECT_EQ(sink.view(), "<r>\n  <ok/>\n  <inner>");
            EXPECT_EQ(buffer->use_count(), 3u);
        }
        EXPECT_EQ(buffer->use_count(), 1u);
    }
}

// A bad span in an attribute ends the rendering at that attribute, whether
// the map holds it as a span or as offsets into its document.
TEST(XmlWriterTest, BadAttributeSpanIsAnInvariantViolation) {
    BufferRef buffer = make_buffer("k\xC3\xA9");
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "general");
        std::vector<std::max_align_t> storage(AttrMap::compact_block_bytes(2) / sizeof(std::max_align_t) + 1);
        TestElement inner = element("inner");
        if (compact) {
            inner.attrs.reserve_in_compact(draw_hash_keys(), 2, storage.data(), buffer.get());
            ASSERT_TRUE(inner.attrs.insert_spans(0, 1, 0, 1));
            ASSERT_TRUE(inner.attrs.insert_spans(1, 2, 0, 2));
        } else {
            inner.attrs = make_attrs({{"a", "fine"}});
            ASSERT_TRUE(inner.attrs.insert(StrRef::owned("b"), StrRef::span(buffer.get(), 0, 2)));
        }
        TestElement root = element("r", {}, std::nullopt, children_of(element("ok"), std::move(inner)));
        StringSink sink;
        XmlWriter<StringSink> writer{sink, 2};
        Result<void, WriteError> written = write_element<TestTree>(writer, root);
        ASSERT_FALSE(written.ok());
        EXPECT_TRUE(std::holds_alternative<InvariantViolation>(written.error()));
        // The entries before the bad one are written.
        EXPECT_EQ(sink.view(), compact ? "<r>\n  <ok/>\n  <inner k=\"k\"" : "<r>\n  <ok/>\n  <inner a=\"fine\"");
    }
}

// Memory running out while the writer's stack or sink grows ends the call with
// std::bad_alloc; the tree is only read, so it is left as it was either way.
TEST(XmlWriterTest, AllocationFailureAtAnyPointLeavesTheTreeIntact) {
    BufferRef buffer = make_buffer("e");
    std::string complete;
    for (long successes = 0; successes < 40; ++successes) {
        SCOPED_TRACE(successes);
        TestElement root;
        root.name = StrRef::span(buffer.get(), 0, 1);
        for (int level = 0; level < 600; ++level) {
            TestElement parent;
            parent.name = StrRef::span(buffer.get(), 0, 1);
            parent.children.push_back(std::move(root));
            TestElement sibling;
            sibling.name = StrRef::span(buffer.get(), 0, 1);
            sibling.text = StrRef::span(buffer.get(), 0, 1);
            parent.children.push_back(std::move(sibling));
            root = std::move(parent);
        }
        const std::size_t references = buffer->use_count();
        StringSink sink;
        XmlWriter<StringSink> writer{sink, 1};
        bool threw = false;
        try {
            testing_support::AllocationFailure failure(successes);
            EXPECT_TRUE(write_element<TestTree>(writer, root).ok());
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        EXPECT_EQ(buffer->use_count(), references);
        if (!threw) {
            if (complete.empty()) complete = std::string(sink.view());
            EXPECT_EQ(sink.view(), complete);
        }
        if (successes == 0) {
            EXPECT_TRUE(threw);
        }
    }
    EXPECT_FALSE(complete.empty());
}

// With indent 0 a chain of n elements named "e" is the root's "<e>", n - 2 lines
// "\n<e>", the innermost "\n<e/>" and n - 1 lines "\n</e>".
TEST(XmlWriterTest, DeepChainIsWrittenWithoutRecursion) {
    constexpr std::size_t kDepth = 200000;
    std::string output = render(chain(kDepth, "e"), 0);
    EXPECT_EQ(output.size(), 3 + (kDepth - 2) * 4 + 5 + (kDepth - 1) * 5);
    EXPECT_EQ(output.substr(0, 11), "<e>\n<e>\n<e>");
    EXPECT_EQ(output.find("<e/>"), 3 + (kDepth - 2) * 4 + 1);
    EXPECT_EQ(output.substr(output.size() - 20), "\n</e>\n</e>\n</e>\n</e>");
}

TEST(XmlWriterTest, DeepChainIndentsEachLevel) {
    constexpr std::size_t kDepth = 3000;
    auto line = [](std::size_t spaces, std::string_view tag) {
        std::string text(1, '\n');
        text.append(spaces, ' ');
        text.append(tag);
        return text;
    };
    std::string expected = "<e>";
    for (std::size_t level = 1; level + 1 < kDepth; ++level) expected += line(level, "<e>");
    expected += line(kDepth - 1, "<e/>");
    for (std::size_t level = kDepth - 1; level-- > 0;) expected += line(level, "</e>");
    EXPECT_EQ(render(chain(kDepth, "e"), 1), expected);
}

}  // namespace
}  // namespace vorlane
