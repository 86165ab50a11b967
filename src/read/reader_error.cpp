// ReaderError construction and formatting: every text a parse can fail with comes from
// the template tables below. No interpreter.
#include "read/reader_error.hpp"

#include <cstring>
#include <initializer_list>
#include <utility>

namespace vorlane {

namespace {

// Message templates: `{word}` is a placeholder, everything else is literal.
constexpr std::string_view kScanTemplate = "malformed XML: {error}";
constexpr std::string_view kUnclosedTagTemplate = "Unclosed tag at byte {offset}";
constexpr std::string_view kMalformedTemplate = "malformed XML at byte {offset}: {message}";
constexpr std::string_view kRootNotFoundTemplate = "root tag <{tag}> not found in document";
constexpr std::string_view kUnclosedAtEndTemplate =
    "unexpected end of document: <{name}> is never closed";
constexpr std::string_view kUnknownEntityTemplate =
    "unknown entity reference '&{name};' at byte {offset}";

// Indexed by MalformedKind. The first name fills {name}, {expected} or {ref}; the
// second fills {found}.
constexpr std::string_view kMalformedTemplates[] = {
    "unexpected end of document",
    "name longer than 65535 bytes",
    "expected element name after '<'",
    "expected whitespace before attribute",
    "expected attribute name",
    "attribute '{name}' has no value",
    "value of attribute '{name}' is not quoted",
    "unterminated attribute value",
    "'<' is not allowed in attribute values",
    "duplicate attribute '{name}'",
    "unterminated comment",
    "unterminated CDATA section",
    "unterminated processing instruction",
    "unexpected '<'",
    "malformed end tag </{name}>",
    "unexpected end tag </{name}>",
    "expected </{expected}>, found </{found}>",
    "unterminated entity reference",
    "invalid character reference '&{ref};'",
    "unterminated document type declaration",
};
static_assert(sizeof kMalformedTemplates / sizeof kMalformedTemplates[0] ==
              static_cast<std::size_t>(MalformedKind::UnterminatedDeclaration) + 1);

using Placeholder = std::pair<std::string_view, std::string_view>;

// Replaces each `{word}` of `text` with the value given for `word`; a placeholder
// with no value given is copied literally.
std::string fill(std::string_view text, std::initializer_list<Placeholder> values) {
    std::string out;
    out.reserve(text.size() + 32);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t open = text.find('{', pos);
        if (open == std::string_view::npos) break;
        std::size_t close = text.find('}', open + 1);
        if (close == std::string_view::npos) break;
        out.append(text.substr(pos, open - pos));
        std::string_view word = text.substr(open + 1, close - open - 1);
        bool replaced = false;
        for (const Placeholder& value : values) {
            if (value.first == word) {
                out.append(value.second);
                replaced = true;
                break;
            }
        }
        if (!replaced) out.append(text.substr(open, close + 1 - open));
        pos = close + 1;
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace

TextPosition text_position(std::string_view bytes, std::uint64_t offset) noexcept {
    const std::size_t end = offset < bytes.size() ? static_cast<std::size_t>(offset) : bytes.size();
    TextPosition position;
    std::size_t line_start = 0;
    while (true) {
        const void* found = std::memchr(bytes.data() + line_start, '\n', end - line_start);
        if (found == nullptr) break;
        line_start = static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) + 1;
        ++position.lineno;
    }
    for (std::size_t i = line_start; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80 || byte > 0xBF) ++position.colno;  // not a continuation byte
    }
    return position;
}

ReaderError ReaderError::from_scan(ScanError error, std::uint64_t input_len) {
    switch (error.kind) {
        case ScanError::Kind::UnexpectedEnd:
            return malformed(MalformedKind::UnexpectedEndOfDocument, input_len);
        case ScanError::Kind::NameTooLong:
            return malformed(MalformedKind::NameTooLong, error.offset);
        case ScanError::Kind::UnterminatedDeclaration:
            return malformed(MalformedKind::UnterminatedDeclaration, error.offset);
        case ScanError::Kind::UnclosedTag:
            break;
    }
    ReaderError result(Kind::Scan, error.offset);
    result.scan_ = error.kind;
    return result;
}

ReaderError ReaderError::malformed(MalformedKind what, std::uint64_t offset, std::string_view name,
                                   std::string_view other_name) {
    ReaderError result(Kind::Malformed, offset);
    result.malformed_ = what;
    result.name_.assign(name);
    result.other_name_.assign(other_name);
    return result;
}

ReaderError ReaderError::root_not_found(std::string_view tag) {
    ReaderError result(Kind::RootNotFound, 0);
    result.name_.assign(tag);
    return result;
}

ReaderError ReaderError::unclosed_at_end(std::string_view name) {
    ReaderError result(Kind::UnclosedAtEnd, 0);
    result.name_.assign(name);
    return result;
}

ReaderError ReaderError::unknown_entity(std::string_view name, std::uint64_t offset) {
    ReaderError result(Kind::UnknownEntity, offset);
    result.name_.assign(name);
    return result;
}

std::string ReaderError::malformed_message() const {
    if (kind_ != Kind::Malformed) return {};
    return fill(kMalformedTemplates[static_cast<std::size_t>(malformed_)],
                {{"name", name_}, {"expected", name_}, {"ref", name_}, {"found", other_name_}});
}

std::string ReaderError::message() const {
    std::string offset_text = std::to_string(offset_);
    switch (kind_) {
        case Kind::Scan:
            return fill(kScanTemplate,
                        {{"error", fill(kUnclosedTagTemplate, {{"offset", offset_text}})}});
        case Kind::Malformed:
            return fill(kMalformedTemplate, {{"offset", offset_text}, {"message", malformed_message()}});
        case Kind::RootNotFound:
            return fill(kRootNotFoundTemplate, {{"tag", name_}});
        case Kind::UnclosedAtEnd:
            return fill(kUnclosedAtEndTemplate, {{"name", name_}});
        case Kind::UnknownEntity:
            return fill(kUnknownEntityTemplate, {{"name", name_}, {"offset", offset_text}});
    }
    return {};
}

}  // namespace vorlane
