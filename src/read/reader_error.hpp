// ReaderError: the one error type of a parse, with its five kinds, and the table of
// message templates that turns it into the text users see. No interpreter: errors are
// built while the lock is released and formatted when the entry point raises them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "index/structural_index.hpp"

namespace vorlane {

// What a Malformed error says; each value has one template in the message table.
enum class MalformedKind : std::uint8_t {
    UnexpectedEndOfDocument,       // "unexpected end of document"
    NameTooLong,                   // "name longer than 65535 bytes"
    ExpectedElementName,           // "expected element name after '<'"
    ExpectedWhitespace,            // "expected whitespace before attribute"
    ExpectedAttributeName,         // "expected attribute name"
    AttributeHasNoValue,           // "attribute '{name}' has no value"
    ValueNotQuoted,                // "value of attribute '{name}' is not quoted"
    UnterminatedAttributeValue,    // "unterminated attribute value"
    LessThanInAttributeValue,      // "'<' is not allowed in attribute values"
    DuplicateAttribute,            // "duplicate attribute '{name}'"
    UnterminatedComment,           // "unterminated comment"
    UnterminatedCData,             // "unterminated CDATA section"
    UnterminatedProcessingInstruction,  // "unterminated processing instruction"
    UnexpectedLessThan,            // "unexpected '<'"
    MalformedEndTag,               // "malformed end tag </{name}>"
    UnexpectedEndTag,              // "unexpected end tag </{name}>"
    MismatchedEndTag,              // "expected </{expected}>, found </{found}>"
    UnterminatedEntityReference,   // "unterminated entity reference"
    InvalidCharacterReference,     // "invalid character reference '&{ref};'"
    UnterminatedDeclaration,       // "unterminated document type declaration"
};

class ReaderError {
public:
    enum class Kind : std::uint8_t { Scan, Malformed, RootNotFound, UnclosedAtEnd, UnknownEntity };

    // A scan error of the index builders, as the reader reports it: UnclosedTag stays
    // a Scan error, UnexpectedEnd becomes "unexpected end of document" at `input_len`,
    // NameTooLong becomes "name longer than 65535 bytes" and UnterminatedDeclaration
    // "unterminated document type declaration", each at the offset of its '<'.
    [[nodiscard]] static ReaderError from_scan(ScanError error, std::uint64_t input_len);
    // A Malformed error at `offset`; `name` and `other_name` fill the template's
    // placeholders ({name}/{expected}/{ref} and {found}) and are copied.
    [[nodiscard]] static ReaderError malformed(MalformedKind what, std::uint64_t offset,
                                               std::string_view name = {},
                                               std::string_view other_name = {});
    // "root tag <{tag}> not found in document".
    [[nodiscard]] static ReaderError root_not_found(std::string_view tag);
    // "unexpected end of document: <{name}> is never closed".
    [[nodiscard]] static ReaderError unclosed_at_end(std::string_view name);
    // "unknown entity reference '&{name};' at byte {offset}".
    [[nodiscard]] static ReaderError unknown_entity(std::string_view name, std::uint64_t offset);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // Meaningful for Malformed errors only.
    [[nodiscard]] MalformedKind malformed_kind() const noexcept { return malformed_; }
    // True for the kinds that point at a byte (Scan, Malformed, UnknownEntity).
    [[nodiscard]] bool has_offset() const noexcept {
        return kind_ == Kind::Scan || kind_ == Kind::Malformed || kind_ == Kind::UnknownEntity;
    }
    // The byte offset carried (Scan, Malformed, UnknownEntity); 0 for the other kinds.
    [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
    // The scan error carried by a Scan error.
    [[nodiscard]] ScanError scan_error() const noexcept { return ScanError{scan_, offset_}; }
    // The name carried: the tag, the element name, the entity name, or the first
    // placeholder of a Malformed template.
    [[nodiscard]] const std::string& name() const noexcept { return name_; }

    // The text of a Malformed error without its "malformed XML at byte" prefix, e.g.
    // "expected </a>, found </r>"; empty for the other kinds.
    [[nodiscard]] std::string malformed_message() const;
    // The full text users see, e.g. "malformed XML at byte 6: expected </a>, found </r>".
    // Throws std::bad_alloc.
    [[nodiscard]] std::string message() const;

private:
    ReaderError(Kind kind, std::uint64_t offset) noexcept : kind_(kind), offset_(offset) {}

    Kind kind_;
    MalformedKind malformed_ = MalformedKind::UnexpectedEndOfDocument;
    ScanError::Kind scan_ = ScanError::Kind::UnclosedTag;
    std::uint64_t offset_ = 0;
    std::string name_;
    std::string other_name_;
};

// Where a byte offset lies for a person: 1-based line (lines end at LF) and 1-based
// column counted in characters (UTF-8 sequences), so that CRLF documents and
// multi-byte text give the line and column an editor shows.
struct TextPosition {
    std::uint64_t lineno = 1;
    std::uint64_t colno = 1;
};

// The position of `offset` (at most bytes.size()) in `bytes`.
[[nodiscard]] TextPosition text_position(std::string_view bytes, std::uint64_t offset) noexcept;

// A successful Result<void, ReaderError>, default-initialised: `return {}` would
// value-initialise it, zeroing the whole error record, on paths taken once per tag.
[[nodiscard]] inline Result<void, ReaderError> reader_success() noexcept {
    Result<void, ReaderError> done;
    return done;
}

}  // namespace vorlane
