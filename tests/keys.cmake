# SPDX-License-Identifier: BSD-2-Clause
# Key lookup: resolver adapter, DNS reply checks, key records by DNS and by
# file, public-key checks; and the test DNS server with its client helpers.

# velmora-testdns: the small authoritative DNS server the real-DNS tests run.
add_executable(velmora-testdns ${CMAKE_CURRENT_SOURCE_DIR}/testdns/testdns.cc)
target_link_libraries(velmora-testdns PRIVATE velmora_platform)

# Helpers to start it and point the stub resolver at it (testdns-client.h).
# Link with LIBS velmora_testdns_client.
add_library(velmora_testdns_client STATIC ${CMAKE_CURRENT_SOURCE_DIR}/testdns/testdns-client.cc)
target_include_directories(velmora_testdns_client PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/testdns)
target_link_libraries(velmora_testdns_client PUBLIC velmora_platform)
target_compile_definitions(velmora_testdns_client
                           PUBLIC VELMORA_TESTDNS_PROGRAM="$<TARGET_FILE:velmora-testdns>")
add_dependencies(velmora_testdns_client velmora-testdns)

velmora_unit_test(arc-dns_test arc-dns_test.cc)
velmora_unit_test(arc-keys_test arc-keys_test.cc)
velmora_unit_test(arc-pubkey_test arc-pubkey_test.cc)
velmora_unit_test(dns_integration_test dns_integration_test.cc LIBS velmora_testdns_client
                  LABELS integration)

# The key cache of the library handle.
velmora_unit_test(arc-keycache_test arc-keycache_test.cc chain-support.cc LIBS Threads::Threads)
