// replay_main.cc - runs a fuzz target over files, without libFuzzer, so the
// seed corpus and any saved crash inputs replay in the ordinary test build.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exact-size heap copy: inside a larger buffer an overread would go unnoticed.
    uint8_t *copy = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (!copy) return 1;
    std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    free(copy);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int files = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &e : std::filesystem::directory_iterator(arg)) {
                if (!e.is_regular_file()) continue;
                if (replay_file(e.path()) != 0) return 1;
                files++;
            }
        } else {
            if (replay_file(arg) != 0) return 1;
            files++;
        }
    }
    printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
