// The bitmap index builder: one pass marks every '<' and '>' outside quoted
// attribute values in two bitmaps, a second pass walks the marked '<' offsets and pairs each with the next
// marked '>'. Chosen for quote-dense input, where skipping quoted values tag by
// tag would dominate. Runs without the interpreter lock.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/index_writer.hpp"
#include "index/markup_bitmaps.hpp"
#include "index/structural_index.hpp"

namespace vorlane {

namespace {

using index_build::IndexWriter;
using index_build::kMaxNameLength;

// The byte classes of one 64-byte block (or a shorter final block), one bit per byte.
struct BlockMasks {
    std::uint64_t double_quotes = 0;
    std::uint64_t apostrophes = 0;
    std::uint64_t opens = 0;
    std::uint64_t closes = 0;
};

// The bytes of a full block that may follow a '<' and change what it opens.
struct MarkerMasks {
    std::uint64_t slashes = 0;  // '/': an end tag
    std::uint64_t others = 0;   // '!' or '?': a comment, CDATA section, declaration or instruction
};

BlockMasks classify_bytewise(const char* block, std::size_t count) noexcept {
    BlockMasks masks;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        switch (block[i]) {
            case '"': masks.double_quotes |= bit; break;
            case '\'': masks.apostrophes |= bit; break;
            case '<': masks.opens |= bit; break;
            case '>': masks.closes |= bit; break;
            default: break;
        }
    }
    return masks;
}

#if defined(__SSE2__)
BlockMasks classify_full_block(const char* block) noexcept {
    const __m128i double_quote = _mm_set1_epi8('"');
    const __m128i apostrophe = _mm_set1_epi8('\'');
    const __m128i open = _mm_set1_epi8('<');
    const __m128i close = _mm_set1_epi8('>');
    BlockMasks masks;
    for (int lane = 0; lane < 4; ++lane) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * lane));
        const int shift = 16 * lane;
        auto bits = [&](__m128i needle) {
            return static_cast<std::uint64_t>(
                       static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, needle))))
                   << shift;
        };
        masks.double_quotes |= bits(double_quote);
        masks.apostrophes |= bits(apostrophe);
        masks.opens |= bits(open);
        masks.closes |= bits(close);
    }
    return masks;
}

MarkerMasks classify_markers(const char* block) noexcept {
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i bang = _mm_set1_epi8('!');
    const __m128i question = _mm_set1_epi8('?');
    MarkerMasks masks;
    for (int lane = 0; lane < 4; ++lane) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * lane));
        const int shift = 16 * lane;
        auto bits = [&](__m128i hits) {
            return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits))) << shift;
        };
        masks.slashes |= bits(_mm_cmpeq_epi8(bytes, slash));
        masks.others |= bits(_mm_or_si128(_mm_cmpeq_epi8(bytes, bang), _mm_cmpeq_epi8(bytes, question)));
    }
    return masks;
}
#else
BlockMasks classify_full_block(const char* block) noexcept { return classify_bytewise(block, 64); }

MarkerMasks classify_markers(const char* block) noexcept {
    MarkerMasks masks;
    for (unsigned i = 0; i < 64; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (block[i] == '/') masks.slashes |= bit;
        if (block[i] == '!' || block[i] == '?') masks.others |= bit;
    }
    return masks;
}
#endif

// Where the first pass stands between two bytes of the input. Quotes mean
// something only inside start tags, the one place attribute values live.
enum class ScanState : std::uint8_t {
    Text,        // character data: only a '<' changes the state
    StartTag,    // inside a start tag, outside any quoted value
    Double,      // inside a value quoted with '"'
    Apostrophe,  // inside a value quoted with '\''
    EndTag,      // inside an end tag, up to its '>'
};

// Bit i set when an odd number of the bits 0 to i of `bits` are set.
constexpr std::uint64_t prefix_parity(std::uint64_t bits) noexcept {
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    return bits;
}

// The marks of one full block computed from its masks at once, valid when the
// block is plain markup: tags that alternate '<' and '>', double quotes only inside
// them and not in end tags, no apostrophe that opens a value, no '<' that opens a
// comment, CDATA section, declaration or instruction. Then every double quote
// toggles a value and every '<' and '>' outside values toggles a tag, so two prefix
// parities give the state at every byte. `next_byte` is the byte after the block;
// `state` is Text, StartTag or Double (an end tag or an apostrophe-quoted value
// entering the block means the walk).
struct BlockShortcut {
    bool taken = false;
    std::uint64_t opens = 0;
    std::uint64_t closes = 0;
    ScanState state_after = ScanState::Text;
};

