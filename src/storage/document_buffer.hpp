// DocumentBuffer: the immutable UTF-8 bytes of one input, shared by every span into it.
// No interpreter needed: a buffer that keeps a Python str alive releases it through a
// hook supplied by the module surface, which knows whether the lock is held.
// The reference count is atomic: spans are created and dropped with the lock released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vorlane {

class PagePopulator;

// Memory handed out by bumping a pointer through blocks that grow by half up to a
// limit, and freed all at once with the arena. Used by one thread at a time. (Growing
// by half rather than doubling keeps the blocks of repeated parses in a process at
// sizes the allocator recycles instead of mapping afresh: a quarter of the page
// faults on attribute-dense documents.)
class DocumentArena {
public:
    // Blocks start at `first_block` bytes (at least 4 KiB).
    explicit DocumentArena(std::size_t first_block) noexcept;
    DocumentArena(const DocumentArena&) = delete;
    DocumentArena& operator=(const DocumentArena&) = delete;
    ~DocumentArena();

    // `size` bytes at a multiple of `alignment` (a power of two, at most that of
    // max_align_t). Throws std::bad_alloc.
    [[nodiscard]] void* allocate(std::size_t size, std::size_t alignment) {
        const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(next_) + alignment - 1) & ~(alignment - 1);
        const auto end = reinterpret_cast<std::uintptr_t>(end_);
        if (next_ == nullptr || at > end || size > end - at) return allocate_in_new_block(size, alignment);
        next_ = reinterpret_cast<char*>(at) + size;
        if (next_ > report_at_) report_position();
        return reinterpret_cast<char*>(at);
    }

    // Leaves the mapping in of the blocks' pages ahead of the allocations to `lane`
    // of `populator`, which runs and is stopped before this arena is destroyed.
    void populate_with(PagePopulator* populator, std::size_t lane) noexcept;

private:
    struct Block {
        Block* previous;
    };
    void* allocate_in_new_block(std::size_t size, std::size_t alignment);
    void report_position() noexcept;

    Block* blocks_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    char* report_at_ = nullptr;  // the populator hears of the position past here
    std::size_t next_block_bytes_;
    PagePopulator* populator_ = nullptr;
    std::size_t lane_ = 0;
};

class DocumentBuffer {
public:
    // Releases the Python object that a PythonText buffer keeps alive.
    using ObjectRelease = void (*)(void* object) noexcept;

    // A buffer owning `bytes` (length `size`), as read from a file. The caller
    // receives the one reference; may throw std::bad_alloc.
    static DocumentBuffer* create_owned(std::unique_ptr<char[]> bytes, std::size_t size);

    // A buffer viewing the UTF-8 form of a Python str. Takes over one strong
    // reference to `object`, which `release` gives back when the last buffer
    // reference goes. The caller receives the one reference; may throw std::bad_alloc.
    static DocumentBuffer* create_python_text(void* object, const char* data, std::size_t size,
                                              ObjectRelease release);

    DocumentBuffer(const DocumentBuffer&) = delete;
    DocumentBuffer& operator=(const DocumentBuffer&) = delete;

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::string_view bytes() const noexcept { return {data_, size_}; }

    void retain() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    // Adds `count` references at once (one per span created in a batch).
    void retain(std::size_t count) noexcept { count_.fetch_add(count, std::memory_order_relaxed); }
    // Drops one reference; the last one frees the bytes (or releases the str).
    void release() noexcept;
    [[nodiscard]] std::size_t use_count() const noexcept {
        return count_.load(std::memory_order_acquire);
    }

    // Memory that lives exactly as long as the document: the attribute blocks and the
    // joined texts of the elements parsed from it, which their nodes keep using (every node holds a buffer
    // reference). Made on first use; only the one parse of this buffer calls it, so it
    // needs no lock. Throws std::bad_alloc.
    [[nodiscard]] DocumentArena& arena();
    // Hands the buffer memory to free with `release` when its last reference goes
    // (the nodes made from it, which all hold references). Only the one parse of this
    // buffer calls it, at most once, so it needs no lock.
    using AttachmentRelease = void (*)(void* attachment) noexcept;
    void attach(void* attachment, AttachmentRelease release) noexcept {
        attachment_ = attachment;
        attachment_release_ = release;
    }
    // What attach handed over, or null; `release` tells which kind of attachment it is.
    [[nodiscard]] void* attachment(AttachmentRelease release) const noexcept {
        return attachment_release_ == release ? attachment_ : nullptr;
    }

private:
    DocumentBuffer() = default;
    ~DocumentBuffer();

    std::atomic<std::size_t> count_{1};
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> owned_;       // OwnedBytes
    std::unique_ptr<DocumentArena> arena_;
    void* attachment_ = nullptr;
    AttachmentRelease attachment_release_ = nullptr;
    void* object_ = nullptr;              // PythonText
    ObjectRelease object_release_ = nullptr;
};

// Move-only owner of one DocumentBuffer reference.
class BufferRef {
public:
    BufferRef() noexcept = default;
    // Takes over a reference the caller already holds.
    static BufferRef adopt(DocumentBuffer* buffer) noexcept { return BufferRef(buffer); }
    // Adds a reference and owns it.
    static BufferRef share(DocumentBuffer* buffer) noexcept {
        if (buffer != nullptr) buffer->retain();
        return BufferRef(buffer);
    }
    BufferRef(BufferRef&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = nullptr; }
    BufferRef& operator=(BufferRef&& other) noexcept {
        if (this != &other) {
            reset();
            buffer_ = other.buffer_;
            other.buffer_ = nullptr;
        }
        return *this;
    }
    BufferRef(const BufferRef&) = delete;
    BufferRef& operator=(const BufferRef&) = delete;
    ~BufferRef() { reset(); }

    void reset() noexcept {
        if (buffer_ != nullptr) {
            DocumentBuffer* old = buffer_;
            buffer_ = nullptr;
            old->release();
        }
    }
    [[nodiscard]] DocumentBuffer* get() const noexcept { return buffer_; }
    DocumentBuffer* operator->() const noexcept { return buffer_; }
    explicit operator bool() const noexcept { return buffer_ != nullptr; }

private:
    explicit BufferRef(DocumentBuffer* buffer) noexcept : buffer_(buffer) {}
    DocumentBuffer* buffer_ = nullptr;
};

}  // namespace vorlane
