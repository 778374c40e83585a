// replay.cpp - a fuzz target as a plain program (ctest's replay): every file
// given, or in a directory given, goes to LLVMFuzzerTestOneInput once, in name order.
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    inputs.push_back(e.path());
        } else if (fs::is_regular_file(argv[i], ec)) {
            inputs.emplace_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // Fresh heap blocks hold a pattern, not zeros: a field the code forgets
    // to set then shows as garbage instead of passing by luck.
    (void)mallopt(M_PERTURB, 0x5a);
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    for (const fs::path &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s\n", p.c_str());
        (void)LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replay: %zu inputs passed\n", inputs.size());
    return 0;
}