BlockShortcut mark_plain_block(const BlockMasks& masks, const MarkerMasks& markers, char next_byte,
                               ScanState state) noexcept {
    BlockShortcut result;
    const std::uint64_t all = ~std::uint64_t{0};
    const std::uint64_t in_value = prefix_parity(masks.double_quotes) ^ (state == ScanState::Double ? all : 0);
    const std::uint64_t opens = masks.opens & ~in_value;
    const std::uint64_t closes = masks.closes & ~in_value;
    // Bit i: byte i lies in a tag, from its '<' up to (not including) its '>'.
    const std::uint64_t in_tag = prefix_parity(opens | closes) ^ (state == ScanState::Text ? 0 : all);
    if ((opens & ~in_tag) != 0 || (closes & in_tag) != 0) return result;
    if ((masks.double_quotes & ~in_tag) != 0) return result;
    // Bit i: the byte after byte i is `/`, or `!` / `?`.
    const std::uint64_t after_slash = (markers.slashes >> 1) | (std::uint64_t{next_byte == '/'} << 63);
    const std::uint64_t after_other =
        (markers.others >> 1) | (std::uint64_t{next_byte == '!' || next_byte == '?'} << 63);
    if ((opens & after_other) != 0) return result;
    // The tags that open with "</": adding their first bit to a run of in_tag clears
    // the run and carries out past its end.
    const std::uint64_t end_tag_starts = opens & after_slash;
    const std::uint64_t in_end_tag = ((in_tag + end_tag_starts) ^ in_tag) & in_tag;
    if (((masks.double_quotes | masks.apostrophes) & in_end_tag) != 0) return result;
    if ((masks.apostrophes & in_tag & ~in_value) != 0) return result;
    result.taken = true;
    result.opens = opens;
    result.closes = closes;
    const std::uint64_t last = std::uint64_t{1} << 63;
    if ((in_tag & last) == 0) {
        result.state_after = ScanState::Text;
    } else if ((in_end_tag & last) != 0) {
        result.state_after = ScanState::EndTag;
    } else if ((in_value & last) != 0) {
        result.state_after = ScanState::Double;
    } else {
        result.state_after = ScanState::StartTag;
    }
    return result;
}

// Bits from `from` to 63 inclusive.
constexpr std::uint64_t bits_from(unsigned from) noexcept {
    return from >= 64 ? 0 : ~std::uint64_t{0} << from;
}

// For a '<' at `open` in character data: the offset just past the comment, CDATA
// section, processing instruction or declaration it opens (the input's length
// when that never ends), or 0 when it opens a start or end tag. Inside such a
// construct quotes mean nothing, and its '<' and '>' are marked like any other:
// the second pass passes over them with the construct's own end rules.
std::size_t plain_construct_end(std::string_view input, std::size_t open) noexcept {
    const char* data = input.data();
    const std::size_t length = input.size();
    if (open + 1 >= length) return length;
    const char marker = data[open + 1];
    std::size_t close;
    if (marker == '!') {
        if (index_build::has_literal_at(input, open + 2, "--")) {
            close = index_build::find_terminator<'-', '-'>(data, open + 6, length);
        } else if (index_build::has_literal_at(input, open + 2, "[CDATA[")) {
            close = index_build::find_terminator<']', ']'>(data, open + 11, length);
        } else {
            const index_build::DeclarationEnd declaration = index_build::document_type_end(data, open, length);
            switch (declaration.kind) {
                case index_build::DeclarationEnd::Kind::Closed: close = declaration.end; break;
                case index_build::DeclarationEnd::Kind::Unterminated: close = length; break;
                case index_build::DeclarationEnd::Kind::NoSubset:
                default: close = byte_search::find_first_of<'>'>(data, open + 1, length); break;
            }
        }
    } else if (marker == '?') {
        const std::size_t target_end =
            index_build::scan_name(data, open + 2, length,
                                   index_build::kStopWhitespace | index_build::kStopGreater |
                                       index_build::kStopQuestion);
        close = index_build::processing_instruction_end(data, target_end, length);
    } else {
        return 0;
    }
    return close < length ? close + 1 : length;
}

