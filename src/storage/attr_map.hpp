// AttrMap: the attributes of one element, a map from StrRef key to StrRef value with
// keys unique by value. No interpreter.
// An empty map allocates nothing and is one pointer wide. The entries lie in one block
// in insertion order, which is the map's one iteration order; a block with room for
// more than kFlatLimit entries also keeps an open-addressing index keyed by SipHash-1-3,
// so that no input can make its lookups quadratic.
// A map of a parsed element whose keys and values all lie in its document, as they
// nearly always do, keeps each entry as four 32-bit numbers (the offsets and lengths
// of key and value) instead of two StrRef values: a third of the memory. It turns into
// the general layout on its first entry that cannot be held so (a decoded value, an
// offset past 4 GiB) and when it outgrows its block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/str_ref.hpp"

namespace vorlane {

// The 128-bit key of the attribute maps' hash.
struct HashKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Draws a key pair from the calling thread's seed: 128 bits read once per thread
// from getrandom; the first half is incremented by one after every draw.
[[nodiscard]] HashKeys draw_hash_keys() noexcept;

// Where a seed comes from: the getrandom call and the device read when it fails
// with anything but EINTR. When both fail, the seed is derived from the clocks and
// the addresses of a stack and a thread-local variable, so it is never left unset.
struct SeedSources {
    using GetRandom = long (*)(void* bytes, std::size_t size, unsigned flags);
    GetRandom get_random;
    const char* device_path;
};
// The sources draw_hash_keys uses: getrandom(2) and /dev/urandom.
[[nodiscard]] SeedSources system_seed_sources() noexcept;
// 128 seed bits from `sources`, falling back as described above.
[[nodiscard]] HashKeys read_hash_seed(const SeedSources& sources) noexcept;

// SipHash-1-3 of `bytes` under `keys`.
[[nodiscard]] std::uint64_t siphash13(HashKeys keys, const void* bytes, std::size_t size) noexcept;

// The hash of an attribute key: SipHash-1-3 over its bytes followed by one 0xFF byte.
[[nodiscard]] std::uint64_t hash_attr_key(HashKeys keys, std::string_view key) noexcept;

class AttrMap {
public:
    // Blocks with room for at most this many entries are searched linearly; larger
    // ones get an index.
    static constexpr std::size_t kFlatLimit = 16;

    AttrMap() noexcept = default;
    // A map using `keys`, with room for `expected_count` entries before it grows
    // (nothing is allocated when it is 0). Throws std::bad_alloc.
    AttrMap(HashKeys keys, std::size_t expected_count);
    AttrMap(AttrMap&& other) noexcept : table_(other.table_) { other.table_ = nullptr; }
    AttrMap& operator=(AttrMap&& other) noexcept {
        if (this != &other) {
            if (table_ != nullptr) destroy(table_);
            table_ = other.table_;
            other.table_ = nullptr;
        }
        return *this;
    }
    AttrMap(const AttrMap&) = delete;
    AttrMap& operator=(const AttrMap&) = delete;
    // Inline: most maps that go are empty (moved from, or of elements without
    // attributes), and those need no call.
    ~AttrMap() {
        if (table_ != nullptr) destroy(table_);
    }

    // Makes sure the map has a table using `keys` (when it has none yet) with room
    // for `expected_count` entries. Throws std::bad_alloc.
    void reserve(HashKeys keys, std::size_t expected_count);

