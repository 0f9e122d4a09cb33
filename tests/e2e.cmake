# SPDX-License-Identifier: BSD-2-Clause
# End to end: a private Postfix and a private Sendmail instance (each with its
# own configuration, queue and data directories in a temporary directory,
# smtpd on a loopback port, relaying to smtp-sink) with milters behind them.
# Needs root, Debian's postfix package and Sendmail unpacked by
# scripts/fetch-sendmail; the tests skip themselves otherwise. Label e2e
# selects them.

# The private Postfix and velmora run in mount namespaces of their own.
if(NOT (VELMORA_HAVE_UNSHARE AND VELMORA_HAVE_PRCTL))
  message(STATUS "e2e tests need Linux mount namespaces (unshare) and prctl: not built")
  return()
endif()

# The do-nothing milter: the harness's first filter and the benchmark's yardstick.
add_executable(velmora-null-milter ${CMAKE_CURRENT_SOURCE_DIR}/e2e/null-milter.cc)
target_include_directories(velmora-null-milter PRIVATE ${MILTER_INCLUDE_DIR})
target_link_libraries(velmora-null-milter PRIVATE ${MILTER_LIBRARY} Threads::Threads)

# Child processes, the private Postfix, the SMTP client (e2e-support.h).
add_library(velmora_e2e_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e-support.cc)
target_include_directories(velmora_e2e_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
target_compile_definitions(velmora_e2e_support
                           PUBLIC VELMORA_NULL_MILTER="$<TARGET_FILE:velmora-null-milter>")
add_dependencies(velmora_e2e_support velmora-null-milter)

velmora_unit_test(e2e_harness_test e2e/harness_test.cc LIBS velmora_e2e_support
                  LABELS integration e2e)

# velmora itself behind the private Postfix.
if(TARGET velmora-filter)
  add_library(velmora_e2e_fixture STATIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e/velmora-fixture.cc)
  target_link_libraries(velmora_e2e_fixture PUBLIC velmora_e2e_support velmora_objs
                                                   velmora_testdns_client OpenSSL::Crypto)
  target_compile_definitions(velmora_e2e_fixture
                             PUBLIC VELMORA_PROGRAM="$<TARGET_FILE:velmora-filter>")
  add_dependencies(velmora_e2e_fixture velmora-filter)

  velmora_unit_test(e2e_flows_test e2e/flows_test.cc LIBS velmora_e2e_fixture yaml-cpp
                    LABELS integration e2e)
  target_compile_definitions(e2e_flows_test PRIVATE VELMORA_ARC_SUITE_DIR="${VELMORA_ARC_SUITE_DIR}")
endif()
if(TARGET velmora_e2e_fixture)
  velmora_unit_test(e2e_startup_test e2e/startup_test.cc LIBS velmora_e2e_fixture
                    LABELS integration e2e)
endif()
if(TARGET velmora_e2e_fixture)
  velmora_unit_test(e2e_load_test e2e/load_test.cc LIBS velmora_e2e_fixture
                    LABELS integration e2e)
endif()
if(TARGET velmora_e2e_fixture)
  velmora_unit_test(e2e_process_test e2e/process_test.cc LIBS velmora_e2e_fixture
                    LABELS integration e2e)
endif()
