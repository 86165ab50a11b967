// StructuralIndex: where every markup construct of one input begins and ends, its
// kind and name, and where the runs of character data lie. Bytes in, positions out.
// Built without the interpreter lock; knows nothing but the bytes it indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace vorlane {

enum class TagKind : std::uint8_t {
    Open = 0,
    Close = 1,
    SelfClosing = 2,
    Comment = 3,
    CData = 4,
    ProcessingInstruction = 5,
};

// Offset and length of a construct's name. Names longer than 65,535 bytes do
// not fit the length; the builders refuse them with ScanError::NameTooLong at the
// construct's '<' (the reader reports "name longer than 65535 bytes" there). A
// name of exactly 65,535 bytes is indexed like any other.
struct NameRef {
    std::uint64_t offset = 0;
    std::uint16_t length = 0;
    friend bool operator==(const NameRef&, const NameRef&) = default;
};

// A run of character data (or a CDATA body): [start, end).
struct TextRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

struct ScanError {
    enum class Kind : std::uint8_t {
        UnclosedTag,    // a '<' whose construct has no closing '>' (offset of the '<')
        UnexpectedEnd,  // a construct runs to the end of the input (sequential builder; offset 0)
        NameTooLong,    // a name longer than 65,535 bytes (offset of the '<')
        UnterminatedDeclaration,  // a document type declaration whose internal subset
                                  // never closes (offset of the '<')
    };
    Kind kind;
    std::uint64_t offset = 0;
    friend bool operator==(const ScanError&, const ScanError&) = default;
};

struct StructuralIndex {
    std::vector<std::uint64_t> tag_starts;
    std::vector<std::uint64_t> tag_ends;
    std::vector<TagKind> tag_kinds;
    std::vector<NameRef> tag_names;
    std::vector<TextRange> text_ranges;
    std::string_view input;

    [[nodiscard]] std::size_t size() const noexcept { return tag_starts.size(); }
};

// Chooses the builder from the first 4096 bytes (quote-dense input goes to the
// bitmap builder) and runs it. Throws std::bad_alloc when the arrays cannot grow.
[[nodiscard]] Result<StructuralIndex, ScanError> build_index(std::string_view input);

// Indexes `input` from '<' to '<', skipping quoted values inside tags only; fails on
// a '<' that opens no closed construct and on constructs that run to the end.
// Throws std::bad_alloc when the arrays cannot grow.
[[nodiscard]] Result<StructuralIndex, ScanError> build_index_sequential(std::string_view input);

// The sequential builder run a window at a time: each call to `next` replaces the
// entries and text runs of `window()` with those of the next stretch of the input
// (the text runs before an entry always come in the same window as the entry). The
// windows, one after another, hold exactly what build_index_sequential returns, and
// the first error comes where it fails. A window stays small, so a reader that takes
// each one up before asking for the next works on memory still in the cache instead of
// an index as large as the document.
class SequentialIndexStream {
public:
    // Views `input` (not copied); `window_entries` is the most entries a window takes.
    explicit SequentialIndexStream(std::string_view input, std::size_t window_entries = 4096);

    // Fills the window with the next entries: true when it holds any entry or text
    // run, false once the input is exhausted (the window is then empty). Throws
    // std::bad_alloc.
    [[nodiscard]] Result<bool, ScanError> next();

    [[nodiscard]] const StructuralIndex& window() const noexcept { return window_; }

private:
    std::string_view input_;
    std::size_t window_entries_;
    StructuralIndex window_;
    std::size_t scan_ = 0;      // where the search for the next '<' resumes
    std::size_t last_end_ = 0;  // end of the construct taken up last (0 for none)
    bool done_ = false;
};

// The bitmap builder run a window at a time, like SequentialIndexStream: the bitmaps
// of the whole input are made first (two bits per byte), the entries paired from them
// a window at a time. The windows, one after another, hold exactly what
// build_index_bitmap returns, and the first error comes where it fails.
class BitmapIndexStream {
public:
    // Views `input` (not copied) and marks its bitmaps. Throws std::bad_alloc.
    explicit BitmapIndexStream(std::string_view input, std::size_t window_entries = 4096);
    ~BitmapIndexStream();
    BitmapIndexStream(const BitmapIndexStream&) = delete;
    BitmapIndexStream& operator=(const BitmapIndexStream&) = delete;

    // As SequentialIndexStream::next.
    [[nodiscard]] Result<bool, ScanError> next();

    [[nodiscard]] const StructuralIndex& window() const noexcept { return window_; }

private:
    struct State;
    std::size_t window_entries_;
    StructuralIndex window_;
    std::unique_ptr<State> state_;
    std::size_t last_end_ = 0;
    bool done_ = false;
};

// Indexes `input` from the bitmaps of the '<' and '>' outside quoted attribute
// values (quotes count only inside start tags); ignores a '<' in the last byte and ends unterminated
// comments and CDATA sections before the input's end. Throws std::bad_alloc.
[[nodiscard]] Result<StructuralIndex, ScanError> build_index_bitmap(std::string_view input);

// True when the sample rule picks the bitmap builder for `input`.
[[nodiscard]] bool prefers_bitmap_builder(std::string_view input) noexcept;

// Narrows a 64-bit index offset to size_t; offsets always lie within an input
// that is in memory, so this cannot lose bits on either target.
[[nodiscard]] inline std::size_t to_size(std::uint64_t offset) noexcept {
    return static_cast<std::size_t>(offset);
}

}  // namespace vorlane
