// Test main: a private runtime directory per test program, so test programs
// running at once never share segments, IPC services or fabric views.
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
