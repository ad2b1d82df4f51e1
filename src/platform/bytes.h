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

// A text that is a secret (a password from the command line). It lives in
// one heap buffer of exactly its size that is never reallocated and that
// moves by handing over the pointer (no small-string copies left behind), and
// it is wiped when it is destroyed or reassigned.
class SecretString {
  public:
    SecretString() = default;
    // Implicit, so that a secret can be given where a text is written.
    SecretString(std::string_view text) : text_(text.begin(), text.end()) {}         // NOLINT
    SecretString(const char* text) : SecretString(std::string_view(text)) {}         // NOLINT
    SecretString(const std::string& text) : SecretString(std::string_view(text)) {}  // NOLINT
    SecretString(const SecretString& other) : SecretString(other.view()) {}
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            *this = SecretString(other);
        }
        return *this;
    }
    SecretString(SecretString&& other) noexcept = default;
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            wipe();
            text_ = std::move(other.text_);
        }
        return *this;
    }
    ~SecretString() { wipe(); }

    [[nodiscard]] std::string_view view() const noexcept { return {text_.data(), text_.size()}; }
    [[nodiscard]] std::size_t size() const noexcept { return text_.size(); }
    [[nodiscard]] bool empty() const noexcept { return text_.empty(); }

    friend bool operator==(const SecretString& a, const SecretString& b) {
        return a.view() == b.view();
    }

  private:
    void wipe() noexcept { secureWipe(text_.data(), text_.size()); }
    std::vector<char> text_;
};

}  // namespace lockstep
