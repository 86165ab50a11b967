// ReaderError: every kind and every Malformed template formats to its exact text.
#include <gtest/gtest.h>

#include <string>

#include "read/reader_error.hpp"

namespace vorlane {
namespace {

struct MessageCase {
    const char* label;
    ReaderError error;
    std::string expected;
};


std::vector<MessageCase> message_cases() {
    using K = MalformedKind;
    std::vector<MessageCase> cases;
    auto add = [&](const char* label, ReaderError error, std::string expected) {
        cases.push_back(MessageCase{label, std::move(error), std::move(expected)});
    };
    add("Scan", ReaderError::from_scan(ScanError{ScanError::Kind::UnclosedTag, 0}, 9),
        "malformed XML: Unclosed tag at byte 0");
    add("ScanUnexpectedEnd", ReaderError::from_scan(ScanError{ScanError::Kind::UnexpectedEnd, 0}, 13),
        "malformed XML at byte 13: unexpected end of document");
    add("ScanNameTooLong", ReaderError::from_scan(ScanError{ScanError::Kind::NameTooLong, 4}, 70000),
        "malformed XML at byte 4: name longer than 65535 bytes");
    add("Mismatch", ReaderError::malformed(K::MismatchedEndTag, 6, "a", "r"),
        "malformed XML at byte 6: expected </a>, found </r>");
    add("RootNotFound", ReaderError::root_not_found("r"), "root tag <r> not found in document");
    add("UnclosedAtEnd", ReaderError::unclosed_at_end("a"),
        "unexpected end of document: <a> is never closed");
    add("UnknownEntity", ReaderError::unknown_entity("bad", 5),
        "unknown entity reference '&bad;' at byte 5");
    add("UnknownEntityEmpty", ReaderError::unknown_entity("", 3),
        "unknown entity reference '&;' at byte 3");
    add("ElementName", ReaderError::malformed(K::ExpectedElementName, 1),
        "malformed XML at byte 1: expected element name after '<'");
    add("Whitespace", ReaderError::malformed(K::ExpectedWhitespace, 12),
        "malformed XML at byte 12: expected whitespace before attribute");
    add("AttributeName", ReaderError::malformed(K::ExpectedAttributeName, 3),
        "malformed XML at byte 3: expected attribute name");
    add("NoValue", ReaderError::malformed(K::AttributeHasNoValue, 3, "x"),
        "malformed XML at byte 3: attribute 'x' has no value");
    add("NotQuoted", ReaderError::malformed(K::ValueNotQuoted, 5, "x"),
        "malformed XML at byte 5: value of attribute 'x' is not quoted");
    add("UnterminatedValue", ReaderError::malformed(K::UnterminatedAttributeValue, 6),
        "malformed XML at byte 6: unterminated attribute value");
    add("LessThanInValue", ReaderError::malformed(K::LessThanInAttributeValue, 7),
        "malformed XML at byte 7: '<' is not allowed in attribute values");
    add("Duplicate", ReaderError::malformed(K::DuplicateAttribute, 9, "x"),
        "malformed XML at byte 9: duplicate attribute 'x'");
    add("Comment", ReaderError::malformed(K::UnterminatedComment, 3),
        "malformed XML at byte 3: unterminated comment");
    add("CData", ReaderError::malformed(K::UnterminatedCData, 3),
        "malformed XML at byte 3: unterminated CDATA section");
    add("Instruction", ReaderError::malformed(K::UnterminatedProcessingInstruction, 0),
        "malformed XML at byte 0: unterminated processing instruction");
    add("LessThanInText", ReaderError::malformed(K::UnexpectedLessThan, 8),
        "malformed XML at byte 8: unexpected '<'");
    add("MalformedEndTag", ReaderError::malformed(K::MalformedEndTag, 3, "r"),
        "malformed XML at byte 3: malformed end tag </r>");
    add("UnexpectedEndTag", ReaderError::malformed(K::UnexpectedEndTag, 0, "x"),
        "malformed XML at byte 0: unexpected end tag </x>");
    add("UnterminatedEntity", ReaderError::malformed(K::UnterminatedEntityReference, 2),
        "malformed XML at byte 2: unterminated entity reference");
    add("InvalidReference", ReaderError::malformed(K::InvalidCharacterReference, 0, "#xD800"),
        "malformed XML at byte 0: invalid character reference '&#xD800;'");
    add("BracesInNames", ReaderError::malformed(K::MismatchedEndTag, 18446744073709551615ULL, "{found}", "{name}"),
        "malformed XML at byte 18446744073709551615: expected </{found}>, found </{name}>");
    return cases;
}

TEST(ReaderErrorMessage, EveryKindAndTemplate) {
    for (const MessageCase& test : message_cases()) {
        EXPECT_EQ(test.error.message(), test.expected) << test.label;
    }
}

TEST(ReaderErrorMessage, CarriedValues) {
    ReaderError scan = ReaderError::from_scan(ScanError{ScanError::Kind::UnclosedTag, 7}, 20);
    EXPECT_EQ(scan.kind(), ReaderError::Kind::Scan);
    EXPECT_EQ(scan.scan_error(), (ScanError{ScanError::Kind::UnclosedTag, 7}));
    ReaderError mismatch = ReaderError::malformed(MalformedKind::MismatchedEndTag, 6, "a", "r");
    EXPECT_EQ(mismatch.kind(), ReaderError::Kind::Malformed);
    EXPECT_EQ(mismatch.malformed_kind(), MalformedKind::MismatchedEndTag);
    EXPECT_EQ(mismatch.offset(), 6u);
    EXPECT_EQ(mismatch.malformed_message(), "expected </a>, found </r>");
    ReaderError entity = ReaderError::unknown_entity("nbsp", 2);
    EXPECT_EQ(entity.kind(), ReaderError::Kind::UnknownEntity);
    EXPECT_EQ(entity.name(), "nbsp");
    EXPECT_EQ(entity.malformed_message(), "");
}

struct PositionCase {
    const char* label;
    std::string text;
    std::uint64_t offset;
    std::uint64_t lineno;
    std::uint64_t colno;
};

class TextPositionCases : public ::testing::TestWithParam<PositionCase> {};

TEST_P(TextPositionCases, LineAndCharacterColumn) {
    const PositionCase& test = GetParam();
    const TextPosition position = text_position(test.text, test.offset);
    EXPECT_EQ(position.lineno, test.lineno);
    EXPECT_EQ(position.colno, test.colno);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextPositionCases,
    ::testing::Values(PositionCase{"Start", "abc", 0, 1, 1}, PositionCase{"Empty", "", 0, 1, 1},
                      PositionCase{"SameLine", "abc", 2, 1, 3}, PositionCase{"AtLength", "ab\ncd", 5, 2, 3},
                      PositionCase{"OnLineFeed", "ab\ncd", 2, 1, 3}, PositionCase{"AfterLineFeed", "ab\ncd", 3, 2, 1},
                      PositionCase{"CarriageReturnIsACharacter", "a\r\nb\rc", 5, 2, 3},
                      PositionCase{"MultiByteCharacters", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80x", 9, 1, 4},
                      PositionCase{"PastTheEndClamps", "a\nb", 99, 2, 2}),
    [](const ::testing::TestParamInfo<PositionCase>& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace vorlane
