#pragma once

// The kernel's kexec_file_load(2): the one place that loads or unloads the
// kernel the next restart boots. Everything else reaches it through
// KexecLoader, so tests record what would have been loaded instead.

#include <string>
#include <string_view>

#include "fdesetup/volumes.h"

namespace lockstep::fde {

class KexecLoader {
  public:
    virtual ~KexecLoader() = default;
    // Loads the kernel and initramfs (open descriptors) with the command
    // line. 0, or the errno the kernel answered.
    [[nodiscard]] virtual int load(int kernelFd, int initrdFd, std::string_view commandLine) = 0;
    // Unloads whatever kernel is loaded. 0, or the errno.
    [[nodiscard]] virtual int unload() = 0;
    // Boots the loaded kernel now (after syncing the file systems). Returns
    // only when the kernel refused: the errno.
    [[nodiscard]] virtual int execute() = 0;
};

// The real system call.
class SyscallKexec final : public KexecLoader {
  public:
    [[nodiscard]] int load(int kernelFd, int initrdFd, std::string_view commandLine) override;
    [[nodiscard]] int unload() override;
    [[nodiscard]] int execute() override;
};

// Whether a kernel is loaded for the next restart (/sys/kernel/kexec_loaded);
// nothing when the running kernel has no kexec at all.
[[nodiscard]] std::optional<bool> kexecLoaded(const Machine& machine);

// Why the running kernel cannot load a restart kernel; nothing when it can.
[[nodiscard]] std::optional<std::string> kexecUnavailableReason(const Machine& machine);

// A one-line reason for an errno from KexecLoader::load.
[[nodiscard]] std::string kexecFailureReason(int error);

}  // namespace lockstep::fde
