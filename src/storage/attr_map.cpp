// AttrMap: entries in one block in insertion order; above kFlatLimit entries an
// open-addressing index of 32-bit slot numbers (linear probing, load at most 1/2)
// keyed by SipHash-1-3 follows them. SipHash-1-3 and the per-thread key source
// live here too. No interpreter.
#include "storage/attr_map.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace vorlane {

namespace {

inline std::uint64_t rotate_left(std::uint64_t value, int bits) noexcept {
    return (value << bits) | (value >> (64 - bits));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    explicit SipState(HashKeys keys) noexcept
        : v0(keys.k0 ^ 0x736f6d6570736575ULL),
          v1(keys.k1 ^ 0x646f72616e646f6dULL),
          v2(keys.k0 ^ 0x6c7967656e657261ULL),
          v3(keys.k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
        v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
    }
    void compress(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
    std::uint64_t finish() noexcept {
        v2 ^= 0xff;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

inline std::uint64_t load_le64(const unsigned char* bytes) noexcept {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
}

// SipHash-1-3 over `bytes` followed, when `suffix_ff` is set, by one 0xFF byte.
std::uint64_t siphash13_impl(HashKeys keys, const unsigned char* bytes, std::size_t size,
                             bool suffix_ff) noexcept {
    SipState state(keys);
    std::size_t total = size + (suffix_ff ? 1 : 0);
    std::size_t full_words = size / 8;
    for (std::size_t i = 0; i < full_words; ++i) state.compress(load_le64(bytes + i * 8));
    unsigned char tail[8] = {};
    std::size_t tail_len = size - full_words * 8;
    if (tail_len != 0) std::memcpy(tail, bytes + full_words * 8, tail_len);  // bytes may be null when empty
    if (suffix_ff) {
        tail[tail_len++] = 0xff;  // tail_len was below 8, so this fits
        if (tail_len == 8) {
            state.compress(load_le64(tail));
            std::memset(tail, 0, sizeof tail);
            tail_len = 0;
        }
    }
    std::uint64_t last = (static_cast<std::uint64_t>(total) & 0xff) << 56;
    for (std::size_t i = 0; i < tail_len; ++i) last |= static_cast<std::uint64_t>(tail[i]) << (8 * i);
    state.compress(last);
    return state.finish();
}


// Fills `bytes` from `get_random`, retrying after EINTR; false on any other failure.
bool fill_from_get_random(SeedSources::GetRandom get_random, unsigned char* bytes,
                          std::size_t size) noexcept {
    std::size_t filled = 0;
    while (filled < size) {
        long got = get_random(bytes + filled, size - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

bool fill_from_device(const char* path, unsigned char* bytes, std::size_t size) noexcept {
    if (path == nullptr) return false;
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = ::read(fd, bytes + filled, size - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return filled == size;
}

// The SplitMix64 finaliser: spreads every input bit over the output.
inline std::uint64_t mix64(std::uint64_t value) noexcept {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebULL;
    value ^= value >> 31;
    return value;
}

long system_get_random(void* bytes, std::size_t size, unsigned flags) {
    return static_cast<long>(::getrandom(bytes, size, flags));
}

}  // namespace

SeedSources system_seed_sources() noexcept { return SeedSources{system_get_random, "/dev/urandom"}; }

HashKeys read_hash_seed(const SeedSources& sources) noexcept {
    unsigned char bytes[16];
    HashKeys seed;
    if ((sources.get_random != nullptr && fill_from_get_random(sources.get_random, bytes, sizeof bytes)) ||
        fill_from_device(sources.device_path, bytes, sizeof bytes)) {
        std::memcpy(&seed.k0, bytes, 8);
        std::memcpy(&seed.k1, bytes + 8, 8);
        return seed;
    }
    // Last resort: both clocks, a stack and a thread-local address (they differ per
    // thread, and per process under address randomisation), the process id and a
    // per-thread counter, so that two reads never agree.
    thread_local std::uint64_t calls = 0;
    ++calls;
    const auto wall = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    const auto steady = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto stack_address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&bytes));
    const auto thread_address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&calls));
    seed.k0 = mix64(wall ^ mix64(stack_address + calls));
    seed.k1 = mix64(steady ^ mix64(thread_address ^ (static_cast<std::uint64_t>(::getpid()) << 32)));
    return seed;
}

HashKeys draw_hash_keys() noexcept {
    thread_local HashKeys seed = read_hash_seed(system_seed_sources());
    HashKeys drawn = seed;
    seed.k0 += 1;
    return drawn;
}

std::uint64_t siphash13(HashKeys keys, const void* bytes, std::size_t size) noexcept {
    return siphash13_impl(keys, static_cast<const unsigned char*>(bytes), size, false);
}

std::uint64_t hash_attr_key(HashKeys keys, std::string_view key) noexcept {
    return siphash13_impl(keys, reinterpret_cast<const unsigned char*>(key.data()), key.size(), true);
}

namespace {

constexpr std::size_t kMinCapacity = 4;
constexpr std::size_t kMaxCapacity = UINT32_MAX / 4;
constexpr std::uint32_t kNoSlot = UINT32_MAX;

// A span of a compact entry: offsets into the block's document, borrowed.
StrRef compact_span(DocumentBuffer* buffer, std::uint32_t start, std::uint32_t length) noexcept {
    return StrRef::borrowed_span(buffer, start, std::size_t{start} + length);
}

// The capacity a block grows to from `current` to hold `min_capacity` entries.
std::size_t grown_capacity(std::size_t current, std::size_t min_capacity) {
    std::size_t capacity = std::max<std::size_t>(current, kMinCapacity);
    while (capacity < min_capacity) {
        if (capacity > kMaxCapacity / 2) throw std::bad_alloc();
        capacity *= 2;
    }
    return capacity;
}

}  // namespace

AttrMap::Slot* AttrMap::mutable_slots() noexcept { return reinterpret_cast<Slot*>(table_ + 1); }

namespace {

std::size_t slot_bytes(bool compact) noexcept {
    return compact ? 4 * sizeof(std::uint32_t) : 2 * sizeof(StrRef);
}

}  // namespace

std::uint32_t* AttrMap::index_of(Table* table) noexcept {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(table + 1) +
                                            table->capacity * slot_bytes((table->flags & kCompact) != 0));
}

const std::uint32_t* AttrMap::index_of(const Table* table) noexcept {
    return reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const char*>(table + 1) +
                                                  table->capacity * slot_bytes((table->flags & kCompact) != 0));
}

std::string_view AttrMap::key_at(const Table* table, std::uint32_t i) noexcept {
    if ((table->flags & kCompact) != 0) {
        const CompactSlot& slot = reinterpret_cast<const CompactSlot*>(table + 1)[i];
        return {table->buffer->data() + slot.key_start, slot.key_length};
    }
    return reinterpret_cast<const Slot*>(table + 1)[i].key.raw();
}

std::size_t AttrMap::key_size_at(const Table* table, std::uint32_t i) noexcept {
    if ((table->flags & kCompact) != 0) return reinterpret_cast<const CompactSlot*>(table + 1)[i].key_length;
    return reinterpret_cast<const Slot*>(table + 1)[i].key.size();
}

namespace {

// The index size for a block of `capacity` entries: none up to kFlatLimit, else a
// power of two at least twice the capacity, so the load stays at most 1/2.
std::size_t index_capacity_for(std::size_t capacity) noexcept {
    if (capacity <= AttrMap::kFlatLimit) return 0;
    std::size_t index_capacity = 2 * AttrMap::kFlatLimit;
    while (index_capacity < 2 * capacity) index_capacity *= 2;
    return index_capacity;
}

}  // namespace

std::size_t AttrMap::block_bytes(std::size_t capacity) noexcept {
    return sizeof(Table) + capacity * sizeof(Slot) + index_capacity_for(capacity) * sizeof(std::uint32_t);
}

std::size_t AttrMap::compact_block_bytes(std::size_t capacity) noexcept {
    return sizeof(Table) + capacity * sizeof(CompactSlot) + index_capacity_for(capacity) * sizeof(std::uint32_t);
}

AttrMap::Table* AttrMap::initialise(void* storage, HashKeys keys, std::size_t capacity,
                                    DocumentBuffer* compact_buffer) noexcept {
    auto* table = static_cast<Table*>(storage);
    table->keys = keys;
    table->count = 0;
    table->capacity = static_cast<std::uint32_t>(capacity);
    table->index_capacity = static_cast<std::uint32_t>(index_capacity_for(capacity));
    table->flags = compact_buffer != nullptr ? kCompact : 0;
    table->key_bits = 0;
    table->buffer = compact_buffer;
    if (table->index_capacity != 0) {
        std::memset(index_of(table), 0, table->index_capacity * sizeof(std::uint32_t));
    }
    return table;
}

AttrMap::Table* AttrMap::allocate(HashKeys keys, std::size_t capacity) {
    static_assert(sizeof(Table) % alignof(Slot) == 0);
    // An index never has more than four positions per entry, so this bound keeps the
    // block's size from wrapping around on the 32-bit target.
    constexpr std::size_t kMostBytesPerEntry = sizeof(Slot) + 4 * sizeof(std::uint32_t);
    if (capacity > kMaxCapacity || capacity > (SIZE_MAX - sizeof(Table)) / kMostBytesPerEntry) {
        throw std::bad_alloc();
    }
    return initialise(::operator new(block_bytes(capacity)), keys, capacity);
}

void AttrMap::destroy(Table* table) noexcept {
    if (table == nullptr) return;
    if ((table->flags & (kOwnsStrings | kCompact)) == kOwnsStrings) {
        Slot* slots = reinterpret_cast<Slot*>(table + 1);
        for (std::uint32_t i = 0; i < table->count; ++i) slots[i].~Slot();
    }
    if ((table->flags & kPlacedBlock) == 0) ::operator delete(table);
}

// Enters every entry of `table` into its (empty) index.
void AttrMap::index_all(Table* table) noexcept {
    std::uint32_t* index = index_of(table);
    for (std::uint32_t i = 0; i < table->count; ++i) {
        const std::string_view key = key_at(table, i);
        index[probe(table, key, hash_attr_key(table->keys, key))] = i + 1;
    }
}

// The index position holding the slot of `key`, or the empty position where it would go.
std::size_t AttrMap::probe(const Table* table, std::string_view key, std::uint64_t hash) noexcept {
    const std::size_t mask = table->index_capacity - 1;
    const std::uint32_t* index = index_of(table);
    std::size_t position = static_cast<std::size_t>(hash) & mask;
    while (index[position] != 0) {
        if (key_at(table, index[position] - 1) == key) return position;
        position = (position + 1) & mask;
    }
    return position;
}

// The slot number holding `key`, or kNoSlot.
std::uint32_t AttrMap::locate(std::string_view key) const noexcept {
    if (table_ == nullptr || (table_->key_bits & key_bit(key)) == 0) return kNoSlot;
    if (table_->index_capacity == 0) {
        // Length, then first byte, then the rest: most keys of one element differ early.
        if (key.empty()) {
            for (std::uint32_t i = 0; i < table_->count; ++i) {
                if (key_size_at(table_, i) == 0) return i;
            }
            return kNoSlot;
        }
        for (std::uint32_t i = 0; i < table_->count; ++i) {
            // The length needs no look at the bytes, so most candidates cost one compare.
            if (key_size_at(table_, i) != key.size()) continue;
            const std::string_view candidate = key_at(table_, i);
            if (candidate[0] == key[0] && std::memcmp(candidate.data() + 1, key.data() + 1, key.size() - 1) == 0) {
                return i;
            }
        }
        return kNoSlot;
    }
    const std::size_t position = probe(table_, key, hash_attr_key(table_->keys, key));
    const std::uint32_t stored = index_of(static_cast<const Table*>(table_))[position];
    return stored == 0 ? kNoSlot : stored - 1;
}

AttrMap::AttrMap(HashKeys keys, std::size_t expected_count) {
    if (expected_count > 0) table_ = allocate(keys, expected_count);
}


void AttrMap::reserve(HashKeys keys, std::size_t expected_count) {
    if (table_ == nullptr) {
        // Exactly the room asked for: a parsed tag counts its attributes first.
        table_ = allocate(keys, std::max<std::size_t>(expected_count, 1));
        return;
    }
    if (table_->capacity < expected_count) grow(expected_count);
}

void AttrMap::reserve_in(HashKeys keys, std::size_t expected_count, void* storage) noexcept {
    destroy(table_);
    table_ = initialise(storage, keys, expected_count);
    table_->flags = kPlacedBlock;
}

void AttrMap::reserve_in_compact(HashKeys keys, std::size_t expected_count, void* storage,
                                 DocumentBuffer* buffer) noexcept {
    destroy(table_);
    table_ = initialise(storage, keys, expected_count, buffer);
    table_->flags |= kPlacedBlock;
}

bool AttrMap::insert(StrRef&& key, StrRef&& value) {
    if (locate(key.raw()) != kNoSlot) return false;
    if ((table_->flags & kCompact) != 0) {
        DocumentBuffer* buffer = table_->buffer;
        const auto held_as_offsets = [buffer](const StrRef& text) {
            return text.is_span() && text.buffer() == buffer && text.span_end() <= UINT32_MAX;
        };
        if (table_->count < table_->capacity && held_as_offsets(key) && held_as_offsets(value)) {
            const std::uint32_t slot = table_->count;
            table_->key_bits |= key_bit(key.raw());
            reinterpret_cast<CompactSlot*>(table_ + 1)[slot] = CompactSlot{
                static_cast<std::uint32_t>(key.span_start()), static_cast<std::uint32_t>(key.size()),
                static_cast<std::uint32_t>(value.span_start()), static_cast<std::uint32_t>(value.size())};
            ++table_->count;
            if (table_->index_capacity != 0) {
                const std::string_view stored = key_at(table_, slot);
                index_of(table_)[probe(table_, stored, hash_attr_key(table_->keys, stored))] = slot + 1;
            }
            // The spans were borrowed; the offsets now stand for them.
            key = StrRef();
            value = StrRef();
            return true;
        }
        widen(table_->count == table_->capacity ? static_cast<std::size_t>(table_->count) + 1 : table_->capacity);
    }
    if (table_->count == table_->capacity) grow(static_cast<std::size_t>(table_->count) + 1);
    const std::uint32_t slot = table_->count;
    if (key.owns_storage() || value.owns_storage()) table_->flags |= kOwnsStrings;
    table_->key_bits |= key_bit(key.raw());
    new (&mutable_slots()[slot]) Slot{std::move(key), std::move(value)};
    ++table_->count;
    if (table_->index_capacity != 0) {
        const std::string_view stored = mutable_slots()[slot].key.raw();
        index_of(table_)[probe(table_, stored, hash_attr_key(table_->keys, stored))] = slot + 1;
    }
    return true;
}

bool AttrMap::insert_spans_searching(std::size_t key_start, std::size_t key_length, std::size_t value_start,
                                     std::size_t value_length) {
    DocumentBuffer* buffer = table_->buffer;
    const std::string_view key(buffer->data() + key_start, key_length);
    if (table_->count == table_->capacity || key_start + key_length > UINT32_MAX ||
        value_start + value_length > UINT32_MAX) {
        return insert(StrRef::borrowed_span(buffer, key_start, key_start + key_length),
                      StrRef::borrowed_span(buffer, value_start, value_start + value_length));
    }
    if (locate(key) != kNoSlot) return false;
    const std::uint32_t slot = table_->count;
    table_->key_bits |= key_bit(key);
    reinterpret_cast<CompactSlot*>(table_ + 1)[slot] =
        CompactSlot{static_cast<std::uint32_t>(key_start), static_cast<std::uint32_t>(key_length),
                    static_cast<std::uint32_t>(value_start), static_cast<std::uint32_t>(value_length)};
    ++table_->count;
    if (table_->index_capacity != 0) {
        index_of(table_)[probe(table_, key, hash_attr_key(table_->keys, key))] = slot + 1;
    }
    return true;
}

void AttrMap::copy_compact_entries(const Table* from, Table* to) noexcept {
    const auto* entries = reinterpret_cast<const CompactSlot*>(from + 1);
    Slot* slots = reinterpret_cast<Slot*>(to + 1);
    for (std::uint32_t i = 0; i < from->count; ++i) {
        const CompactSlot& entry = entries[i];
        new (&slots[i]) Slot{compact_span(from->buffer, entry.key_start, entry.key_length),
                             compact_span(from->buffer, entry.value_start, entry.value_length)};
        ++to->count;
    }
    to->key_bits = from->key_bits;
    if (to->index_capacity != 0) index_all(to);
}

void AttrMap::widen(std::size_t min_capacity) {
    Table* old = table_;
    Table* wide = allocate(old->keys, grown_capacity(old->capacity, min_capacity));
    copy_compact_entries(old, wide);
    table_ = wide;
    destroy(old);
}

void AttrMap::grow(std::size_t min_capacity) {
    if ((table_->flags & kCompact) != 0) {
        widen(min_capacity);
        return;
    }
    Table* old = table_;
    Table* grown = allocate(old->keys, grown_capacity(old->capacity, min_capacity));
    Slot* from = reinterpret_cast<Slot*>(old + 1);
    Slot* to = reinterpret_cast<Slot*>(grown + 1);
    for (std::uint32_t i = 0; i < old->count; ++i) {
        new (&to[i]) Slot{std::move(from[i].key), std::move(from[i].value)};
        ++grown->count;
    }
    grown->flags = old->flags & kOwnsStrings;
    grown->key_bits = old->key_bits;
    if (grown->index_capacity != 0) index_all(grown);
    table_ = grown;
    destroy(old);
}

AttrMap::Found AttrMap::find(std::string_view key) const noexcept {
    const std::uint32_t slot = locate(key);
    if (slot == kNoSlot) return Found();
    if ((table_->flags & kCompact) != 0) {
        const CompactSlot& entry = reinterpret_cast<const CompactSlot*>(table_ + 1)[slot];
        return Found(compact_span(table_->buffer, entry.value_start, entry.value_length));
    }
    return Found(&slots()[slot].value);
}

std::size_t AttrMap::placed_bytes() const noexcept {
    return table_ == nullptr || table_->count == 0 ? 0 : block_bytes(table_->count);
}

AttrMap AttrMap::place_into(void* storage) noexcept {
    AttrMap placed;
    if (table_ == nullptr || table_->count == 0) return placed;
    Table* table = initialise(storage, table_->keys, table_->count);
    if ((table_->flags & kCompact) != 0) {
        // The entries become spans over the same document; the compact block stays
        // with whoever owns its memory.
        copy_compact_entries(table_, table);
        table->flags = kPlacedBlock;
        destroy(table_);
        table_ = nullptr;
        placed.table_ = table;
        return placed;
    }
    Slot* from = mutable_slots();
    Slot* to = reinterpret_cast<Slot*>(table + 1);
    for (std::uint32_t i = 0; i < table_->count; ++i) {
        new (&to[i]) Slot{std::move(from[i].key), std::move(from[i].value)};
        ++table->count;
    }
    table->flags = kPlacedBlock | (table_->flags & kOwnsStrings);
    table->key_bits = table_->key_bits;
    if (table->index_capacity != 0) index_all(table);
    // The moved-from entries own nothing any more.
    table_->flags &= ~kOwnsStrings;
    placed.table_ = table;
    return placed;
}

std::size_t AttrMap::capacity() const noexcept { return table_ == nullptr ? 0 : table_->capacity; }
bool AttrMap::is_indexed() const noexcept { return table_ != nullptr && table_->index_capacity != 0; }
HashKeys AttrMap::keys() const noexcept { return table_ == nullptr ? HashKeys{} : table_->keys; }


}  // namespace vorlane