    // As reserve for a map without a block, building the block in `storage`, of
    // block_bytes(expected_count) bytes aligned like a pointer, which the map never
    // frees (it belongs to an arena). Should the map outgrow it, it moves to a block
    // of its own.
    void reserve_in(HashKeys keys, std::size_t expected_count, void* storage) noexcept;
    // As reserve_in, for a map whose entries will mostly be spans over `buffer` (which
    // the map's owner keeps alive, like the storage): the block, of
    // compact_block_bytes(expected_count) bytes, holds entries as offsets. Only for a
    // buffer whose size passes fits_compact_offsets.
    void reserve_in_compact(HashKeys keys, std::size_t expected_count, void* storage,
                            DocumentBuffer* buffer) noexcept;
    // True when every offset into a buffer of `buffer_size` bytes fits a compact entry.
    [[nodiscard]] static constexpr bool fits_compact_offsets(std::uint64_t buffer_size) noexcept {
        return buffer_size <= UINT32_MAX;
    }
    // The bytes of a block for `capacity` entries.
    [[nodiscard]] static std::size_t block_bytes(std::size_t capacity) noexcept;
    // The bytes of a compact block for `capacity` entries.
    [[nodiscard]] static std::size_t compact_block_bytes(std::size_t capacity) noexcept;

    // Inserts a pair whose key is not present yet, moving both in. Returns false, and
    // leaves both arguments as they were, when an equal key is already there. The map
    // must have a table (constructor with a count above 0, or reserve). Throws std::bad_alloc.
    [[nodiscard]] bool insert(StrRef&& key, StrRef&& value);

    // The value found by `find`: compares equal to nullptr when the key is absent. A
    // value from a compact block is a span made for the lookup.
    class Found {
    public:
        Found(Found&& other) noexcept
            : pointer_(other.pointer_ == &other.local_ ? &local_ : other.pointer_), local_(std::move(other.local_)) {}
        Found(const Found&) = delete;
        Found& operator=(const Found&) = delete;
        explicit operator bool() const noexcept { return pointer_ != nullptr; }
        friend bool operator==(const Found& found, std::nullptr_t) noexcept { return found.pointer_ == nullptr; }
        const StrRef& operator*() const noexcept { return *pointer_; }
        const StrRef* operator->() const noexcept { return pointer_; }

    private:
        friend class AttrMap;
        Found() noexcept = default;
        explicit Found(const StrRef* pointer) noexcept : pointer_(pointer) {}
        explicit Found(StrRef&& local) noexcept : pointer_(&local_), local_(std::move(local)) {}
        const StrRef* pointer_ = nullptr;
        StrRef local_;
    };
    // For a compact map: as insert for the key and value spans [key_start, key_start +
    // key_length) and [value_start, value_start + value_length) of its document.
    // Inline for the common case, a key whose filter bit shows it absent from a flat
    // block with room: one store, no search.
    [[nodiscard]] bool insert_spans(std::size_t key_start, std::size_t key_length, std::size_t value_start,
                                    std::size_t value_length) {
        Table* const table = table_;
        const std::uint64_t bit = key_bit(std::string_view(table->buffer->data() + key_start, key_length));
        if ((table->key_bits & bit) == 0 && table->count != table->capacity && table->index_capacity == 0 &&
            key_start + key_length <= UINT32_MAX && value_start + value_length <= UINT32_MAX) {
            reinterpret_cast<CompactSlot*>(table + 1)[table->count] =
                CompactSlot{static_cast<std::uint32_t>(key_start), static_cast<std::uint32_t>(key_length),
                            static_cast<std::uint32_t>(value_start), static_cast<std::uint32_t>(value_length)};
            ++table->count;
            table->key_bits |= bit;
            return true;
        }
        return insert_spans_searching(key_start, key_length, value_start, value_length);
    }
    // The value stored under `key`, or a Found equal to nullptr.
    [[nodiscard]] Found find(std::string_view key) const noexcept;

    // The key and value bytes of entry `index` (below size()), checked as
    // StrRef::view checks them: false when either fails, and the entry's values
    // (through the iterator) then give the error. For the writer, which reads every
    // entry of every map: a compact entry is read from its offsets, with no spans
    // made for it.
    [[nodiscard]] bool views_at(std::size_t index, std::string_view& key, std::string_view& value) const noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return table_ == nullptr ? 0 : table_->count; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    // Entries the block holds before it grows.
    [[nodiscard]] std::size_t capacity() const noexcept;
    // True when the map's block lies in memory the map does not own (reserve_in, place_into).
    [[nodiscard]] bool is_placed() const noexcept {
        return table_ != nullptr && (table_->flags & kPlacedBlock) != 0;
    }
    // True when the map keeps its hash index (room for more than kFlatLimit entries).
    [[nodiscard]] bool is_indexed() const noexcept;
    // True when the entries are held as offsets into a document.
    [[nodiscard]] bool is_compact() const noexcept {
        return table_ != nullptr && (table_->flags & kCompact) != 0;
    }
    // The key pair of the table; zero keys when nothing was allocated.
    [[nodiscard]] HashKeys keys() const noexcept;

