// Allocation failure in the middle of a parse: this program replaces the global
// operator new with one that can be told to fail the Nth allocation, and every N of
// each document's parse is tried in turn. Each failure must surface as
// std::bad_alloc with every buffer reference of the parse given back; once N lies
// beyond the parse's last allocation, the result must equal an unhindered parse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "read/parse_document.hpp"
#include "read_test_support.hpp"

namespace {

// Allocations still allowed before the next one fails; negative when disarmed.
long allocations_left = -1;

void* allocate(std::size_t size) {
    if (allocations_left == 0) {
        allocations_left = -1;
        throw std::bad_alloc();
    }
    if (allocations_left > 0) --allocations_left;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace vorlane {
namespace {

using read_testing::make_buffer;
using read_testing::render;

std::string wide_element(std::size_t attributes) {
    std::string tag = "<w";
    for (std::size_t i = 0; i < attributes; ++i) {
        tag += " k" + std::to_string(i) + "='" + (i % 3 == 0 ? "a&amp;b" : "v") + "'";
    }
    return tag + ">wide</w>";
}

struct SweepCase {
    const char* label;
    std::string document;
    const char* root_tag;
};

class AllocationFailureSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(AllocationFailureSweep, EveryFailureIsCleanAndTheLastParseIsWhole) {
    const SweepCase& test = GetParam();
    BufferRef buffer = make_buffer(test.document);
    std::string expected;
    {
        auto parsed = parse_document(buffer.get(), test.root_tag);
        ASSERT_TRUE(parsed) << test.document;
        expected = render(*parsed);
    }
    std::size_t failures = 0;
    for (long n = 0;; ++n) {
        ASSERT_LT(n, 100000) << "the parse never got through";
        bool failed = false;
        std::string outcome;
        allocations_left = n;
        try {
            auto parsed = parse_document(buffer.get(), test.root_tag);
            allocations_left = -1;
            ASSERT_TRUE(parsed);
            outcome = render(*parsed);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        allocations_left = -1;
        EXPECT_EQ(buffer->use_count(), 1u) << "allocation " << n;
        if (!failed) {
            EXPECT_EQ(outcome, expected);
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AllocationFailureSweep,
    ::testing::Values(
        SweepCase{"Records",
                  "<?xml version='1.0'?><all><r id='1' name='x&lt;y' city='Gen\xC3\xA8ve'>a<b/>c&amp;d</r>"
                  "<r id='2'><![CDATA[x]]> y <i k='1'/><i k='2'>t</i></r></all>",
                  "all"},
        SweepCase{"Nested", "<o><a><b><c><d><e>deep</e></d></c></b></a><z/></o>", "a"},
        SweepCase{"WideMaps", "<r>" + wide_element(15) + wide_element(17) + wide_element(40) + "</r>", "r"},
        SweepCase{"SelfClosingRoot", "<x><y a='1' b='2'/></x>", "y"},
        SweepCase{"ManySiblings", "<r>" + std::string(50, ' ') + [] {
            std::string children;
            for (int i = 0; i < 40; ++i) children += "<c n='" + std::to_string(i) + "'>t</c>";
            return children;
        }() + "</r>", "r"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace vorlane
