#pragma once

namespace lockstep::testing::kill_vfs {

// Makes SQLite's default VFS one that passes everything to the real default
// and counts every write, sync, truncation and deletion of a file (database
// and journal alike). Once armed, it kills the process with SIGKILL right
// after the N-th of them, so a change can be cut at every step of its commit.
// Meant for a child process that exists for one such cut; installing twice is
// harmless.
void install();

// Kills the process at the `killAt`-th counted event from now; 0 disarms.
void arm(int killAt);

}  // namespace lockstep::testing::kill_vfs
