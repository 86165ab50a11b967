// IoError: an operating-system error number, or one of the fixed file-error texts.
// No interpreter: file reads and writes run with the lock released.
#pragma once

namespace vorlane {

// Either an errno value (message null) or one of the fixed texts below (errno 0).
struct IoError {
    int os_errno;
    const char* message;

    [[nodiscard]] static IoError from_errno(int code) noexcept { return {code, nullptr}; }
    [[nodiscard]] static IoError fixed(const char* text) noexcept { return {0, text}; }
};

// Asked when a blocking system call was interrupted by a signal: true ends the
// operation (a signal handler raised an exception, which the caller holds), false
// retries the call. The default never ends it.
struct InterruptCheck {
    bool (*interrupted)(void* context) = nullptr;
    void* context = nullptr;

    [[nodiscard]] bool operator()() const { return interrupted != nullptr && interrupted(context); }
};

inline constexpr const char* kInterruptedMessage = "interrupted by a signal";

inline constexpr const char* kNulInPathMessage = "file name contained an unexpected NUL byte";
inline constexpr const char* kWriteWholeBufferMessage = "failed to write whole buffer";
inline constexpr const char* kWriteBufferedDataMessage = "failed to write the buffered data";

}  // namespace vorlane
