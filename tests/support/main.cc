// Test main: every test program gets a private runtime directory, so its
// segments, IPC services and fabric views do not meet those of another test
// program that runs at the same time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "vorel_platform.h"

int main(int argc, char **argv)
{
    std::string dir;
    if (std::getenv("VOREL_RUN_DIR") == nullptr) {
        char tmpl[] = "/tmp/vorel-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return 2;
        dir = tmpl;
        setenv("VOREL_RUN_DIR", dir.c_str(), 1);
    }
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (!dir.empty()) {
        // Segments live in memory, not in the directory: remove them first.
        gshm_remove_all();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return rc;
}
