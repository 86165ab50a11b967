// build_index: the sample rule that picks a builder, names at and past the 16-bit
// limit, reserved capacity, and the 64-bit index fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "index/index_writer.hpp"
#include "index/structural_index.hpp"
#include "index_test_support.hpp"

namespace vorlane::index_testing {
namespace {

static_assert(std::is_same_v<decltype(StructuralIndex::tag_starts)::value_type, std::uint64_t>);
static_assert(std::is_same_v<decltype(StructuralIndex::tag_ends)::value_type, std::uint64_t>);
static_assert(std::is_same_v<decltype(NameRef::offset), std::uint64_t>);
static_assert(std::is_same_v<decltype(NameRef::length), std::uint16_t>);
static_assert(std::is_same_v<decltype(TextRange::start), std::uint64_t>);
static_assert(std::is_same_v<decltype(TextRange::end), std::uint64_t>);
static_assert(sizeof(TagKind) == 1);

std::string repeat(char byte, std::size_t count) { return std::string(count, byte); }

struct ChoiceCase {
    const char* label;
    std::string input;
    bool bitmap;
};

std::ostream& operator<<(std::ostream& out, const ChoiceCase& c) { return out << c.label; }

class BuilderChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(BuilderChoice, FollowsQuoteRatioOfSample) {
    EXPECT_EQ(prefers_bitmap_builder(GetParam().input), GetParam().bitmap);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, BuilderChoice,
    ::testing::Values(
        ChoiceCase{"EmptyIsSequential", "", false},
        ChoiceCase{"RatioExactlyFiveIsSequential", "<" + repeat('"', 5), false},
        ChoiceCase{"RatioAboveFiveIsBitmap", "<" + repeat('"', 6), true},
        ChoiceCase{"TwoOpensTenQuotesIsSequential", "<<" + repeat('"', 10), false},
        ChoiceCase{"TwoOpensElevenQuotesIsBitmap", "<<" + repeat('"', 11), true},
        ChoiceCase{"NoOpenSixQuotesIsBitmap", repeat('"', 6), true},
        ChoiceCase{"NoOpenFiveQuotesIsSequential", repeat('"', 5), false},
        ChoiceCase{"ApostrophesAreNotCounted", "<" + repeat('\'', 100), false},
        ChoiceCase{"QuotesInsideSampleCount", "<" + repeat('x', 4089) + repeat('"', 6), true},
        ChoiceCase{"QuotesPastSampleDoNotCount", "<" + repeat('x', 4095) + repeat('"', 600), false},
        ChoiceCase{"AttributeHeavyTag", "<r a=\"\" b=\"\" c=\"\" d=\"\" e=\"\" f=\"\"/><", true},
        ChoiceCase{"RecordTag", "<r a=\"1\" b=\"2\"/>", false}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.label); });

TEST(BuildIndexTest, QuoteDenseInputRunsBitmapBuilder) {
    // Twelve quotes per two '<': the bitmap builder ignores the trailing '<'.
    const std::string input = "<r a=\"\" b=\"\" c=\"\" d=\"\" e=\"\" f=\"\"/><";
    expect_outcome(input, build_index(input), Expected{{{0, 33, TagKind::SelfClosing, "r"}}, {}});
    ASSERT_FALSE(build_index_sequential(input).ok());
}

TEST(BuildIndexTest, RatioOfFiveRunsSequentialBuilder) {
    // Ten quotes per two '<': the sequential builder rejects the trailing '<'.
    const std::string input = "<r a=\"\" b=\"\" c=\"\" d=\"\" e=\"\"/><";
    expect_outcome(input, build_index(input), ScanError{ScanError::Kind::UnclosedTag, input.size() - 1});
    ASSERT_TRUE(build_index_bitmap(input).ok());
}

TEST(BuildIndexTest, EmptyInputGivesEmptyIndex) {
    expect_outcome("", build_index(""), Expected{});
}

struct LongNameCase {
    const char* label;
    std::string prefix;
    std::string suffix;
    std::uint64_t open_offset;
    TagKind kind;
    std::uint64_t end_from_input_end;  // entry end = input length - this
};

std::ostream& operator<<(std::ostream& out, const LongNameCase& c) { return out << c.label; }

class LongNames : public ::testing::TestWithParam<std::tuple<Builder, LongNameCase>> {};

TEST_P(LongNames, NameOf65535BytesIsIndexed) {
    const auto& [builder, test_case] = GetParam();
    const std::string input = test_case.prefix + repeat('n', 65535) + test_case.suffix;
    const auto result = run_builder(builder, input);
    ASSERT_TRUE(result.ok()) << describe(result.error());
    const StructuralIndex& index = result.value();
    std::size_t found = index.size();
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index.tag_starts[i] == test_case.open_offset) found = i;
    }
    ASSERT_LT(found, index.size());
    EXPECT_EQ(index.tag_kinds[found], test_case.kind);
    EXPECT_EQ(index.tag_names[found].length, 65535u);
    EXPECT_EQ(index.tag_names[found].offset, name_offset_for(test_case.kind, test_case.open_offset));
    EXPECT_EQ(index.tag_ends[found], input.size() - test_case.end_from_input_end);
}