// The first marked '>' after each '<', asked for '<' offsets in ascending order.
// The '>' found last is kept while the '<' offsets stay before it (it is still the
// first after them), so every word of the bitmap is searched at most once.
class CloseFinder {
public:
    explicit CloseFinder(const BitWords& close_bits) noexcept : bits_(close_bits) {}

    // The offset of the first marked '>' after `open`, or kNone.
    [[nodiscard]] std::size_t first_after(std::size_t open) noexcept {
        if (found_ != kNone && found_ > open) return found_;
        std::size_t word_index = (open + 1) / 64;
        if (word_index >= bits_.size()) return found_ = kNone;
        std::uint64_t word = bits_[word_index] & bits_from_offset((open + 1) % 64);
        while (word == 0) {
            if (++word_index == bits_.size()) return found_ = kNone;
            word = bits_[word_index];
        }
        return found_ = word_index * 64 + static_cast<std::size_t>(std::countr_zero(word));
    }

    static constexpr std::size_t kNone = ~std::size_t{0};

private:
    static constexpr std::uint64_t bits_from_offset(std::size_t from) noexcept { return ~std::uint64_t{0} << from; }

    const BitWords& bits_;
    std::size_t found_ = kNone;
};

}  // namespace

// The second pass, resumable: pairs the marked '<' offsets with their '>' in order,
// as many entries at a time as the caller asks for.
class BitmapPairing {
public:
    BitmapPairing(std::string_view input, const MarkupBitmaps& bitmaps) noexcept
        : input_(input), bitmaps_(bitmaps), closes_(bitmaps.close_bits) {}

    // Adds entries to `writer` until it holds `max_entries` or the input is done;
    // true once it is done.
    Result<bool, ScanError> fill(IndexWriter& writer, std::size_t max_entries) {
        const std::string_view input = input_;
        const char* data = input.data();
        const std::size_t length = input.size();
        while (writer.size() < max_entries) {
            if (ended_) return true;
            while (word_ == 0) {
                if (word_index_ == bitmaps_.open_bits.size()) {
                    ended_ = true;
                    return true;
                }
                word_ = bitmaps_.open_bits[word_index_++];
            }
            const std::size_t open = (word_index_ - 1) * 64 + static_cast<std::size_t>(std::countr_zero(word_));
            word_ &= word_ - 1;
            if (open < next_open_allowed_) continue;

            writer.append_text_before(open);
            // A '<' in the last byte opens nothing: the index is complete.
            if (open + 1 >= length) {
                ended_ = true;
                return true;
            }
            if (data[open + 1] == '!') {
                // A document type declaration with an internal subset is skipped
                // whole, its '<' and '>' included.
                const index_build::DeclarationEnd declaration = index_build::document_type_end(data, open, length);
                if (declaration.kind == index_build::DeclarationEnd::Kind::Unterminated) {
                    return ScanError{ScanError::Kind::UnterminatedDeclaration, open};
                }
                if (declaration.kind == index_build::DeclarationEnd::Kind::Closed) {
                    writer.skip_to(declaration.end);
                    next_open_allowed_ = declaration.end + 1;
                    continue;
                }
            }
            const std::size_t close = closes_.first_after(open);
            if (close == CloseFinder::kNone) return ScanError{ScanError::Kind::UnclosedTag, open};
            TagKind kind;
            std::size_t end;
            std::size_t name_offset = 0;
            std::size_t name_len = 0;
            const char marker = data[open + 1];
            if (marker == '!') {
                if (index_build::has_literal_at(input, open + 2, "--")) {
                    kind = TagKind::Comment;
                    if (open + 6 < length) {
                        const std::size_t found =
                            index_build::find_terminator<'-', '-'>(data, open + 6, length);
                        end = found < length ? found : length - 2;
                    } else {
                        end = open + 4;
                    }
                } else if (index_build::has_literal_at(input, open + 2, "[CDATA[")) {
                    kind = TagKind::CData;
                    const std::size_t body = open + 9;
                    if (body + 2 < length) {
                        const std::size_t found =
                            index_build::find_terminator<']', ']'>(data, body + 2, length);
                        if (found < length) {
                            end = found;
                            writer.append_text(body, found - 2);
                        } else {
                            end = length - 2;
                        }
                    } else {
                        end = body;
                    }
                } else {
                    // A document type declaration or another "<!" construct: no entry.
                    writer.skip_to(close);
                    continue;
                }
            } else if (marker == '/') {
                kind = TagKind::Close;
                name_offset = open + 2;
                name_len = index_build::scan_name(data, name_offset, close,
                                                  index_build::kStopWhitespace) -
                           name_offset;
                end = close;
            } else if (marker == '?') {
                kind = TagKind::ProcessingInstruction;
                name_offset = open + 2;
                const std::size_t target_end =
                    index_build::scan_name(data, name_offset, length,
                                           index_build::kStopWhitespace | index_build::kStopGreater |
                                               index_build::kStopQuestion);
                name_len = target_end - name_offset;
                end = index_build::processing_instruction_end(data, target_end, length);
            } else {
                name_offset = open + 1;
                name_len = index_build::scan_name(data, name_offset, close,
                                                  index_build::kStopWhitespace |
                                                      index_build::kStopSlash) -
                           name_offset;
                kind = data[close - 1] == '/' ? TagKind::SelfClosing : TagKind::Open;
                end = close;
            }

            if (name_len > kMaxNameLength) return ScanError{ScanError::Kind::NameTooLong, open};
            writer.record(open, end, kind, name_offset, name_len);
            if (kind == TagKind::Comment || kind == TagKind::CData || kind == TagKind::ProcessingInstruction) {
                next_open_allowed_ = end + 1;
            }
        }
        return false;
    }

private:
    std::string_view input_;
    const MarkupBitmaps& bitmaps_;
    CloseFinder closes_;
    std::size_t word_index_ = 0;  // the next word of the '<' bitmap to load
    std::uint64_t word_ = 0;      // the '<' bits of the loaded word not yet taken up
    // '<' offsets below this one lie inside the comment, CDATA section or
    // instruction recorded last and are passed over.
    std::size_t next_open_allowed_ = 0;
    bool ended_ = false;
};

