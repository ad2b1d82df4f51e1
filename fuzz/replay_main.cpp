// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file named on the
// command line, or on every regular file of a named folder, in name order.
// Used where there is no libFuzzer (g++ builds) to replay the seed corpora as
// tests: a broken invariant or a sanitizer report aborts the run.
//
//   replay_<target> <file-or-folder>...

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

bool readInput(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
    // "e": opened close-on-exec.
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
    if (file == nullptr) {
        return false;
    }
    out.clear();
    std::uint8_t chunk[4096];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof(chunk), file.get());
        out.insert(out.end(), chunk, chunk + got);
        if (got < sizeof(chunk)) {
            return std::ferror(file.get()) == 0;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file-or-folder>...\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path argument(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(argument, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(argument, error)) {
                if (entry.is_regular_file(error)) {
                    inputs.push_back(entry.path());
                }
            }
            if (error) {
                std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
                return 2;
            }
        } else {
            inputs.push_back(argument);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }

    std::vector<std::uint8_t> data;
    for (const auto& input : inputs) {
        if (!readInput(input, data)) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 2;
        }
        // Each input in a buffer of exactly its size, so that a read past its
        // end shows under AddressSanitizer as it would under libFuzzer.
        const std::vector<std::uint8_t> exact(data.begin(), data.end());
        static_cast<void>(LLVMFuzzerTestOneInput(exact.data(), exact.size()));
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
