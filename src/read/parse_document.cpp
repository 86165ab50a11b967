// Tree assembly and root selection over the structural index. No interpreter.
// The walk keeps the open elements of the root on an explicit stack and only the names
// of the elements around the root on a second one: nothing recurses per level.
#include "read/parse_document.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/byte_builder.hpp"
#include "common/utf8.hpp"
#include "index/structural_index.hpp"
#include "read/decode.hpp"
#include "read/tokenizer.hpp"
#include "storage/attr_map.hpp"

namespace vorlane {

namespace {

// True when the `size` bytes at `data` hold neither '<' nor '&', the bytes that make
// a text piece take the slow path. `readable` bytes from `data` on may be loaded (at
// least `size`: the document goes on after a piece), so that short pieces are read
// as one block, with the bytes past the piece masked off.
bool plain_text(const char* data, std::size_t size, std::size_t readable) noexcept {
#if defined(__SSE2__)
    for (std::size_t pos = 0; pos < size; pos += 16) {
        if (readable - pos < 16) return byte_search::find_first_of<'<', '&'>(data, pos, size) == size;
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        auto stops = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('<')), _mm_cmpeq_epi8(block, _mm_set1_epi8('&')))));
        stops &= block_bits_within(size - pos);
        if (stops != 0) return false;
    }
    return true;
#else
    (void)readable;
    return byte_search::find_first_of<'<', '&'>(data, 0, size) == size;
#endif
}

bool all_white_space(std::string_view bytes) noexcept;

// As all_white_space, for a text piece of the document: `readable` bytes from its
// start may be loaded (at least its size), so that a short piece of ASCII white space
// (an indentation) is settled by one block, with the bytes past the piece masked off.
bool all_white_space_in_document(std::string_view bytes, std::size_t readable) noexcept {
#if defined(__SSE2__)
    if (bytes.size() <= 16 && readable >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data()));
        // TAB to CR are 0x09 to 0x0D: above 0x08 and below 0x0E.
        const __m128i controls =
            _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(0x08)), _mm_cmplt_epi8(block, _mm_set1_epi8(0x0E)));
        const auto spaces = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(controls, _mm_cmpeq_epi8(block, _mm_set1_epi8(' ')))));
        const unsigned inside = block_bits_within(bytes.size());
        if ((spaces & inside) == inside) return true;
        // Anything but ASCII may still be Unicode white space.
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(block));
        if ((high & inside) == 0) return false;
    }
#else
    (void)readable;
#endif
    return all_white_space(bytes);
}

bool all_white_space(std::string_view bytes) noexcept {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[pos]);
        if (byte < 0x80) {
            // The ASCII white space: TAB to CR and SPACE.
            if (byte != 0x20 && (byte < 0x09 || byte > 0x0D)) return false;
            ++pos;
            continue;
        }
        DecodedChar next = decode_char(bytes, pos);
        if (next.length == 0 || !is_unicode_white_space(next.code_point)) return false;
        pos += next.length;
    }
    return true;
}

// Room for exactly two on the first append; when full, twice the capacity, at least four.
template <typename Items>
void grow_if_full(Items& items) {
    if (items.size() < items.capacity()) return;
    items.reserve(items.capacity() == 0 ? 2 : std::max<std::size_t>(4, items.capacity() * 2));
}

// The text gathered for one open element: nothing yet, one piece still lying in the
// document, or pieces joined on the walk's text stack. Pieces of white space only that
// come before any other text are dropped at once: trimming would remove them anyway,
// and an element's indentation then costs no joining.
// The text stack is one byte buffer shared by all open elements: an element joins its
// pieces at the top of it, above its parent's, and gives its part back when it
// finishes, before the parent's next piece comes; so no element needs a buffer of its own.
class TextAccumulator {
public:
    // Adds the document bytes [start, end) as a piece.
    void add_view(std::string_view input, std::size_t start, std::size_t end, ByteBuilder& stack) {
        if (start == end) return;
        if (state_ == State::Empty &&
            all_white_space_in_document(input.substr(start, end - start), input.size() - start)) {
            return;
        }
        switch (state_) {
            case State::Empty:
                state_ = State::Span;
                span_start_ = start;
                span_end_ = end;
                return;
            case State::Span:
                to_stack(input, stack);
                break;
            case State::Joined:
                break;
        }
        stack.append(input.data() + start, end - start);
    }

    // Adds a decoded string as a piece.
    void add_decoded(std::string_view input, std::string_view piece, ByteBuilder& stack) {
        if (piece.empty()) return;
        if (state_ == State::Empty && all_white_space(piece)) return;
        switch (state_) {
            case State::Empty:
                state_ = State::Joined;
                joined_from_ = stack.size();
                break;
            case State::Span:
                to_stack(input, stack);
                break;
            case State::Joined:
                break;
        }
        stack.append(piece);
    }

