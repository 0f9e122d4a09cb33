# SPDX-License-Identifier: BSD-2-Clause
# Unit tests of the filter's modules (configuration reader, strings and
# utilities, host lists, Authentication-Results parser, key-file check).
if(TARGET velmora_filter_objs)
  velmora_unit_test(util_test util_test.cc LIBS velmora_filter_objs)
  velmora_unit_test(config_test config_test.cc LIBS velmora_filter_objs)
  velmora_unit_test(velmora-lists_test velmora-lists_test.cc LIBS velmora_filter_objs)
  velmora_unit_test(velmora-ar_test velmora-ar_test.cc LIBS velmora_filter_objs)
  # Runs in a private mount namespace of its own; skipped without root.
  velmora_unit_test(velmora-securefile_test velmora-securefile_test.cc LIBS velmora_filter_objs)
  # Scrapes a real endpoint on loopback with curl and checks it with promtool.
  velmora_unit_test(velmora-metrics_test velmora-metrics_test.cc LIBS velmora_filter_objs
                    LABELS unit threads)
  # Reads real keys in a private mount namespace of its own; those cases skip without root.
  velmora_unit_test(velmora-signtable_test velmora-signtable_test.cc LIBS velmora_filter_objs)
  # The reader's allocations go through wrappers that can fail them.
  target_link_options(config_test PRIVATE -Wl,--wrap=malloc -Wl,--wrap=calloc
                                          -Wl,--wrap=realloc -Wl,--wrap=free)
endif()
# The configuration record, its reload and the action layer. The configuration
# tests run in a private mount namespace of their own; skipped without root.
if(TARGET velmora_filter_objs)
  add_library(velmora_config_support STATIC velmora-config-support.cc)
  target_link_libraries(velmora_config_support PUBLIC velmora_testmain velmora_objs
                                                      velmora_filter_objs)
  velmora_unit_test(velmora-config_test velmora-config_test.cc LIBS velmora_config_support)
  velmora_unit_test(velmora-config-threads_test velmora-config-threads_test.cc
                    LIBS velmora_config_support LABELS unit threads)
  velmora_unit_test(velmora-config-ops_test velmora-config-ops_test.cc
                    LIBS velmora_config_support)
  velmora_unit_test(velmora-actions_test velmora-actions_test.cc LIBS velmora_filter_objs)
endif()
