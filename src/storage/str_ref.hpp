// StrRef: one string value (name, key, value, text), either Owned or a Span into a
// DocumentBuffer. No interpreter; spans may be created and dropped without the lock.
// A span either counts its own buffer reference, or borrows one held by the record
// it lives in (a node or a parsed element keeps one reference for all its spans),
// which saves an atomic operation per string on creation and on release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/byte_builder.hpp"
#include "common/result.hpp"
#include "common/utf8.hpp"
#include "storage/document_buffer.hpp"

namespace vorlane {

class StrRef {
public:
    // The empty owned string.
    StrRef() noexcept = default;

    // An owned copy of `bytes`; throws std::bad_alloc.
    static StrRef owned(std::string_view bytes);
    // Takes over the storage of `builder` as an owned string (no copy).
    static StrRef owned(ByteBuilder&& builder) noexcept;
    // A span over bytes [start, end) of `buffer`; takes one new buffer reference.
    static StrRef span(DocumentBuffer* buffer, std::size_t start, std::size_t end) noexcept {
        buffer->retain();
        return StrRef(buffer, start, end);
    }
    // A span that takes over a buffer reference the caller already added.
    static StrRef span_adopting(DocumentBuffer* buffer, std::size_t start, std::size_t end) noexcept {
        return StrRef(buffer, start, end);
    }
    // A span that takes no reference: the record holding it keeps `buffer` alive for
    // as long as the span exists, and must not hand the span to anything that outlives it.
    static StrRef borrowed_span(DocumentBuffer* buffer, std::size_t start, std::size_t end) noexcept {
        return StrRef(reinterpret_cast<DocumentBuffer*>(reinterpret_cast<std::uintptr_t>(buffer) | kBorrowedBit),
                      start, end);
    }
    // Bytes that the value neither owns nor counts: memory of a document's arena, kept
    // alive (like a borrowed span's buffer) by the record holding the value.
    static StrRef borrowed_bytes(const char* bytes, std::size_t size) noexcept {
        return StrRef(reinterpret_cast<DocumentBuffer*>(kBorrowedBit), reinterpret_cast<std::uintptr_t>(bytes), size);
    }

    StrRef(StrRef&& other) noexcept : buffer_(other.buffer_), first_(other.first_), second_(other.second_) {
        other.buffer_ = nullptr;
        other.first_ = 0;
        other.second_ = 0;
    }
    StrRef& operator=(StrRef&& other) noexcept {
        if (this != &other) {
            reset();
            buffer_ = other.buffer_;
            first_ = other.first_;
            second_ = other.second_;
            other.buffer_ = nullptr;
            other.first_ = 0;
            other.second_ = 0;
        }
        return *this;
    }
    StrRef(const StrRef&) = delete;
    StrRef& operator=(const StrRef&) = delete;
    ~StrRef() { reset(); }

    [[nodiscard]] bool is_span() const noexcept { return buffer() != nullptr; }
    // True for a span that holds no buffer reference of its own.
    [[nodiscard]] bool is_borrowed() const noexcept {
        return (reinterpret_cast<std::uintptr_t>(buffer_) & kBorrowedBit) != 0;
    }
    // True when releasing this value frees memory or drops a buffer reference.
    [[nodiscard]] bool owns_storage() const noexcept {
        return buffer_ == nullptr ? first_ != 0 : !is_borrowed();
    }
    [[nodiscard]] DocumentBuffer* buffer() const noexcept {
        return reinterpret_cast<DocumentBuffer*>(reinterpret_cast<std::uintptr_t>(buffer_) & ~kBorrowedBit);
    }
    [[nodiscard]] std::size_t span_start() const noexcept { return first_; }
    [[nodiscard]] std::size_t span_end() const noexcept { return second_; }

