// AttrMap: the attributes of one element, an open-addressing hash map from StrRef
// key to StrRef value with keyed SipHash-1-3. No interpreter.
// An empty map allocates nothing and is one pointer wide.
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

// SipHash-1-3 of `bytes` under `keys`.
[[nodiscard]] std::uint64_t siphash13(HashKeys keys, const void* bytes, std::size_t size) noexcept;

// The hash of an attribute key: SipHash-1-3 over its bytes followed by one 0xFF byte.
[[nodiscard]] std::uint64_t hash_attr_key(HashKeys keys, std::string_view key) noexcept;

class AttrMap {
    struct Table;

public:
    AttrMap() noexcept = default;
    // A map using `keys`, with room for `expected_count` entries before it grows
    // (nothing is allocated when it is 0). Throws std::bad_alloc.
    AttrMap(HashKeys keys, std::size_t expected_count);
    AttrMap(AttrMap&& other) noexcept : table_(other.table_) { other.table_ = nullptr; }
    AttrMap& operator=(AttrMap&& other) noexcept;
    AttrMap(const AttrMap&) = delete;
    AttrMap& operator=(const AttrMap&) = delete;
    ~AttrMap();

    // Makes sure the map has a table using `keys` (when it has none yet) with room
    // for `expected_count` entries. Throws std::bad_alloc.
    void reserve(HashKeys keys, std::size_t expected_count);

    // Inserts a pair whose key is not present yet. Returns false, and drops both
    // arguments, when an equal key is already there. The map must have a table
    // (constructor with a count above 0, or reserve). Throws std::bad_alloc.
    [[nodiscard]] bool insert(StrRef key, StrRef value);

    // The value stored under `key`, or null.
    [[nodiscard]] const StrRef* find(std::string_view key) const noexcept;

    [[nodiscard]] std::size_t size() const noexcept;
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] std::size_t capacity() const noexcept;
    // The key pair of the table; zero keys when nothing was allocated.
    [[nodiscard]] HashKeys keys() const noexcept;

    // A copy with the same keys and capacity, filled slot for slot, so that it
    // iterates in exactly the same order. Spans share their buffers. Throws std::bad_alloc.
    [[nodiscard]] AttrMap clone() const;

    struct Entry {
        const StrRef& key;
        const StrRef& value;
    };

    // Iteration in the table's slot order, which every consumer of attributes uses.
    class Iterator {
    public:
        Entry operator*() const noexcept;
        Iterator& operator++() noexcept;
        bool operator!=(const Iterator& other) const noexcept { return index_ != other.index_; }
        bool operator==(const Iterator& other) const noexcept { return index_ == other.index_; }

    private:
        friend class AttrMap;
        Iterator(const Table* table, std::size_t index) noexcept : table_(table), index_(index) {}
        void skip_empty() noexcept;
        const Table* table_;
        std::size_t index_;
    };
    [[nodiscard]] Iterator begin() const noexcept;
    [[nodiscard]] Iterator end() const noexcept;

private:
    void grow();
    Table* table_ = nullptr;
};

}  // namespace vorlane
