// UTF-8 encoding of 1-, 2- and 4-byte code units: the measured length and the bytes
// against a one-code-point-at-a-time reference, for ASCII runs that cross the 8- and
// 16-unit steps, outputs of every length, and surrogates wherever they stand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "common/utf8_encode.hpp"

namespace vorlane {
namespace {

// Code points stored at one width, as the interpreter would store a str of them.
class StoredUnits {
public:
    StoredUnits(unsigned width, const std::vector<char32_t>& code_points) : width_(width) {
        bytes_.resize(code_points.size() * width);
        for (std::size_t index = 0; index < code_points.size(); ++index) {
            const std::uint32_t value = code_points[index];
            if (width == 1) {
                bytes_[index] = static_cast<std::uint8_t>(value);
            } else if (width == 2) {
                const auto unit = static_cast<std::uint16_t>(value);
                std::memcpy(&bytes_[index * 2], &unit, 2);
            } else {
                std::memcpy(&bytes_[index * 4], &value, 4);
            }
        }
        count_ = code_points.size();
    }
    [[nodiscard]] CodeUnits units() const { return {bytes_.data(), count_, width_}; }

private:
    unsigned width_;
    std::size_t count_ = 0;
    std::vector<std::uint8_t> bytes_;
};

std::string reference_utf8(const std::vector<char32_t>& code_points) {
    std::string out;
    for (const char32_t code_point : code_points) {
        char bytes[4];
        out.append(bytes, encode_utf8(code_point, bytes));
    }
    return out;
}

// Encodes into a buffer of exactly the measured length followed by guard bytes, and
// checks the guard bytes stayed untouched.
std::string encode_checked(CodeUnits units) {
    const std::size_t length = utf8_encoded_length(units);
    EXPECT_NE(length, kUtf8HasSurrogate);
    if (length == kUtf8HasSurrogate) return {};
    constexpr std::size_t kGuardBytes = 32;
    std::string buffer(length + kGuardBytes, '\x5A');
    EXPECT_EQ(encode_utf8_units(units, buffer.data()), length);
    EXPECT_EQ(buffer.substr(length), std::string(kGuardBytes, '\x5A'));
    buffer.resize(length);

    // The one-pass form writes the same bytes into room for the longest form, and
    // nothing past them.
    const std::size_t bound = utf8_length_bound(units);
    EXPECT_GE(bound, length);
    std::string roomy(bound + kGuardBytes, '\x5A');
    EXPECT_EQ(encode_utf8_units_checked(units, roomy.data()), length);
    EXPECT_EQ(roomy.substr(length), std::string(bound + kGuardBytes - length, '\x5A'));
    EXPECT_EQ(roomy.substr(0, length), buffer);
    return buffer;
}

// The one-pass form's verdict on units holding a surrogate.
std::size_t encode_in_one_pass(CodeUnits units) {
    std::string roomy(utf8_length_bound(units), '\0');
    return encode_utf8_units_checked(units, roomy.data());
}

void expect_encodes(unsigned width, const std::vector<char32_t>& code_points) {
    const StoredUnits stored(width, code_points);
    EXPECT_EQ(encode_checked(stored.units()), reference_utf8(code_points));
}

std::vector<char32_t> ascii_run(std::size_t count) {
    std::vector<char32_t> out;
    for (std::size_t index = 0; index < count; ++index) out.push_back(U'a' + static_cast<char32_t>(index % 26));
    return out;
}

struct EncodeCase {
    const char* label;
    unsigned width;
    std::vector<char32_t> code_points;
};

class Utf8EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Utf8EncodeTest, MatchesTheReference) { expect_encodes(GetParam().width, GetParam().code_points); }

std::string encode_case_name(const ::testing::TestParamInfo<EncodeCase>& info) { return info.param.label; }

std::vector<char32_t> concat(std::vector<char32_t> first, const std::vector<char32_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8EncodeTest,
    ::testing::Values(
        EncodeCase{"EmptyLatin1", 1, {}},
        EncodeCase{"EmptyBasicPlane", 2, {}},
        EncodeCase{"EmptyAllPlanes", 4, {}},
        EncodeCase{"AsciiLatin1", 1, ascii_run(100)},
        EncodeCase{"AsciiBasicPlane", 2, ascii_run(100)},
        EncodeCase{"AsciiAllPlanes", 4, ascii_run(100)},
        EncodeCase{"Latin1TwoByte", 1, {0x80, 0xE9, 0xFF, U'x', 0xC0, 0xA0}},
        EncodeCase{"Latin1LongRunOfHighBytes", 1, std::vector<char32_t>(70, 0xE9)},
        EncodeCase{"BasicPlaneTwoAndThreeByte", 2, {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x4E2D}},
        EncodeCase{"BasicPlaneCjkRun", 2, concat(ascii_run(13), std::vector<char32_t>(40, 0x6771))},
        EncodeCase{"AllPlanesFourByte", 4, {0x10000, 0x1F600, 0x10FFFF, U'a', 0xE9, 0x800}},
        EncodeCase{"AllPlanesAstralRun", 4, concat(std::vector<char32_t>(33, 0x1F600), ascii_run(17))},
        EncodeCase{"HighUnitsAtBlockEdges", 2,
                   concat(concat(ascii_run(15), {0xE9}), concat(ascii_run(16), {0x20AC}))},
        EncodeCase{"Latin1ValueThatSaturates", 2, concat(ascii_run(16), {0x100, 0x17F, U'b'})}),
    encode_case_name);

class Utf8EncodeWidthTest : public ::testing::TestWithParam<unsigned> {};

// The largest code point each width stores that is not ASCII.
char32_t wide_unit(unsigned width) {
    return width == 1 ? 0xFC : width == 2 ? 0x20AC : 0x1F600;
}

TEST_P(Utf8EncodeWidthTest, AsciiRunsOfEveryLengthAcrossTheBlockSteps) {
    for (std::size_t count = 0; count <= 72; ++count) {
        SCOPED_TRACE(count);
        expect_encodes(GetParam(), ascii_run(count));
    }
}

TEST_P(Utf8EncodeWidthTest, OneNonAsciiUnitAtEveryPosition) {
    for (std::size_t count = 1; count <= 48; ++count) {
        for (std::size_t at = 0; at < count; ++at) {
            SCOPED_TRACE(testing::Message() << count << " units, non-ASCII at " << at);
            std::vector<char32_t> code_points = ascii_run(count);
            code_points[at] = wide_unit(GetParam());
            expect_encodes(GetParam(), code_points);
        }
    }
}

TEST_P(Utf8EncodeWidthTest, RandomMixesOfAsciiRunsAndOtherUnits) {
    std::mt19937 random(20240601 + GetParam());
    const char32_t limit = GetParam() == 1 ? 0xFF : GetParam() == 2 ? 0xFFFF : 0x10FFFF;
    for (int round = 0; round < 200; ++round) {
        std::vector<char32_t> code_points;
        const std::size_t count = random() % 300;
        while (code_points.size() < count) {
            if (random() % 4 != 0) {
                const auto run = ascii_run(random() % 40);
                code_points.insert(code_points.end(), run.begin(), run.end());
            } else {
                char32_t value = 0x80 + static_cast<char32_t>(random() % (limit - 0x7F));
                if (value >= 0xD800 && value <= 0xDFFF) value -= 0x800;
                code_points.push_back(value);
            }
        }
        SCOPED_TRACE(round);
        expect_encodes(GetParam(), code_points);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, Utf8EncodeWidthTest, ::testing::Values(1u, 2u, 4u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return "Width" + std::to_string(info.param);
                         });

struct SurrogateCase {
    const char* label;
    unsigned width;
    char32_t surrogate;
};

class Utf8SurrogateTest : public ::testing::TestWithParam<SurrogateCase> {};

TEST_P(Utf8SurrogateTest, FoundAtStartMiddleAndEnd) {
    for (const std::size_t count : {1u, 7u, 8u, 15u, 16u, 17u, 31u, 33u, 64u, 100u}) {
        for (const std::size_t at : {std::size_t{0}, count / 2, count - 1}) {
            SCOPED_TRACE(testing::Message() << count << " units, surrogate at " << at);
            std::vector<char32_t> code_points = ascii_run(count);
            code_points[at] = GetParam().surrogate;
            const StoredUnits stored(GetParam().width, code_points);
            EXPECT_EQ(utf8_encoded_length(stored.units()), kUtf8HasSurrogate);
            EXPECT_EQ(encode_in_one_pass(stored.units()), kUtf8HasSurrogate);
        }
    }
}

TEST_P(Utf8SurrogateTest, FoundAmongOtherNonAsciiUnits) {
    std::vector<char32_t> code_points = concat(ascii_run(20), {0xE9, 0x20AC, GetParam().surrogate, 0x4E2D});
    const StoredUnits stored(GetParam().width, concat(code_points, ascii_run(30)));
    EXPECT_EQ(utf8_encoded_length(stored.units()), kUtf8HasSurrogate);
    EXPECT_EQ(encode_in_one_pass(stored.units()), kUtf8HasSurrogate);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8SurrogateTest,
    ::testing::Values(SurrogateCase{"BasicPlaneLowest", 2, 0xD800}, SurrogateCase{"BasicPlaneTrail", 2, 0xDC80},
                      SurrogateCase{"BasicPlaneHighest", 2, 0xDFFF}, SurrogateCase{"AllPlanesLead", 4, 0xD83D},
                      SurrogateCase{"AllPlanesHighest", 4, 0xDFFF}),
    [](const ::testing::TestParamInfo<SurrogateCase>& info) { return std::string(info.param.label); });

#if defined(VORLANE_UTF8_ENCODE_SSSE3)
// Basic-plane units of every class in runs of random length, so that the eight-unit
// steps see every mix of one-, two- and three-byte units and every alignment.
std::vector<char32_t> random_basic_plane(std::mt19937& random, std::size_t count) {
    static constexpr char32_t kPicks[] = {U'a', U' ', U'<', 0x7F, 0x80, 0xE9, 0x3B1, 0x7FF, 0x800, 0x4E2D, 0xD7FF, 0xE000, 0xFFFF};
    std::vector<char32_t> code_points;
    while (code_points.size() < count) {
        const char32_t pick = kPicks[random() % std::size(kPicks)];
        const std::size_t run = 1 + random() % 12;
        for (std::size_t index = 0; index < run && code_points.size() < count; ++index) code_points.push_back(pick);
    }
    return code_points;
}

// Both loops over the same units: the same bytes, in exact and in roomy buffers,
// with nothing written past the end.
void expect_loops_agree(const std::vector<char32_t>& code_points) {
    const StoredUnits stored(2, code_points);
    const auto* units = static_cast<const std::uint16_t*>(stored.units().data);
    const std::string expected = reference_utf8(code_points);
    constexpr std::size_t kGuardBytes = 32;
    std::string exact(expected.size() + kGuardBytes, '\x5A');
    EXPECT_EQ(utf8_encode_detail::encode_portable<false>(units, code_points.size(), exact.data()), expected.size());
    EXPECT_EQ(exact, expected + std::string(kGuardBytes, '\x5A'));
    std::fill(exact.begin(), exact.end(), '\x5A');
    EXPECT_EQ(utf8_encode_detail::encode_basic_plane_ssse3<false>(units, code_points.size(), exact.data()),
              expected.size());
    EXPECT_EQ(exact, expected + std::string(kGuardBytes, '\x5A'));
    std::string roomy(3 * code_points.size() + kGuardBytes, '\x5A');
    EXPECT_EQ(utf8_encode_detail::encode_basic_plane_ssse3<true>(units, code_points.size(), roomy.data()),
              expected.size());
    EXPECT_EQ(roomy.substr(0, expected.size()), expected);
    EXPECT_EQ(roomy.find_first_not_of('\x5A', expected.size()), std::string::npos);
}

TEST(Utf8EncodeShuffleTest, RandomBasicPlaneTextMatchesThePortableLoop) {
    if (!utf8_encode_detail::has_ssse3()) GTEST_SKIP() << "no SSSE3 on this processor";
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        expect_loops_agree(random_basic_plane(random, random() % 200));
    }
}

TEST(Utf8EncodeShuffleTest, SurrogateAtEveryPositionOfDenseText) {
    if (!utf8_encode_detail::has_ssse3()) GTEST_SKIP() << "no SSSE3 on this processor";
    std::mt19937 random(11);
    for (std::size_t at = 0; at < 64; ++at) {
        SCOPED_TRACE(at);
        std::vector<char32_t> code_points = random_basic_plane(random, 64);
        code_points[at] = 0xD800 + static_cast<char32_t>(random() % 0x800);
        const StoredUnits stored(2, code_points);
        std::string roomy(3 * code_points.size(), '\0');
        EXPECT_EQ(utf8_encode_detail::encode_basic_plane_ssse3<true>(
                      static_cast<const std::uint16_t*>(stored.units().data), code_points.size(), roomy.data()),
                  kUtf8HasSurrogate);
        EXPECT_EQ(utf8_encode_detail::encode_portable<true>(
                      static_cast<const std::uint16_t*>(stored.units().data), code_points.size(), roomy.data()),
                  kUtf8HasSurrogate);
        EXPECT_EQ(encode_in_one_pass(stored.units()), kUtf8HasSurrogate);
    }
}
#endif

TEST(Utf8EncodeLimitsTest, UnitsNextToTheSurrogatesAreEncoded) {
    expect_encodes(2, concat(ascii_run(16), {0xD7FF, 0xE000}));
    expect_encodes(4, concat(ascii_run(16), {0xD7FF, 0xE000, 0x10000}));
}

}  // namespace
}  // namespace vorlane
