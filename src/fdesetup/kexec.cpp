#include "fdesetup/kexec.h"

#include <linux/kexec.h>
#include <linux/reboot.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace lockstep::fde {

namespace {

std::optional<std::string> firstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

}  // namespace

int SyscallKexec::load(int kernelFd, int initrdFd, std::string_view commandLine) {
    // The length counts the terminating NUL.
    const std::string text(commandLine);
    const long rc =
        ::syscall(SYS_kexec_file_load, kernelFd, initrdFd, text.size() + 1, text.c_str(), 0UL);
    return rc == 0 ? 0 : errno;
}

int SyscallKexec::unload() {
    const long rc = ::syscall(SYS_kexec_file_load, -1, -1, 0UL, nullptr,
                              static_cast<unsigned long>(KEXEC_FILE_UNLOAD));
    return rc == 0 ? 0 : errno;
}

int SyscallKexec::execute() {
    ::sync();
    const int rc = ::reboot(static_cast<int>(LINUX_REBOOT_CMD_KEXEC));
    return rc == 0 ? 0 : errno;
}

std::optional<bool> kexecLoaded(const Machine& machine) {
    const auto line = firstLine(machine / "/sys/kernel/kexec_loaded");
    if (!line) {
        return std::nullopt;
    }
    return *line == "1";
}

std::optional<std::string> kexecUnavailableReason(const Machine& machine) {
    if (!kexecLoaded(machine)) {
        return std::string("the running kernel cannot load another kernel (no kexec)");
    }
    if (const auto disabled = firstLine(machine / "/proc/sys/kernel/kexec_load_disabled");
        disabled && *disabled == "1") {
        return std::string("loading another kernel is disabled (kernel.kexec_load_disabled)");
    }
    return std::nullopt;
}

std::string kexecFailureReason(int error) {
    switch (error) {
        case EPERM:
            return "the kernel refused to load the restart kernel (lockdown, or missing "
                   "CAP_SYS_BOOT)";
        case EKEYREJECTED:
        case EBADMSG:
            return "the kernel refused the restart kernel's signature";
        case ENOEXEC:
            return "the restart kernel is not an image the running kernel can load";
        case ENOSYS:
            return "the running kernel has no kexec_file_load";
        default:
            return std::string("the kernel refused to load the restart kernel: ") +
                   std::strerror(error);
    }
}

}  // namespace lockstep::fde
