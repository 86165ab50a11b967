// The two index builders over tables of input -> expected index: the cases where
// they agree run through both; the cases where they differ on purpose list the
// two expectations side by side.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "index/structural_index.hpp"
#include "index_test_support.hpp"

namespace vorlane::index_testing {
namespace {

constexpr TagKind kOpen = TagKind::Open;
constexpr TagKind kClose = TagKind::Close;
constexpr TagKind kEmpty = TagKind::SelfClosing;
constexpr TagKind kComment = TagKind::Comment;
constexpr TagKind kCData = TagKind::CData;
constexpr TagKind kPi = TagKind::ProcessingInstruction;

ScanError unclosed(std::uint64_t offset) { return {ScanError::Kind::UnclosedTag, offset}; }
ScanError unexpected_end() { return {ScanError::Kind::UnexpectedEnd, 0}; }
ScanError unterminated_declaration(std::uint64_t offset) {
    return {ScanError::Kind::UnterminatedDeclaration, offset};
}

struct SharedCase {
    const char* label;
    std::string input;
    Outcome expected;
};

std::ostream& operator<<(std::ostream& out, const SharedCase& c) { return out << c.label; }

const std::vector<SharedCase>& shared_cases() {
    static const std::vector<SharedCase> cases = {
        {"Empty", "", Expected{}},
        {"TextOnlyGetsNoRange", "plain text", Expected{}},
        {"ElementWithText", "<a>x</a>", Expected{{{0, 2, kOpen, "a"}, {4, 7, kClose, "a"}}, {{3, 4}}}},
        {"EmptyElement", "<a/>", Expected{{{0, 3, kEmpty, "a"}}, {}}},
        {"EmptyElementWithSpace", "<a />", Expected{{{0, 4, kEmpty, "a"}}, {}}},
        {"SlashNotBeforeGreaterIsOpen", "<a/b>", Expected{{{0, 4, kOpen, "a"}}, {}}},
        {"QuotedGreaterInValue", "<a href='x>y'>", Expected{{{0, 13, kOpen, "a"}}, {}}},
        {"BothQuoteKinds", "<a x=\"1\" y='2'>t</a>",
         Expected{{{0, 14, kOpen, "a"}, {16, 19, kClose, "a"}}, {{15, 16}}}},
        {"QuotesInsideOtherQuotesAndSlash", "<a href=\"/x>\" b='\"'/>",
         Expected{{{0, 20, kEmpty, "a"}}, {}}},
        {"CommentHidesLessThan", "<r><!-- a < b --></r>",
         Expected{{{0, 2, kOpen, "r"}, {3, 16, kComment, ""}, {17, 20, kClose, "r"}}, {}}},
        {"EmptyComment", "<a>x<!---->y</a>",
         Expected{{{0, 2, kOpen, "a"}, {4, 10, kComment, ""}, {12, 15, kClose, "a"}}, {{3, 4}, {11, 12}}}},
        {"CommentWithDashesAndGreater", "<a><!-- a -- > b --></a>",
         Expected{{{0, 2, kOpen, "a"}, {3, 19, kComment, ""}, {20, 23, kClose, "a"}}, {}}},
        {"DoctypeHasNoEntryAndTextFollowsIt", "<!DOCTYPE r>\n<r/>",
         Expected{{{13, 16, kEmpty, "r"}}, {{12, 13}}}},
        {"EmptyCDataHasNoRange", "<a><![CDATA[]]></a>",
         Expected{{{0, 2, kOpen, "a"}, {3, 14, kCData, ""}, {15, 18, kClose, "a"}}, {}}},
        {"CDataBodyRange", "<a><![CDATA[a<b]]></a>",
         Expected{{{0, 2, kOpen, "a"}, {3, 17, kCData, ""}, {18, 21, kClose, "a"}}, {{12, 15}}}},
        {"CDataWithBracketsAndGreater", "<a><![CDATA[x]]y>]]></a>",
         Expected{{{0, 2, kOpen, "a"}, {3, 19, kCData, ""}, {20, 23, kClose, "a"}}, {{12, 17}}}},
        {"TextBeforeFirstConstructStartsAtZero", "ab<r/>", Expected{{{2, 5, kEmpty, "r"}}, {{0, 2}}}},
        {"TextAfterLastConstructGetsNoRange", "<r/>tail", Expected{{{0, 3, kEmpty, "r"}}, {}}},
        {"GreaterInText", "<a>x > y</a>",
         Expected{{{0, 2, kOpen, "a"}, {8, 11, kClose, "a"}}, {{3, 8}}}},
        {"XmlDeclaration", "<?xml version=\"1.0\"?><r/>",
         Expected{{{0, 20, kPi, "xml"}, {21, 24, kEmpty, "r"}}, {}}},
        {"ShortInstruction", "<?pi?>", Expected{{{0, 5, kPi, "pi"}}, {}}},
        {"InstructionTargetEndsAtWhitespace", "<?a b?c?>", Expected{{{0, 8, kPi, "a"}}, {}}},
        {"UnterminatedInstructionEndsBeforeLastByte", "<r><?pi x></r>",
         Expected{{{0, 2, kOpen, "r"}, {3, 13, kPi, "pi"}}, {}}},
        {"EndTagWithTrailingSpace", "<r></r >", Expected{{{0, 2, kOpen, "r"}, {3, 7, kClose, "r"}}, {}}},
        {"VerticalTabIsANameByte", "<a\vb>", Expected{{{0, 4, kOpen, "a\vb"}}, {}}},
        {"VerticalTabInEndTagName", "</a\v>", Expected{{{0, 4, kClose, "a\v"}}, {}}},
        {"TabEndsName", "<a\tb='1'>", Expected{{{0, 8, kOpen, "a"}}, {}}},
        {"EmptyNameBareBrackets", "<>", Expected{{{0, 1, kOpen, ""}}, {}}},
        {"EmptyNameBeforeSpace", "< a>", Expected{{{0, 3, kOpen, ""}}, {}}},
        {"EmptyEndTagName", "</>", Expected{{{0, 2, kClose, ""}}, {}}},
        {"NestedWithWhitespace", "<r>\n  <a k='v'>1</a>\n  <b/>\n</r>",
         Expected{{{0, 2, kOpen, "r"},
                   {6, 14, kOpen, "a"},
                   {16, 19, kClose, "a"},
                   {23, 26, kEmpty, "b"},
                   {28, 31, kClose, "r"}},
                  {{3, 6}, {15, 16}, {20, 23}, {27, 28}}}},
        {"ApostrophesInTextHideNothing", "<r>it's <i>x</i> isn't</r>",
         Expected{{{0, 2, kOpen, "r"}, {8, 10, kOpen, "i"}, {12, 15, kClose, "i"}, {22, 25, kClose, "r"}},
                  {{3, 8}, {11, 12}, {16, 22}}}},
        {"LoneApostropheInText", "<r>it's</r><x/>",
         Expected{{{0, 2, kOpen, "r"}, {7, 10, kClose, "r"}, {11, 14, kEmpty, "x"}}, {{3, 7}}}},
        {"DoubleQuoteInTextAfterAttributes", "<a x=\"1\">\"</a>",
         Expected{{{0, 8, kOpen, "a"}, {10, 13, kClose, "a"}}, {{9, 10}}}},
        {"ApostropheInComment", "<r><!-- don't --><a/></r>",
         Expected{{{0, 2, kOpen, "r"}, {3, 16, kComment, ""}, {17, 20, kEmpty, "a"}, {21, 24, kClose, "r"}}, {}}},
        {"QuotesInCDataAndInstruction", "<r><![CDATA[it's]]><?pi \"a's?><a/></r>",
         Expected{{{0, 2, kOpen, "r"}, {3, 18, kCData, ""}, {19, 29, kPi, "pi"}, {30, 33, kEmpty, "a"},
                   {34, 37, kClose, "r"}},
                  {{12, 16}}}},
        {"QuoteInEndTagMeansNothing", "<a></a'><b/>",
         Expected{{{0, 2, kOpen, "a"}, {3, 7, kClose, "a'"}, {8, 11, kEmpty, "b"}}, {}}},
        {"DoctypeEndsAtFirstGreaterWhateverItsQuotes", "<!DOCTYPE r SYSTEM \"a>b\"><r/>",
         Expected{{{25, 28, kEmpty, "r"}}, {{22, 25}}}},
        {"DoctypeQuotedBracketOpensNoSubset", "<!DOCTYPE r SYSTEM \"a[b\"><r/>",
         Expected{{{25, 28, kEmpty, "r"}}, {}}},
        {"DoctypeSubsetHidesMarkupInEntityValue", "<!DOCTYPE r [<!ENTITY f '> <r>fake</r>'>]><r>real</r>",
         Expected{{{42, 44, kOpen, "r"}, {49, 52, kClose, "r"}}, {{45, 49}}}},
        {"DoctypeSubsetWithCommentInstructionAndQuotedBracket",
         "<!DOCTYPE r [<!-- ]> it's --><?p ]>?><!ATTLIST r a CDATA \"]>\">] ><r/>",
         Expected{{{65, 68, kEmpty, "r"}}, {}}},
        {"DoctypeSubsetThenText", "<!DOCTYPE r [ ]>\n<r/>", Expected{{{17, 20, kEmpty, "r"}}, {{16, 17}}}},
        {"DoctypeSubsetUnterminated", "<!DOCTYPE r [<!ENTITY x \"y\">", unterminated_declaration(0)},
        {"DoctypeSubsetQuoteUnterminated", "<r/><!DOCTYPE r [<!ENTITY x \"y>]>", unterminated_declaration(4)},
        {"DoctypeSubsetWithoutFinalGreater", "<!DOCTYPE r []<r/>", unterminated_declaration(0)},
        {"DoctypeSubsetCommentUnterminated", "<!DOCTYPE r [<!-- ]>", unterminated_declaration(0)},
        {"UnclosedEndTag", "</a", unclosed(0)},
        {"NameRunsToEnd", "<a", unclosed(0)},
        {"StartTagWithoutGreater", "<a x='1'", unclosed(0)},
        {"UnclosedAfterElement", "<r><a", unclosed(3)},
        {"UnclosedEndTagAfterText", "<r>\n</r", unclosed(4)},
    };
    return cases;
}

// Names of every length from 1 to 40, so that they end in every lane of a block and
// past it, before each byte that ends a name of an open tag, an end tag and an
// instruction; the bytes near them that do not end one (vertical tab, '?' in an
// element name, ':' and non-ASCII) are part of the names. Text follows the
// constructs, so that every name is read a block at a time wherever it can be.
TEST(BuilderNames, EveryLengthBeforeEveryStop) {
    const std::string filler = "n\v:?\xC3\xA9-x.";
    for (const Builder builder : {Builder::Sequential, Builder::Bitmap}) {
        for (std::size_t length = 1; length <= 40; ++length) {
            std::string name;
            while (name.size() < length) name += filler[name.size() % filler.size()];
            if ((static_cast<unsigned char>(name.back()) & 0xC0) == 0xC0) name.back() = 'z';
            std::string target = name;  // an instruction target stops at '?'
            for (char& byte : target) {
                if (byte == '?') byte = 'q';
            }
            for (const std::string stop : {" ", "\t", "\n", "\f", "\r", "/", ">"}) {
                const std::string open = "<" + name + (stop == ">" ? ">" : stop == "/" ? "/>" : stop + ">");
                const std::string close = "</" + name + (stop == "/" ? ">" : stop == ">" ? ">" : stop + ">");
                const std::string pi = "<?" + target + (stop == "/" ? " " : stop == ">" ? "?" : stop) + "?>";
                const std::string text = std::string(40, 't');
                const std::string input = open + text + close + text + pi + text;
                auto index = run_builder(builder, input);
                ASSERT_TRUE(index) << builder << " " << length << " " << int(stop[0]);
                ASSERT_EQ(index->size(), 3u) << builder << " " << length << " " << int(stop[0]);
                for (std::size_t entry = 0; entry < 3; ++entry) {
                    const NameRef& read = index->tag_names[entry];
                    EXPECT_EQ(input.substr(read.offset, read.length), entry == 2 ? target : name)
                        << builder << " " << length << " " << int(stop[0]) << " entry " << entry;
                }
            }
        }
    }
}

class SharedBuilderCases : public ::testing::TestWithParam<std::tuple<Builder, SharedCase>> {};

TEST_P(SharedBuilderCases, BuildsExpectedIndex) {
    const auto& [builder, test_case] = GetParam();
    expect_outcome(test_case.input, run_builder(builder, test_case.input), test_case.expected);
}

INSTANTIATE_TEST_SUITE_P(
    BothBuilders, SharedBuilderCases,
    ::testing::Combine(::testing::Values(Builder::Sequential, Builder::Bitmap),
                       ::testing::ValuesIn(shared_cases())),
    [](const ::testing::TestParamInfo<SharedBuilderCases::ParamType>& info) {
        return std::string(builder_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).label;
    });

struct DivergentCase {
    const char* label;
    std::string input;
    Outcome sequential;
    Outcome bitmap;
};

std::ostream& operator<<(std::ostream& out, const DivergentCase& c) { return out << c.label; }

const std::vector<DivergentCase>& divergent_cases() {
    static const std::vector<DivergentCase> cases = {
        {"LessThanInLastByte", "<a>x</a><", unclosed(8),
         Expected{{{0, 2, kOpen, "a"}, {4, 7, kClose, "a"}}, {{3, 4}}}},
        {"RootThenLessThanInLastByte", "<r/><", unclosed(4), Expected{{{0, 3, kEmpty, "r"}}, {}}},
        {"UnterminatedCommentWithoutGreater", "<r><!-- x", unexpected_end(), unclosed(3)},
        {"UnterminatedCommentAfterRoot", "<r></r><!-- x", unexpected_end(), unclosed(7)},
        {"UnterminatedCommentWithGreater", "<r><!-- a > b", unexpected_end(),
         Expected{{{0, 2, kOpen, "r"}, {3, 11, kComment, ""}}, {}}},
        {"ShortCommentAtEnd", "<r/><!-->", unexpected_end(),
         Expected{{{0, 3, kEmpty, "r"}, {4, 8, kComment, ""}}, {}}},
        {"UnterminatedCDataWithoutGreater", "<r><![CDATA[abc", unexpected_end(), unclosed(3)},
        {"UnterminatedCDataWithGreater", "<r><![CDATA[a>bc", unexpected_end(),
         Expected{{{0, 2, kOpen, "r"}, {3, 14, kCData, ""}}, {}}},
        {"InstructionTargetRunsToEnd", "<r><?pi", unexpected_end(), unclosed(3)},
        {"UnterminatedDoctypeAtEnd", "<r/><!DOCTYPE", Expected{{{0, 3, kEmpty, "r"}}, {}}, unclosed(4)},
        {"UnmatchedQuoteInTagSkipsNextByte", "<a x='><b>", Expected{{{0, 9, kOpen, "a"}}, {}}, unclosed(0)},
        {"LessThanInsideStartTag", "<a <b>", Expected{{{0, 5, kOpen, "a"}}, {}},
         Expected{{{0, 5, kOpen, "a"}, {3, 5, kOpen, "b"}}, {}}},
        {"NameRunsThroughQuotedGreater", "<a'>'>", Expected{{{0, 3, kOpen, "a'"}}, {}},
         Expected{{{0, 5, kOpen, "a'>'"}}, {}}},
    };
    return cases;
}

class DivergentBuilderCases : public ::testing::TestWithParam<DivergentCase> {};

TEST_P(DivergentBuilderCases, SequentialBuilder) {
    const DivergentCase& test_case = GetParam();
    expect_outcome(test_case.input, build_index_sequential(test_case.input), test_case.sequential);
}

TEST_P(DivergentBuilderCases, BitmapBuilder) {
    const DivergentCase& test_case = GetParam();
    expect_outcome(test_case.input, build_index_bitmap(test_case.input), test_case.bitmap);
}

INSTANTIATE_TEST_SUITE_P(Cases, DivergentBuilderCases, ::testing::ValuesIn(divergent_cases()),
                         [](const ::testing::TestParamInfo<DivergentCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
}  // namespace vorlane::index_testing
