// AttrMap: unique keys, growth, lookup on both sides of the switch from linear search
// to the hash index, insertion order, the seed fallbacks, and
// SipHash-1-3 against reference values computed by an independent implementation.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include <cstddef>
#include <memory>

#include "storage/attr_map.hpp"

namespace vorlane {
namespace {

constexpr HashKeys kReferenceKeys{0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};

struct SipCase {
    std::size_t length;  // message is the bytes 0, 1, ..., length - 1
    std::uint64_t expected;
};

class SipHashTest : public ::testing::TestWithParam<SipCase> {};

TEST_P(SipHashTest, MatchesReferenceValues) {
    std::string message;
    for (std::size_t i = 0; i < GetParam().length; ++i) message.push_back(static_cast<char>(i));
    EXPECT_EQ(siphash13(kReferenceKeys, message.data(), message.size()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SipHashTest,
    ::testing::Values(SipCase{0, 0xabac0158050fc4dcULL}, SipCase{1, 0xc9f49bf37d57ca93ULL},
                      SipCase{7, 0xd3927d989bb11140ULL}, SipCase{8, 0x369095118d299a8eULL},
                      SipCase{15, 0xd320d86d2a519956ULL}, SipCase{16, 0xcc4fdd1a7d908b66ULL},
                      SipCase{63, 0x9d199062b7bbb3a8ULL}));

struct KeyHashCase {
    const char* key;
    std::uint64_t expected;
};

class AttrKeyHashTest : public ::testing::TestWithParam<KeyHashCase> {};

TEST_P(AttrKeyHashTest, HashesBytesFollowedByFF) {
    EXPECT_EQ(hash_attr_key(kReferenceKeys, GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, AttrKeyHashTest,
                         ::testing::Values(KeyHashCase{"", 0x336d38979e4a286bULL},
                                           KeyHashCase{"id", 0x63d0b58c06e0df7bULL},
                                           KeyHashCase{"lang", 0xdea0786a6c06e2bcULL},
                                           KeyHashCase{"a-much-longer-attribute-name",
                                                       0xeb1f0e03de40595dULL}));

TEST(HashKeysTest, EachDrawIncrementsTheFirstHalf) {
    HashKeys first = draw_hash_keys();
    HashKeys second = draw_hash_keys();
    EXPECT_EQ(second.k0, first.k0 + 1);
    EXPECT_EQ(second.k1, first.k1);
}

TEST(AttrMapTest, EmptyMapAllocatesNothing) {
    AttrMap map;
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_EQ(map.find("x"), nullptr);
    EXPECT_TRUE(map.begin() == map.end());
    AttrMap sized(draw_hash_keys(), 0);
    EXPECT_EQ(sized.capacity(), 0u);
    EXPECT_EQ(sizeof(AttrMap), sizeof(void*));
}

TEST(AttrMapTest, KeysAreUniqueByValue) {
    AttrMap map(draw_hash_keys(), 2);
    EXPECT_TRUE(map.insert(StrRef::owned("x"), StrRef::owned("1")));
    EXPECT_FALSE(map.insert(StrRef::owned("x"), StrRef::owned("2")));
    EXPECT_TRUE(map.insert(StrRef::owned("X"), StrRef::owned("3")));
    EXPECT_TRUE(map.insert(StrRef::owned(""), StrRef::owned("")));
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map.find("x")->view().value(), "1");
    EXPECT_EQ(map.find("X")->view().value(), "3");
    ASSERT_NE(map.find(""), nullptr);
    EXPECT_EQ(map.find("y"), nullptr);
}

TEST(AttrMapTest, GrowsAndKeepsEveryEntry) {
    AttrMap map;
    map.reserve(draw_hash_keys(), 1);
    std::size_t first_capacity = map.capacity();
    constexpr int kCount = 5000;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(map.insert(StrRef::owned("key" + std::to_string(i)),
                               StrRef::owned("value" + std::to_string(i))));
    }
    EXPECT_GT(map.capacity(), first_capacity);
    EXPECT_EQ(map.size(), static_cast<std::size_t>(kCount));
    EXPECT_LE(map.size(), map.capacity());
    EXPECT_TRUE(map.is_indexed());
    std::set<std::string> seen;
    for (auto entry : map) seen.insert(std::string(entry.key.raw()));
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        auto value = map.find("key" + std::to_string(i));
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->raw(), "value" + std::to_string(i));
    }
}

std::string key_number(std::size_t i) { return "attr" + std::to_string(i); }

// Sizes around the switch from a flat, linearly searched map to an indexed one,
// reached both with the exact room and by growing from the smallest block.
struct LayoutCase {
    std::size_t count;
    bool reserve_exactly;
};

class AttrMapLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(AttrMapLayoutTest, InsertLookupUniquenessAndOrder) {
    const auto [count, reserve_exactly] = GetParam();
    AttrMap map(draw_hash_keys(), reserve_exactly ? count : 1);
    std::vector<std::string> inserted;
    // Keys that share a prefix and a length, so that comparisons must look at every byte.
    for (std::size_t i = 0; i < count; ++i) {
        inserted.push_back(key_number(count - i));
        ASSERT_TRUE(map.insert(StrRef::owned(inserted.back()), StrRef::owned(std::to_string(i))));
    }
    EXPECT_EQ(map.size(), count);
    EXPECT_EQ(map.is_indexed(), map.capacity() > AttrMap::kFlatLimit);
    if (reserve_exactly) {
        EXPECT_EQ(map.is_indexed(), count > AttrMap::kFlatLimit);
    }
    for (std::size_t i = 0; i < count; ++i) {
        auto value = map.find(inserted[i]);
        ASSERT_NE(value, nullptr) << inserted[i];
        EXPECT_EQ(value->raw(), std::to_string(i));
        EXPECT_FALSE(map.insert(StrRef::owned(inserted[i]), StrRef::owned("again")));
    }
    EXPECT_EQ(map.find(key_number(count + 1)), nullptr);
    EXPECT_EQ(map.find(key_number(0)), nullptr);
    EXPECT_EQ(map.find(""), nullptr);
    EXPECT_EQ(map.size(), count);
    std::vector<std::string> order;
    for (auto entry : map) order.emplace_back(entry.key.raw());
    EXPECT_EQ(order, inserted);
}

// views_at refuses exactly the spans that StrRef::view refuses, in compact blocks
// (offsets) and general ones (spans), for a key or a value.
struct BadEntryCase {
    const char* label;
    bool compact;
    bool bad_key;
    std::size_t start;
    std::size_t end;
};

class AttrMapBadEntryTest : public ::testing::TestWithParam<BadEntryCase> {};

TEST_P(AttrMapBadEntryTest, ViewsAtRefusesWhatViewRefuses) {
    const BadEntryCase& c = GetParam();
    const std::string text = "k\xC3\xA9v";
    DocumentBuffer* buffer = DocumentBuffer::create_owned(std::make_unique<char[]>(text.size() + 1), text.size());
    std::memcpy(const_cast<char*>(buffer->data()), text.data(), text.size());
    BufferRef owner = BufferRef::adopt(buffer);
    const std::size_t good_start = c.bad_key ? 3 : 0;  // "v" as the value, "k" as the key
    const std::size_t key_start = c.bad_key ? c.start : good_start;
    const std::size_t key_end = c.bad_key ? c.end : good_start + 1;
    const std::size_t value_start = c.bad_key ? good_start : c.start;
    const std::size_t value_end = c.bad_key ? good_start + 1 : c.end;
    std::vector<std::max_align_t> storage(AttrMap::compact_block_bytes(1) / sizeof(std::max_align_t) + 1);
    AttrMap map;
    if (c.compact) {
        map.reserve_in_compact(draw_hash_keys(), 1, storage.data(), buffer);
        ASSERT_TRUE(map.insert_spans(key_start, key_end - key_start, value_start, value_end - value_start));
        ASSERT_TRUE(map.is_compact());
    } else {
        map.reserve(draw_hash_keys(), 1);
        ASSERT_TRUE(map.insert(StrRef::borrowed_span(buffer, key_start, key_end),
                               StrRef::borrowed_span(buffer, value_start, value_end)));
    }
    std::string_view key;
    std::string_view value;
    EXPECT_FALSE(map.views_at(0, key, value));
    // A compact entry's spans live in the iterator, which must outlive them.
    const AttrMap::Iterator first = map.begin();
    const auto entry = *first;
    EXPECT_EQ(entry.key.view().ok(), !c.bad_key);
    EXPECT_EQ(entry.value.view().ok(), c.bad_key);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, AttrMapBadEntryTest,
    ::testing::Values(BadEntryCase{"CompactValueSplitsCharacter", true, false, 0, 2},
                      BadEntryCase{"CompactValueStartsInsideCharacter", true, false, 2, 4},
                      BadEntryCase{"CompactValuePastTheEnd", true, false, 3, 9},
                      BadEntryCase{"CompactKeySplitsCharacter", true, true, 1, 2},
                      BadEntryCase{"GeneralValueSplitsCharacter", false, false, 0, 2},
                      BadEntryCase{"GeneralValuePastTheEnd", false, false, 3, 9},
                      BadEntryCase{"GeneralKeyStartsInsideCharacter", false, true, 2, 4}),
    [](const ::testing::TestParamInfo<BadEntryCase>& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(
    AroundTheSwitch, AttrMapLayoutTest,
    ::testing::Values(LayoutCase{1, true}, LayoutCase{AttrMap::kFlatLimit - 1, true},
                      LayoutCase{AttrMap::kFlatLimit, true}, LayoutCase{AttrMap::kFlatLimit + 1, true},
                      LayoutCase{AttrMap::kFlatLimit + 2, true}, LayoutCase{AttrMap::kFlatLimit, false},
                      LayoutCase{AttrMap::kFlatLimit + 1, false}, LayoutCase{4 * AttrMap::kFlatLimit + 3, false},
                      LayoutCase{3000, false}));

// Compact blocks (entries as offsets into one document) against the general layout:
// the same inserts must give the same lookups, refusals and order, whether the map
// stays compact, outgrows its block, or meets a value that is not a span of the
// document (a decoded value) at some position.
struct CompactCase {
    std::size_t count;
    std::size_t reserved;
    std::size_t owned_at;  // index of the one owned value, or count for none
};

class AttrMapCompactTest : public ::testing::TestWithParam<CompactCase> {};

TEST_P(AttrMapCompactTest, SameBehaviourAsTheGeneralLayout) {
    const auto [count, reserved, owned_at] = GetParam();
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> keys;  // offset, length in `text`
    std::vector<std::pair<std::size_t, std::size_t>> values;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string key = key_number(count - i);
        keys.emplace_back(text.size(), key.size());
        text += key;
        const std::string value = "v" + std::to_string(i);
        values.emplace_back(text.size(), value.size());
        text += value;
    }
    DocumentBuffer* buffer = DocumentBuffer::create_owned(std::make_unique<char[]>(text.size() + 1), text.size());
    std::memcpy(const_cast<char*>(buffer->data()), text.data(), text.size());
    BufferRef owner = BufferRef::adopt(buffer);
    const HashKeys hash_keys = draw_hash_keys();
    std::vector<std::max_align_t> storage(AttrMap::compact_block_bytes(reserved) / sizeof(std::max_align_t) + 1);
    AttrMap compact;
    compact.reserve_in_compact(hash_keys, reserved, storage.data(), buffer);
    AttrMap general(hash_keys, reserved);
    auto value_of = [&](std::size_t i) {
        if (i == owned_at) return StrRef::owned("owned");
        return StrRef::borrowed_span(buffer, values[i].first, values[i].first + values[i].second);
    };
    for (std::size_t i = 0; i < count; ++i) {
        auto key = [&] { return StrRef::borrowed_span(buffer, keys[i].first, keys[i].first + keys[i].second); };
        ASSERT_TRUE(compact.insert(key(), value_of(i)));
        ASSERT_TRUE(general.insert(key(), value_of(i)));
        ASSERT_FALSE(compact.insert(key(), StrRef::owned("again")));
    }
    EXPECT_EQ(compact.is_compact(), owned_at >= count && count <= reserved);
    EXPECT_EQ(compact.size(), general.size());
    std::vector<std::pair<std::string, std::string>> compact_order;
    std::vector<std::pair<std::string, std::string>> general_order;
    for (auto entry : compact) compact_order.emplace_back(entry.key.raw(), entry.value.view().value());
    for (auto entry : general) general_order.emplace_back(entry.key.raw(), entry.value.view().value());
    EXPECT_EQ(compact_order, general_order);
    // views_at reads each entry as the iterator does, in either layout.
    auto views_of = [](const AttrMap& map) {
        std::vector<std::pair<std::string, std::string>> views;
        for (std::size_t i = 0; i < map.size(); ++i) {
            std::string_view key;
            std::string_view value;
            EXPECT_TRUE(map.views_at(i, key, value)) << i;
            views.emplace_back(key, value);
        }
        return views;
    };
    EXPECT_EQ(views_of(compact), general_order);
    EXPECT_EQ(views_of(general), general_order);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string key = key_number(count - i);
        auto found = compact.find(key);
        ASSERT_NE(found, nullptr) << key;
        EXPECT_EQ(found->raw(), general.find(key)->raw());
    }
    EXPECT_EQ(compact.find(key_number(0)), nullptr);
    EXPECT_EQ(compact.find(""), nullptr);
    // Moved into a block of a node, the entries keep their order and values.
    std::vector<std::max_align_t> node_block(compact.placed_bytes() / sizeof(std::max_align_t) + 1);
    AttrMap placed = compact.place_into(node_block.data());
    std::vector<std::pair<std::string, std::string>> placed_order;
    for (auto entry : placed) placed_order.emplace_back(entry.key.raw(), entry.value.view().value());
    EXPECT_EQ(placed_order, general_order);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AttrMapCompactTest,
    ::testing::Values(CompactCase{1, 1, 1}, CompactCase{6, 6, 6}, CompactCase{6, 6, 0}, CompactCase{6, 6, 3},
                      CompactCase{6, 6, 5}, CompactCase{AttrMap::kFlatLimit, AttrMap::kFlatLimit, AttrMap::kFlatLimit},
                      CompactCase{AttrMap::kFlatLimit + 1, AttrMap::kFlatLimit + 1, AttrMap::kFlatLimit + 1},
                      CompactCase{AttrMap::kFlatLimit + 1, AttrMap::kFlatLimit + 1, AttrMap::kFlatLimit},
                      CompactCase{AttrMap::kFlatLimit + 1, AttrMap::kFlatLimit, AttrMap::kFlatLimit + 1},
                      CompactCase{40, 32, 40}, CompactCase{40, 32, 35}, CompactCase{300, 32, 300}));

TEST(AttrMapCompactOffsets, ThresholdAtFourGibibytes) {
    EXPECT_TRUE(AttrMap::fits_compact_offsets(0));
    EXPECT_TRUE(AttrMap::fits_compact_offsets(std::uint64_t{UINT32_MAX}));
    EXPECT_FALSE(AttrMap::fits_compact_offsets(std::uint64_t{UINT32_MAX} + 1));
}

// A span reaching past what 32 bits can hold turns the map general; simulated with a
// span whose recorded end lies beyond 4 GiB (its bytes are never read here).
TEST(AttrMapCompactOffsets, SpanBeyondThirtyTwoBitsWidensTheMap) {
    const std::string text = "abcvalue";
    DocumentBuffer* buffer = DocumentBuffer::create_owned(std::make_unique<char[]>(text.size()), text.size());
    std::memcpy(const_cast<char*>(buffer->data()), text.data(), text.size());
    BufferRef owner = BufferRef::adopt(buffer);
    std::vector<std::max_align_t> storage(AttrMap::compact_block_bytes(4) / sizeof(std::max_align_t) + 1);
    AttrMap map;
    map.reserve_in_compact(draw_hash_keys(), 4, storage.data(), buffer);
    ASSERT_TRUE(map.insert(StrRef::borrowed_span(buffer, 0, 1), StrRef::borrowed_span(buffer, 3, 8)));
    EXPECT_TRUE(map.is_compact());
    const std::size_t far = static_cast<std::size_t>(std::uint64_t{UINT32_MAX} + 5 > SIZE_MAX ? SIZE_MAX : std::uint64_t{UINT32_MAX} + 5);
    if (far <= UINT32_MAX) GTEST_SKIP() << "size_t cannot hold an offset past 4 GiB on this target";
    ASSERT_TRUE(map.insert(StrRef::borrowed_span(buffer, 1, 2), StrRef::borrowed_span(buffer, far, far)));
    EXPECT_FALSE(map.is_compact());
    ASSERT_NE(map.find("a"), nullptr);
    EXPECT_EQ(map.find("a")->raw(), "value");
    EXPECT_EQ(map.find("b")->span_start(), far);
    std::vector<std::string> order;
    for (auto entry : map) order.emplace_back(entry.key.raw());
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
}

TEST(AttrMapTest, ManyCollidingPrefixesStayFast) {
    // Above the switch every lookup is one hash and a short probe: 20,000 keys
    // inserted and looked up again would take billions of comparisons if they
    // were searched linearly.
    AttrMap map(draw_hash_keys(), 1);
    constexpr std::size_t kCount = 20000;
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(map.insert(StrRef::owned(std::string(64, 'k') + std::to_string(i)), StrRef::owned("v")));
    }
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_NE(map.find(std::string(64, 'k') + std::to_string(i)), nullptr);
    }
}

