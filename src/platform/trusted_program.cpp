#include "platform/trusted_program.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>
#include <vector>

namespace lockstep {

namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows in one path lookup.
constexpr int kMaxLinks = 40;

[[nodiscard]] ProgramTrust untrusted(std::string reason) {
    return ProgramTrust{ProgramTrust::Verdict::untrusted, std::move(reason), 0};
}

[[nodiscard]] ProgramTrust missing(int error) {
    return ProgramTrust{ProgramTrust::Verdict::missing, {}, error};
}

[[nodiscard]] std::string modeText(mode_t mode) {
    char text[8];
    static_cast<void>(
        std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777U)));
    return text;
}

// What is wrong with an entry's owner or mode bits, or nothing.
[[nodiscard]] std::string ownerOrModeProblem(const struct stat& info) {
    if (info.st_uid != 0) {
        return "owned by uid " + std::to_string(info.st_uid) + ", not root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "writable by group or others (mode " + modeText(info.st_mode) + ")";
    }
    return {};
}

[[nodiscard]] int lstatRetrying(const fs::path& path, struct stat& info) {
    int result = 0;
    do {
        result = ::lstat(path.c_str(), &info);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

[[nodiscard]] std::deque<std::string> componentsOf(const fs::path& path) {
    std::deque<std::string> names;
    for (const fs::path& part : path.relative_path()) {
        names.push_back(part.string());
    }
    return names;
}

[[nodiscard]] bool readLink(const fs::path& link, std::string& target) {
    std::vector<char> buffer(PATH_MAX);
    ssize_t length = 0;
    do {
        length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    } while (length < 0 && errno == EINTR);
    if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return false;
    }
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

}  // namespace

ProgramTrust checkRootOwnedProgram(const fs::path& program) {
    if (!program.is_absolute()) {
        return untrusted("it is not an absolute path");
    }
    // `folder` is always a path without links or dots whose every folder,
    // itself included, has passed the check.
    fs::path folder = "/";
    struct stat info {};
    if (const int error = lstatRetrying(folder, info); error != 0) {
        return untrusted("folder / cannot be checked: " + std::string(std::strerror(error)));
    }
    if (const std::string problem = ownerOrModeProblem(info); !problem.empty()) {
        return untrusted("folder / is " + problem);
    }

    std::deque<std::string> names = componentsOf(program);
    if (names.empty() || program.filename().empty()) {
        return untrusted("it is not a regular file");
    }
    int links = 0;
    while (names.size() > 1) {
        const std::string name = std::move(names.front());
        names.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            folder = folder.parent_path();
            continue;
        }
        const fs::path entry = folder / name;
        if (const int error = lstatRetrying(entry, info); error != 0) {
            if (error == ENOENT || error == ENOTDIR) {
                return missing(error);
            }
            return untrusted("folder " + entry.string() +
                             " cannot be checked: " + std::strerror(error));
        }
        if (S_ISLNK(info.st_mode)) {
            if (info.st_uid != 0) {
                return untrusted("link " + entry.string() + " is owned by uid " +
                                 std::to_string(info.st_uid) + ", not root");
            }
            std::string target;
            if (++links > kMaxLinks || !readLink(entry, target)) {
                return untrusted("the link " + entry.string() + " cannot be followed");
            }
            const fs::path targetPath(target);
            if (targetPath.is_absolute()) {
                folder = "/";
            }
            std::deque<std::string> targetNames = componentsOf(targetPath);
            names.insert(names.begin(), targetNames.begin(), targetNames.end());
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            return missing(ENOTDIR);
        }
        if (const std::string problem = ownerOrModeProblem(info); !problem.empty()) {
            return untrusted("folder " + entry.string() + " is " + problem);
        }
        folder = entry;
    }

    const fs::path file = folder / names.front();
    if (const int error = lstatRetrying(file, info); error != 0) {
        if (error == ENOENT || error == ENOTDIR) {
            return missing(error);
        }
        return untrusted("it cannot be checked: " + std::string(std::strerror(error)));
    }
    if (S_ISLNK(info.st_mode)) {
        return untrusted("it is a symbolic link");
    }
    if (!S_ISREG(info.st_mode)) {
        return untrusted("it is not a regular file");
    }
    if (const std::string problem = ownerOrModeProblem(info); !problem.empty()) {
        return untrusted("it is " + problem);
    }
    return ProgramTrust{ProgramTrust::Verdict::trusted, {}, 0};
}

}  // namespace lockstep
