// StrRef and DocumentBuffer: spans share one counted buffer, owned strings copy,
// and reading a span checks its range and character boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "storage/document_buffer.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {
namespace {

BufferRef make_buffer(std::string_view text) {
    auto bytes = std::make_unique<char[]>(text.size());
    std::memcpy(bytes.get(), text.data(), text.size());
    return BufferRef::adopt(DocumentBuffer::create_owned(std::move(bytes), text.size()));
}

TEST(StrRefTest, SpanHoldsOneBufferReferenceUntilDropped) {
    BufferRef buffer = make_buffer("<r>hello</r>");
    ASSERT_EQ(buffer->use_count(), 1u);
    {
        StrRef span = StrRef::span(buffer.get(), 3, 8);
        EXPECT_EQ(buffer->use_count(), 2u);
        StrRef moved = std::move(span);
        EXPECT_EQ(buffer->use_count(), 2u);
        EXPECT_EQ(moved.view().value(), "hello");
        EXPECT_TRUE(moved.is_span());
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(StrRefTest, MoveAssignmentReleasesWhatItHeld) {
    BufferRef buffer = make_buffer("abcdef");
    StrRef target = StrRef::span(buffer.get(), 0, 3);
    EXPECT_EQ(buffer->use_count(), 2u);
    target = StrRef::owned("xyz");
    EXPECT_EQ(buffer->use_count(), 1u);
    EXPECT_FALSE(target.is_span());
    EXPECT_EQ(target.view().value(), "xyz");
}

TEST(StrRefTest, EqualityIsByValueAcrossVariants) {
    BufferRef buffer = make_buffer("name=name");
    StrRef span = StrRef::span(buffer.get(), 5, 9);
    StrRef owned = StrRef::owned("name");
    EXPECT_TRUE(span == owned);
    EXPECT_FALSE(span == StrRef::owned("Name"));
    EXPECT_TRUE(StrRef() == StrRef::owned(""));
}

TEST(StrRefTest, BorrowedBytesAreReadButNeverFreedOrCounted) {
    const std::string bytes = "caf\xc3\xa9 bytes";
    StrRef value = StrRef::borrowed_bytes(bytes.data(), 5);
    EXPECT_FALSE(value.is_span());
    EXPECT_FALSE(value.owns_storage());
    EXPECT_EQ(value.buffer(), nullptr);
    EXPECT_EQ(value.size(), 5u);
    EXPECT_EQ(value.raw(), "caf\xc3\xa9");
    EXPECT_EQ(value.view().value(), "caf\xc3\xa9");
    EXPECT_TRUE(value == StrRef::owned("caf\xc3\xa9"));
    StrRef moved = std::move(value);
    EXPECT_EQ(moved.raw(), "caf\xc3\xa9");
    EXPECT_EQ(value.size(), 0u);
    moved = StrRef::owned("x");  // dropping borrowed bytes frees nothing
    EXPECT_EQ(bytes, "caf\xc3\xa9 bytes");
}

TEST(StrRefTest, OwnedFromBuilderTakesTheStorage) {
    ByteBuilder builder;
    builder.append("decoded & text");
    StrRef text = StrRef::owned(std::move(builder));
    EXPECT_EQ(text.view().value(), "decoded & text");
    EXPECT_EQ(builder.size(), 0u);
}

struct SpanCase {
    std::size_t start;
    std::size_t end;
    bool valid;
};

class SpanCheckTest : public ::testing::TestWithParam<SpanCase> {};

// "aé€b": a(0) é(1,2) €(3,4,5) b(6), length 7.
TEST_P(SpanCheckTest, RangeAndCharacterBoundaries) {
    BufferRef buffer = make_buffer("a\xC3\xA9\xE2\x82\xAC" "b");
    const SpanCase& c = GetParam();
    StrRef span = StrRef::span(buffer.get(), c.start, c.end);
    EXPECT_EQ(span.view().ok(), c.valid);
}

INSTANTIATE_TEST_SUITE_P(Spans, SpanCheckTest,
                         ::testing::Values(SpanCase{0, 7, true}, SpanCase{1, 3, true},
                                           SpanCase{3, 6, true}, SpanCase{7, 7, true},
                                           SpanCase{0, 0, true}, SpanCase{2, 3, false},
                                           SpanCase{1, 2, false}, SpanCase{3, 5, false},
                                           SpanCase{0, 8, false}, SpanCase{5, 4, false},
                                           SpanCase{8, 8, false}));

TEST(DocumentBufferTest, PythonTextReleasesItsObjectOnLastReference) {
    static int released = 0;
    static void* released_object = nullptr;
    int token = 0;
    const char* text = "<r/>";
    DocumentBuffer* raw = DocumentBuffer::create_python_text(
        &token, text, 4, [](void* object) noexcept {
            ++released;
            released_object = object;
        });
    BufferRef buffer = BufferRef::adopt(raw);
    EXPECT_EQ(buffer->data(), text);
    {
        StrRef span = StrRef::span(buffer.get(), 1, 2);
        buffer.reset();
        EXPECT_EQ(released, 0);
    }
    EXPECT_EQ(released, 1);
    EXPECT_EQ(released_object, &token);
}

TEST(ByteBuilderTest, GrowsToTwiceOrNeededAtLeastEight) {
    ByteBuilder builder;
    builder.push_back('a');
    EXPECT_EQ(builder.capacity(), 8u);
    builder.append(std::string(8, 'b'));
    EXPECT_EQ(builder.capacity(), 16u);
    builder.append(std::string(40, 'c'));
    EXPECT_EQ(builder.capacity(), 49u);
    EXPECT_EQ(builder.size(), 49u);
    builder.erase_front(9);
    EXPECT_EQ(builder.view(), std::string(40, 'c'));
}

}  // namespace
}  // namespace vorlane
