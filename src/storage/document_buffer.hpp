// DocumentBuffer: the immutable UTF-8 bytes of one input, shared by every span into it.
// No interpreter needed: a buffer that keeps a Python str alive releases it through a
// hook supplied by the module surface, which knows whether the lock is held.
// The reference count is atomic: spans are created and dropped with the lock released.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <string_view>

namespace vorlane {

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
    [[nodiscard]] std::pmr::memory_resource& arena();
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
    std::unique_ptr<std::pmr::monotonic_buffer_resource> arena_;
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
