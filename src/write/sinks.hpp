// The writer's output sinks: StringSink (a growable buffer in memory) and FileSink
// (an 8192-byte buffered writer over one file descriptor). No interpreter: both are
// used with the lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "common/byte_builder.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"

namespace vorlane {

// The capacity of a FileSink's buffer; pieces at least this long bypass it.
inline constexpr std::size_t kFileBufferBytes = 8192;

// Copies `count` bytes. The short pieces the writer appends most (tags, names, small
// values, escapes) are moved with at most four loads and stores instead of a call
// into the C library.
inline void copy_piece(char* target, const char* source, std::size_t count) noexcept {
    if (count > 16) {
        std::memcpy(target, source, count);
    } else if (count >= 8) {
        std::uint64_t head;
        std::uint64_t tail;
        std::memcpy(&head, source, 8);
        std::memcpy(&tail, source + count - 8, 8);
        std::memcpy(target, &head, 8);
        std::memcpy(target + count - 8, &tail, 8);
    } else if (count >= 4) {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, source, 4);
        std::memcpy(&tail, source + count - 4, 4);
        std::memcpy(target, &head, 4);
        std::memcpy(target + count - 4, &tail, 4);
    } else if (count > 0) {
        target[0] = source[0];
        target[count / 2] = source[count / 2];
        target[count - 1] = source[count - 1];
    }
}

// A growable in-memory sink. Appending never fails; running out of memory throws
// std::bad_alloc. Growth: the larger of twice the capacity and the length needed,
// at least 8 bytes.
class StringSink {
public:
    StringSink() noexcept = default;
    StringSink(StringSink&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    StringSink& operator=(StringSink&&) = delete;
    StringSink(const StringSink&) = delete;
    StringSink& operator=(const StringSink&) = delete;
    ~StringSink() { std::free(data_); }

    // Appends `bytes`; always succeeds (throws std::bad_alloc when memory runs out).
    Result<void, IoError> append(std::string_view bytes) {
        if (capacity_ - size_ < bytes.size()) grow_for(bytes.size());
        copy_piece(data_ + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
        return {};
    }

    // Appends `count` spaces; always succeeds. A count that cannot be held in memory
    // throws std::bad_alloc.
    Result<void, IoError> append_spaces(std::uint64_t count) {
        // No object is larger than PTRDIFF_MAX bytes, so no larger count can be held.
        if (count > static_cast<std::uint64_t>(PTRDIFF_MAX)) throw std::bad_alloc();
        const auto spaces = static_cast<std::size_t>(count);
        if (capacity_ - size_ < spaces) grow_for(spaces);
        std::memset(data_ + size_, ' ', spaces);
        size_ += spaces;
        return {};
    }

    // The bytes collected so far.
    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

    // Frees the bytes and leaves the sink empty.
    void release() noexcept {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void grow_for(std::size_t extra);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A buffered writer over a file it opened and owns. close() writes out what is
// buffered and closes the file, reporting errors; dropping an open sink does the
// same with errors ignored (the path of a call that already failed).
class FileSink {
public:
    // Opens `path` write-only, creating it with mode 0666 (less the umask) or
    // truncating it, close-on-exec. A path holding a NUL byte fails with
    // kNulInPathMessage without touching the file system. The buffer is allocated
    // once the file is open (std::bad_alloc closes it again). An open or write
    // interrupted by a signal is retried unless `interrupted` says the call ends:
    // it then fails with kInterruptedMessage, and the sink drops its buffered bytes
    // instead of writing them out, so that nothing blocks again.
    [[nodiscard]] static Result<FileSink, IoError> open(std::string_view path, InterruptCheck interrupted = {});

    FileSink(FileSink&& other) noexcept;
    FileSink& operator=(FileSink&& other) noexcept;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    ~FileSink();

    // Appends `bytes`: a piece shorter than the free space is copied into the buffer;
    // otherwise the buffer is flushed first when the piece does not fit, and then a
    // piece shorter than the capacity is buffered and a longer one is written
    // straight to the file. A write that makes no progress fails with
    // kWriteWholeBufferMessage; other failures carry errno.
    [[nodiscard]] Result<void, IoError> append(std::string_view bytes) {
        // The common case, a short piece that fits, stays inline.
        if (bytes.size() < kFileBufferBytes - buffer_.size()) {
            buffer_.append(bytes);
            return {};
        }
        return append_past_free_space(bytes);
    }

    // Room for `count` bytes in the buffer's free space, or null when they would not
    // fit there; commit(count) then appends what was written. Lets the writer put a
    // tag's short pieces in one step.
    [[nodiscard]] char* room(std::size_t count) noexcept {
        return count < kFileBufferBytes - buffer_.size() ? buffer_.spare() : nullptr;
    }
    void commit(std::size_t count) noexcept { buffer_.commit(count); }

    // Appends `count` spaces: straight into the buffer when they fit in its free
    // space (any ordinary indentation), else through append in pieces of at most
    // 1024 bytes.
    [[nodiscard]] Result<void, IoError> append_spaces(std::uint64_t count) {
        if (count < kFileBufferBytes - buffer_.size()) {
            buffer_.append_repeated(' ', static_cast<std::size_t>(count));
            return {};
        }
        return append_spaces_in_pieces(count);
    }

    // Writes out every buffered byte. Bytes written before a failure leave the buffer
    // either way; a write that makes no progress fails with kWriteBufferedDataMessage.
    [[nodiscard]] Result<void, IoError> flush();

    // Writes out every buffered byte and closes the file, reporting the first error
    // of either: file systems that defer write errors report them at close.
    [[nodiscard]] Result<void, IoError> close();

    // The number of bytes waiting in the buffer.
    [[nodiscard]] std::size_t buffered_size() const noexcept { return buffer_.size(); }
    // The open descriptor (-1 once moved from).
    [[nodiscard]] int fd() const noexcept { return fd_; }

private:
    explicit FileSink(int fd) noexcept : fd_(fd) {}
    [[nodiscard]] Result<void, IoError> append_past_free_space(std::string_view bytes);
    [[nodiscard]] Result<void, IoError> append_spaces_in_pieces(std::uint64_t count);
    [[nodiscard]] Result<void, IoError> write_directly(std::string_view bytes);
    void close_quietly() noexcept;

    // The error of an interrupted write: the call ends, and nothing more is written.
    [[nodiscard]] IoError abandon_after_interrupt() noexcept;

    int fd_ = -1;
    ByteBuilder buffer_;
    InterruptCheck interrupted_;
    bool abandoned_ = false;
};

}  // namespace vorlane