namespace {

Result<StructuralIndex, ScanError> build_from_bitmaps(std::string_view input, const MarkupBitmaps& bitmaps) {
    IndexWriter writer(input);
    BitmapPairing pairing(input, bitmaps);
    auto done = pairing.fill(writer, SIZE_MAX);
    if (!done) return done.error();
    return std::move(writer).finish();
}

}  // namespace

namespace {

MarkupBitmaps scan_markup_bitmaps_with(std::string_view input, bool use_shortcut) {
    const char* data = input.data();
    const std::size_t length = input.size();
    const std::size_t word_count = (length + 63) / 64;
    MarkupBitmaps bitmaps;
    bitmaps.open_bits.resize(word_count);
    bitmaps.close_bits.resize(word_count);

    // Quotes open a value only inside a start tag: an apostrophe in character
    // data, a comment, a CDATA section, an instruction or a declaration hides
    // nothing. The state walks from event to event within each block's masks, so
    // a block of plain text costs one test.
    ScanState state = ScanState::Text;
    // Bytes before this offset belong to a construct skipped by plain_construct_end.
    std::size_t plain_until = 0;
    for (std::size_t word_index = 0; word_index < word_count; ++word_index) {
        const std::size_t block_start = word_index * 64;
        const std::size_t block_len = length - block_start < 64 ? length - block_start : 64;
        const BlockMasks masks = block_len == 64 ? classify_full_block(data + block_start)
                                                 : classify_bytewise(data + block_start, block_len);
        // Blocks of plain markup with double-quoted values (all of a quote-dense
        // document but its edges) are marked at once, where the walk would take a
        // step per quote; any other block, and every block an end tag, comment,
        // instruction, declaration or apostrophe-quoted value enters, takes the walk.
        if (use_shortcut && masks.double_quotes != 0 && block_len == 64 && length - block_start > 64 &&
            plain_until <= block_start &&
            (state == ScanState::Text || state == ScanState::StartTag || state == ScanState::Double)) {
            const BlockShortcut shortcut =
                mark_plain_block(masks, classify_markers(data + block_start), data[block_start + 64], state);
            if (shortcut.taken) {
                bitmaps.open_bits[word_index] = shortcut.opens;
                bitmaps.close_bits[word_index] = shortcut.closes;
                state = shortcut.state_after;
                continue;
            }
        }
        std::uint64_t hidden = 0;
        unsigned pos = 0;
        if (plain_until > block_start) {
            pos = plain_until - block_start >= 64 ? 64u : static_cast<unsigned>(plain_until - block_start);
        }
        while (pos < block_len) {
            switch (state) {
                case ScanState::Text: {
                    const std::uint64_t next = masks.opens & bits_from(pos);
                    if (next == 0) {
                        pos = 64;
                        break;
                    }
                    const unsigned at = static_cast<unsigned>(std::countr_zero(next));
                    const std::size_t open = block_start + at;
                    if (open + 1 < length && data[open + 1] == '/') {
                        state = ScanState::EndTag;
                        pos = at + 1;
                        break;
                    }
                    const std::size_t plain_end = plain_construct_end(input, open);
                    if (plain_end == 0) {
                        state = ScanState::StartTag;
                        pos = at + 1;
                        break;
                    }
                    plain_until = plain_end;
                    pos = plain_end - block_start >= 64 ? 64u : static_cast<unsigned>(plain_end - block_start);
                    break;
                }
                case ScanState::StartTag: {
                    const std::uint64_t next =
                        (masks.double_quotes | masks.apostrophes | masks.closes) & bits_from(pos);
                    if (next == 0) {
                        pos = 64;
                        break;
                    }
                    const unsigned at = static_cast<unsigned>(std::countr_zero(next));
                    if ((masks.closes >> at) & 1) {
                        state = ScanState::Text;
                    } else {
                        state = (masks.double_quotes >> at) & 1 ? ScanState::Double : ScanState::Apostrophe;
                    }
                    pos = at + 1;
                    break;
                }
                case ScanState::Double:
                case ScanState::Apostrophe: {
                    const std::uint64_t closers =
                        state == ScanState::Double ? masks.double_quotes : masks.apostrophes;
                    const std::uint64_t next = closers & bits_from(pos);
                    if (next == 0) {
                        hidden |= bits_from(pos);
                        pos = 64;
                        break;
                    }
                    const unsigned at = static_cast<unsigned>(std::countr_zero(next));
                    hidden |= bits_from(pos) & ~bits_from(at);
                    state = ScanState::StartTag;
                    pos = at + 1;
                    break;
                }
                case ScanState::EndTag: {
                    const std::uint64_t next = masks.closes & bits_from(pos);
                    if (next == 0) {
                        pos = 64;
                        break;
                    }
                    state = ScanState::Text;
                    pos = static_cast<unsigned>(std::countr_zero(next)) + 1;
                    break;
                }
            }
        }
        bitmaps.open_bits[word_index] = masks.opens & ~hidden;
        bitmaps.close_bits[word_index] = masks.closes & ~hidden;
    }
    return bitmaps;
}

}  // namespace

