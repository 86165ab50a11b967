// KeyedMap<Key, Value>: a hash map with owned string keys, hashed with keyed
// SipHash-1-3 like AttrMap, each map under its own key pair. Open addressing with
// linear probing over one power-of-two table; iteration is in slot order, which
// differs from map to map. Header-only, no interpreter.
//
// `Key` is std::string or StrRef (see key_bytes). `Value` may be incomplete where
// KeyedMap<Key, Value> is named; it must be complete where the map's members are used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "storage/attr_map.hpp"
#include "storage/str_ref.hpp"

namespace vorlane {

[[nodiscard]] inline std::string_view key_bytes(const std::string& key) noexcept { return key; }
[[nodiscard]] inline std::string_view key_bytes(const StrRef& key) noexcept { return key.raw(); }

template <typename Key, typename Value>
class KeyedMap {
public:
    struct Entry {
        Key key;
        Value value;
    };

    // An empty map without a table; insert() gives it one.
    KeyedMap() noexcept = default;
    // An empty map under `keys` with room for `expected_count` entries before it
    // grows (nothing is allocated when it is 0). Throws std::bad_alloc.
    KeyedMap(HashKeys keys, std::size_t expected_count) : keys_(keys) {
        if (expected_count > 0) table_ = Table::allocate(capacity_for(expected_count));
    }
    KeyedMap(KeyedMap&& other) noexcept : keys_(other.keys_), table_(other.table_) { other.table_ = nullptr; }
    KeyedMap& operator=(KeyedMap&& other) noexcept {
        if (this != &other) {
            Table::destroy(table_);
            keys_ = other.keys_;
            table_ = other.table_;
            other.table_ = nullptr;
        }
        return *this;
    }
    KeyedMap(const KeyedMap&) = delete;
    KeyedMap& operator=(const KeyedMap&) = delete;
    ~KeyedMap() { Table::destroy(table_); }

    [[nodiscard]] std::size_t size() const noexcept { return table_ == nullptr ? 0 : table_->count; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }

    // Inserts the pair; when an equal key is present, its value is replaced and
    // `key` dropped. Throws std::bad_alloc (the arguments are dropped then).
    void insert(Key key, Value value) {
        std::uint64_t hash = slot_hash(key_bytes(key));
        if (table_ != nullptr) {
            std::size_t index = table_->probe(key_bytes(key), hash);
            if (index != kNotFound && table_->hashes()[index] != 0) {
                table_->entries()[index].value = std::move(value);
                return;
            }
        }
        if (table_ == nullptr || table_->count + 1 > max_entries(table_->capacity)) grow();
        std::size_t index = table_->probe(key_bytes(key), hash);
        new (&table_->entries()[index]) Entry{std::move(key), std::move(value)};
        table_->hashes()[index] = hash;
        ++table_->count;
    }

    // The value stored under `key`, or null. The pointer is valid until the next insert.
    [[nodiscard]] Value* find(std::string_view key) noexcept {
        if (table_ == nullptr || table_->count == 0) return nullptr;
        std::size_t index = table_->probe(key, slot_hash(key));
        if (index == kNotFound || table_->hashes()[index] == 0) return nullptr;
        return &table_->entries()[index].value;
    }

