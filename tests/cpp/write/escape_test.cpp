// Output escaping: the table in both modes, unchanged runs, and that each run of
// unchanged bytes reaches the sink as one piece.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "write/escape.hpp"

namespace vorlane {
namespace {

struct EscapeCase {
    const char* label;
    std::string input;
    std::string text_mode;
    std::string attribute_mode;
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

std::string escaped(std::string_view input, EscapeMode mode) {
    StringSink sink;
    EXPECT_TRUE(write_escaped(sink, input, mode).ok());
    return std::string(sink.view());
}

TEST_P(EscapeTest, TextMode) { EXPECT_EQ(escaped(GetParam().input, EscapeMode::Text), GetParam().text_mode); }

TEST_P(EscapeTest, AttributeMode) {
    EXPECT_EQ(escaped(GetParam().input, EscapeMode::Attribute), GetParam().attribute_mode);
}

std::string escape_case_name(const ::testing::TestParamInfo<EscapeCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeTest,
    ::testing::Values(
        EscapeCase{"Empty", "", "", ""},
        EscapeCase{"Plain", "plain words 123", "plain words 123", "plain words 123"},
        EscapeCase{"Ampersand", "&", "&amp;", "&amp;"},
        EscapeCase{"LessThan", "<", "&lt;", "&lt;"},
        EscapeCase{"GreaterThan", ">", "&gt;", "&gt;"},
        EscapeCase{"QuotationMark", "\"", "&quot;", "&quot;"},
        EscapeCase{"Apostrophe", "'", "&apos;", "&apos;"},
        EscapeCase{"Tab", "\t", "\t", "&#9;"},
        EscapeCase{"CarriageReturn", "\r", "\r", "&#13;"},
        EscapeCase{"LineFeed", "\n", "\n", "&#10;"},
        EscapeCase{"OtherControlsUnchanged", std::string("\x01\x1F\x7F\0", 4), std::string("\x01\x1F\x7F\0", 4),
                   std::string("\x01\x1F\x7F\0", 4)},
        EscapeCase{"AlreadyEscapedIsEscapedAgain", "&amp;", "&amp;amp;", "&amp;amp;"},
        EscapeCase{"RunsBetweenSpecials", "ab<cd>ef", "ab&lt;cd&gt;ef", "ab&lt;cd&gt;ef"},
        EscapeCase{"AdjacentSpecials", "<<&&", "&lt;&lt;&amp;&amp;", "&lt;&lt;&amp;&amp;"},
        EscapeCase{"SpecialsAtBothEnds", "'middle'", "&apos;middle&apos;", "&apos;middle&apos;"},
        EscapeCase{"WhitespaceMix", "a\tb\r\nc", "a\tb\r\nc", "a&#9;b&#13;&#10;c"},
        EscapeCase{"NonAsciiUnchanged", "\xC3\xA9<\xE2\x82\xAC>\xF0\x9F\x98\x80",
                   "\xC3\xA9&lt;\xE2\x82\xAC&gt;\xF0\x9F\x98\x80", "\xC3\xA9&lt;\xE2\x82\xAC&gt;\xF0\x9F\x98\x80"},
        EscapeCase{"SpecialAfterLongRun", std::string(37, 'x') + "&", std::string(37, 'x') + "&amp;",
                   std::string(37, 'x') + "&amp;"},
        EscapeCase{"SpecialInEveryPositionOfABlock", "abc\"defg'hij\nk",
                   "abc&quot;defg&apos;hij\nk", "abc&quot;defg&apos;hij&#10;k"}),
    escape_case_name);

TEST(EscapeReplacementTest, ExactlyTheTableBytesAreReplaced) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        std::string_view text = escape_replacement(static_cast<unsigned char>(byte), EscapeMode::Text);
        std::string_view attribute = escape_replacement(static_cast<unsigned char>(byte), EscapeMode::Attribute);
        bool text_special = std::string_view("&<>\"'").find(static_cast<char>(byte)) != std::string_view::npos;
        bool whitespace = byte == '\t' || byte == '\r' || byte == '\n';
        EXPECT_EQ(!text.empty(), text_special);
        EXPECT_EQ(!attribute.empty(), text_special || whitespace);
        if (text_special) {
            EXPECT_EQ(text, attribute);
        }
    }
}

#if defined(__SSE2__)
// A short block holds exactly the bytes asked for, in order, and zeros after them;
// the bytes sit at the very end of their allocation, so that a read past them
// would show under the address sanitizer.
TEST(EscapeBlockTest, ShortBlockHoldsExactlyItsBytes) {
    const unsigned char source[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                      0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    for (std::size_t count = 0; count < 16; ++count) {
        SCOPED_TRACE(count);
        const std::vector<unsigned char> bytes(source, source + count);
        alignas(16) unsigned char lanes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), escape_detail::load_short_block(bytes.data(), count));
        for (std::size_t index = 0; index < 16; ++index) {
            EXPECT_EQ(lanes[index], index < count ? bytes[index] : 0) << "lane " << index;
        }
    }
}
#endif

