// Output as str code units: the measured length and width class, and the converted
// units, against the code points the UTF-8 was made from.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "write/text_units.hpp"

namespace vorlane {
namespace {

std::string encode(const std::vector<std::uint32_t>& code_points) {
    std::string out;
    for (std::uint32_t point : code_points) {
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xC0 | (point >> 6));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            out += static_cast<char>(0xE0 | (point >> 12));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (point >> 18));
            out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return out;
}

std::uint32_t class_of(const std::vector<std::uint32_t>& code_points) {
    std::uint32_t highest = 0;
    for (std::uint32_t point : code_points) highest = point > highest ? point : highest;
    if (highest < 0x80) return 127;
    if (highest < 0x100) return 255;
    if (highest < 0x10000) return 0xFFFF;
    return 0x10FFFF;
}

template <typename Unit>
std::vector<std::uint32_t> converted(const std::string& bytes, std::size_t length,
                                     std::size_t (*convert)(std::string_view, Unit*, std::size_t)) {
    // One guard unit past the end shows that nothing beyond `length` is written.
    std::vector<Unit> units(length + 1, static_cast<Unit>(0x5A));
    EXPECT_EQ(convert(bytes, units.data(), length), length);
    EXPECT_EQ(units[length], static_cast<Unit>(0x5A));
    return std::vector<std::uint32_t>(units.begin(), units.end() - 1);
}

struct ShapeCase {
    const char* label;
    std::uint32_t highest;  // code points are drawn up to this, with ASCII runs between
};

class TextUnitsTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(TextUnitsTest, ShapeAndUnitsMatchTheCodePoints) {
    std::mt19937 random(7);
    for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 100u, 1000u}) {
        for (int round = 0; round < 30; ++round) {
            std::vector<std::uint32_t> points;
            for (std::size_t index = 0; index < length; ++index) {
                std::uint32_t point = random() % 4 == 0 ? random() % (GetParam().highest + 1) : 0x20 + random() % 0x5F;
                if (point >= 0xD800 && point < 0xE000) point = 0x41;  // no surrogates in UTF-8
                points.push_back(point);
            }
            const std::string bytes = encode(points);
            SCOPED_TRACE(::testing::Message() << "length " << length << " round " << round);
            ASSERT_TRUE(text_shape(bytes).has_value());
            const TextShape shape = *text_shape(bytes);
            ASSERT_EQ(shape.length, points.size());
            ASSERT_EQ(shape.max_char, class_of(points));
            if (shape.max_char <= 0xFF) {
                EXPECT_EQ(converted<std::uint8_t>(bytes, shape.length, utf8_to_ucs1), points);
            } else if (shape.max_char <= 0xFFFF) {
                EXPECT_EQ(converted<std::uint16_t>(bytes, shape.length, utf8_to_ucs2), points);
            } else {
                EXPECT_EQ(converted<std::uint32_t>(bytes, shape.length, utf8_to_ucs4), points);
            }
            // The four-byte conversion takes text of any class.
            EXPECT_EQ(converted<std::uint32_t>(bytes, shape.length, utf8_to_ucs4), points);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, TextUnitsTest,
                         ::testing::Values(ShapeCase{"Ascii", 0x7F}, ShapeCase{"Latin1", 0xFF},
                                           ShapeCase{"TwoByteSequences", 0x7FF},
                                           ShapeCase{"BasicPlane", 0xFFFF}, ShapeCase{"AllPlanes", 0x10FFFF}),
                         [](const ::testing::TestParamInfo<ShapeCase>& info) { return info.param.label; });

// Too little room, or a sequence cut off by the end of the input, stops the
// conversion without writing past the room or reading past the input.
struct BoundCase {
    const char* label;
    std::string bytes;
    std::size_t room;
};

class ConversionBoundTest : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ConversionBoundTest, FailsInsideItsRanges) {
    const BoundCase& c = GetParam();
    std::vector<std::uint16_t> units(c.room + 1, 0x5A5A);
    EXPECT_EQ(utf8_to_ucs2(c.bytes, units.data(), c.room), kConversionFailed);
    EXPECT_EQ(units[c.room], 0x5A5A);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, ConversionBoundTest,
    ::testing::Values(BoundCase{"AsciiOneShort", std::string(5, 'a'), 4},
                      BoundCase{"LongAsciiOneShort", std::string(40, 'a'), 39},
                      BoundCase{"SequenceOneShort", std::string(20, 'a') + "\xE2\x82\xAC", 20},
                      BoundCase{"CutOffTwoByte", std::string("ab\xC3"), 8},
                      BoundCase{"CutOffThreeByte", std::string(17, 'a') + "\xE2\x82", 30},
                      BoundCase{"CutOffFourByte", std::string("\xF0\x90\x80"), 8}),
    [](const ::testing::TestParamInfo<BoundCase>& info) { return info.param.label; });

TEST(TextUnitsTest, ClassBoundaries) {
    EXPECT_EQ(text_shape("\x7F")->max_char, 127u);
    EXPECT_EQ(text_shape("\xC2\x80")->max_char, 255u);
    EXPECT_EQ(text_shape("\xC3\xBF")->max_char, 255u);
    EXPECT_EQ(text_shape("\xC4\x80")->max_char, 0xFFFFu);
    EXPECT_EQ(text_shape("\xEF\xBF\xBF")->max_char, 0xFFFFu);
    EXPECT_EQ(text_shape("\xF0\x90\x80\x80")->max_char, 0x10FFFFu);
    EXPECT_EQ(text_shape(std::string(40, 'a') + "\xC3\xA9")->length, 41u);
}

