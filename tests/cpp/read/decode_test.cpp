// decode_value: entities, numeric references, line breaks in attribute mode, the
// unchanged fast path and every decoding error with its offset.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "read/decode.hpp"
#include "read_test_support.hpp"

namespace vorlane {
namespace {

using namespace std::string_literals;

constexpr std::uint64_t kBase = 100;  // every input below starts at this document offset

struct DecodeCase {
    const char* label;
    std::string input;
    DecodeMode mode;
    // "=" for Unchanged; "!" + message for an error; otherwise the decoded bytes.
    std::string expected;
};

std::string describe(const Result<DecodedValue, ReaderError>& result) {
    if (!result) return read_testing::error_text(result.error());
    if (result->is_unchanged()) return "=";
    return std::string(result->output().view());
}

class DecodeValue : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeValue, Table) {
    const DecodeCase& test = GetParam();
    auto result = decode_value(test.input, kBase, test.mode);
    EXPECT_EQ(describe(result), test.expected);
    if (result && result->is_unchanged()) {
        EXPECT_EQ(result->output().capacity(), 0u) << "an unchanged value allocates nothing";
    }
}

constexpr DecodeMode T = DecodeMode::Text;
constexpr DecodeMode A = DecodeMode::Attribute;

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeValue,
    ::testing::Values(
        // Unchanged, short and long (word-at-a-time) inputs.
        DecodeCase{"Empty", "", T, "="}, DecodeCase{"EmptyAttr", "", A, "="},
        DecodeCase{"Plain", "a b", T, "="}, DecodeCase{"PlainAttr", "a b", A, "="},
        DecodeCase{"LongPlain", "abcdefghijklmnopqrstuvwxyz 0123456789", T, "="},
        DecodeCase{"LongPlainAttr", "abcdefghijklmnopqrstuvwxyz 0123456789", A, "="},
        DecodeCase{"Utf8Plain", "h\xC3\xA9llo w\xC3\xB6rld, gr\xC3\xBC\xC3\x9F" "e", A, "="},
        DecodeCase{"LineBreakInText", "line1\nline2", T, "="},
        DecodeCase{"TabCrInText", "a\tb\rc\r\nd", T, "="},
        // The five entities.
        DecodeCase{"Lt", "a &lt; b", T, "a < b"}, DecodeCase{"Gt", "&gt;", T, ">"},
        DecodeCase{"Amp", "&amp;", A, "&"}, DecodeCase{"Quot", "&quot;x&quot;", A, "\"x\""},
        DecodeCase{"Apos", "it&apos;s", T, "it's"},
        DecodeCase{"AllFive", "&lt;&gt;&amp;&quot;&apos;", T, "<>&\"'"},
        DecodeCase{"EntityAfterLongRun", "abcdefghijklmnop&amp;qrstuvwxyz", T, "abcdefghijklmnop&qrstuvwxyz"},
        DecodeCase{"DecodedOnce", "&amp;lt;", T, "&lt;"}, DecodeCase{"AmpAmp", "&amp;amp;", T, "&amp;"},
        // Numeric references.
        DecodeCase{"Decimal", "&#65;", T, "A"}, DecodeCase{"Hex", "&#x41;", T, "A"},
        DecodeCase{"HexLeadingZeros", "&#x0041;", T, "A"}, DecodeCase{"Plus", "&#+65;", T, "A"},
        DecodeCase{"HexPlus", "&#x+41;", T, "A"}, DecodeCase{"DecimalLeadingZeros", "&#000065;", T, "A"},
        DecodeCase{"HexUpperDigits", "&#xE9;&#xe9;", T, "\xC3\xA9\xC3\xA9"},
        DecodeCase{"Nul", "&#0;", T, "\0"s}, DecodeCase{"TwoBytes", "&#233;", A, "\xC3\xA9"},
        DecodeCase{"ThreeBytes", "&#x20AC;", T, "\xE2\x82\xAC"},
        DecodeCase{"FourBytes", "&#x1F600;", T, "\xF0\x9F\x98\x80"},
        DecodeCase{"MaxScalar", "&#x10FFFF;", T, "\xF4\x8F\xBF\xBF"},
        DecodeCase{"BelowSurrogates", "&#xD7FF;", T, "\xED\x9F\xBF"},
        DecodeCase{"AboveSurrogates", "&#xE000;", T, "\xEE\x80\x80"},
        DecodeCase{"ReferenceToSpace", "&#32;x", T, " x"},
        // Attribute mode: TAB, LF, CR and CR LF become one space each.
        DecodeCase{"AttrLf", "line1\nline2", A, "line1 line2"},
        DecodeCase{"AttrCrLf", "a\r\nb", A, "a b"}, DecodeCase{"AttrCr", "a\rb", A, "a b"},
        DecodeCase{"AttrLfCr", "a\n\rb", A, "a  b"}, DecodeCase{"AttrTab", "\ta\t", A, " a "},
        DecodeCase{"AttrCrCrLf", "\r\r\n", A, "  "},
        DecodeCase{"AttrBreaksAndEntities", "x&amp;\r\ny&lt;\tz", A, "x& y< z"},
        DecodeCase{"AttrLongWithBreak", "abcdefghijklmnop\nqrstuvwxyz&gt;", A, "abcdefghijklmnop qrstuvwxyz>"},
        DecodeCase{"AttrEntityBeforeBreak", "&amp;abcdefghijkl\n", A, "&abcdefghijkl "},
        DecodeCase{"CharRefLfStaysInAttr", "&#10;", A, "\n"},
        // Errors: offsets are those of the '&'.
        DecodeCase{"UnknownNbsp", "x&nbsp;", T, "!unknown entity reference '&nbsp;' at byte 101"},
        DecodeCase{"UnknownEmpty", "&;", T, "!unknown entity reference '&;' at byte 100"},
        DecodeCase{"UnknownUppercase", "&LT;", A, "!unknown entity reference '&LT;' at byte 100"},
        DecodeCase{"AtAndT", "AT&T", T, "!malformed XML at byte 102: unterminated entity reference"},
        DecodeCase{"AtAndTSemicolon", "AT&T;x", T, "!unknown entity reference '&T;' at byte 102"},
        DecodeCase{"SemicolonFarAway", "&a b c;", T, "!unknown entity reference '&a b c;' at byte 100"},
        DecodeCase{"SecondUnterminated", "&amp;&amp", T, "!malformed XML at byte 105: unterminated entity reference"},
        DecodeCase{"HexUpperX", "&#X41;", T, "!malformed XML at byte 100: invalid character reference '&#X41;'"},
        DecodeCase{"HashOnly", "&#;", T, "!malformed XML at byte 100: invalid character reference '&#;'"},
        DecodeCase{"XOnly", "&#x;", T, "!malformed XML at byte 100: invalid character reference '&#x;'"},
        DecodeCase{"XPlusOnly", "&#x+;", T, "!malformed XML at byte 100: invalid character reference '&#x+;'"},
        DecodeCase{"PlusOnly", "&#+;", T, "!malformed XML at byte 100: invalid character reference '&#+;'"},
        DecodeCase{"DoublePlus", "&#++65;", T, "!malformed XML at byte 100: invalid character reference '&#++65;'"},
        DecodeCase{"Negative", "&#-5;", T, "!malformed XML at byte 100: invalid character reference '&#-5;'"},
        DecodeCase{"DecimalWithLetter", "&#12a;", T, "!malformed XML at byte 100: invalid character reference '&#12a;'"},
        DecodeCase{"HexInDecimal", "&#1F;", T, "!malformed XML at byte 100: invalid character reference '&#1F;'"},
        DecodeCase{"Surrogate", "&#xD800;", A, "!malformed XML at byte 100: invalid character reference '&#xD800;'"},
        DecodeCase{"LastSurrogate", "&#57343;", A, "!malformed XML at byte 100: invalid character reference '&#57343;'"},
        DecodeCase{"AboveMaxHex", "&#x110000;", T, "!malformed XML at byte 100: invalid character reference '&#x110000;'"},
        DecodeCase{"AboveMaxDecimal", "&#1114112;", T, "!malformed XML at byte 100: invalid character reference '&#1114112;'"},
        DecodeCase{"Overflow32", "&#4294967296;", T, "!malformed XML at byte 100: invalid character reference '&#4294967296;'"},
        DecodeCase{"OverflowHex", "&#x100000041;", T, "!malformed XML at byte 100: invalid character reference '&#x100000041;'"},
        DecodeCase{"Max32NotScalar", "&#xFFFFFFFF;", T, "!malformed XML at byte 100: invalid character reference '&#xFFFFFFFF;'"},
        DecodeCase{"SpaceInReference", "&# 65;", T, "!malformed XML at byte 100: invalid character reference '&# 65;'"},
        DecodeCase{"ErrorAfterDecoding", "a&lt;b\n&zz;", A, "!unknown entity reference '&zz;' at byte 107"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(FindLineBreakOrTab, EveryPositionOfEveryByte) {
    for (char special : {'\t', '\n', '\r'}) {
        for (std::size_t length = 1; length <= 24; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string bytes(length, 'x');
                bytes[at] = special;
                if (at + 1 < length) bytes[at + 1] = '\t';  // a later match must not win
                EXPECT_EQ(find_line_break_or_tab(bytes), at) << length << " " << at;
            }
            EXPECT_EQ(find_line_break_or_tab(std::string(length, '\x0b')), length);
        }
    }
}

TEST(FindByte, EveryPositionShortAndLong) {
    for (std::size_t length = 0; length <= 40; ++length) {
        std::string bytes(length, 'a');
        EXPECT_EQ(find_byte(bytes, '<'), length);
        for (std::size_t at = 0; at < length; ++at) {
            bytes.assign(length, 'a');
            bytes[at] = '<';
            EXPECT_EQ(find_byte(bytes, '<'), at);
        }
    }
}

}  // namespace
}  // namespace vorlane
