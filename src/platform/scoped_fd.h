#pragma once

#include <utility>

namespace lockstep {

// Owns one file descriptor and closes it when destroyed. Move-only, so a
// descriptor has exactly one owner on every path.
class ScopedFD {
  public:
    ScopedFD() = default;
    explicit ScopedFD(int fd) : fd_(fd) {}
    ScopedFD(const ScopedFD&) = delete;
    ScopedFD& operator=(const ScopedFD&) = delete;
    ScopedFD(ScopedFD&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ScopedFD& operator=(ScopedFD&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~ScopedFD() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Closes the current descriptor (if any) and takes `fd`. Returns false
    // when close(2) reported an error.
    bool reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

}  // namespace lockstep
