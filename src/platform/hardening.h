#pragma once

namespace lockstep {

// Makes the process unfit to leak what it holds: not dumpable (no core file,
// and other processes of the same user cannot attach to it or read its memory
// through /proc) and a core-size limit of zero. False when either could not
// be set.
[[nodiscard]] bool protectMemory() noexcept;

// First thing in main of lockstepd and lockstepctl, which hold passwords and
// keychain keys: protectMemory(), and SIGPIPE ignored, so that a write to a
// standard stream whose reader has gone fails with EPIPE (and is dropped)
// instead of ending the run. Children still start with SIGPIPE at its
// default action. Raises nothing; a step the system refuses is left as it
// was.
void hardenProcess() noexcept;

}  // namespace lockstep
