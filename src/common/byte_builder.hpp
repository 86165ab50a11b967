// ByteBuilder: a growable byte array on the C heap whose storage can be handed over
// (to an owned StrRef, or to the writer's caller). No interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace vorlane {

class ByteBuilder {
public:
    ByteBuilder() noexcept = default;
    explicit ByteBuilder(std::size_t capacity) { reserve(capacity); }
    ByteBuilder(ByteBuilder&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    ByteBuilder& operator=(ByteBuilder&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }
    ByteBuilder(const ByteBuilder&) = delete;
    ByteBuilder& operator=(const ByteBuilder&) = delete;
    ~ByteBuilder() { std::free(data_); }

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] char* data() noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

    // Ensures room for `capacity` bytes in all; throws std::bad_alloc.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }

    void append(const char* bytes, std::size_t count) {
        if (count == 0) return;
        if (capacity_ - size_ < count) grow_for(count);
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    void push_back(char byte) {
        if (size_ == capacity_) grow_for(1);
        data_[size_++] = byte;
    }
    // Appends `count` copies of `byte`.
    void append_repeated(char byte, std::size_t count) {
        if (count == 0) return;
        if (capacity_ - size_ < count) grow_for(count);
        std::memset(data_ + size_, byte, count);
        size_ += count;
    }
    // Where the next byte goes; the caller writes at most capacity() - size() bytes
    // there and then counts them in with commit.
    [[nodiscard]] char* spare() noexcept { return data_ + size_; }
    void commit(std::size_t count) noexcept { size_ += count; }
    void clear() noexcept { size_ = 0; }
    // Drops the bytes from `size` on (`size` at most the current size).
    void truncate(std::size_t size) noexcept { size_ = size; }
    // Drops bytes from the front, keeping the rest in order.
    void erase_front(std::size_t count) noexcept {
        std::memmove(data_, data_ + count, size_ - count);
        size_ -= count;
    }

    // Hands over the storage (allocated with malloc); the builder is left empty.
    [[nodiscard]] char* release() noexcept {
        char* bytes = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return bytes;
    }

private:
    // Growth: the larger of twice the capacity and what is needed, at least 8 bytes.
    void grow_for(std::size_t extra) {
        if (extra > SIZE_MAX - size_) throw std::bad_alloc();
        std::size_t needed = size_ + extra;
        std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
        std::size_t target = doubled > needed ? doubled : needed;
        if (target < 8) target = 8;
        reserve(target);
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vorlane