    // The string value. A span is checked: start <= end <= buffer length and both
    // offsets on UTF-8 character boundaries; a failed check is an InvariantViolation.
    // Always inline, as the writer and the getters read every string through it:
    // the check is two comparisons and two byte tests (the byte at each offset, when
    // there is one, must not be a continuation byte), and only the failure leaves
    // the line.
    [[nodiscard]] [[gnu::always_inline]] Result<std::string_view, InvariantViolation> view() const noexcept {
        const DocumentBuffer* const held = buffer();
        if (held == nullptr) return std::string_view(reinterpret_cast<const char*>(first_), second_);
        const char* const data = held->data();
        const std::size_t length = held->size();
        if (first_ <= second_ && second_ <= length && starts_character(data, length, first_) &&
            starts_character(data, length, second_)) [[likely]] {
            return std::string_view(data + first_, second_ - first_);
        }
        return bad_span();
    }

    // As view(), with the outcome as a flag: true after setting `bytes` to the
    // value, false (leaving `bytes` alone) where view() has its error. For the
    // writer's loops, which take the error from view() only after a failure: the
    // flag and two plain stores cost less there than a result object.
    [[nodiscard]] [[gnu::always_inline]] bool view_into(std::string_view& bytes) const noexcept {
        const DocumentBuffer* const held = buffer();
        if (held == nullptr) {
            bytes = std::string_view(reinterpret_cast<const char*>(first_), second_);
            return true;
        }
        return span_view(held->data(), held->size(), first_, second_, bytes);
    }

    // The check view() makes of a span, for bytes [start, end) of a document of
    // `length` bytes at `data`: true after setting `bytes` to them, false when the
    // range lies outside the document or splits a character. For holders of spans
    // kept in another form (a compact attribute block's offsets).
    [[nodiscard]] [[gnu::always_inline]] static bool span_view(const char* data, std::size_t length,
                                                               std::size_t start, std::size_t end,
                                                               std::string_view& bytes) noexcept {
        if (start <= end && end <= length && starts_character(data, length, start) &&
            starts_character(data, length, end)) [[likely]] {
            bytes = std::string_view(data + start, end - start);
            return true;
        }
        return false;
    }

    // The bytes without the boundary check, for hashing and comparison inside the
    // core where the span was made over a validated range.
    [[nodiscard]] std::string_view raw() const noexcept {
        if (const DocumentBuffer* const held = buffer()) return {held->data() + first_, second_ - first_};
        return {reinterpret_cast<const char*>(first_), second_};
    }
    [[nodiscard]] std::size_t size() const noexcept {
        return buffer() != nullptr ? second_ - first_ : second_;
    }

    friend bool operator==(const StrRef& left, const StrRef& right) noexcept {
        return left.raw() == right.raw();
    }

private:
    StrRef(DocumentBuffer* buffer, std::size_t start, std::size_t end) noexcept
        : buffer_(buffer), first_(start), second_(end) {}

    // Inline for the common cases: an empty or moved-from value, or a borrowed span.
    void reset() noexcept {
        if ((buffer_ == nullptr && first_ == 0) || is_borrowed()) {
            buffer_ = nullptr;
            first_ = 0;
            second_ = 0;
            return;
        }
        release_storage();
    }
    void release_storage() noexcept;

    // True when `offset` (at most `length`) is 0, the end of the bytes, or the index
    // of a byte that is not a UTF-8 continuation byte (0x80 to 0xBF): the rule of
    // is_char_boundary, without its range test, which view() has made already.
    static bool starts_character(const char* data, std::size_t length, std::size_t offset) noexcept {
        return offset == 0 || offset == length || (static_cast<unsigned char>(data[offset]) & 0xC0) != 0x80;
    }
    // The error of a span that failed the check, kept out of line.
    [[nodiscard]] static InvariantViolation bad_span() noexcept;

    // The low bit of a span's buffer pointer marks a borrowed span (buffers are aligned).
    static constexpr std::uintptr_t kBorrowedBit = 1;

    // Span: buffer (tagged), start offset, end offset. Owned: null, malloc'd pointer, length.
    // Borrowed bytes: the borrowed tag alone, pointer, length.
    DocumentBuffer* buffer_ = nullptr;
    std::size_t first_ = 0;
    std::size_t second_ = 0;
};

}  // namespace vorlane
