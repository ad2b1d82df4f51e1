// Prints the number of each descriptor it holds, one per line (the one it
// reads its descriptor folder through left out).

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

int main() {
    DIR* folder = ::opendir("/proc/self/fd");
    while (const dirent* entry = folder == nullptr ? nullptr : ::readdir(folder)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(folder))
            std::printf("%s\n", entry->d_name);
    }
    return folder == nullptr ? 1 : ::closedir(folder);
}
