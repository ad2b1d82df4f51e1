#pragma once

// The "newc" cpio format ("070701") that the kernel unpacks an initramfs
// from: a writer for the small archive appended to the initramfs, and a
// reader for uncompressed archives.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fdesetup/secure_memory.h"

namespace lockstep::fde::newc {

inline constexpr std::string_view kMagic = "070701";
inline constexpr std::string_view kTrailer = "TRAILER!!!";

// Writes an archive straight into locked memory, so key files never pass
// through an unlocked buffer. Every entry is owned by root (uid and gid 0)
// with a zero modification time, so the same input gives the same bytes.
// Each header, name and file body starts on a 4-byte boundary, as the kernel
// requires, and the finished archive is a multiple of 4 bytes long.
class Writer {
  public:
    explicit Writer(LockedBuffer& out) : out_(out) {}

    // Permission bits only (e.g. 0700); the type bits are added here.
    [[nodiscard]] bool addDirectory(std::string_view name, std::uint32_t permissions);
    [[nodiscard]] bool addFile(std::string_view name, std::uint32_t permissions,
                               std::span<const std::uint8_t> contents);
    [[nodiscard]] bool addFile(std::string_view name, std::uint32_t permissions,
                               std::string_view contents);
    // Writes the trailer. False when anything did not fit in the buffer.
    [[nodiscard]] bool finish();

  private:
    [[nodiscard]] bool entry(std::string_view name, std::uint32_t mode,
                             std::span<const std::uint8_t> contents);
    [[nodiscard]] bool pad();

    LockedBuffer& out_;
    std::uint32_t inode_ = 1;
    bool ok_ = true;
};

// One entry read back from an archive.
struct Entry {
    std::string name;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string contents;
};

// Reads the uncompressed archive that starts at `offset`: its entries (when
// `entries` is given) and the offset just past its trailer and the trailer's
// padding. Nothing when it is not a well-formed newc archive.
[[nodiscard]] std::optional<std::size_t> read(std::span<const std::uint8_t> data,
                                              std::size_t offset,
                                              std::vector<Entry>* entries = nullptr);

}  // namespace lockstep::fde::newc