TEST_P(LongNames, NameOf65536BytesIsRefusedAtItsLessThan) {
    const auto& [builder, test_case] = GetParam();
    const std::string input = test_case.prefix + repeat('n', 65536) + test_case.suffix;
    expect_outcome(input, run_builder(builder, input),
                   ScanError{ScanError::Kind::NameTooLong, test_case.open_offset});
}

INSTANTIATE_TEST_SUITE_P(
    BothBuilders, LongNames,
    ::testing::Combine(
        ::testing::Values(Builder::Sequential, Builder::Bitmap),
        ::testing::Values(LongNameCase{"StartTag", "<r><", " k='v'></r>", 3, TagKind::Open, 5},
                          LongNameCase{"EmptyElementTag", "<r><", "/></r>", 3, TagKind::SelfClosing, 5},
                          LongNameCase{"EndTag", "<r></", "></r>", 3, TagKind::Close, 5},
                          LongNameCase{"InstructionTarget", "<?", "?><r/>", 0, TagKind::ProcessingInstruction,
                                       5})),
    [](const ::testing::TestParamInfo<LongNames::ParamType>& info) {
        return std::string(builder_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).label;
    });

TEST(LongNameTest, UnclosedLongNameReportsUnclosedTag) {
    const std::string input = "<r><" + repeat('n', 70000);
    for (Builder builder : {Builder::Sequential, Builder::Bitmap}) {
        SCOPED_TRACE(builder_name(builder));
        expect_outcome(input, run_builder(builder, input), ScanError{ScanError::Kind::UnclosedTag, 3});
    }
}

class ReservedCapacity : public ::testing::TestWithParam<Builder> {};

TEST_P(ReservedCapacity, ShortInputReservesOneEntryPerOpen) {
    // One element holding 2,000 bytes of text: two entries, one text range.
    const std::string input = "<r>" + repeat('t', 2000) + "</r>";
    const auto result = run_builder(GetParam(), input);
    ASSERT_TRUE(result.ok());
    const StructuralIndex& index = result.value();
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index_build::estimated_entry_count(input), 2u);
    EXPECT_GE(index.tag_starts.capacity(), 2u);
    EXPECT_GE(index.tag_names.capacity(), 2u);
    EXPECT_GE(index.text_ranges.capacity(), 1u);
}

TEST_P(ReservedCapacity, UniformLargeInputNeedsNoRegrowth) {
    std::string input = "<all>";
    while (input.size() < (std::size_t{400} << 10)) input += "<row id=\"7\">some text</row>\n";
    input += "</all>";
    const auto result = run_builder(GetParam(), input);
    ASSERT_TRUE(result.ok());
    const StructuralIndex& index = result.value();
    const std::size_t estimate = index_build::estimated_entry_count(input);
    EXPECT_GE(estimate, index.size());
    EXPECT_LE(estimate, index.size() * 13 / 10 + 64);
    // Reserved once: a regrown array would hold about twice its first capacity.
    for (const std::size_t capacity : {index.tag_starts.capacity(), index.tag_ends.capacity(),
                                       index.tag_kinds.capacity(), index.tag_names.capacity(),
                                       index.text_ranges.capacity()}) {
        EXPECT_EQ(capacity, estimate);
    }
}

TEST(EstimatedEntryCount, SamplesTheStartTheMiddleAndTheEnd) {
    // Sparse everywhere but in the last sample: the estimate still sees the tags there.
    const std::string sparse(std::size_t{200} << 10, 't');
    std::string dense;
    while (dense.size() < (std::size_t{16} << 10)) dense += "<a/>";
    const std::string input = "<r>" + sparse + dense + "</r>";
    EXPECT_GE(index_build::estimated_entry_count(input), std::size_t{4096} * 3);
}

TEST(EstimatedEntryCount, NeverMoreThanOneEntryPerTwoBytes) {
    std::string input;
    while (input.size() < (std::size_t{100} << 10)) input += "<<<<";
    EXPECT_EQ(index_build::estimated_entry_count(input), input.size() / 2);
    EXPECT_EQ(index_build::estimated_entry_count(""), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothBuilders, ReservedCapacity,
                         ::testing::Values(Builder::Sequential, Builder::Bitmap),
                         [](const ::testing::TestParamInfo<Builder>& info) {
                             return std::string(builder_name(info.param));
                         });

}  // namespace
}  // namespace vorlane::index_testing
