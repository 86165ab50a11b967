// NodeSnapshot teardown: very deep and very wide trees are released without native
// recursion, buffer references go back, and the allocation-free fallback is exact.
#include <gtest/gtest.h>

#include "failing_allocator.hpp"
#include "snapshot_builder.hpp"
#include "write/node_snapshot.hpp"

namespace vorlane {
namespace {

using testing_support::chain;
using testing_support::children_of;
using testing_support::element;
using testing_support::make_buffer;

// A chain whose every name is a span into `buffer`, so releases can be counted.
NodeSnapshot span_chain(std::size_t depth, DocumentBuffer* buffer) {
    NodeSnapshot innermost;
    innermost.name = StrRef::span(buffer, 0, 1);
    for (std::size_t level = 1; level < depth; ++level) {
        NodeSnapshot parent;
        parent.name = StrRef::span(buffer, 0, 1);
        parent.children.push_back(std::move(innermost));
        innermost = std::move(parent);
    }
    return innermost;
}

// A tree where every node on a long spine also has a few leaf and small-subtree
// siblings, mixing depth and width.
NodeSnapshot comb(std::size_t depth, DocumentBuffer* buffer) {
    NodeSnapshot spine;
    spine.name = StrRef::span(buffer, 0, 1);
    for (std::size_t level = 1; level < depth; ++level) {
        NodeSnapshot parent;
        parent.name = StrRef::span(buffer, 0, 1);
        NodeSnapshot leaf;
        leaf.text = StrRef::span(buffer, 0, 1);
        parent.children.push_back(std::move(leaf));
        parent.children.push_back(std::move(spine));
        NodeSnapshot pair;
        pair.children.push_back(NodeSnapshot());
        pair.children.push_back(NodeSnapshot());
        parent.children.push_back(std::move(pair));
        spine = std::move(parent);
    }
    return spine;
}

TEST(NodeSnapshotTest, MillionDeepChainIsReleased) {
    BufferRef buffer = make_buffer("n");
    {
        NodeSnapshot root = span_chain(1000000, buffer.get());
        EXPECT_EQ(buffer->use_count(), 1000001u);
    }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(NodeSnapshotTest, DeepCombIsReleased) {
    BufferRef buffer = make_buffer("n");
    { NodeSnapshot root = comb(100000, buffer.get()); }
    EXPECT_EQ(buffer->use_count(), 1u);
}

TEST(NodeSnapshotTest, MoveAssignmentReleasesTheOldSubtree) {
    BufferRef buffer = make_buffer("n");
    NodeSnapshot target = span_chain(500000, buffer.get());
    target = element("fresh", {{"k", "v"}}, "t", children_of(element("c")));
    EXPECT_EQ(buffer->use_count(), 1u);
    EXPECT_EQ(target.name.raw(), "fresh");
    ASSERT_EQ(target.children.size(), 1u);
    EXPECT_EQ(target.children[0].name.raw(), "c");
    EXPECT_EQ(target.attrs.size(), 1u);
}

TEST(NodeSnapshotTest, MoveLeavesTheSourceEmpty) {
    NodeSnapshot source = element("a", {{"k", "v"}}, "t", children_of(element("b")));
    NodeSnapshot moved(std::move(source));
    EXPECT_TRUE(source.children.empty());
    EXPECT_TRUE(source.attrs.empty());
    EXPECT_EQ(moved.name.raw(), "a");
    EXPECT_EQ(moved.text->raw(), "t");
    EXPECT_EQ(moved.children.size(), 1u);
}

// The destructor's work list grows as it goes; when that allocation fails at any
// point, the rest of the tree is released in place instead.
TEST(NodeSnapshotTest, TeardownFallsBackWhenTheWorkListCannotGrow) {
    BufferRef buffer = make_buffer("n");
    for (long successes = 0; successes < 12; ++successes) {
        SCOPED_TRACE(successes);
        NodeSnapshot root = comb(400, buffer.get());
        {
            testing_support::AllocationFailure failure(successes);
            root = NodeSnapshot();
        }
        EXPECT_EQ(buffer->use_count(), 1u);
    }
}

struct InPlaceCase {
    const char* label;
    NodeSnapshot (*build)(DocumentBuffer*);
};

class ReleaseInPlaceTest : public ::testing::TestWithParam<InPlaceCase> {};

TEST_P(ReleaseInPlaceTest, ReleasesEveryDescendantAndKeepsTheNode) {
    BufferRef buffer = make_buffer("n");
    NodeSnapshot root = GetParam().build(buffer.get());
    root.text = StrRef::owned("kept");
    release_children_in_place(root);
    EXPECT_TRUE(root.children.empty());
    EXPECT_EQ(root.text->raw(), "kept");
    EXPECT_EQ(buffer->use_count(), 2u);  // the root's own name
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ReleaseInPlaceTest,
    ::testing::Values(InPlaceCase{"Leaf", [](DocumentBuffer* buffer) { return span_chain(1, buffer); }},
                      InPlaceCase{"Chain", [](DocumentBuffer* buffer) { return span_chain(2000, buffer); }},
                      InPlaceCase{"Comb", [](DocumentBuffer* buffer) { return comb(1000, buffer); }},
                      InPlaceCase{"Wide",
                                  [](DocumentBuffer* buffer) {
                                      NodeSnapshot root = span_chain(1, buffer);
                                      for (int index = 0; index < 5000; ++index) {
                                          root.children.push_back(span_chain(3, buffer));
                                      }
                                      return root;
                                  }}),
    [](const ::testing::TestParamInfo<InPlaceCase>& info) { return std::string(info.param.label); });

TEST(NodeSnapshotTest, ChainHelperBuildsTheRequestedDepth) {
    NodeSnapshot root = chain(5, "e");
    std::size_t depth = 1;
    const NodeSnapshot* node = &root;
    while (!node->children.empty()) {
        ASSERT_EQ(node->children.size(), 1u);
        node = &node->children[0];
        ++depth;
    }
    EXPECT_EQ(depth, 5u);
}

}  // namespace
}  // namespace vorlane