// The measuring pass refuses exactly what the UTF-8 validator refuses, on random
// bytes biased towards the edges of the well-formed ranges, at every offset of a
// block.
TEST(TextUnitsTest, RefusesExactlyTheIllFormedInputs) {
    std::mt19937 random(11);
    const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                         0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    std::size_t refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 40, 'a');
        for (char& byte : bytes) {
            if (random() % 3 == 0) byte = static_cast<char>(interesting[random() % sizeof interesting]);
        }
        const bool valid = first_invalid_utf8(bytes) == kUtf8Valid;
        ASSERT_EQ(text_shape(bytes).has_value(), valid) << round;
        if (!valid) ++refused;
    }
    EXPECT_GT(refused, 1000u);
}

// The shape of well-formed `bytes` by the byte-wise rules: one code point per byte
// that is not a continuation, and the class of the highest lead.
TextShape byte_wise_shape(const std::string& bytes) {
    std::size_t continuations = 0;
    unsigned char highest_lead = 0;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if ((value & 0xC0) == 0x80) ++continuations;
        if (value >= 0xC0 && value > highest_lead) highest_lead = value;
    }
    const std::uint32_t max_char = highest_lead >= 0xF0   ? 0x10FFFF
                                   : highest_lead >= 0xC4 ? 0xFFFF
                                   : highest_lead != 0    ? 0xFF
                                                          : 127;
    return TextShape{bytes.size() - continuations, max_char};
}

// Measures `bytes` and checks the result against the byte-wise rules: refused exactly
// when the validator refuses them, and otherwise their length and class. Returns
// whether they were well-formed.
bool measured_by_byte_wise_rules(const std::string& bytes) {
    const bool valid = first_invalid_utf8(bytes) == kUtf8Valid;
    const std::optional<TextShape> shape = text_shape(bytes);
    EXPECT_EQ(shape.has_value(), valid);
    if (!valid || !shape) return valid;
    const TextShape expected = byte_wise_shape(bytes);
    EXPECT_EQ(shape->length, expected.length);
    EXPECT_EQ(shape->max_char, expected.max_char);
    return true;
}

// Latin text is ASCII with two-byte sequences, which the measuring pass takes a
// block at a time: its length and class must match the byte-wise rules, and one
// bad byte anywhere (a stray or missing continuation, an overlong or three-byte
// lead) must send it back to them, at every offset of a block.
TEST(TextUnitsTest, TwoByteBlocksMatchTheByteWiseRules) {
    std::mt19937 random(7);
    const char* const units[] = {"a", " ", "\xC3\xA9", "\xC2\x80", "\xC5\x93", "\xDF\xBF"};
    const unsigned char bad[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE9, 0xF0, 'a'};
    std::size_t refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const std::size_t target = 16 + random() % 50;
        const int wide_odds = round % 2 == 0 ? 6 : 4;  // half the rounds stay below U+0100
        while (bytes.size() < target) bytes += units[random() % wide_odds];
        if (round % 2 == 1) bytes[random() % bytes.size()] = static_cast<char>(bad[random() % sizeof bad]);
        SCOPED_TRACE(round);
        if (!measured_by_byte_wise_rules(bytes)) ++refused;
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(refused, 3000u);
}

// Text in any script mixes sequences of every length, so blocks of two-byte text
// meet three- and four-byte sequences at every offset: the same check with those at
// the edges of their ranges, and bad bytes that break the second-byte ranges (0xE0
// then 0x80, 0xED then 0xA0, 0xF0 then 0x80, 0xF4 then 0x90) or the leads.
TEST(TextUnitsTest, MixedSequenceLengthsMatchTheByteWiseRules) {
    std::mt19937 random(13);
    const char* const units[] = {"a",
                                 " ",
                                 "\xC3\xA9",
                                 "\xDF\xBF",
                                 "\xE0\xA0\x80",
                                 "\xE4\xB8\xAD",
                                 "\xED\x9F\xBF",
                                 "\xEE\x80\x80",
                                 "\xEF\xBF\xBF",
                                 "\xF0\x90\x80\x80",
                                 "\xF0\x9F\x98\x80",
                                 "\xF4\x8F\xBF\xBF"};
    const unsigned char bad[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 'a'};
    std::size_t refused = 0;
    for (int round = 0; round < 30000; ++round) {
        std::string bytes;
        const std::size_t target = 16 + random() % 60;
        const std::size_t widest = round % 3 == 0 ? 9 : 12;  // a third of the rounds stay in the basic plane
        while (bytes.size() < target) bytes += units[random() % widest];
        if (round % 2 == 1) bytes[random() % bytes.size()] = static_cast<char>(bad[random() % sizeof bad]);
        SCOPED_TRACE(round);
        if (!measured_by_byte_wise_rules(bytes)) ++refused;
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(refused, 5000u);
}

}  // namespace
}  // namespace vorlane
