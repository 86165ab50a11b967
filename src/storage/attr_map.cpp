// AttrMap: open addressing with linear probing over a power-of-two table, one control
// byte per slot (0 empty, otherwise 0x80 | 7 hash bits), load factor at most 7/8.
// SipHash-1-3 and the per-thread key source live here too. No interpreter.
#include "storage/attr_map.hpp"

#include <sys/random.h>

#include <cerrno>
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

struct Slot {
    StrRef key;
    StrRef value;
};

constexpr std::size_t kMinCapacity = 4;

// The most entries a table of `capacity` slots holds: 7/8 of it, rounded down, so
// that at least one slot stays empty and every probe ends.
constexpr std::size_t max_entries(std::size_t capacity) noexcept { return capacity - (capacity + 7) / 8; }

std::size_t capacity_for(std::size_t count) {
    std::size_t capacity = kMinCapacity;
    while (max_entries(capacity) < count) {
        if (capacity > SIZE_MAX / 4) throw std::bad_alloc();
        capacity *= 2;
    }
    return capacity;
}

inline unsigned char control_byte(std::uint64_t hash) noexcept {
    return static_cast<unsigned char>(0x80 | (hash >> 57));
}

}  // namespace

HashKeys draw_hash_keys() noexcept {
    thread_local HashKeys seed = [] {
        HashKeys fresh;
        unsigned char bytes[16];
        std::size_t filled = 0;
        while (filled < sizeof bytes) {
            ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        std::memcpy(&fresh.k0, bytes, 8);
        std::memcpy(&fresh.k1, bytes + 8, 8);
        return fresh;
    }();
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

struct AttrMap::Table {
    HashKeys keys;
    std::size_t capacity;  // a power of two
    std::size_t count;

    Slot* slots() noexcept { return reinterpret_cast<Slot*>(this + 1); }
    const Slot* slots() const noexcept { return reinterpret_cast<const Slot*>(this + 1); }
    unsigned char* controls() noexcept { return reinterpret_cast<unsigned char*>(slots() + capacity); }
    const unsigned char* controls() const noexcept {
        return reinterpret_cast<const unsigned char*>(slots() + capacity);
    }

    static Table* allocate(HashKeys keys, std::size_t capacity) {
        static_assert(sizeof(Table) % alignof(Slot) == 0);
        if (capacity > (SIZE_MAX - sizeof(Table)) / (sizeof(Slot) + 1)) throw std::bad_alloc();
        std::size_t bytes = sizeof(Table) + capacity * (sizeof(Slot) + 1);
        auto* table = static_cast<Table*>(::operator new(bytes));
        table->keys = keys;
        table->capacity = capacity;
        table->count = 0;
        std::memset(table->controls(), 0, capacity);
        return table;
    }

    static void destroy(Table* table) noexcept {
        if (table == nullptr) return;
        Slot* slots = table->slots();
        const unsigned char* controls = table->controls();
        for (std::size_t i = 0; i < table->capacity; ++i) {
            if (controls[i] != 0) slots[i].~Slot();
        }
        ::operator delete(table);
    }

    // The slot holding `key`, or the empty slot where it would go.
    std::size_t probe(std::string_view key, std::uint64_t hash) const noexcept {
        std::size_t mask = capacity - 1;
        std::size_t index = static_cast<std::size_t>(hash) & mask;
        unsigned char tag = control_byte(hash);
        const unsigned char* control = controls();
        const Slot* slot = slots();
        while (control[index] != 0) {
            if (control[index] == tag && slot[index].key.raw() == key) return index;
            index = (index + 1) & mask;
        }
        return index;
    }

    void place(std::size_t index, std::uint64_t hash, StrRef&& key, StrRef&& value) noexcept {
        new (&slots()[index]) Slot{std::move(key), std::move(value)};
        controls()[index] = control_byte(hash);
        ++count;
    }
};

AttrMap::AttrMap(HashKeys keys, std::size_t expected_count) {
    if (expected_count > 0) table_ = Table::allocate(keys, capacity_for(expected_count));
}

AttrMap& AttrMap::operator=(AttrMap&& other) noexcept {
    if (this != &other) {
        Table::destroy(table_);
        table_ = other.table_;
        other.table_ = nullptr;
    }
    return *this;
}

AttrMap::~AttrMap() { Table::destroy(table_); }

void AttrMap::reserve(HashKeys keys, std::size_t expected_count) {
    if (table_ == nullptr) {
        table_ = Table::allocate(keys, capacity_for(expected_count == 0 ? 1 : expected_count));
        return;
    }
    while (max_entries(table_->capacity) < expected_count) grow();
}

bool AttrMap::insert(StrRef key, StrRef value) {
    std::uint64_t hash = hash_attr_key(table_->keys, key.raw());
    std::size_t index = table_->probe(key.raw(), hash);
    if (table_->controls()[index] != 0) return false;
    if (table_->count + 1 > max_entries(table_->capacity)) {
        grow();
        index = table_->probe(key.raw(), hash);
    }
    table_->place(index, hash, std::move(key), std::move(value));
    return true;
}

void AttrMap::grow() {
    Table* old = table_;
    if (old->capacity > SIZE_MAX / 4) throw std::bad_alloc();
    Table* grown = Table::allocate(old->keys, old->capacity * 2);
    Slot* slots = old->slots();
    unsigned char* controls = old->controls();
    for (std::size_t i = 0; i < old->capacity; ++i) {
        if (controls[i] == 0) continue;
        std::uint64_t hash = hash_attr_key(old->keys, slots[i].key.raw());
        std::size_t index = grown->probe(slots[i].key.raw(), hash);
        grown->place(index, hash, std::move(slots[i].key), std::move(slots[i].value));
    }
    table_ = grown;
    Table::destroy(old);
}

const StrRef* AttrMap::find(std::string_view key) const noexcept {
    if (table_ == nullptr || table_->count == 0) return nullptr;
    std::uint64_t hash = hash_attr_key(table_->keys, key);
    std::size_t index = table_->probe(key, hash);
    if (table_->controls()[index] == 0) return nullptr;
    return &table_->slots()[index].value;
}

std::size_t AttrMap::size() const noexcept { return table_ == nullptr ? 0 : table_->count; }
std::size_t AttrMap::capacity() const noexcept { return table_ == nullptr ? 0 : table_->capacity; }
HashKeys AttrMap::keys() const noexcept { return table_ == nullptr ? HashKeys{} : table_->keys; }

AttrMap AttrMap::clone() const {
    AttrMap copy;
    if (table_ == nullptr) return copy;
    copy.table_ = Table::allocate(table_->keys, table_->capacity);
    const Slot* slots = table_->slots();
    const unsigned char* controls = table_->controls();
    for (std::size_t i = 0; i < table_->capacity; ++i) {
        if (controls[i] == 0) continue;
        StrRef key = slots[i].key.clone();
        StrRef value = slots[i].value.clone();
        new (&copy.table_->slots()[i]) Slot{std::move(key), std::move(value)};
        copy.table_->controls()[i] = controls[i];
        ++copy.table_->count;
    }
    return copy;
}

AttrMap::Entry AttrMap::Iterator::operator*() const noexcept {
    const Slot& slot = table_->slots()[index_];
    return Entry{slot.key, slot.value};
}

AttrMap::Iterator& AttrMap::Iterator::operator++() noexcept {
    ++index_;
    skip_empty();
    return *this;
}

void AttrMap::Iterator::skip_empty() noexcept {
    if (table_ == nullptr) return;
    const unsigned char* controls = table_->controls();
    while (index_ < table_->capacity && controls[index_] == 0) ++index_;
}

AttrMap::Iterator AttrMap::begin() const noexcept {
    Iterator it(table_, 0);
    it.skip_empty();
    return it;
}

AttrMap::Iterator AttrMap::end() const noexcept {
    return Iterator(table_, table_ == nullptr ? 0 : table_->capacity);
}

}  // namespace vorlane