// Stand-ins for getrandom: one that fails the way a kernel without it does, one that
// is interrupted once and then works, one that fills a fixed pattern.
long failing_get_random(void*, std::size_t, unsigned) {
    errno = ENOSYS;
    return -1;
}

int interruptions_left = 0;
long interrupted_get_random(void* bytes, std::size_t size, unsigned) {
    if (interruptions_left > 0) {
        --interruptions_left;
        errno = EINTR;
        return -1;
    }
    // Two bytes at a time: the caller must keep reading until the seed is full.
    std::size_t chunk = size < 2 ? size : 2;
    std::memset(bytes, 0xA5, chunk);
    return static_cast<long>(chunk);
}

TEST(HashSeedTest, GetRandomInterruptedIsRetried) {
    interruptions_left = 3;
    HashKeys seed = read_hash_seed(SeedSources{interrupted_get_random, nullptr});
    EXPECT_EQ(interruptions_left, 0);
    EXPECT_EQ(seed.k0, 0xA5A5A5A5A5A5A5A5ULL);
    EXPECT_EQ(seed.k1, 0xA5A5A5A5A5A5A5A5ULL);
}

TEST(HashSeedTest, FailingGetRandomFallsBackToTheDevice) {
    // A regular file stands in for the device, so the test knows what must be read.
    const std::string path = ::testing::TempDir() + "vorlane_seed_device";
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const unsigned char pattern[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        ASSERT_EQ(std::fwrite(pattern, 1, sizeof pattern, file), sizeof pattern);
        std::fclose(file);
    }
    HashKeys seed = read_hash_seed(SeedSources{failing_get_random, path.c_str()});
    EXPECT_EQ(seed.k0, 0x0807060504030201ULL);
    EXPECT_EQ(seed.k1, 0x100F0E0D0C0B0A09ULL);
    std::remove(path.c_str());
}

