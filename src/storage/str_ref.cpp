// StrRef storage: owned strings on the C heap, spans holding or borrowing one buffer reference.
#include "storage/str_ref.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace vorlane {

StrRef StrRef::owned(std::string_view bytes) {
    StrRef result;
    if (bytes.empty()) return result;
    auto* copy = static_cast<char*>(std::malloc(bytes.size()));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, bytes.data(), bytes.size());
    result.first_ = reinterpret_cast<std::uintptr_t>(copy);
    result.second_ = bytes.size();
    return result;
}

StrRef StrRef::owned(ByteBuilder&& builder) noexcept {
    StrRef result;
    std::size_t length = builder.size();
    char* bytes = builder.release();
    if (length == 0) {
        std::free(bytes);
        return result;
    }
    result.first_ = reinterpret_cast<std::uintptr_t>(bytes);
    result.second_ = length;
    return result;
}

InvariantViolation StrRef::bad_span() noexcept {
    return InvariantViolation{"string span lies outside its document or splits a character"};
}

void StrRef::release_storage() noexcept {
    if (buffer_ != nullptr) {
        DocumentBuffer* counted = is_borrowed() ? nullptr : buffer_;
        buffer_ = nullptr;
        if (counted != nullptr) counted->release();
    } else if (first_ != 0) {
        std::free(reinterpret_cast<char*>(first_));
    }
    first_ = 0;
    second_ = 0;
}

}  // namespace vorlane
