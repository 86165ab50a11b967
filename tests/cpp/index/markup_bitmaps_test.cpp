// scan_markup_bitmaps and the byte searches under the builders: fixed tables, and
// the wide searches checked against plain byte loops over generated buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/byte_search.hpp"
#include "index/markup_bitmaps.hpp"

namespace vorlane {
namespace {

std::vector<std::uint64_t> set_offsets(const BitWords& bits) {
    std::vector<std::uint64_t> offsets;
    for (std::size_t word = 0; word < bits.size(); ++word) {
        for (unsigned bit = 0; bit < 64; ++bit) {
            if ((bits[word] >> bit) & 1) offsets.push_back(word * 64 + bit);
        }
    }
    return offsets;
}

// The automaton written out byte by byte: the reference for the bitmaps. Quotes
// open a value only inside a start tag; comments, CDATA sections, instructions,
// end tags and other "<!" constructs are read to their terminator with every '<'
// and '>' in them marked. (Generated inputs never spell "<!DOCTYPE".)
MarkupBitmaps reference_bitmaps(const std::string& input) {
    MarkupBitmaps bitmaps;
    bitmaps.open_bits.assign((input.size() + 63) / 64, 0);
    bitmaps.close_bits.assign((input.size() + 63) / 64, 0);
    auto mark = [&](std::size_t i) {
        if (input[i] == '<') bitmaps.open_bits[i / 64] |= std::uint64_t{1} << (i % 64);
        if (input[i] == '>') bitmaps.close_bits[i / 64] |= std::uint64_t{1} << (i % 64);
    };
    // The offset just past the first `terminator` whose '>' lies at or after `from`.
    auto past = [&](const std::string& terminator, std::size_t from) {
        for (std::size_t at = from; at < input.size(); ++at) {
            if (at + 1 >= terminator.size() && input.compare(at + 1 - terminator.size(), terminator.size(), terminator) == 0) {
                return at + 1;
            }
        }
        return input.size();
    };
    enum { Text, StartTag, Quoted, EndTag } state = Text;
    char quote = 0;
    std::size_t i = 0;
    while (i < input.size()) {
        const char byte = input[i];
        if (state == Quoted) {
            if (byte == quote) state = StartTag;
            ++i;
            continue;
        }
        mark(i);
        if (state == StartTag) {
            if (byte == '"' || byte == '\'') {
                quote = byte;
                state = Quoted;
            } else if (byte == '>') {
                state = Text;
            }
            ++i;
            continue;
        }
        if (state == EndTag) {
            if (byte == '>') state = Text;
            ++i;
            continue;
        }
        if (byte != '<') {
            ++i;
            continue;
        }
        std::size_t end = 0;
        if (input.compare(i, 4, "<!--") == 0) {
            end = past("-->", i + 6);
        } else if (input.compare(i, 9, "<![CDATA[") == 0) {
            end = past("]]>", i + 11);
        } else if (i + 1 < input.size() && input[i + 1] == '!') {
            end = past(">", i + 1);
        } else if (i + 1 < input.size() && input[i + 1] == '?') {
            end = past("?>", i + 3);
        } else if (i + 1 < input.size() && input[i + 1] == '/') {
            state = EndTag;
        } else if (i + 1 >= input.size()) {
            end = input.size();
        } else {
            state = StartTag;
        }
        if (end == 0) {
            ++i;
            continue;
        }
        for (std::size_t j = i + 1; j < end; ++j) mark(j);
        i = end;
    }
    return bitmaps;
}

struct BitmapCase {
    const char* label;
    std::string input;
    std::vector<std::uint64_t> opens;
    std::vector<std::uint64_t> closes;
};

std::ostream& operator<<(std::ostream& out, const BitmapCase& c) { return out << c.label; }

class MarkupBitmapCases : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(MarkupBitmapCases, MarksUnquotedMarkupOnly) {
    const BitmapCase& test_case = GetParam();
    const MarkupBitmaps bitmaps = scan_markup_bitmaps(test_case.input);
    const std::size_t words = (test_case.input.size() + 63) / 64;
    EXPECT_EQ(bitmaps.open_bits.size(), words);
    EXPECT_EQ(bitmaps.close_bits.size(), words);
    EXPECT_EQ(set_offsets(bitmaps.open_bits), test_case.opens);
    EXPECT_EQ(set_offsets(bitmaps.close_bits), test_case.closes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MarkupBitmapCases,
    ::testing::Values(
        BitmapCase{"Empty", "", {}, {}},
        BitmapCase{"PlainTags", "<a>x</a>", {0, 4}, {2, 7}},
        BitmapCase{"DoubleQuotedValueHidesGreater", "<a x=\">\">", {0}, {8}},
        BitmapCase{"OtherQuoteInsideDoesNotClose", "<a x='\"<>'>", {0}, {10}},
        BitmapCase{"ApostropheInTextHidesNothing", "<r>it's <i> isn't</r>", {0, 8, 17}, {2, 10, 20}},
        BitmapCase{"DoubleQuoteInTextHidesNothing", "<r>\"<a></a>", {0, 4, 7}, {2, 6, 10}},
        BitmapCase{"UnclosedQuoteInStartTagHidesRest", "<r a=\"<a></a>", {0}, {}},
        BitmapCase{"QuotesInCommentHideNothing", "<r><!-- '<' --><a/>", {0, 3, 9, 15}, {2, 14, 18}},
        BitmapCase{"QuotesInEndTagHideNothing", "</a'><b/>", {0, 5}, {4, 8}},
        BitmapCase{"QuoteStateCrossesWords", "<" + std::string(70, '\'') + "'<>" + std::string(60, 'x') + "'<>",
                   {0, 135}, {136}},
        BitmapCase{"QuoteOpenAcrossManyWords",
                   "<a x=\"" + std::string(200, '<') + "\"<" + std::string(10, 'y') + ">", {0, 207}, {218}},
        BitmapCase{"ExactWordLength", std::string(63, 'a') + "<", {63}, {}},
        BitmapCase{"OneByteIntoSecondWord", std::string(64, 'a') + ">", {}, {64}}),
    [](const ::testing::TestParamInfo<BitmapCase>& info) { return std::string(info.param.label); });

TEST(MarkupBitmapsTest, MatchesByteAutomatonOnGeneratedInput) {
    std::mt19937 random(20240611);
    // Dense mixes of both quote kinds, and sparse input where whole 64-byte blocks
    // hold one quote kind only or none, with quotes left open across blocks.
    const std::string alphabets[] = {"<>\"'a \n-", "<>\"aaaaaaaaaaaaaaaaaaaa", "<>'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                                     "<>\"'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                                     "<>\"'!?/-[]a", "<>\"'!?/-aaaaaaaaaaaaaaaaaaaaaaaa"};
    for (int round = 0; round < 800; ++round) {
        const std::string& alphabet = alphabets[round % 6];
        const std::size_t length = random() % 700;
        std::string input;
        for (std::size_t i = 0; i < length; ++i) input.push_back(alphabet[random() % alphabet.size()]);
        const MarkupBitmaps expected = reference_bitmaps(input);
        const MarkupBitmaps actual = scan_markup_bitmaps(input);
        ASSERT_EQ(actual.open_bits, expected.open_bits) << input;
        ASSERT_EQ(actual.close_bits, expected.close_bits) << input;
    }
}

// Markup as documents hold it, with the rarer constructs mixed in at a given rate:
// start tags with values quoted either way (holding '<', '>' and the other quote),
// end tags, text with quotes and '>', comments, instructions, CDATA sections, and
// now and then a quote in an end tag or an apostrophe-quoted value. Whole 64-byte
// blocks of plain markup are common, so both ways of marking a block are used.
std::string generated_markup(std::mt19937& random, std::size_t length, unsigned rare_percent) {
    static const char* const values[] = {"1", "plain", "a<b", "x>y", "it's", "say \"hi\"", "", "48.8187630"};
    static const char* const rare[] = {"<!-- c'o\"m<m>ent -->", "<?pi a=\"<\" ?>", "<![CDATA[ <\"'> ]]>",
                                       "</e x='q'>", "<s a='v\">'/>", "text > more", "it's \"quoted\" text",
                                       "<!x '>"};
    std::string out;
    while (out.size() < length) {
        if (random() % 100 < rare_percent) {
            out += rare[random() % 8];
            continue;
        }
        switch (random() % 4) {
            case 0:
            case 1: {
                out += "<node";
                const unsigned count = random() % 6;
                for (unsigned i = 0; i < count; ++i) {
                    const std::string value = values[random() % 8];
                    const bool apostrophes = value.find('\'') == std::string::npos && random() % 5 == 0;
                    const char quote = apostrophes || value.find('"') != std::string::npos ? '\'' : '"';
                    if (quote == '\'' && value.find('\'') != std::string::npos) continue;
                    out += " k" + std::to_string(i) + "=" + quote + value + quote;
                }
                out += random() % 3 == 0 ? "/>" : ">";
                break;
            }
            case 2: out += "</node>"; break;
            default: out += std::string(random() % 8, ' ') + "\n"; break;
        }
    }
    return out;
}

TEST(MarkupBitmapsTest, BlockShortcutMatchesTheEventWalk) {
    std::mt19937 random(20240612);
    for (int round = 0; round < 600; ++round) {
        const unsigned rare_percent = round % 3 == 0 ? 0 : round % 3 == 1 ? 2 : 15;
        std::string input = generated_markup(random, 64 + random() % 1500, rare_percent);
        // Cut anywhere: values, tags and constructs may run past the end.
        input.resize(input.size() - random() % std::min<std::size_t>(input.size(), 40));
        const MarkupBitmaps expected = scan_markup_bitmaps_by_events(input);
        const MarkupBitmaps actual = scan_markup_bitmaps(input);
        ASSERT_EQ(actual.open_bits, expected.open_bits) << input;
        ASSERT_EQ(actual.close_bits, expected.close_bits) << input;
        const MarkupBitmaps automaton = reference_bitmaps(input);
        ASSERT_EQ(actual.open_bits, automaton.open_bits) << input;
        ASSERT_EQ(actual.close_bits, automaton.close_bits) << input;
    }
}

TEST(MarkupBitmapsTest, GeneratedInputMatchesTheEventWalk) {
    std::mt19937 random(20240613);
    const std::string alphabets[] = {"<>\"'a \n-/!?", "<>\"aaaaaaaaaa/", "<a b=\"c\">'</a>?!/\""};
    for (int round = 0; round < 600; ++round) {
        const std::string& alphabet = alphabets[round % 3];
        const std::size_t length = random() % 700;
        std::string input;
        for (std::size_t i = 0; i < length; ++i) input.push_back(alphabet[random() % alphabet.size()]);
        const MarkupBitmaps expected = scan_markup_bitmaps_by_events(input);
        const MarkupBitmaps actual = scan_markup_bitmaps(input);
        ASSERT_EQ(actual.open_bits, expected.open_bits) << input;
        ASSERT_EQ(actual.close_bits, expected.close_bits) << input;
    }
}

// Every search variant must agree with the byte loop at every start offset,
// whatever the alignment of the buffer and the position of the needles.
TEST(ByteSearchTest, WideSearchesAgreeWithByteLoop) {
    std::mt19937 random(7);
    const char alphabet[] = {'<', '>', '"', '\'', '/', 'a', 'b', ' ', '\x80', '\xff'};
    for (int round = 0; round < 200; ++round) {
        const std::size_t length = random() % 90;
        std::string storage(length + 8, 'z');
        const std::size_t shift = random() % 8;
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly filler so that matches are often far apart.
            storage[shift + i] = random() % 6 == 0 ? alphabet[random() % sizeof(alphabet)] : 'q';
        }
        const char* data = storage.data() + shift;
        for (std::size_t from = 0; from <= length; ++from) {
            using namespace byte_search;
            const std::size_t one = find_first_of_bytewise<'<'>(data, from, length);
            EXPECT_EQ((find_first_of_words<'<'>(data, from, length)), one);
            EXPECT_EQ((find_first_of<'<'>(data, from, length)), one);
            const std::size_t four = find_first_of_bytewise<'"', '\'', '/', '>'>(data, from, length);
            EXPECT_EQ((find_first_of_words<'"', '\'', '/', '>'>(data, from, length)), four);
            EXPECT_EQ((find_first_of<'"', '\'', '/', '>'>(data, from, length)), four);
            const std::size_t high = find_first_of_bytewise<0xFF>(data, from, length);
            EXPECT_EQ((find_first_of_words<0xFF>(data, from, length)), high);
            EXPECT_EQ((find_first_of<0xFF>(data, from, length)), high);
        }
    }
}

}  // namespace
}  // namespace vorlane
