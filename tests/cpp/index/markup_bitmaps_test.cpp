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

// The quote automaton written out byte by byte: the reference for the bitmaps.
MarkupBitmaps reference_bitmaps(const std::string& input) {
    MarkupBitmaps bitmaps;
    bitmaps.open_bits.assign((input.size() + 63) / 64, 0);
    bitmaps.close_bits.assign((input.size() + 63) / 64, 0);
    char quote = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char byte = input[i];
        if (quote != 0) {
            if (byte == quote) quote = 0;
        } else if (byte == '"' || byte == '\'') {
            quote = byte;
        } else if (byte == '<') {
            bitmaps.open_bits[i / 64] |= std::uint64_t{1} << (i % 64);
        } else if (byte == '>') {
            bitmaps.close_bits[i / 64] |= std::uint64_t{1} << (i % 64);
        }
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
        BitmapCase{"ApostropheInTextHidesUntilNextOne", "<r>it's <i> isn't</r>", {0, 17}, {2, 20}},
        BitmapCase{"UnclosedQuoteHidesRest", "<r>\"<a></a>", {0}, {2}},
        BitmapCase{"QuoteStateCrossesWords", "<" + std::string(70, '\'') + "'<>" + std::string(60, 'x') + "'<>",
                   {0, 135}, {136}},
        BitmapCase{"QuoteOpenAcrossManyWords",
                   "\"" + std::string(200, '<') + "\"<" + std::string(10, 'y') + ">", {202}, {213}},
        BitmapCase{"ExactWordLength", std::string(63, 'a') + "<", {63}, {}},
        BitmapCase{"OneByteIntoSecondWord", std::string(64, 'a') + ">", {}, {64}}),
    [](const ::testing::TestParamInfo<BitmapCase>& info) { return std::string(info.param.label); });

TEST(MarkupBitmapsTest, MatchesByteAutomatonOnGeneratedInput) {
    std::mt19937 random(20240611);
    // Dense mixes of both quote kinds, and sparse input where whole 64-byte blocks
    // hold one quote kind only or none, with quotes left open across blocks.
    const std::string alphabets[] = {"<>\"'a \n-", "<>\"aaaaaaaaaaaaaaaaaaaa", "<>'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
                                     "<>\"'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"};
    for (int round = 0; round < 800; ++round) {
        const std::string& alphabet = alphabets[round % 4];
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
