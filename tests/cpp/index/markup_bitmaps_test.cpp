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

std::vector<std::uint64_t> set_offsets(const std::vector<std::uint64_t>& bits) {
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
