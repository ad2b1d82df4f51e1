// Prints the number of each descriptor it holds, one per line (the one it
// reads its descriptor folder through left out).

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 1;
    }
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
            std::printf("%s\n", entry->d_name);
        }
    }
    ::closedir(folder);
    return 0;
}
