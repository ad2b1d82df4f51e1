#include "support/kill_vfs.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <stdexcept>

namespace lockstep::testing::kill_vfs {

namespace {

sqlite3_vfs* real = nullptr;
sqlite3_vfs vfs{};
int killAt = 0;  // 0: not armed
int counted = 0;

struct File {
    sqlite3_file base;
    sqlite3_file* real;
};

File* self(sqlite3_file* file) {
    return reinterpret_cast<File*>(file);
}
sqlite3_file* inner(sqlite3_file* file) {
    return self(file)->real;
}

void event() {
    ++counted;
    if (killAt > 0 && counted == killAt) {
        ::kill(::getpid(), SIGKILL);
    }
}

int close(sqlite3_file* f) {
    return inner(f)->pMethods->xClose(inner(f));
}
int read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return inner(f)->pMethods->xRead(inner(f), data, amount, offset);
}
int write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    const int rc = inner(f)->pMethods->xWrite(inner(f), data, amount, offset);
    event();
    return rc;
}
int truncate(sqlite3_file* f, sqlite3_int64 size) {
    const int rc = inner(f)->pMethods->xTruncate(inner(f), size);
    event();
    return rc;
}
int sync(sqlite3_file* f, int flags) {
    const int rc = inner(f)->pMethods->xSync(inner(f), flags);
    event();
    return rc;
}
int fileSize(sqlite3_file* f, sqlite3_int64* size) {
    return inner(f)->pMethods->xFileSize(inner(f), size);
}
int lock(sqlite3_file* f, int level) {
    return inner(f)->pMethods->xLock(inner(f), level);
}
int unlock(sqlite3_file* f, int level) {
    return inner(f)->pMethods->xUnlock(inner(f), level);
}
int checkReservedLock(sqlite3_file* f, int* out) {
    return inner(f)->pMethods->xCheckReservedLock(inner(f), out);
}
int fileControl(sqlite3_file* f, int op, void* arg) {
    return inner(f)->pMethods->xFileControl(inner(f), op, arg);
}
int sectorSize(sqlite3_file* f) {
    return inner(f)->pMethods->xSectorSize(inner(f));
}
int deviceCharacteristics(sqlite3_file* f) {
    return inner(f)->pMethods->xDeviceCharacteristics(inner(f));
}

// Version 1: no shared memory and no memory mapping, which the rollback
// journal does not need.
const sqlite3_io_methods methods = {
    1,
    close,
    read,
    write,
    truncate,
    sync,
    fileSize,
    lock,
    unlock,
    checkReservedLock,
    fileControl,
    sectorSize,
    deviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int open(sqlite3_vfs* /*vfs*/, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    File* p = self(file);
    p->real = reinterpret_cast<sqlite3_file*>(p + 1);
    const int rc = real->xOpen(real, name, p->real, flags, outFlags);
    p->base.pMethods = p->real->pMethods != nullptr ? &methods : nullptr;
    return rc;
}
int remove(sqlite3_vfs* /*vfs*/, const char* name, int syncDir) {
    const int rc = real->xDelete(real, name, syncDir);
    event();
    return rc;
}
int access(sqlite3_vfs* /*vfs*/, const char* name, int flags, int* out) {
    return real->xAccess(real, name, flags, out);
}
int fullPathname(sqlite3_vfs* /*vfs*/, const char* name, int size, char* out) {
    return real->xFullPathname(real, name, size, out);
}

}  // namespace

void install() {
    if (real != nullptr) {
        return;
    }
    real = sqlite3_vfs_find(nullptr);
    vfs = *real;
    vfs.pNext = nullptr;
    vfs.zName = "lockstep-test-kill";
    vfs.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
    vfs.xOpen = open;
    vfs.xDelete = remove;
    vfs.xAccess = access;
    vfs.xFullPathname = fullPathname;
    if (sqlite3_vfs_register(&vfs, 1) != SQLITE_OK) {
        throw std::runtime_error("the killing SQLite VFS cannot be registered");
    }
}

void arm(int at) {
    counted = 0;
    killAt = at;
}

}  // namespace lockstep::testing::kill_vfs