// The measure's growth of each byte is its replacement's length less one, alone and
// at every lane of a block, and the non-ASCII flag follows the high bit.
TEST(EscapeMeasureTest, GrowthIsTheReplacementLengthLessOne) {
    for (EscapeMode mode : {EscapeMode::Text, EscapeMode::Attribute}) {
        for (int byte = 1; byte < 256; ++byte) {
            SCOPED_TRACE(::testing::Message() << "byte " << byte << " mode " << static_cast<int>(mode));
            const std::string_view replacement = escape_replacement(static_cast<unsigned char>(byte), mode);
            const std::size_t growth = replacement.empty() ? 0 : replacement.size() - 1;
            for (std::size_t lane : {0u, 7u, 15u, 16u, 20u}) {
                std::string value(lane + 1 + (lane % 3), 'q');
                value[lane] = static_cast<char>(byte);
                const EscapeMeasure measure = measure_escaped(value, mode);
                EXPECT_EQ(measure.growth, growth);
                EXPECT_EQ(measure.non_ascii, byte >= 0x80);
            }
        }
    }
}

// A FileSink writes a piece of 8192 bytes or more straight to the file, so a long run
// reaching the file before the replacement is buffered shows it was appended whole.
TEST(EscapeRunTest, LongRunIsAppendedInOnePiece) {
    char path[] = "/tmp/vorlane_escape_run_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        Result<FileSink, IoError> opened = FileSink::open(path);
        ASSERT_TRUE(opened.ok());
        FileSink sink = std::move(opened).value();
        std::string value = std::string(10000, 'a') + "&" + std::string(3, 'b');
        ASSERT_TRUE(write_escaped(sink, value, EscapeMode::Attribute).ok());
        struct stat info {};
        ASSERT_EQ(stat(path, &info), 0);
        EXPECT_EQ(info.st_size, 10000);
        EXPECT_EQ(sink.buffered_size(), 8u);
    }
    std::remove(path);
}

// The escaped form of `input` one byte at a time, straight from the table.
std::string escaped_bytewise(std::string_view input, EscapeMode mode) {
    std::string out;
    for (char byte : input) {
        std::string_view replacement = escape_replacement(static_cast<unsigned char>(byte), mode);
        if (replacement.empty()) {
            out += byte;
        } else {
            out += replacement;
        }
    }
    return out;
}

struct BlockCase {
    std::size_t length;
    EscapeMode mode;
};

class EscapeBlockTest : public ::testing::TestWithParam<BlockCase> {};

