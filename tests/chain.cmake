# SPDX-License-Identifier: BSD-2-Clause
# Chain validation and sealing: the public ARC test suite driver, the seal and
# validation tests.

find_package(yaml-cpp REQUIRED)

# Where the public ARC test suite's YAML files live (VELMORA_ARC_SUITE in the
# environment overrides it at run time).
set(VELMORA_ARC_SUITE_DIR ${PROJECT_SOURCE_DIR}/tests/data/arc-test-suite/tests
    CACHE PATH "directory of the ARC test suite YAML files")

velmora_unit_test(arc-suite_test arc-suite_test.cc chain-support.cc
                  LIBS yaml-cpp velmora_testdns_client)
target_compile_definitions(arc-suite_test PRIVATE VELMORA_ARC_SUITE_DIR="${VELMORA_ARC_SUITE_DIR}")

# The validation cases again, keys served by velmora-testdns (root only).
velmora_unit_test(arc-suite-dns_test arc-suite_test.cc chain-support.cc
                  LIBS yaml-cpp velmora_testdns_client LABELS integration)
target_compile_definitions(arc-suite-dns_test PRIVATE VELMORA_SUITE_OVER_DNS
                           VELMORA_ARC_SUITE_DIR="${VELMORA_ARC_SUITE_DIR}")

velmora_unit_test(arc-seal_test arc-seal_test.cc chain-support.cc)
velmora_unit_test(arc-verify_test arc-verify_test.cc chain-support.cc)
velmora_unit_test(arc-ed25519_test arc-ed25519_test.cc chain-support.cc)

# One library handle used by several threads at once (also run under
# ThreadSanitizer: label "threads"); over DNS when run as root.
velmora_unit_test(arc-threads_test arc-threads_test.cc chain-support.cc
                  LIBS velmora_testdns_client Threads::Threads LABELS integration threads)
