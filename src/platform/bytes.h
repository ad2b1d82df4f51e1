#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lockstep {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string toString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Overwrites the memory of a buffer that held a secret before it is freed.
void secureWipe(void* data, std::size_t length) noexcept;

// A byte buffer for secrets: its contents are wiped when it is destroyed or
// reassigned, so a password does not linger in freed heap memory.
class SecretBytes {
  public:
    SecretBytes() = default;
    explicit SecretBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
    SecretBytes(const SecretBytes&) = default;
    SecretBytes& operator=(const SecretBytes& other) {
        if (this != &other) {
            wipe();
            bytes_ = other.bytes_;
        }
        return *this;
    }
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecretBytes() { wipe(); }

    [[nodiscard]] const Bytes& bytes() const { return bytes_; }
    [[nodiscard]] Bytes& bytes() { return bytes_; }
    [[nodiscard]] std::size_t size() const { return bytes_.size(); }
    [[nodiscard]] bool empty() const { return bytes_.empty(); }
    [[nodiscard]] const std::uint8_t* data() const { return bytes_.data(); }

  private:
    void wipe() noexcept { secureWipe(bytes_.data(), bytes_.size()); }
    Bytes bytes_;
};

}  // namespace lockstep
