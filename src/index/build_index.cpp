// build_index: picks the index builder for one input from a sample of its first
// bytes and runs it. Runs without the interpreter lock.
#include <algorithm>
#include <cstddef>
#include <string_view>

#include "index/structural_index.hpp"

namespace vorlane {

namespace {

constexpr std::size_t kSampleBytes = 4096;
// More double quotes than this per '<' in the sample makes the per-tag quote
// skipping of the sequential builder the dominant cost.
constexpr double kBitmapQuoteRatio = 5.0;

}  // namespace

bool prefers_bitmap_builder(std::string_view input) noexcept {
    if (input.empty()) return false;
    const std::string_view sample = input.substr(0, std::min(input.size(), kSampleBytes));
    std::size_t open_count = 0;
    std::size_t quote_count = 0;
    for (const char byte : sample) {
        open_count += byte == '<';
        quote_count += byte == '"';
    }
    const double ratio =
        static_cast<double>(quote_count) / static_cast<double>(std::max<std::size_t>(open_count, 1));
    return ratio > kBitmapQuoteRatio;
}

Result<StructuralIndex, ScanError> build_index(std::string_view input) {
    if (prefers_bitmap_builder(input)) return build_index_bitmap(input);
    return build_index_sequential(input);
}

}  // namespace vorlane
