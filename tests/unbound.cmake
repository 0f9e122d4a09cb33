# SPDX-License-Identifier: BSD-2-Clause
# Key lookups through the libunbound resolver against velmora-testdns (root
# only): one program, run twice, so that the threaded case alone carries the
# `threads` label of the ThreadSanitizer stage.
add_executable(arc-unbound_test ${CMAKE_CURRENT_SOURCE_DIR}/arc-unbound_test.cc
                                ${CMAKE_CURRENT_SOURCE_DIR}/chain-support.cc)
target_link_libraries(arc-unbound_test PRIVATE velmora_testmain velmora_objs
                                               velmora_testdns_client)
add_test(NAME arc-unbound_test COMMAND arc-unbound_test --gtest_filter=-*ManyThreads*)
add_test(NAME arc-unbound-threads_test COMMAND arc-unbound_test --gtest_filter=*ManyThreads*)
set_tests_properties(arc-unbound_test PROPERTIES LABELS integration
                     ENVIRONMENT "VELMORA_TEST_DATA=${VELMORA_TEST_DATA}")
set_tests_properties(arc-unbound-threads_test PROPERTIES LABELS "integration;threads"
                     ENVIRONMENT "VELMORA_TEST_DATA=${VELMORA_TEST_DATA}")
# The filter's resolver settings, loaded and at work in test mode (root only:
# the private mount namespace of the configuration tests).
if(TARGET velmora_filter_objs)
  add_executable(velmora-resolver_test ${CMAKE_CURRENT_SOURCE_DIR}/velmora-resolver_test.cc
                                       ${CMAKE_CURRENT_SOURCE_DIR}/chain-support.cc)
  target_link_libraries(velmora-resolver_test PRIVATE velmora_config_support
                                                      velmora_testdns_client)
  add_test(NAME velmora-resolver_test COMMAND velmora-resolver_test)
  set_tests_properties(velmora-resolver_test PROPERTIES LABELS integration
                       ENVIRONMENT "VELMORA_TEST_DATA=${VELMORA_TEST_DATA}")
endif()
