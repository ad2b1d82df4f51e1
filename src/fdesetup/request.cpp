#include "fdesetup/request.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/bytes.h"
#include "platform/plist.h"
#include "platform/scoped_fd.h"

namespace lockstep::fde {

namespace {

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};

// The string of a node, copied into locked memory; the node's own copy is
// wiped, so only the locked one remains.
std::optional<LockedBuffer> takeSecretString(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr || length > kMaxPasswordBytes) {
        return std::nullopt;
    }
    LockedBuffer out(kMaxPasswordBytes);
    const bool ok = out.valid() && out.append(std::string_view(text, length));
    // libplist owns this heap copy; it is overwritten before it is freed.
    secureWipe(const_cast<char*>(text), length);
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> plainString(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text == nullptr ? std::nullopt : std::optional<std::string>(std::string(text, length));
}

void wipeAllStrings(plist_t node) {
    if (node == nullptr) {
        return;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text != nullptr) {
                secureWipe(const_cast<char*>(text), length);
            }
            break;
        }
        case PLIST_ARRAY:
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                wipeAllStrings(plist_array_get_item(node, i));
            }
            break;
        case PLIST_DICT: {
            static_cast<void>(forEachDictionaryEntry(node, [](const char*, PlistNode value) {
                wipeAllStrings(static_cast<plist_t>(value));
                return true;
            }));
            break;
        }
        default:
            break;
    }
}

struct Echo {
    int fd;
    termios saved{};
    bool restore = false;
    ~Echo() {
        if (restore) {
            static_cast<void>(::tcsetattr(fd, TCSAFLUSH, &saved));
            // Best effort: the prompt's line ends even when the terminal is gone.
            [[maybe_unused]] const ssize_t written = ::write(fd, "\n", 1);
        }
    }
};

std::optional<LockedBuffer> readTerminalLine(const std::string& prompt, bool secret) {
    const ScopedFD tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!tty) {
        return std::nullopt;
    }
    Echo echo{tty.get()};
    if (secret && ::tcgetattr(tty.get(), &echo.saved) == 0) {
        termios quiet = echo.saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        echo.restore = ::tcsetattr(tty.get(), TCSAFLUSH, &quiet) == 0;
    }
    [[maybe_unused]] const ssize_t written = ::write(tty.get(), prompt.data(), prompt.size());
    LockedBuffer line(kMaxPasswordBytes);
    if (!line.valid()) {
        return std::nullopt;
    }
    while (true) {
        char c = 0;
        const ssize_t got = ::read(tty.get(), &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            break;
        }
        if (!line.append(std::string_view(&c, 1))) {
            return std::nullopt;
        }
    }
    return line;
}

}  // namespace

std::optional<LockedBuffer> readSecretInput(int fd, std::size_t limit) {
    LockedBuffer buffer(limit);
    if (!buffer.valid()) {
        return std::nullopt;
    }
    while (true) {
        if (buffer.size() == buffer.capacity()) {
            // One more byte would be over the limit: look for the end.
            char probe = 0;
            ssize_t got = 0;
            do {
                got = ::read(fd, &probe, 1);
            } while (got < 0 && errno == EINTR);
            secureWipe(&probe, 1);
            return got == 0 ? std::optional(std::move(buffer)) : std::nullopt;
        }
        const ssize_t got =
            ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return buffer;
        }
        // The bytes are already in place; only the size moves.
        buffer.commit(static_cast<std::size_t>(got));
    }
}

std::optional<InputPlist> parseInputPlist(const LockedBuffer& text, std::string* problem) {
    std::string_view document = text.view();
    while (!document.empty() && std::strchr(" \t\r\n", document.front()) != nullptr) {
        document.remove_prefix(1);
    }
    plist_t raw = nullptr;
    if (document.starts_with("bplist00")) {
        plist_from_bin(document.data(), static_cast<std::uint32_t>(document.size()), &raw);
    } else if (!document.empty()) {
        plist_from_xml(document.data(), static_cast<std::uint32_t>(document.size()), &raw);
    }
    const std::unique_ptr<void, PlistFree> root(raw);
    struct WipeOnExit {
        plist_t node;
        ~WipeOnExit() { wipeAllStrings(node); }
    } wipe{raw};
    if (raw == nullptr || plist_get_node_type(raw) != PLIST_DICT) {
        *problem = "the input is not a property list dictionary";
        return std::nullopt;
    }
    InputPlist input;
    input.user = plainString(plist_dict_get_item(raw, "Username"));
    if (plist_t node = plist_dict_get_item(raw, "Password"); node != nullptr) {
        auto password = takeSecretString(node);
        if (!password) {
            *problem = "the Password of the input is not a string of a usable length";
            return std::nullopt;
        }
        input.password = std::move(*password);
        input.hasPassword = true;
    }
    if (plist_t users = plist_dict_get_item(raw, "AdditionalUsers"); users != nullptr) {
        if (plist_get_node_type(users) != PLIST_ARRAY) {
            *problem = "AdditionalUsers of the input is not an array";
            return std::nullopt;
        }
        for (std::uint32_t i = 0; i < plist_array_get_size(users); ++i) {
            plist_t item = plist_array_get_item(users, i);
            if (plist_get_node_type(item) != PLIST_DICT) {
                *problem = "an entry of AdditionalUsers is not a dictionary";
                return std::nullopt;
            }
            auto name = plainString(plist_dict_get_item(item, "Username"));
            auto password = takeSecretString(plist_dict_get_item(item, "Password"));
            if (!name || !password) {
                *problem = "an entry of AdditionalUsers lacks its Username or Password";
                return std::nullopt;
            }
            input.additionalUsers.push_back({std::move(*name), std::move(*password)});
        }
    }
    return input;
}

std::optional<std::string> askTerminal(const std::string& prompt) {
    auto line = readTerminalLine(prompt, false);
    return line ? std::optional<std::string>(std::string(line->view())) : std::nullopt;
}

std::optional<LockedBuffer> askTerminalSecret(const std::string& prompt) {
    return readTerminalLine(prompt, true);
}

}  // namespace lockstep::fde