    // The element's text: trimmed of Unicode White_Space, absent when nothing remains.
    // A single undecoded piece stays a span; joined pieces are copied into the
    // document's arena, which the element's buffer reference keeps alive. Gives the
    // element's part of the text stack back.
    std::optional<StrRef> finish(std::string_view input, SpanSource& spans, ByteBuilder& stack) {
        switch (state_) {
            case State::Empty:
                return std::nullopt;
            case State::Span: {
                TrimBounds kept = trim_white_space(input.substr(span_start_, span_end_ - span_start_));
                if (kept.first == kept.second) return std::nullopt;
                // The element's own buffer reference (taken with its name) covers the text.
                return spans.borrowed_span(span_start_ + kept.first, span_start_ + kept.second);
            }
            case State::Joined: {
                const std::string_view text = stack.view().substr(joined_from_);
                const TrimBounds kept = trim_white_space(text);
                std::optional<StrRef> result;
                if (kept.first != kept.second) {
                    const std::size_t size = kept.second - kept.first;
                    auto* bytes = static_cast<char*>(spans.buffer()->arena().allocate(size, 1));
                    std::memcpy(bytes, text.data() + kept.first, size);
                    result.emplace(StrRef::borrowed_bytes(bytes, size));
                }
                stack.truncate(joined_from_);
                return result;
            }
        }
        return std::nullopt;
    }

private:
    enum class State : std::uint8_t { Empty, Span, Joined };

    // Moves the one piece so far onto the stack, where further pieces extend it.
    void to_stack(std::string_view input, ByteBuilder& stack) {
        joined_from_ = stack.size();
        stack.append(input.data() + span_start_, span_end_ - span_start_);
        state_ = State::Joined;
    }

    State state_ = State::Empty;
    std::size_t span_start_ = 0;
    std::size_t span_end_ = 0;
    std::size_t joined_from_ = 0;  // where this element's text starts on the stack
};

struct OpenElement {
    // Provided, so that a new record on the stack gets its members' own initial
    // values rather than a zero fill of the whole record first (which the compiler
    // does with a slow block store, once per start tag).
    OpenElement() noexcept {}
    OpenElement(OpenElement&&) noexcept = default;
    OpenElement& operator=(OpenElement&&) noexcept = default;

    ParsedElement element;
    TextAccumulator text;
    std::size_t child_count = 0;  // children already handed to the sink
};

// The state of one call: all of it is released when the walk returns, which gives
// back every buffer reference not held by the returned tree. The index comes in
// windows, taken up one after another; the open elements carry over between them.
class DocumentWalk {
public:
    DocumentWalk(DocumentBuffer* buffer, HashKeys keys, std::string_view root_tag, ElementSink& sink)
        : input_(buffer->bytes()), keys_(keys), root_tag_(root_tag), sink_(sink), spans_(buffer) {}

    // Takes up every entry of `window`. Yields true once the root is finished (the
    // rest of the window is left alone then).
    Result<bool, ReaderError> walk_window(const StructuralIndex& window) {
        index_ = &window;
        text_cursor_ = 0;
        const std::size_t entry_count = window.size();
        for (std::size_t i = 0; i < entry_count; ++i) {
            const std::uint64_t start = index().tag_starts[i];
            if (auto taken = take_text_before(start); !taken) return std::move(taken.error());
            switch (index().tag_kinds[i]) {
                case TagKind::Open: {
                    if (stack_.empty() && name_of(i) != root_tag_) {
                        // Outside the root only the empty-name error of the tag matters.
                        auto parts = element_name_and_region(input_, index(), i);
                        if (!parts) return std::move(parts.error());
                        outer_names_.push_back(parts->name);
                        break;
                    }
                    // Built in place on the stack: a failed tag is released with the walk.
                    grow_if_full(stack_);
                    ParsedElement& element = stack_.emplace_back().element;
                    auto filled = tokenize_start_tag_into(element, input_, index(), i, spans_, keys_, true);
                    if (!filled) return std::move(filled.error());
                    break;
                }
                case TagKind::SelfClosing: {
                    ParsedElement element;
                    auto filled = tokenize_start_tag_into(element, input_, index(), i, spans_, keys_, true);
                    if (!filled) return std::move(filled.error());
                    if (!stack_.empty()) {
                        sink_.finish(std::move(element), 0);
                        ++stack_.back().child_count;
                        break;
                    }
                    if (element.name.raw() == root_tag_) {
                        sink_.finish(std::move(element), 0);
                        return true;
                    }
                    break;
                }
                case TagKind::Close: {
                    auto closed = close_element(i);
                    if (!closed) return std::move(closed.error());
                    if (closed.value()) return true;
                    break;
                }
                case TagKind::Comment: {
                    if (auto checked = check_comment(input_, index(), i); !checked) {
                        return std::move(checked.error());
                    }
                    break;
                }
                case TagKind::CData: {
                    auto body = check_cdata(input_, index(), i);
                    if (!body) return std::move(body.error());
                    if (!stack_.empty()) {
                        stack_.back().text.add_view(input_, to_size(body->start), to_size(body->end), text_stack_);
                    }
                    // The section's own body range is part of the construct, not text.
                    const std::uint64_t end = index().tag_ends[i];
                    const auto& ranges = index().text_ranges;
                    while (text_cursor_ < ranges.size() && ranges[text_cursor_].start < end) {
                        ++text_cursor_;
                    }
                    break;
                }
                case TagKind::ProcessingInstruction: {
                    if (auto checked = check_processing_instruction(input_, index(), i); !checked) {
                        return std::move(checked.error());
                    }
                    break;
                }
            }
        }
        return false;
    }

