// DocumentArena: every allocation aligned, inside a block and apart from every
// other, whatever the mix of sizes and alignments, at the ends of blocks too; and
// a populator following the blocks changes none of the bytes written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "common/page_populator.hpp"
#include "storage/document_buffer.hpp"

namespace vorlane {
namespace {

struct Piece {
    std::uintptr_t start;
    std::size_t size;
    unsigned char fill;
};

// Allocates pieces of `sizes` (cycling through `alignments`), fills each with its
// own byte, then checks alignment, overlap and contents.
void check_pieces(DocumentArena& arena, const std::vector<std::size_t>& sizes,
                  const std::vector<std::size_t>& alignments) {
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::size_t alignment = alignments[i % alignments.size()];
        auto* at = static_cast<unsigned char*>(arena.allocate(sizes[i], alignment));
        ASSERT_NE(at, nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % alignment, 0u) << "piece " << i;
        const auto fill = static_cast<unsigned char>(i * 37 + 1);
        std::memset(at, fill, sizes[i]);
        pieces.push_back({reinterpret_cast<std::uintptr_t>(at), sizes[i], fill});
    }
    std::vector<Piece> sorted = pieces;
    // An empty piece may share its address with the next one.
    std::sort(sorted.begin(), sorted.end(), [](const Piece& a, const Piece& b) { return a.start != b.start ? a.start < b.start : a.size < b.size; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        ASSERT_LE(sorted[i - 1].start + sorted[i - 1].size, sorted[i].start) << "pieces overlap";
    }
    for (const Piece& piece : pieces) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(piece.start);
        for (std::size_t k = 0; k < piece.size; ++k) ASSERT_EQ(bytes[k], piece.fill);
    }
}

struct ArenaCase {
    const char* name;
    std::size_t first_block;
    std::vector<std::size_t> sizes;
    std::vector<std::size_t> alignments;
};

class DocumentArenaTest : public ::testing::TestWithParam<ArenaCase> {};

TEST_P(DocumentArenaTest, PiecesAreAlignedDisjointAndKept) {
    DocumentArena arena(GetParam().first_block);
    check_pieces(arena, GetParam().sizes, GetParam().alignments);
}

std::vector<std::size_t> repeated(std::size_t size, std::size_t count) { return std::vector<std::size_t>(count, size); }

std::vector<std::size_t> random_sizes(std::size_t count, std::size_t largest, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> pick(0, largest);
    std::vector<std::size_t> sizes(count);
    for (std::size_t& size : sizes) size = pick(random);
    return sizes;
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, DocumentArenaTest,
    ::testing::Values(
        // Odd-sized bytes, then blocks that need sixteen-byte alignment: the block's
        // last bytes are too few once the position is rounded up.
        ArenaCase{"odd_then_aligned_at_block_end", 4096, {4077, 3, 16, 5, 4090, 1, 32}, {1, 1, 16, 1, 1, 1, 16}},
        // A block whose end is not a multiple of sixteen: rounding the position up
        // goes past the end.
        ArenaCase{"aligned_past_unaligned_block_end", 4101, {4083, 16, 4000, 1, 32}, {1, 16, 1, 1, 16}},
        ArenaCase{"exactly_filling_blocks", 4096, repeated(16, 1024), {16}},
        ArenaCase{"larger_than_any_block", 4096, {10, 100000, 7, 5 << 20, 3}, {1, 16, 8, 16, 1}},
        ArenaCase{"empty_pieces", 4096, {0, 0, 1, 0, 16, 0}, {1, 16, 1, 8, 16, 1}},
        ArenaCase{"random_mix", 8195, random_sizes(5000, 300, 7), {1, 2, 4, 8, 16}}),
    [](const ::testing::TestParamInfo<ArenaCase>& info) { return std::string(info.param.name); });

TEST(DocumentArenaPopulated, BlocksFollowedByAPopulatorKeepTheirBytes) {
    PagePopulator populator;
    const bool running = populator.start();
    if (running) populator.set_lead(1, std::size_t{1} << 20);
    DocumentArena arena(64 << 10);
    arena.populate_with(running ? &populator : nullptr, 1);
    check_pieces(arena, random_sizes(40000, 2000, 11), {1, 8, 16});
    populator.stop();
}

}  // namespace
}  // namespace vorlane