    // The bytes of a block holding exactly this map's entries (and its index when there
    // are more than kFlatLimit), for placing the map inside another allocation; 0 when empty.
    [[nodiscard]] std::size_t placed_bytes() const noexcept;
    // Moves the entries, in order, into a block built at `storage` (placed_bytes() bytes,
    // aligned like a pointer) and returns the map over it; this map is left empty. The
    // returned map never frees `storage`: whoever owns it frees it after the map is gone.
    [[nodiscard]] AttrMap place_into(void* storage) noexcept;

    struct Entry {
        const StrRef& key;
        const StrRef& value;
    };

private:
    struct Slot {
        StrRef key;
        StrRef value;
    };
    struct CompactSlot {
        std::uint32_t key_start;
        std::uint32_t key_length;
        std::uint32_t value_start;
        std::uint32_t value_length;
    };
    struct Table;

public:
    // Iteration in insertion order, which every consumer of attributes uses.
    // An entry of a compact block is handed out as two spans made by the iterator,
    // valid until it moves on; every consumer reads an entry inside its loop.
    class Iterator {
    public:
        Iterator(const Iterator& other) noexcept : table_(other.table_), position_(other.position_) {}
        Iterator& operator=(const Iterator& other) noexcept {
            table_ = other.table_;
            position_ = other.position_;
            return *this;
        }
        Entry operator*() const noexcept;
        Iterator& operator++() noexcept {
            ++position_;
            return *this;
        }
        bool operator!=(const Iterator& other) const noexcept { return position_ != other.position_; }
        bool operator==(const Iterator& other) const noexcept { return position_ == other.position_; }