    // The error of a document whose entries all went by without finishing the root.
    [[nodiscard]] ReaderError root_unfinished() const {
        if (!stack_.empty()) return ReaderError::unclosed_at_end(stack_.back().element.name.raw());
        return ReaderError::root_not_found(root_tag_);
    }

private:
    [[nodiscard]] const StructuralIndex& index() const noexcept { return *index_; }

    std::string_view name_of(std::size_t i) const noexcept {
        const NameRef& name = index().tag_names[i];
        return input_.substr(to_size(name.offset), name.length);
    }

    // Consumes the text ranges that start before `tag_start`. Outside the root they
    // are passed over unread; inside, each becomes a piece of the innermost element.
    Result<void, ReaderError> take_text_before(std::uint64_t tag_start) {
        const auto& ranges = index().text_ranges;
        while (text_cursor_ < ranges.size() && ranges[text_cursor_].start < tag_start) {
            const TextRange range = ranges[text_cursor_++];
            if (stack_.empty()) continue;
            const std::size_t start = to_size(range.start);
            const std::size_t end = to_size(range.end);
            const std::string_view bytes = input_.substr(start, end - start);
            // Most pieces hold neither '<' nor a reference: one search settles them.
            if (plain_text(bytes.data(), bytes.size(), input_.size() - start)) {
                stack_.back().text.add_view(input_, start, end, text_stack_);
                continue;
            }
            if (std::size_t less_than = find_byte(bytes, '<'); less_than != bytes.size()) {
                return ReaderError::malformed(MalformedKind::UnexpectedLessThan,
                                              range.start + less_than);
            }
            auto decoded = decode_value(bytes, range.start, DecodeMode::Text);
            if (!decoded) return std::move(decoded.error());
            if (decoded->is_unchanged()) {
                stack_.back().text.add_view(input_, start, end, text_stack_);
            } else {
                stack_.back().text.add_decoded(input_, decoded->output().view(), text_stack_);
            }
        }
        return reader_success();
    }

    // The end-tag steps for Close entry `i`. Yields true when this tag closes the root.
    Result<bool, ReaderError> close_element(std::size_t i) {
        const std::uint64_t tag_offset = index().tag_starts[i];
        const std::string_view name = name_of(i);
        const std::size_t after_name = to_size(tag_offset) + 2 + name.size();
        const std::size_t tag_end = std::max(after_name, to_size(index().tag_ends[i]));
        if (!all_white_space(input_.substr(after_name, tag_end - after_name))) {
            return ReaderError::malformed(MalformedKind::MalformedEndTag, tag_offset, name);
        }
        std::string_view expected;
        if (!stack_.empty()) {
            expected = stack_.back().element.name.raw();
        } else if (!outer_names_.empty()) {
            expected = outer_names_.back();
        } else {
            return ReaderError::malformed(MalformedKind::UnexpectedEndTag, tag_offset, name);
        }
        if (expected != name) {
            return ReaderError::malformed(MalformedKind::MismatchedEndTag, tag_offset, expected, name);
        }
        if (stack_.empty()) {
            outer_names_.pop_back();
            return false;
        }
        OpenElement& top = stack_.back();
        top.element.text = top.text.finish(input_, spans_, text_stack_);
        const std::size_t child_count = top.child_count;
        ParsedElement finished = std::move(top.element);
        stack_.pop_back();
        sink_.finish(std::move(finished), child_count);
        if (stack_.empty()) return true;
        ++stack_.back().child_count;
        return false;
    }

