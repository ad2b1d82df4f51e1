#include "support/kill_vfs.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <stdexcept>

namespace lockstep::testing::kill_vfs {

namespace {

sqlite3_vfs* real = nullptr;
sqlite3_vfs vfs{};
int killAt = 0;  // 0: not armed
int counted = 0;

int event(int rc) {
    if (++counted == killAt) ::kill(::getpid(), SIGKILL);
    return rc;
}

// A copy of the methods the default VFS gave a file, whose writing calls
// count; one per kind of file it opens. A file's pMethods points at its copy.
struct Counting {
    sqlite3_io_methods methods;
    const sqlite3_io_methods* real;
};
std::array<Counting, 8> counting{};

const sqlite3_io_methods* realOf(sqlite3_file* file) {
    return reinterpret_cast<const Counting*>(file->pMethods)->real;
}

int open(sqlite3_vfs* /*vfs*/, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    const int rc = real->xOpen(real, name, file, flags, outFlags);
    if (file->pMethods == nullptr) return rc;
    auto slot = std::ranges::find_if(counting, [file](const Counting& c) {
        return c.real == file->pMethods || c.real == nullptr;
    });
    if (slot == counting.end()) {
        std::abort();  // too many kinds of file: their calls would go uncounted
    }
    if (slot->real == nullptr) {
        *slot = {*file->pMethods, file->pMethods};
        slot->methods.xWrite = [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 at) {
            return event(realOf(f)->xWrite(f, data, amount, at));
        };
        slot->methods.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
            return event(realOf(f)->xTruncate(f, size));
        };
        slot->methods.xSync = [](sqlite3_file* f, int how) {
            return event(realOf(f)->xSync(f, how));
        };
    }
    file->pMethods = &slot->methods;
    return rc;
}

}  // namespace

void install() {
    if (real != nullptr) return;
    real = sqlite3_vfs_find(nullptr);
    vfs = *real;
    vfs.pNext = nullptr;
    vfs.zName = "lockstep-test-kill";
    vfs.xOpen = open;
    vfs.xDelete = [](sqlite3_vfs*, const char* name, int syncDir) {
        return event(real->xDelete(real, name, syncDir));
    };
    if (sqlite3_vfs_register(&vfs, 1) != SQLITE_OK)
        throw std::runtime_error("the killing SQLite VFS cannot be registered");
}

void arm(int at) {
    counted = 0;
    killAt = at;
}

}  // namespace lockstep::testing::kill_vfs
