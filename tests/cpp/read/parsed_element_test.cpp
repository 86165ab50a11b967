// ParsedElement: move-only ownership and iterative release of deep and wide trees.
#include <gtest/gtest.h>

#include <type_traits>

#include "read/parsed_element.hpp"
#include "read_test_support.hpp"

namespace vorlane {
namespace {

using read_testing::make_buffer;

static_assert(!std::is_copy_constructible_v<ParsedElement>);
static_assert(std::is_nothrow_move_constructible_v<ParsedElement>);
static_assert(std::is_nothrow_move_assignable_v<ParsedElement>);

// A chain of `depth` elements below `root`, every name a span over byte 0 of `buffer`.
void grow_chain(ParsedElement& root, DocumentBuffer* buffer, std::size_t depth) {
    ParsedElement* current = &root;
    for (std::size_t level = 0; level < depth; ++level) {
        current->children.emplace_back(StrRef::span(buffer, 0, 1));
        current = &current->children.back();
    }
}

struct TreeShape {
    const char* label;
    std::size_t depth;   // length of each chain
    std::size_t chains;  // chains hanging from the root
};

class ParsedElementRelease : public ::testing::TestWithParam<TreeShape> {};

TEST_P(ParsedElementRelease, GivesBackEveryBufferReference) {
    const TreeShape shape = GetParam();
    BufferRef buffer = make_buffer("a");
    {
        ParsedElement root(StrRef::span(buffer.get(), 0, 1));
        for (std::size_t chain = 0; chain < shape.chains; ++chain) {
            ParsedElement branch(StrRef::span(buffer.get(), 0, 1));
            branch.text = StrRef::span(buffer.get(), 0, 1);
            grow_chain(branch, buffer.get(), shape.depth);
            root.children.push_back(std::move(branch));
        }
        EXPECT_EQ(buffer->use_count(), 1 + 1 + shape.chains * (2 + shape.depth));
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ParsedElementRelease,
                         ::testing::Values(TreeShape{"Leaf", 0, 0}, TreeShape{"Wide", 0, 1000},
                                           TreeShape{"MillionDeep", 1000000, 1},
                                           TreeShape{"SeveralDeep", 50000, 8}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ParsedElement, MoveAssignmentReleasesTheOldTree) {
    BufferRef buffer = make_buffer("ab");
    ParsedElement target(StrRef::span(buffer.get(), 0, 1));
    grow_chain(target, buffer.get(), 200000);
    ParsedElement source(StrRef::span(buffer.get(), 1, 2));
    source.children.emplace_back(StrRef::span(buffer.get(), 0, 1));
    target = std::move(source);
    EXPECT_EQ(target.name.raw(), "b");
    ASSERT_EQ(target.children.size(), 1u);
    EXPECT_EQ(target.children[0].name.raw(), "a");
    // Ours, plus the two names of the tree moved in; the old chain is gone.
    EXPECT_EQ(buffer->use_count(), 3u);
}

TEST(ParsedElement, ReleaseParsedElementsEmptiesTheList) {
    BufferRef buffer = make_buffer("a");
    std::vector<ParsedElement> elements;
    for (int i = 0; i < 3; ++i) {
        elements.emplace_back(StrRef::span(buffer.get(), 0, 1));
        grow_chain(elements.back(), buffer.get(), 1000);
    }
    release_parsed_elements(elements);
    EXPECT_TRUE(elements.empty());
    EXPECT_EQ(buffer->use_count(), 1u);
}

}  // namespace
}  // namespace vorlane
