// What status checks beyond the keychain's contents: the files a restart
// relies on, and what became of the last request to the restart tool.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "ctl/commands.h"

namespace lockstep::ctl {

namespace {

namespace fs = std::filesystem;

constexpr off_t kKeyFileBytes = 32;

std::string octal(mode_t mode) {
    char text[8];
    static_cast<void>(
        std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777U)));
    return text;
}

// Checks one path with lstat; nothing is said about what is missing or may
// not be looked at.
void checkOne(const std::string& name, const fs::path& path, bool folder, mode_t wantedMode,
              std::vector<FileProblem>& problems) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return;
    }
    const std::string what = name + " " + path.string();
    if (S_ISLNK(info.st_mode)) {
        problems.push_back(
            {what + " is a symbolic link",
             "replace it with the " + std::string(folder ? "folder" : "file") + " itself"});
        return;
    }
    if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
        problems.push_back({what + " is not a " + (folder ? "folder" : "regular file"),
                            "move it aside and enrol again"});
        return;
    }
    if (info.st_uid != 0) {
        problems.push_back({what + " is owned by uid " + std::to_string(info.st_uid) + ", not root",
                            "chown root it"});
    }
    // Group and others must have nothing; a key file read-only for root
    // (0400) is as safe as 0600.
    const bool wrongMode =
        folder ? (info.st_mode & 07777U) != wantedMode
               : (info.st_mode & (S_IRWXG | S_IRWXO | S_ISUID | S_ISGID | S_ISVTX)) != 0;
    if (wrongMode) {
        problems.push_back({what + " is mode " + octal(info.st_mode),
                            "chmod " + octal(wantedMode).substr(1) + " it"});
    }
    if (name == "key file" && info.st_size != kKeyFileBytes) {
        problems.push_back({what + " is " + std::to_string(info.st_size) + " bytes, not " +
                                std::to_string(kKeyFileBytes),
                            "it is damaged: move the keychain and its key aside and enrol again"});
    }
}

}  // namespace

std::vector<FileProblem> checkKeychainFiles(const fs::path& keychain) {
    std::vector<FileProblem> problems;
    checkOne("keychain folder", keychain.parent_path(), true, 0700, problems);
    checkOne("keychain", keychain, false, 0600, problems);
    const fs::path key = keychain.string() + ".key";
    checkOne("key file", key, false, 0600, problems);
    struct stat info {};
    if (::lstat(keychain.c_str(), &info) == 0 && ::lstat(key.c_str(), &info) != 0 &&
        errno == ENOENT) {
        problems.push_back({"key file " + key.string() + " is missing",
                            "without it the stored password is lost: move the keychain aside "
                            "and enrol again"});
    }
    return problems;
}

bool LastRun::armingFailed() const {
    return run && run->tool && !run->armed;
}

std::string describeToolRun(const ToolRun& tool) {
    const std::string name = printable(tool.tool.string());
    std::string text;
    if (tool.unsafeBecause) {
        text = "lockstepd refused to run " + name + ": " + printable(*tool.unsafeBecause);
    } else if (tool.startError) {
        text = name + " could not be started: " + printable(*tool.startError);
    } else if (tool.timedOut) {
        text = name + " did not finish within its time limit and was stopped" +
               (tool.killed ? std::string(" with SIGKILL") : std::string());
    } else if (!tool.exit) {
        text = name + " did not end";
    } else if (tool.exit->exited) {
        text = name + " exited with status " + std::to_string(tool.exit->code);
    } else {
        text = name + " was ended by signal " + std::to_string(tool.exit->code);
    }
    if (!tool.unsafeBecause && !tool.startError) {
        text += " after " + std::to_string(tool.duration.count()) + " ms";
    }
    if (!tool.firstLine.empty()) {
        text += ": \"" + printable(tool.firstLine) + "\"";
    }
    return text;
}

}  // namespace lockstep::ctl
