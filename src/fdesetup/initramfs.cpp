#include "fdesetup/initramfs.h"

#include <archive.h>
#include <archive_entry.h>

#include <array>
#include <cstring>
#include <memory>

#include "fdesetup/newc.h"

namespace lockstep::fde {

namespace {

struct ArchiveDeleter {
    void operator()(archive* a) const noexcept { archive_read_free(a); }
};

struct Magic {
    std::string_view bytes;
    Compression compression;
};

// The magic numbers the kernel's initramfs decompressors recognise.
constexpr std::array<Magic, 8> kMagics{{
    {"\x1f\x8b", Compression::Gzip},
    {"\x1f\x9e", Compression::Gzip},
    {"\x28\xb5\x2f\xfd", Compression::Zstd},
    {"\xfd\x37\x7a\x58\x5a\x00", Compression::Xz},
    {"\x02\x21\x4c\x18", Compression::Lz4},
    {"BZh", Compression::Bzip2},
    {"\x5d\x00\x00", Compression::Lzma},
    {"\x89\x4c\x5a", Compression::Lzo},
}};

Compression detectCompression(std::span<const std::uint8_t> rest) {
    const std::string_view head(reinterpret_cast<const char*>(rest.data()),
                                std::min<std::size_t>(rest.size(), 8));
    if (head.starts_with(newc::kMagic)) {
        return Compression::None;
    }
    for (const Magic& magic : kMagics) {
        if (head.starts_with(magic.bytes)) {
            return magic.compression;
        }
    }
    return Compression::Unknown;
}

std::string_view withoutLeadingDot(std::string_view name) {
    while (name.starts_with("./") || name.starts_with('/')) {
        name.remove_prefix(name.starts_with('/') ? 1 : 2);
    }
    return name;
}

// Largest crypttab copy read from the image.
constexpr la_int64_t kMaxCrypttab = 1 << 20;

void readMainArchive(std::span<const std::uint8_t> archiveBytes, InitramfsInfo& info) {
    const std::unique_ptr<archive, ArchiveDeleter> reader(archive_read_new());
    if (!reader) {
        info.problem = "out of memory";
        return;
    }
    archive_read_support_filter_all(reader.get());
    archive_read_support_format_cpio(reader.get());
    if (archive_read_open_memory(reader.get(), archiveBytes.data(), archiveBytes.size()) !=
        ARCHIVE_OK) {
        info.problem =
            std::string("cannot read the main archive: ") + archive_error_string(reader.get());
        return;
    }
    bool initramfsConf = false;
    bool dracut = false;
    bool initrdRelease = false;
    bool systemdInit = false;
    archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const std::string_view name = withoutLeadingDot(archive_entry_pathname(entry));
        if (name == "conf/initramfs.conf") {
            initramfsConf = true;
        } else if (name.starts_with("usr/lib/dracut/") || name.starts_with("lib/dracut/")) {
            dracut = true;
        } else if (name == "etc/initrd-release" || name == "usr/lib/initrd-release") {
            initrdRelease = true;
        } else if (name == "init" && archive_entry_filetype(entry) == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            systemdInit = target != nullptr && std::strstr(target, "systemd") != nullptr;
        } else if (name == "scripts/local-top/cryptroot") {
            info.hasCryptroot = true;
        } else if (name == "cryptroot/crypttab" && archive_entry_filetype(entry) == AE_IFREG &&
                   archive_entry_size(entry) <= kMaxCrypttab) {
            std::string text(static_cast<std::size_t>(archive_entry_size(entry)), '\0');
            const la_ssize_t got = archive_read_data(reader.get(), text.data(), text.size());
            if (got >= 0) {
                text.resize(static_cast<std::size_t>(got));
                info.cryptrootCrypttab = std::move(text);
            }
        }
    }
    if (status != ARCHIVE_EOF) {
        info.problem =
            std::string("the main archive is damaged: ") + archive_error_string(reader.get());
    }
    if (initramfsConf) {
        info.builder = Builder::InitramfsTools;
    } else if (dracut) {
        info.builder = Builder::Dracut;
    } else if (initrdRelease || systemdInit) {
        info.builder = Builder::SystemdBased;
    }
}

}  // namespace

std::string_view compressionName(Compression compression) {
    switch (compression) {
        case Compression::None:
            return "uncompressed";
        case Compression::Gzip:
            return "gzip";
        case Compression::Zstd:
            return "zstd";
        case Compression::Xz:
            return "xz";
        case Compression::Lz4:
            return "lz4";
        case Compression::Bzip2:
            return "bzip2";
        case Compression::Lzma:
            return "lzma";
        case Compression::Lzo:
            return "lzo";
        case Compression::Unknown:
            break;
    }
    return "unknown";
}

std::string_view builderName(Builder builder) {
    switch (builder) {
        case Builder::InitramfsTools:
            return "initramfs-tools";
        case Builder::Dracut:
            return "dracut";
        case Builder::SystemdBased:
            return "systemd-based";
        case Builder::Unknown:
            break;
    }
    return "unknown";
}

InitramfsInfo inspectInitramfs(std::span<const std::uint8_t> image) {
    InitramfsInfo info;
    std::size_t offset = 0;
    // Uncompressed archives come first (microcode for the early loader);
    // cpio pads each to its block size with zeros.
    while (true) {
        while (offset < image.size() && image[offset] == 0) {
            ++offset;
        }
        if (offset >= image.size()) {
            info.problem = "no main archive";
            return info;
        }
        const Compression compression = detectCompression(image.subspan(offset));
        if (compression != Compression::None) {
            info.compression = compression;
            break;
        }
        std::vector<newc::Entry> entries;
        const auto next = newc::read(image, offset, &entries);
        if (!next) {
            info.problem = "a damaged uncompressed archive";
            return info;
        }
        bool early = !entries.empty();
        for (const newc::Entry& entry : entries) {
            early = early && withoutLeadingDot(entry.name).starts_with("kernel");
        }
        if (!early) {
            // An uncompressed main archive.
            info.compression = Compression::None;
            break;
        }
        ++info.earlyArchives;
        offset = *next;
    }
    info.mainOffset = offset;
    if (info.compression == Compression::Unknown) {
        info.problem = "the main archive's compression is not recognised";
        return info;
    }
    readMainArchive(image.subspan(offset), info);
    return info;
}

std::optional<std::string> unsupportedReason(const InitramfsInfo& info) {
    if (!info.problem.empty()) {
        return "the initramfs cannot be read: " + info.problem;
    }
    switch (info.builder) {
        case Builder::InitramfsTools:
            break;
        case Builder::Dracut:
            return std::string("the initramfs was built by dracut, which is not supported");
        case Builder::SystemdBased:
            return std::string("the initramfs is systemd-based, which is not supported");
        case Builder::Unknown:
            return std::string("the initramfs was built by an unknown tool");
    }
    if (!info.hasCryptroot || !info.cryptrootCrypttab) {
        return std::string(
            "the initramfs does not unlock encrypted volumes "
            "(cryptsetup-initramfs is not in it)");
    }
    return std::nullopt;
}

}  // namespace lockstep::fde