    // Calls `visit(Entry&)` for every entry in slot order until it returns false;
    // returns false when it stopped early. Entries may be moved from inside; the
    // map stays destructible.
    template <typename Visit>
    bool for_each(Visit&& visit) {
        if (table_ == nullptr) return true;
        std::uint64_t* hashes = table_->hashes();
        Entry* entries = table_->entries();
        for (std::size_t i = 0; i < table_->capacity; ++i) {
            if (hashes[i] != 0 && !visit(entries[i])) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kMinCapacity = 4;
    static constexpr std::size_t kNotFound = SIZE_MAX;
    // Marks a slot as used, so that a stored hash is never 0.
    static constexpr std::uint64_t kUsedBit = std::uint64_t{1} << 63;

    // Up to 7/8 of the slots; the smallest table may be full, which is why a
    // probe is bounded by the capacity. Node maps of four entries fit in four slots.
    static constexpr std::size_t max_entries(std::size_t capacity) noexcept { return capacity - capacity / 8; }

    static std::size_t capacity_for(std::size_t count) {
        std::size_t capacity = kMinCapacity;
        while (max_entries(capacity) < count) {
            if (capacity > SIZE_MAX / 4) throw std::bad_alloc();
            capacity *= 2;
        }
        return capacity;
    }

    // One allocation: this header, then `capacity` hashes (0: empty slot, otherwise
    // the key's hash | kUsedBit), then `capacity` entry slots.
    struct Table {
        std::size_t capacity;  // a power of two
        std::size_t count;

        static constexpr std::size_t entries_offset(std::size_t capacity) noexcept {
            std::size_t end_of_hashes = sizeof(Table) + capacity * sizeof(std::uint64_t);
            return (end_of_hashes + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
        }
        std::uint64_t* hashes() noexcept { return reinterpret_cast<std::uint64_t*>(this + 1); }
        Entry* entries() noexcept {
            return reinterpret_cast<Entry*>(reinterpret_cast<unsigned char*>(this) + entries_offset(capacity));
        }

        static Table* allocate(std::size_t capacity) {
            if (capacity > (SIZE_MAX / 2 - sizeof(Table)) / (sizeof(Entry) + sizeof(std::uint64_t))) {
                throw std::bad_alloc();
            }
            std::size_t bytes = entries_offset(capacity) + capacity * sizeof(Entry);
            auto* table = static_cast<Table*>(::operator new(bytes, std::align_val_t{alignment()}));
            table->capacity = capacity;
            table->count = 0;
            std::uint64_t* hashes = table->hashes();
            for (std::size_t i = 0; i < capacity; ++i) hashes[i] = 0;
            return table;
        }

        static void destroy(Table* table) noexcept {
            if (table == nullptr) return;
            std::uint64_t* hashes = table->hashes();
            Entry* entries = table->entries();
            for (std::size_t i = 0; i < table->capacity; ++i) {
                if (hashes[i] != 0) entries[i].~Entry();
            }
            ::operator delete(table, std::align_val_t{alignment()});
        }

        static constexpr std::size_t alignment() noexcept {
            return alignof(Entry) > alignof(Table) ? alignof(Entry) : alignof(Table);
        }

        // The slot holding `key`, else the first empty slot on its probe path, else
        // kNotFound (a full table without the key).
        std::size_t probe(std::string_view key, std::uint64_t hash) noexcept {
            std::size_t mask = capacity - 1;
            std::size_t index = static_cast<std::size_t>(hash) & mask;
            std::uint64_t* slot_hashes = hashes();
            Entry* slots = entries();
            for (std::size_t step = 0; step < capacity; ++step) {
                if (slot_hashes[index] == 0) return index;
                if (slot_hashes[index] == hash && key_bytes(slots[index].key) == key) return index;
                index = (index + 1) & mask;
            }
            return kNotFound;
        }
    };

    [[nodiscard]] std::uint64_t slot_hash(std::string_view key) const noexcept {
        return hash_attr_key(keys_, key) | kUsedBit;
    }

    void grow() {
        Table* old = table_;
        std::size_t capacity = kMinCapacity;
        if (old != nullptr) {
            if (old->capacity > SIZE_MAX / 4) throw std::bad_alloc();
            capacity = old->capacity * 2;
        }
        Table* grown = Table::allocate(capacity);
        if (old != nullptr) {
            std::uint64_t* hashes = old->hashes();
            Entry* entries = old->entries();
            for (std::size_t i = 0; i < old->capacity; ++i) {
                if (hashes[i] == 0) continue;
                std::size_t index = grown->probe(key_bytes(entries[i].key), hashes[i]);
                new (&grown->entries()[index]) Entry{std::move(entries[i].key), std::move(entries[i].value)};
                grown->hashes()[index] = hashes[i];
                ++grown->count;
            }
        }
        table_ = grown;
        Table::destroy(old);
    }

    HashKeys keys_{};
    Table* table_ = nullptr;
};

}  // namespace vorlane