    private:
        friend class AttrMap;
        Iterator(const Table* table, std::uint32_t position) noexcept : table_(table), position_(position) {}
        const Table* table_;
        std::uint32_t position_;
        mutable StrRef key_;
        mutable StrRef value_;
    };
    [[nodiscard]] Iterator begin() const noexcept { return Iterator(table_, 0); }
    [[nodiscard]] Iterator end() const noexcept { return Iterator(table_, table_ == nullptr ? 0 : table_->count); }

private:
    // The block: this header, then `capacity` slots (the first `count` in use), then,
    // for an indexed map, `index_capacity` 32-bit index entries (slot number + 1, 0 empty).
    struct Table {
        HashKeys keys;
        std::uint32_t count;
        std::uint32_t capacity;
        std::uint32_t index_capacity;  // 0, or a power of two at least twice `capacity`
        std::uint32_t flags;           // kPlacedBlock, kOwnsStrings, kCompact
        // One bit per key, chosen by its length and its first and last bytes: a key whose
        // bit is clear is certainly absent, so most inserts and misses skip the search.
        std::uint64_t key_bits;
        // The document of a compact block's offsets; null otherwise.
        DocumentBuffer* buffer;
    };
    [[nodiscard]] static std::uint64_t key_bit(std::string_view key) noexcept {
        if (key.empty()) return 1;
        const std::uint32_t first = static_cast<unsigned char>(key.front());
        const std::uint32_t last = static_cast<unsigned char>(key.back());
        // Mixed so that keys of one letter, or sharing their length, still spread
        // over the 64 bits: the top six bits of the sum pick the bit.
        const std::uint32_t mixed = first * 0x9E3779B1u + last * 0x85EBCA77u +
                                    static_cast<std::uint32_t>(key.size()) * 0xC2B2AE3Du;
        return std::uint64_t{1} << (mixed >> 26);
    }
    // The block lies inside another allocation and is not freed with the map.
    static constexpr std::uint32_t kPlacedBlock = 1;
    // Some key or value owns storage or a buffer reference, so destruction must visit
    // the entries; a map of borrowed spans only is freed without touching them.
    static constexpr std::uint32_t kOwnsStrings = 2;
    // Entries are CompactSlot offsets into `buffer`.
    static constexpr std::uint32_t kCompact = 4;
    // The bytes of the key of entry `i`, and their number.
    [[nodiscard]] static std::string_view key_at(const Table* table, std::uint32_t i) noexcept;
    [[nodiscard]] static std::size_t key_size_at(const Table* table, std::uint32_t i) noexcept;
    // Turns a compact block into a general one with room for `min_capacity` entries.
    void widen(std::size_t min_capacity);
    // Fills the empty general block `to` (room for all) with spans for the entries of
    // the compact block `from`, and indexes them.
    static void copy_compact_entries(const Table* from, Table* to) noexcept;
    // insert_spans when the key may be present, the block is full or indexed, or an
    // offset does not fit 32 bits.
    [[nodiscard]] bool insert_spans_searching(std::size_t key_start, std::size_t key_length,
                                              std::size_t value_start, std::size_t value_length);
    [[nodiscard]] const Slot* slots() const noexcept {
        return table_ == nullptr ? nullptr : reinterpret_cast<const Slot*>(table_ + 1);
    }
    [[nodiscard]] Slot* mutable_slots() noexcept;
    [[nodiscard]] static std::uint32_t* index_of(Table* table) noexcept;
    [[nodiscard]] static const std::uint32_t* index_of(const Table* table) noexcept;
    [[nodiscard]] static Table* allocate(HashKeys keys, std::size_t capacity);
    [[nodiscard]] static Table* initialise(void* storage, HashKeys keys, std::size_t capacity,
                                           DocumentBuffer* compact_buffer = nullptr) noexcept;
    static void index_all(Table* table) noexcept;
    static void destroy(Table* table) noexcept;
    [[nodiscard]] static std::size_t probe(const Table* table, std::string_view key,
                                           std::uint64_t hash) noexcept;
    [[nodiscard]] std::uint32_t locate(std::string_view key) const noexcept;
    void grow(std::size_t min_capacity);
    Table* table_ = nullptr;
};

// Inline: the writer, the getters and to_dict visit every entry through it, and a
// compact entry's two borrowed spans then cost no call and no release.
inline AttrMap::Entry AttrMap::Iterator::operator*() const noexcept {
    if ((table_->flags & kCompact) == 0) {
        const Slot& slot = reinterpret_cast<const Slot*>(table_ + 1)[position_];
        return Entry{slot.key, slot.value};
    }
    const CompactSlot& slot = reinterpret_cast<const CompactSlot*>(table_ + 1)[position_];
    key_ = StrRef::borrowed_span(table_->buffer, slot.key_start, std::size_t{slot.key_start} + slot.key_length);
    value_ = StrRef::borrowed_span(table_->buffer, slot.value_start,
                                   std::size_t{slot.value_start} + slot.value_length);
    return Entry{key_, value_};
}

inline bool AttrMap::views_at(std::size_t index, std::string_view& key, std::string_view& value) const noexcept {
    if ((table_->flags & kCompact) == 0) {
        const Slot& slot = reinterpret_cast<const Slot*>(table_ + 1)[index];
        return slot.key.view_into(key) && slot.value.view_into(value);
    }
    const CompactSlot& slot = reinterpret_cast<const CompactSlot*>(table_ + 1)[index];
    const char* const data = table_->buffer->data();
    const std::size_t length = table_->buffer->size();
    return StrRef::span_view(data, length, slot.key_start, std::size_t{slot.key_start} + slot.key_length, key) &&
           StrRef::span_view(data, length, slot.value_start, std::size_t{slot.value_start} + slot.value_length,
                             value);
}

}  // namespace vorlane