    std::string_view input_;
    const StructuralIndex* index_ = nullptr;
    HashKeys keys_;
    std::string_view root_tag_;
    ElementSink& sink_;
    // Declared before the trees so that it is destroyed after them: the references it
    // still holds in reserve are then given back last.
    SpanSource spans_;
    std::vector<OpenElement> stack_;
    std::vector<std::string_view> outer_names_;
    std::size_t text_cursor_ = 0;
    ByteBuilder text_stack_;  // the joined texts of the open elements, innermost on top
};

}  // namespace

bool is_unicode_white_space(char32_t code_point) noexcept {
    if (code_point <= 0x20) return code_point == 0x20 || (code_point >= 0x09 && code_point <= 0x0D);
    if (code_point < 0x85) return false;
    return code_point == 0x85 || code_point == 0xA0 || code_point == 0x1680 ||
           (code_point >= 0x2000 && code_point <= 0x200A) || code_point == 0x2028 ||
           code_point == 0x2029 || code_point == 0x202F || code_point == 0x205F ||
           code_point == 0x3000;
}

TrimBounds trim_white_space_by_characters(std::string_view bytes) noexcept {
    std::size_t first = 0;
    while (first < bytes.size()) {
        DecodedChar next = decode_char(bytes, first);
        if (next.length == 0 || !is_unicode_white_space(next.code_point)) break;
        first += next.length;
    }
    std::size_t second = bytes.size();
    while (second > first) {
        // Step back to the lead byte of the last character (at most three continuation bytes).
        std::size_t lead = second - 1;
        while (lead > first && second - lead < 4 &&
               (static_cast<unsigned char>(bytes[lead]) & 0xC0) == 0x80) {
            --lead;
        }
        DecodedChar last = decode_char(bytes, lead);
        if (last.length == 0 || lead + last.length != second ||
            !is_unicode_white_space(last.code_point)) {
            break;
        }
        second = lead;
    }
    return {first, second};
}

namespace {

// Walks the windows of `stream` in order. Any index error decides the outcome, as it
// would with the whole index built before the walk: after the root is finished or the
// walk has failed, the rest of the document is still indexed, only not walked.
template <typename Stream>
Result<void, ReaderError> walk_windows(Stream& stream, DocumentWalk& walk, std::size_t input_size) {
    std::optional<ReaderError> walk_error;
    bool root_finished = false;
    while (true) {
        auto more = stream.next();
        if (!more) return ReaderError::from_scan(more.error(), input_size);
        if (!more.value()) break;
        if (root_finished || walk_error) continue;
        auto finished = walk.walk_window(stream.window());
        if (!finished) {
            walk_error.emplace(std::move(finished.error()));
        } else if (finished.value()) {
            root_finished = true;
        }
    }
    if (walk_error) return std::move(*walk_error);
    if (root_finished) return reader_success();
    return walk.root_unfinished();
}

}  // namespace

Result<void, ReaderError> parse_document(DocumentBuffer* buffer, std::string_view root_tag,
                                         ElementSink& sink) {
    const std::string_view input = buffer->bytes();
    DocumentWalk walk(buffer, draw_hash_keys(), root_tag, sink);
    // The index comes a window at a time, each taken up while its part of the
    // document is still in the cache, instead of an index as large as the document.
    if (prefers_bitmap_builder(input)) {
        BitmapIndexStream stream(input);
        return walk_windows(stream, walk, input.size());
    }
    SequentialIndexStream stream(input);
    return walk_windows(stream, walk, input.size());
}

namespace {

// Gathers the finished elements into one tree: each element takes its children
// from the end of the list of elements not yet taken.
class TreeSink final : public ElementSink {
public:
    void finish(ParsedElement&& element, std::size_t child_count) override {
        const std::size_t first = finished_.size() - child_count;
        element.children.reserve(child_count);
        for (std::size_t i = first; i < finished_.size(); ++i) element.children.push_back(std::move(finished_[i]));
        finished_.resize(first);
        finished_.push_back(std::move(element));
    }

    ParsedElement take_root() noexcept { return std::move(finished_.back()); }

private:
    std::vector<ParsedElement> finished_;
};

}  // namespace

Result<ParsedElement, ReaderError> parse_document(DocumentBuffer* buffer, std::string_view root_tag) {
    TreeSink tree;
    auto parsed = parse_document(buffer, root_tag, tree);
    if (!parsed) return std::move(parsed.error());
    return tree.take_root();
}

}  // namespace vorlane