TEST(HashSeedTest, ShortDeviceCountsAsFailure) {
    const std::string path = ::testing::TempDir() + "vorlane_seed_short";
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("short", file);
        std::fclose(file);
    }
    HashKeys first = read_hash_seed(SeedSources{failing_get_random, path.c_str()});
    HashKeys second = read_hash_seed(SeedSources{failing_get_random, path.c_str()});
    EXPECT_FALSE(first.k0 == second.k0 && first.k1 == second.k1);
    std::remove(path.c_str());
}

TEST(HashSeedTest, WithoutAnySourceTheSeedStillVaries) {
    const SeedSources nothing{failing_get_random, "/nonexistent/vorlane/random"};
    HashKeys first = read_hash_seed(nothing);
    HashKeys second = read_hash_seed(nothing);
    HashKeys other_thread;
    std::thread([&] { other_thread = read_hash_seed(nothing); }).join();
    EXPECT_FALSE(first.k0 == second.k0 && first.k1 == second.k1);
    EXPECT_FALSE(first.k0 == other_thread.k0 && first.k1 == other_thread.k1);
    EXPECT_NE(first.k0 | first.k1, 0u);
}

TEST(HashSeedTest, TheSystemSourcesGiveDifferentSeedsPerThread) {
    HashKeys here = draw_hash_keys();
    HashKeys there;
    std::thread([&] { there = draw_hash_keys(); }).join();
    EXPECT_NE(here.k1, there.k1);
}

}  // namespace
}  // namespace vorlane
