#include "fdesetup/secure_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/bytes.h"

namespace lockstep::fde {

namespace {

std::size_t pageRounded(std::size_t size) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096U;
    return ((size + unit - 1) / unit) * unit;
}

}  // namespace

LockedBuffer::LockedBuffer(std::size_t capacity) {
    const std::size_t length = pageRounded(capacity == 0 ? 1 : capacity);
    void* memory =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    // Locked so it is never written to swap; left out of core dumps and not
    // inherited by a child made with fork().
    if (::mlock(memory, length) != 0) {
        ::munmap(memory, length);
        return;
    }
    static_cast<void>(::madvise(memory, length, MADV_DONTDUMP));
    static_cast<void>(::madvise(memory, length, MADV_DONTFORK));
    data_ = static_cast<std::uint8_t*>(memory);
    capacity_ = capacity;
    mapped_ = length;
}

LockedBuffer::LockedBuffer(LockedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

LockedBuffer& LockedBuffer::operator=(LockedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

LockedBuffer::~LockedBuffer() {
    release();
}

void LockedBuffer::release() noexcept {
    if (data_ != nullptr) {
        secureWipe(data_, mapped_);
        ::munlock(data_, mapped_);
        ::munmap(data_, mapped_);
    }
    data_ = nullptr;
    size_ = capacity_ = mapped_ = 0;
}

bool LockedBuffer::append(std::span<const std::uint8_t> bytes) {
    if (data_ == nullptr || bytes.size() > capacity_ - size_) {
        return false;
    }
    if (!bytes.empty()) {
        std::memcpy(data_ + size_, bytes.data(), bytes.size());
    }
    size_ += bytes.size();
    return true;
}

bool LockedBuffer::append(std::string_view text) {
    return append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void LockedBuffer::resize(std::size_t size) {
    if (data_ == nullptr || size > capacity_) {
        return;
    }
    if (size < size_) {
        secureWipe(data_ + size, size_ - size);
    } else {
        std::memset(data_ + size_, 0, size - size_);
    }
    size_ = size;
}

void LockedBuffer::clear() {
    resize(0);
}

bool equalSecrets(const LockedBuffer& a, const LockedBuffer& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace lockstep::fde
