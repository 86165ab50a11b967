// The sinks of write_string: MeasureSink counts exactly the code points and the
// class of what a StringSink collects for the same rendering, and UnitSink writes
// exactly those code points into a range of that length, never past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_tree.hpp"
#include "write/str_sinks.hpp"
#include "write/text_units.hpp"
#include "write/xml_writer.hpp"

namespace vorlane {
namespace {

using testing_support::element;
using testing_support::TestElement;
using testing_support::TestTree;

template <typename Sink>
void render_into(Sink& sink, const TestElement& root, std::uint32_t indent) {
    ASSERT_TRUE(sink.append(XML_DECLARATION).ok());
    XmlWriter<Sink> writer{sink, indent};
    ASSERT_TRUE(write_element<TestTree>(writer, root).ok());
}

// The code points of well-formed UTF-8.
std::vector<std::uint32_t> code_points(std::string_view bytes) {
    std::vector<std::uint32_t> points(bytes.size() + 1);
    const std::size_t count = utf8_to_ucs4(bytes, points.data(), points.size());
    EXPECT_NE(count, kConversionFailed);
    points.resize(count);
    return points;
}

// Renders `root` into a UnitSink of the width `shape` asks for and returns the
// units as code points; a guard unit past the range must stay untouched.
template <typename Unit, bool Ascii = false>
std::vector<std::uint32_t> rendered_units(const TestElement& root, std::uint32_t indent, std::size_t unit_count) {
    std::vector<Unit> units(unit_count + 1, static_cast<Unit>(0x5A));
    UnitSink<Unit, Ascii> sink(units.data(), unit_count);
    render_into(sink, root, indent);
    EXPECT_TRUE(sink.complete());
    EXPECT_EQ(units[unit_count], static_cast<Unit>(0x5A));
    return std::vector<std::uint32_t>(units.begin(), units.end() - 1);
}

// Pieces values are drawn from: plain ASCII, every byte the escaping replaces, and
// characters of each width class.
const char* const kPieces[] = {"a", "bc", "0123456789abcdef", "&", "<", ">", "\"", "'", "\t", "\n", "\r",
                               " ", "\xC3\xA9", "\xC3\xBF", "\xCE\xBB", "\xE2\x82\xAC", "\xEF\xBF\xBD",
                               "\xF0\x9F\x98\x80"};

struct ContentCase {
    const char* label;
    std::size_t piece_count;  // pieces drawn from the front of kPieces
};

class StrSinksTest : public ::testing::TestWithParam<ContentCase> {};

// Random trees (values of 0 to 40 pieces, so that runs end on every offset of a
// sixteen-byte block) render through all three sinks with matching results.
TEST_P(StrSinksTest, MeasureAndUnitsMatchTheUtf8Rendering) {
    std::mt19937 random(11);
    auto value = [&] {
        std::string text;
        const std::size_t length = random() % 41;
        for (std::size_t index = 0; index < length; ++index) text += kPieces[random() % GetParam().piece_count];
        return text;
    };
    // Keys of 1 to about 50 bytes, each made unique by its position.
    auto key = [&](std::size_t position) {
        std::string text;
        const std::size_t length = random() % 4;
        for (std::size_t index = 0; index < length; ++index) text += kPieces[random() % GetParam().piece_count];
        return text + "k" + std::to_string(position);
    };
    for (int round = 0; round < 60; ++round) {
        std::vector<TestElement> children;
        for (int index = 0; index < 4; ++index) {
            const std::string text = value();
            const std::string note = value();
            TestElement child = round % 2 == 0 ? element("item", {{"note", note}}, text) : element("item");
            if (round % 3 == 0) {
                // Several attributes, so that the short and the general forms of an
                // attribute follow one another.
                const std::size_t count = 1 + random() % 5;
                child.attrs = AttrMap(draw_hash_keys(), count);
                for (std::size_t position = 0; position < count; ++position) {
                    ASSERT_TRUE(child.attrs.insert(StrRef::owned(key(position)), StrRef::owned(value())));
                }
            }
            children.push_back(std::move(child));
        }
        const std::string root_text = value();
        TestElement root = element("root", {{"k", value()}}, root_text, std::move(children));
        const std::uint32_t indent = static_cast<std::uint32_t>(round % 5);
        SCOPED_TRACE(::testing::Message() << "round " << round);

        StringSink bytes;
        render_into(bytes, root, indent);
        const std::optional<TextShape> shape = text_shape(bytes.view());
        ASSERT_TRUE(shape.has_value());
        MeasureSink measure;
        render_into(measure, root, indent);
        ASSERT_TRUE(measure.well_formed());
        ASSERT_EQ(measure.unit_count(), shape->length);
        ASSERT_EQ(measure.max_char(), shape->max_char);

        const std::vector<std::uint32_t> expected = code_points(bytes.view());
        if (shape->max_char == 127) {
            EXPECT_EQ((rendered_units<std::uint8_t, true>(root, indent, shape->length)), expected);
        }
        if (shape->max_char <= 0xFF) {
            EXPECT_EQ(rendered_units<std::uint8_t>(root, indent, shape->length), expected);
        }
        if (shape->max_char <= 0xFFFF) {
            EXPECT_EQ(rendered_units<std::uint16_t>(root, indent, shape->length), expected);
        }
        EXPECT_EQ(rendered_units<std::uint32_t>(root, indent, shape->length), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, StrSinksTest,
                         ::testing::Values(ContentCase{"Ascii", 12}, ContentCase{"Latin1", 14},
                                           ContentCase{"BasicPlane", 17}, ContentCase{"AllPlanes", 18}),
                         [](const ::testing::TestParamInfo<ContentCase>& info) { return info.param.label; });

TEST(MeasureSinkTest, IllFormedPieceIsNoted) {
    MeasureSink measure;
    ASSERT_TRUE(measure.append("ok").ok());
    EXPECT_TRUE(measure.well_formed());
    ASSERT_TRUE(measure.append("\xC3").ok());
    EXPECT_FALSE(measure.well_formed());
}

TEST(MeasureSinkTest, SpacesCountAsAscii) {
    MeasureSink measure;
    ASSERT_TRUE(measure.append_spaces(1000).ok());
    ASSERT_TRUE(measure.append("\xCE\xBB").ok());
    EXPECT_EQ(measure.unit_count(), 1001u);
    EXPECT_EQ(measure.max_char(), 0xFFFFu);
}

TEST(MeasureSinkTest, TotalPastTheLargestStrThrows) {
    MeasureSink measure;
    ASSERT_TRUE(measure.append_spaces(kMaxOutputUnits).ok());
    EXPECT_THROW((void)measure.append("x"), std::bad_alloc);
}

struct OverflowCase {
    const char* label;
    std::string piece;
    std::size_t room;
};

class UnitSinkOverflowTest : public ::testing::TestWithParam<OverflowCase> {};

// A piece longer than the room left stops the sink without writing past the range.
TEST_P(UnitSinkOverflowTest, StopsInsideTheRange) {
    const OverflowCase& c = GetParam();
    std::vector<std::uint16_t> units(c.room + 1, 0x5A5A);
    UnitSink<std::uint16_t> sink(units.data(), c.room);
    ASSERT_TRUE(sink.append(c.piece).ok());
    EXPECT_FALSE(sink.complete());
    EXPECT_EQ(units[c.room], 0x5A5A);
    ASSERT_TRUE(sink.append_spaces(1).ok());
    EXPECT_FALSE(sink.complete());
    EXPECT_EQ(units[c.room], 0x5A5A);

    std::vector<std::uint8_t> bytes(c.room + 1, 0x5A);
    UnitSink<std::uint8_t, true> ascii(bytes.data(), c.room);
    ASSERT_TRUE(ascii.append(std::string(c.room + 1, 'a')).ok());
    EXPECT_FALSE(ascii.complete());
    EXPECT_EQ(bytes[c.room], 0x5A);
}

INSTANTIATE_TEST_SUITE_P(Pieces, UnitSinkOverflowTest,
                         ::testing::Values(OverflowCase{"ShortAscii", "abcde", 4},
                                           OverflowCase{"ShortNonAscii", "ab\xCE\xBB", 2},
                                           OverflowCase{"LongAscii", std::string(40, 'a'), 39},
                                           OverflowCase{"LongNonAscii", std::string(30, 'a') + "\xE2\x82\xAC", 30}),
                         [](const ::testing::TestParamInfo<OverflowCase>& info) { return info.param.label; });

TEST(UnitSinkTest, SpacesAndExactFill) {
    std::vector<std::uint32_t> units(6, 0);
    UnitSink<std::uint32_t> sink(units.data(), units.size());
    ASSERT_TRUE(sink.append("\xF0\x9F\x98\x80").ok());
    EXPECT_FALSE(sink.complete());
    ASSERT_TRUE(sink.append_spaces(4).ok());
    ASSERT_TRUE(sink.append("z").ok());
    EXPECT_TRUE(sink.complete());
    EXPECT_EQ(units, (std::vector<std::uint32_t>{0x1F600, ' ', ' ', ' ', ' ', 'z'}));
}

}  // namespace
}  // namespace vorlane
