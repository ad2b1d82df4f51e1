#pragma once

// What kind of initramfs the running kernel booted with, read from the image
// itself: the leading uncompressed archives (CPU microcode), the compression
// of the main archive and the tool that built it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lockstep::fde {

enum class Compression { None, Gzip, Zstd, Xz, Lz4, Bzip2, Lzma, Lzo, Unknown };
enum class Builder { InitramfsTools, Dracut, SystemdBased, Unknown };

[[nodiscard]] std::string_view compressionName(Compression compression);
[[nodiscard]] std::string_view builderName(Builder builder);

struct InitramfsInfo {
    // Uncompressed archives before the main one (early microcode).
    std::size_t earlyArchives = 0;
    std::size_t mainOffset = 0;
    Compression compression = Compression::Unknown;
    Builder builder = Builder::Unknown;
    // The main archive holds cryptsetup's boot scripts (initramfs-tools with
    // cryptsetup-initramfs) and this copy of the crypttab, listing the
    // volumes it unlocks.
    bool hasCryptroot = false;
    std::optional<std::string> cryptrootCrypttab;
    // Why the image could not be read to the end, when it could not.
    std::string problem;
};

// Reads an initramfs image held in memory.
[[nodiscard]] InitramfsInfo inspectInitramfs(std::span<const std::uint8_t> image);

// Why an authenticated restart cannot hand keys to this initramfs; nothing
// when it can (initramfs-tools with cryptsetup-initramfs).
[[nodiscard]] std::optional<std::string> unsupportedReason(const InitramfsInfo& info);

}  // namespace lockstep::fde
