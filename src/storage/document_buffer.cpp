// DocumentBuffer creation and release; runs with or without the interpreter lock.
#include "storage/document_buffer.hpp"

#include <algorithm>

namespace vorlane {

DocumentBuffer* DocumentBuffer::create_owned(std::unique_ptr<char[]> bytes, std::size_t size) {
    auto* buffer = new DocumentBuffer();
    buffer->owned_ = std::move(bytes);
    buffer->data_ = buffer->owned_ ? buffer->owned_.get() : "";
    buffer->size_ = size;
    return buffer;
}

DocumentBuffer* DocumentBuffer::create_python_text(void* object, const char* data,
                                                   std::size_t size, ObjectRelease release) {
    DocumentBuffer* buffer = nullptr;
    try {
        buffer = new DocumentBuffer();
    } catch (...) {
        release(object);
        throw;
    }
    buffer->object_ = object;
    buffer->object_release_ = release;
    buffer->data_ = data;
    buffer->size_ = size;
    return buffer;
}

std::pmr::memory_resource& DocumentBuffer::arena() {
    if (!arena_) {
        // Attribute blocks and joined texts take a good part of the document's size; a
        // first block of a quarter of it, growing geometrically, keeps the blocks few.
        arena_ = std::make_unique<std::pmr::monotonic_buffer_resource>(std::max<std::size_t>(4096, size_ / 4));
    }
    return *arena_;
}

void DocumentBuffer::release() noexcept {
    // acq_rel: every write through other references happens-before the free.
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

DocumentBuffer::~DocumentBuffer() {
    if (attachment_ != nullptr) attachment_release_(attachment_);
    if (object_ != nullptr) object_release_(object_);
}

}  // namespace vorlane
