// The main of every test program. Unless the caller names a root, the product's root is a
// temporary folder of this program's own for its whole run, so whatever runs outside a test's
// own root (a logger made at first use, a line logged after a fixture restored the environment,
// work still queued when the program ends) writes there and never into this machine's folders.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>

#include "TempRoot.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::optional<testsupport::TempFolder> root;
    if (const char* named = ::getenv("RAVAVIZA_ROOT"); !named || !*named) {
        root.emplace("rav-test-program");
        ::setenv("RAVAVIZA_ROOT", root->path().c_str(), 1);
    }
    return RUN_ALL_TESTS();
}
