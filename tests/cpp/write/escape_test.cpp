// Output escaping: the table in both modes, unchanged runs, and that each run of
// unchanged bytes reaches the sink as one piece.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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

}  // namespace
}  // namespace vorlane
