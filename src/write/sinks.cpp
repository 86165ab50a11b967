// StringSink growth, and FileSink: opening, buffered appends, flushing and closing
// over POSIX calls. No interpreter: runs with the lock released.
#include "write/sinks.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace vorlane {

namespace {

constexpr std::size_t kSpacesPieceBytes = 1024;

constexpr struct SpacesBlock {
    char bytes[kSpacesPieceBytes];
    constexpr SpacesBlock() : bytes() {
        for (char& byte : bytes) byte = ' ';
    }
} kSpaces;

}  // namespace

void StringSink::grow_for(std::size_t extra) {
    if (extra > SIZE_MAX - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + extra;
    const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
    std::size_t target = doubled > needed ? doubled : needed;
    if (target < 8) target = 8;
    void* grown = std::realloc(data_, target);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = target;
}

Result<FileSink, IoError> FileSink::open(std::string_view path, InterruptCheck interrupted) {
    if (path.find('\0') != std::string_view::npos) return IoError::fixed(kNulInPathMessage);
    std::string terminated(path);
    int fd;
    while (true) {
        // Opening a FIFO blocks until a reader arrives; a signal may end the wait.
        fd = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EINTR) break;
        if (interrupted()) return IoError::fixed(kInterruptedMessage);
    }
    if (fd < 0) return IoError::from_errno(errno);
    // The sink owns the descriptor from here on, so a failed allocation closes it.
    FileSink sink(fd);
    sink.interrupted_ = interrupted;
    sink.buffer_.reserve(kFileBufferBytes);
    return sink;
}

FileSink::FileSink(FileSink&& other) noexcept
    : fd_(other.fd_), buffer_(std::move(other.buffer_)), interrupted_(other.interrupted_),
      abandoned_(other.abandoned_) {
    other.fd_ = -1;
}

FileSink& FileSink::operator=(FileSink&& other) noexcept {
    if (this != &other) {
        close_quietly();
        fd_ = other.fd_;
        buffer_ = std::move(other.buffer_);
        interrupted_ = other.interrupted_;
        abandoned_ = other.abandoned_;
        other.fd_ = -1;
    }
    return *this;
}

FileSink::~FileSink() { close_quietly(); }

void FileSink::close_quietly() noexcept {
    if (fd_ < 0) return;
    if (!abandoned_) (void)flush();
    (void)::close(fd_);
    fd_ = -1;
    buffer_ = ByteBuilder();
}

Result<void, IoError> FileSink::close() {
    if (fd_ < 0) return {};
    Result<void, IoError> outcome = flush();
    const int fd = fd_;
    fd_ = -1;
    buffer_ = ByteBuilder();
    // The descriptor is released whatever close returns; an interrupted close is
    // not an error (Linux has closed the descriptor by then).
    if (::close(fd) < 0 && errno != EINTR && outcome) outcome = IoError::from_errno(errno);
    return outcome;
}

IoError FileSink::abandon_after_interrupt() noexcept {
    abandoned_ = true;
    return IoError::fixed(kInterruptedMessage);
}

// A piece at least as long as the free space: flush first when it does not fit,
// then buffer it when shorter than the capacity, else write it straight through.
Result<void, IoError> FileSink::append_past_free_space(std::string_view bytes) {
    std::size_t free_bytes = kFileBufferBytes - buffer_.size();
    if (free_bytes < bytes.size()) {
        Result<void, IoError> flushed = flush();
        if (!flushed) return flushed;
    }
    if (bytes.size() < kFileBufferBytes) {
        buffer_.append(bytes);
        return {};
    }
    return write_directly(bytes);
}

Result<void, IoError> FileSink::append_spaces_in_pieces(std::uint64_t count) {
    while (count > 0) {
        std::size_t piece = count < kSpacesPieceBytes ? static_cast<std::size_t>(count) : kSpacesPieceBytes;
        Result<void, IoError> appended = append(std::string_view(kSpaces.bytes, piece));
        if (!appended) return appended;
        count -= piece;
    }
    return {};
}

Result<void, IoError> FileSink::write_directly(std::string_view bytes) {
    const char* next = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
        ssize_t written = ::write(fd_, next, remaining);
        if (written < 0) {
            if (errno != EINTR) return IoError::from_errno(errno);
            if (interrupted_()) return abandon_after_interrupt();
            continue;
        }
        if (written == 0) return IoError::fixed(kWriteWholeBufferMessage);
        next += written;
        remaining -= static_cast<std::size_t>(written);
    }
    return {};
}

Result<void, IoError> FileSink::flush() {
    std::size_t written_total = 0;
    Result<void, IoError> outcome;
    while (written_total < buffer_.size()) {
        ssize_t written = ::write(fd_, buffer_.data() + written_total, buffer_.size() - written_total);
        if (written < 0) {
            if (errno != EINTR) {
                outcome = IoError::from_errno(errno);
                break;
            }
            if (interrupted_()) {
                outcome = abandon_after_interrupt();
                break;
            }
            continue;
        }
        if (written == 0) {
            outcome = IoError::fixed(kWriteBufferedDataMessage);
            break;
        }
        written_total += static_cast<std::size_t>(written);
    }
    // What reached the file leaves the buffer even when a later write failed, so a
    // retry or the final write-out never repeats bytes.
    if (written_total != 0) buffer_.erase_front(written_total);
    return outcome;
}

}  // namespace vorlane