MarkupBitmaps scan_markup_bitmaps(std::string_view input) { return scan_markup_bitmaps_with(input, true); }

MarkupBitmaps scan_markup_bitmaps_by_events(std::string_view input) {
    return scan_markup_bitmaps_with(input, false);
}

Result<StructuralIndex, ScanError> build_index_bitmap(std::string_view input) {
    const MarkupBitmaps bitmaps = scan_markup_bitmaps(input);
    return build_from_bitmaps(input, bitmaps);
}

struct BitmapIndexStream::State {
    State(std::string_view input) : bitmaps(scan_markup_bitmaps(input)), pairing(input, bitmaps) {}
    MarkupBitmaps bitmaps;
    BitmapPairing pairing;
};

BitmapIndexStream::BitmapIndexStream(std::string_view input, std::size_t window_entries)
    : window_entries_(window_entries == 0 ? 1 : window_entries), state_(std::make_unique<State>(input)) {
    window_.input = input;
    IndexWriter::reserve(window_, std::min(window_entries_, index_build::estimated_entry_count(input)) + 1);
}

BitmapIndexStream::~BitmapIndexStream() = default;

Result<bool, ScanError> BitmapIndexStream::next() {
    IndexWriter::clear(window_);
    if (done_) return false;
    IndexWriter writer(window_, last_end_);
    auto ended = state_->pairing.fill(writer, window_entries_);
    if (!ended) {
        done_ = true;
        return ended.error();
    }
    done_ = ended.value();
    last_end_ = writer.last_end();
    return window_.size() != 0 || !window_.text_ranges.empty();
}

}  // namespace vorlane
