// UTF-8 validation: a table of valid, invalid, truncated, overlong and surrogate
// sequences with the offset of the first bad byte, and agreement with a decoding
// reference at every position around the block-wise ASCII fast path.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "common/utf8.hpp"

namespace vorlane {
namespace {

struct Utf8Case {
    const char* label;
    std::string bytes;
    std::size_t expected;  // kUtf8Valid or the offset of the first bad sequence
};

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, FindsTheFirstInvalidOffset) {
    EXPECT_EQ(first_invalid_utf8(GetParam().bytes), GetParam().expected);
    EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().expected == kUtf8Valid);
}

std::string utf8_case_name(const ::testing::TestParamInfo<Utf8Case>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Test,
    ::testing::Values(
        Utf8Case{"Empty", "", kUtf8Valid},
        Utf8Case{"Ascii", "plain <xml/> text", kUtf8Valid},
        Utf8Case{"NulIsValid", std::string("a\0b", 3), kUtf8Valid},
        Utf8Case{"TwoByte", "\xC2\x80\xDF\xBF", kUtf8Valid},
        Utf8Case{"ThreeByte", "\xE0\xA0\x80\xE2\x82\xAC\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", kUtf8Valid},
        Utf8Case{"FourByte", "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", kUtf8Valid},
        Utf8Case{"MixedLong", std::string(40, 'a') + "\xC3\xA9" + std::string(20, 'b') + "\xF0\x9F\x98\x80", kUtf8Valid},
        Utf8Case{"LoneContinuation", "ab\x80", 2},
        Utf8Case{"LeadC0Overlong", "\xC0\x80", 0},
        Utf8Case{"LeadC1Overlong", "x\xC1\xBF", 1},
        Utf8Case{"ThreeByteOverlong", "\xE0\x9F\xBF", 0},
        Utf8Case{"FourByteOverlong", "\xF0\x8F\xBF\xBF", 0},
        Utf8Case{"SurrogateLow", "ok\xED\xA0\x80", 2},
        Utf8Case{"SurrogateHigh", "\xED\xBF\xBF", 0},
        Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", 0},
        Utf8Case{"LeadF5", "\xF5\x80\x80\x80", 0},
        Utf8Case{"LeadFF", "abc\xFF", 3},
        Utf8Case{"TruncatedTwoByte", "abc\xC3", 3},
        Utf8Case{"TruncatedThreeByte", "\xE2\x82", 0},
        Utf8Case{"TruncatedFourByte", "a\xF0\x9F\x98", 1},
        Utf8Case{"ContinuationMissingMidSequence", "\xE2\x41\xAC", 0},
        Utf8Case{"ThirdByteNotContinuation", "\xE2\x82\x41", 0},
        Utf8Case{"FourthByteNotContinuation", "\xF0\x9F\x98\x41", 0},
        Utf8Case{"BadAfterValidMultibyte", "\xC3\xA9\xC3\xA9\xC3", 4},
        Utf8Case{"BadAfterSixteenAscii", std::string(16, 'q') + "\x80", 16},
        Utf8Case{"BadAfterTwentyFiveAscii", std::string(25, 'q') + "\xC3(", 25},
        Utf8Case{"BadDeepInLongInput", std::string(1000, 'z') + "\xC3\xA9" + std::string(7, 'z') + "\xED\xA0\x80",
                 1009}),
    utf8_case_name);

// Decodes code point by code point and checks the value ranges, independently of
// the byte-range table used by the validator.
std::size_t reference_first_invalid(const std::string& bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[offset]);
        std::size_t length;
        std::uint32_t value;
        std::uint32_t minimum;
        if (lead < 0x80) {
            ++offset;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, minimum = 0x10000;
        } else {
            return offset;
        }
        if (bytes.size() - offset < length) return offset;
        for (std::size_t index = 1; index < length; ++index) {
            auto next = static_cast<unsigned char>(bytes[offset + index]);
            if ((next & 0xC0) != 0x80) return offset;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return offset;
        offset += length;
    }
    return kUtf8Valid;
}

TEST(Utf8SweepTest, EveryPositionAroundTheFastPathMatchesTheReference) {
    const std::string insertions[] = {"\x80", "\xC3", "\xC3\xA9", "\xE2\x82\xAC", "\xED\xA0\x80",
                                      "\xF0\x9F\x98\x80", "\xF4\x90\x80\x80", "\xC0\xAF", "\xFE"};
    for (std::size_t total = 0; total < 40; ++total) {
        for (std::size_t position = 0; position <= total; ++position) {
            for (const std::string& insertion : insertions) {
                std::string bytes(total, 'a');
                bytes.insert(position, insertion);
                ASSERT_EQ(first_invalid_utf8(bytes), reference_first_invalid(bytes))
                    << "length " << total << " position " << position;
            }
        }
    }
}

TEST(Utf8SweepTest, RandomInputsMatchTheReference) {
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int> length_of(0, 64);
    std::uniform_int_distribution<int> kind_of(0, 9);
    std::uniform_int_distribution<int> any_byte(0, 255);
    const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "<x/>"};
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        int count = length_of(generator);
        for (int index = 0; index < count; ++index) {
            int kind = kind_of(generator);
            if (kind < 5) {
                bytes += pieces[kind];
            } else if (kind == 5) {
                bytes.push_back(static_cast<char>(any_byte(generator)));
            } else {
                bytes += std::string(8, 'b');
            }
        }
        ASSERT_EQ(first_invalid_utf8(bytes), reference_first_invalid(bytes)) << "round " << round;
    }
}

}  // namespace
}  // namespace vorlane
