// SPDX-License-Identifier: BSD-2-Clause
// test_main.cc - main of every unit-test program: installs the counting
// allocator before anything can allocate through libcrypto, then runs the
// tests.
#include <gtest/gtest.h>

#include <cstdio>

#include "test-support.h"

int main(int argc, char** argv) {
    if (!velmora_test::install_counting_allocator()) {
        std::fprintf(stderr, "test_main: cannot install the counting allocator\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
