#pragma once

namespace lockstep {

// First thing in main of a program that holds passwords or keychain keys:
// - the process is made non-dumpable and its core-size limit zero, so that no
//   core file holds its memory and other processes of the same user cannot
//   attach to it or read its memory through /proc;
// - SIGPIPE is ignored, so that a write to a standard stream whose reader has
//   gone fails with EPIPE (and is dropped) instead of ending the run. Children
//   still start with SIGPIPE at its default action.
// Raises nothing; a step the system refuses is left as it was.
void hardenProcess() noexcept;

}  // namespace lockstep
