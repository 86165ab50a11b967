// DocumentBuffer creation and release; runs with or without the interpreter lock.
#include "storage/document_buffer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "common/page_populator.hpp"

namespace vorlane {

namespace {

constexpr std::size_t kSmallestBlock = std::size_t{4} << 10;
constexpr std::size_t kLargestBlock = std::size_t{16} << 20;
constexpr std::size_t kBlockHeaderBytes = alignof(std::max_align_t) > sizeof(void*) ? alignof(std::max_align_t)
                                                                                     : sizeof(void*);
// How often the populator hears how far the allocations have come.
constexpr std::size_t kReportEvery = std::size_t{256} << 10;

}  // namespace

DocumentArena::DocumentArena(std::size_t first_block) noexcept
    : next_block_bytes_(std::clamp(first_block, kSmallestBlock, kLargestBlock)) {}

DocumentArena::~DocumentArena() {
    Block* block = blocks_;
    while (block != nullptr) {
        Block* previous = block->previous;
        ::operator delete(block);
        block = previous;
    }
}

void* DocumentArena::allocate_in_new_block(std::size_t size, std::size_t alignment) {
    if (size > SIZE_MAX / 2) throw std::bad_alloc();
    // Whatever is left of the current block is given up; a request larger than the
    // usual block gets a block of its own size.
    const std::size_t block_bytes = std::max(next_block_bytes_, kBlockHeaderBytes + size + alignment);
    auto* block = static_cast<Block*>(::operator new(block_bytes));
    block->previous = blocks_;
    blocks_ = block;
    next_ = reinterpret_cast<char*>(block) + kBlockHeaderBytes;
    end_ = reinterpret_cast<char*>(block) + block_bytes;
    report_at_ = next_;
    next_block_bytes_ = std::min(next_block_bytes_ + next_block_bytes_ / 2, kLargestBlock);
    if (populator_ != nullptr) populator_->follow(lane_, next_, end_);
    const auto at = (reinterpret_cast<std::uintptr_t>(next_) + alignment - 1) & ~(alignment - 1);
    next_ = reinterpret_cast<char*>(at) + size;
    if (next_ > report_at_) report_position();
    return reinterpret_cast<char*>(at);
}

void DocumentArena::populate_with(PagePopulator* populator, std::size_t lane) noexcept {
    populator_ = populator;
    lane_ = lane;
    if (populator_ != nullptr && next_ != nullptr) populator_->follow(lane_, next_, end_);
}

void DocumentArena::report_position() noexcept {
    if (populator_ != nullptr) populator_->advance(lane_, next_);
    report_at_ = next_ + std::min<std::size_t>(kReportEvery, static_cast<std::size_t>(end_ - next_));
}

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

DocumentArena& DocumentBuffer::arena() {
    if (!arena_) {
        // Attribute blocks and joined texts take a good part of the document's size; a
        // first block of a quarter of it, growing geometrically, keeps the blocks few.
        arena_ = std::make_unique<DocumentArena>(size_ / 4);
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
