// The writer's output sinks: StringSink (a growable buffer in memory) and FileSink
// (an 8192-byte buffered writer over one file descriptor). No interpreter: both are
// used with the lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "common/byte_builder.hpp"
#include "common/io_error.hpp"
#include "common/result.hpp"

namespace vorlane {

// The capacity of a FileSink's buffer; pieces at least this long bypass it.
inline constexpr std::size_t kFileBufferBytes = 8192;

// A growable in-memory sink. Appending never fails; running out of memory throws
// std::bad_alloc. Growth: the larger of twice the capacity and the length needed,
// at least 8 bytes.
class StringSink {
public:
    StringSink() noexcept = default;

    // Appends `bytes`; always succeeds (throws std::bad_alloc when memory runs out).
    Result<void, IoError> append(std::string_view bytes) {
        bytes_.append(bytes);
        return {};
    }

    // Appends `count` spaces; always succeeds. A count that cannot be held in memory
    // throws std::bad_alloc.
    Result<void, IoError> append_spaces(std::uint64_t count) {
        if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
            if (count > SIZE_MAX) throw std::bad_alloc();
        }
        bytes_.append_repeated(' ', static_cast<std::size_t>(count));
        return {};
    }

    // The bytes collected so far.
    [[nodiscard]] std::string_view view() const noexcept { return bytes_.view(); }
    [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return bytes_.capacity(); }

    // Hands the collected bytes to the caller; the sink is left empty.
    [[nodiscard]] ByteBuilder take() noexcept { return std::move(bytes_); }

private:
    ByteBuilder bytes_;
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

    // Appends `count` spaces through append, in pieces of at most 1024 bytes (one
    // piece for any ordinary indentation).
    [[nodiscard]] Result<void, IoError> append_spaces(std::uint64_t count);

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
