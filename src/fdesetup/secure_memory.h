#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace lockstep::fde {

// A fixed-capacity buffer for passwords and the key archive: its pages are
// locked in memory (never swapped), left out of core dumps and wiped before
// they are returned. Move-only. A buffer whose pages could not be locked is
// not valid(): secrets are never kept in memory that may reach the disk.
class LockedBuffer {
  public:
    LockedBuffer() = default;
    explicit LockedBuffer(std::size_t capacity);
    LockedBuffer(LockedBuffer&& other) noexcept;
    LockedBuffer& operator=(LockedBuffer&& other) noexcept;
    LockedBuffer(const LockedBuffer&) = delete;
    LockedBuffer& operator=(const LockedBuffer&) = delete;
    ~LockedBuffer();

    [[nodiscard]] bool valid() const { return data_ != nullptr; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] std::uint8_t* data() { return data_; }
    [[nodiscard]] const std::uint8_t* data() const { return data_; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    [[nodiscard]] std::string_view view() const {
        return {reinterpret_cast<const char*>(data_), size_};
    }

    // Appends bytes; false (and nothing appended) when they do not fit.
    [[nodiscard]] bool append(std::span<const std::uint8_t> bytes);
    [[nodiscard]] bool append(std::string_view text);
    // Sets the size to `size` (<= capacity), wiping anything cut off.
    void resize(std::size_t size);
    // Counts `added` bytes written straight into data() + size() as part of
    // the contents (no more than the capacity left).
    void commit(std::size_t added) { size_ += std::min(added, capacity_ - size_); }
    // Wipes the contents and empties the buffer; the pages stay locked.
    void clear();

  private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mapped_ = 0;
};

// Two buffers with the same contents.
[[nodiscard]] bool equalSecrets(const LockedBuffer& a, const LockedBuffer& b);

}  // namespace lockstep::fde