// Each special byte (and a few bytes next to them in value) at every position of
// values whose lengths sit on either side of a machine word and of a 16-byte block:
// the block search must stop at exactly that byte and at no other.
TEST_P(EscapeBlockTest, EveryPositionOfEveryBlock) {
    const auto [length, mode] = GetParam();
    const std::string probes = std::string("&<>\"'\t\r\n", 8) + "%(;=?\x08\x0b\x0c\xc3\xa9\x7f" + std::string(1, '\0');
    for (char probe : probes) {
        for (std::size_t position = 0; position < length; ++position) {
            std::string value(length, 'p');
            value[position] = probe;
            SCOPED_TRACE(::testing::Message() << "byte " << static_cast<int>(static_cast<unsigned char>(probe))
                                              << " at " << position);
            EXPECT_EQ(escaped(value, mode), escaped_bytewise(value, mode));
        }
    }
    // Two specials in one block, and a special on each side of a block boundary.
    for (std::size_t position = 0; position + 1 < length; ++position) {
        std::string value(length, 'q');
        value[position] = '<';
        value[position + 1] = mode == EscapeMode::Attribute ? '\n' : '&';
        EXPECT_EQ(escaped(value, mode), escaped_bytewise(value, mode)) << position;
    }
}

std::string block_case_name(const ::testing::TestParamInfo<BlockCase>& info) {
    return std::string(info.param.mode == EscapeMode::Text ? "Text" : "Attribute") + "Length" +
           std::to_string(info.param.length);
}

INSTANTIATE_TEST_SUITE_P(Lengths, EscapeBlockTest,
                         ::testing::ValuesIn([] {
                             std::vector<BlockCase> cases;
                             for (std::size_t length : {1u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 48u,
                                                        65u}) {
                                 cases.push_back({length, EscapeMode::Text});
                                 cases.push_back({length, EscapeMode::Attribute});
                             }
                             return cases;
                         }()),
                         block_case_name);

struct BufferEdgeCase {
    std::size_t prefix;  // bytes already in the file buffer
    std::size_t run;     // plain bytes before the special
};

class EscapeBufferEdgeTest : public ::testing::TestWithParam<BufferEdgeCase> {};

// Runs that end just before, at and just after the 8192-byte file buffer, with the
// buffer empty or partly filled: the file gets exactly what a string sink gets.
TEST_P(EscapeBufferEdgeTest, FileMatchesStringAcrossTheBufferEdge) {
    const auto [prefix, run] = GetParam();
    char path[] = "/tmp/vorlane_escape_edge_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string value = std::string(run, 'r') + "<" + std::string(run, 's') + "\n&";
    std::string expected = std::string(prefix, '.') + std::string(run, 'r') + "&lt;" + std::string(run, 's') +
                           "&#10;&amp;";
    {
        Result<FileSink, IoError> opened = FileSink::open(path);
        ASSERT_TRUE(opened.ok());
        FileSink sink = std::move(opened).value();
        ASSERT_TRUE(sink.append(std::string(prefix, '.')).ok());
        ASSERT_TRUE(write_escaped(sink, value, EscapeMode::Attribute).ok());
        ASSERT_TRUE(sink.flush().ok());
    }
    StringSink string_sink;
    ASSERT_TRUE(string_sink.append(std::string(prefix, '.')).ok());
    ASSERT_TRUE(write_escaped(string_sink, value, EscapeMode::Attribute).ok());
    EXPECT_EQ(string_sink.view(), expected);

    FILE* file = std::fopen(path, "rb");
    ASSERT_NE(file, nullptr);
    std::string contents;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents.append(chunk, got);
    std::fclose(file);
    std::remove(path);
    EXPECT_EQ(contents, expected);
}

INSTANTIATE_TEST_SUITE_P(Runs, EscapeBufferEdgeTest,
                         ::testing::ValuesIn([] {
                             std::vector<BufferEdgeCase> cases;
                             for (std::size_t prefix : {0u, 1u, 100u, 8191u}) {
                                 for (std::size_t run : {8191u, 8192u, 8193u}) cases.push_back({prefix, run});
                             }
                             return cases;
                         }()),
                         [](const ::testing::TestParamInfo<BufferEdgeCase>& info) {
                             return "Prefix" + std::to_string(info.param.prefix) + "Run" +
                                    std::to_string(info.param.run);
                         });

}  // namespace
}  // namespace vorlane
