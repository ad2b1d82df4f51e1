#include "fdesetup/newc.h"

#include <sys/stat.h>

#include <array>
#include <charconv>
#include <cstdio>

namespace lockstep::fde::newc {

namespace {

constexpr std::size_t kHeaderSize = 110;
constexpr std::size_t kFieldCount = 13;
constexpr std::size_t kMaxName = 4096;

constexpr std::size_t paddedTo4(std::size_t n) {
    return (n + 3U) & ~std::size_t{3};
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

bool Writer::pad() {
    static constexpr std::array<std::uint8_t, 3> kZeros{};
    const std::size_t missing = paddedTo4(out_.size()) - out_.size();
    return out_.append(std::span(kZeros.data(), missing));
}

bool Writer::entry(std::string_view name, std::uint32_t mode,
                   std::span<const std::uint8_t> contents) {
    if (!ok_ || name.empty() || name.size() >= kMaxName ||
        name.find('\0') != std::string_view::npos || contents.size() > 0xFFFFFFFFU) {
        ok_ = false;
        return false;
    }
    // The header must start on a 4-byte boundary of the whole initramfs;
    // the buffer starts on one, so its own offsets are what count.
    ok_ = pad();
    const std::uint32_t nlink = S_ISDIR(mode) ? 2U : 1U;
    const std::array<std::uint32_t, kFieldCount> fields = {
        name == kTrailer ? 0U : inode_++,
        mode,
        0U,  // uid
        0U,  // gid
        name == kTrailer ? 1U : nlink,
        0U,  // mtime
        static_cast<std::uint32_t>(contents.size()),
        0U,
        0U,
        0U,
        0U,
        static_cast<std::uint32_t>(name.size() + 1),
        0U};
    std::array<char, kHeaderSize + 1> header{};
    int written = std::snprintf(header.data(), header.size(), "%s", kMagic.data());
    for (const std::uint32_t field : fields) {
        written += std::snprintf(header.data() + written,
                                 header.size() - static_cast<std::size_t>(written), "%08X", field);
    }
    ok_ = ok_ && static_cast<std::size_t>(written) == kHeaderSize &&
          out_.append(std::string_view(header.data(), kHeaderSize)) && out_.append(name) &&
          out_.append(std::string_view("\0", 1)) && pad() && out_.append(contents) && pad();
    return ok_;
}

bool Writer::addDirectory(std::string_view name, std::uint32_t permissions) {
    return entry(name, S_IFDIR | (permissions & 07777U), {});
}

bool Writer::addFile(std::string_view name, std::uint32_t permissions,
                     std::span<const std::uint8_t> contents) {
    return entry(name, S_IFREG | (permissions & 07777U), contents);
}

bool Writer::addFile(std::string_view name, std::uint32_t permissions, std::string_view contents) {
    return addFile(name, permissions, asBytes(contents));
}

bool Writer::finish() {
    return entry(kTrailer, 0, {});
}

std::optional<std::size_t> read(std::span<const std::uint8_t> data, std::size_t offset,
                                std::vector<Entry>* entries) {
    const auto text = [&data](std::size_t at, std::size_t length) {
        return std::string_view(reinterpret_cast<const char*>(data.data()) + at, length);
    };
    while (true) {
        if (offset % 4 != 0 || data.size() < kHeaderSize || offset > data.size() - kHeaderSize ||
            text(offset, kMagic.size()) != kMagic) {
            return std::nullopt;
        }
        std::array<std::uint32_t, kFieldCount> fields{};
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            const std::string_view field = text(offset + kMagic.size() + i * 8, 8);
            const auto [end, error] =
                std::from_chars(field.data(), field.data() + field.size(), fields[i], 16);
            if (error != std::errc() || end != field.data() + field.size()) {
                return std::nullopt;
            }
        }
        const std::size_t nameSize = fields[11];
        const std::size_t fileSize = fields[6];
        const std::size_t nameAt = offset + kHeaderSize;
        if (nameSize == 0 || nameSize > kMaxName || nameSize > data.size() - nameAt) {
            return std::nullopt;
        }
        const std::size_t bodyAt = paddedTo4(nameAt + nameSize);
        if (bodyAt > data.size() || fileSize > data.size() - bodyAt) {
            return std::nullopt;
        }
        const std::string_view name = text(nameAt, nameSize - 1);
        offset = paddedTo4(bodyAt + fileSize);
        if (name == kTrailer) {
            return std::min(offset, data.size());
        }
        if (entries != nullptr) {
            entries->push_back(Entry{std::string(name), fields[1], fields[2], fields[3],
                                     std::string(text(bodyAt, fileSize))});
        }
    }
}

}  // namespace lockstep::fde::newc
