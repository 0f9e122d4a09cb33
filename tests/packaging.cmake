# SPDX-License-Identifier: BSD-2-Clause
# What an operator or a library user installs: the exported symbols, the key
# tool, the manuals, the systemd unit and an install into a prefix.

add_test(NAME symbols_test COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/symbols_test.sh
                                   $<TARGET_FILE:velmora> ${PROJECT_SOURCE_DIR}/lib/velmora.h)
set_tests_properties(symbols_test PROPERTIES LABELS unit)

if(TARGET velmora-genkey)
  # Runs the tool in a private mount namespace of its own; skipped without root.
  velmora_unit_test(velmora-genkey_test velmora-genkey_test.cc chain-support.cc
                    LIBS velmora_filter_objs LABELS integration)
  target_compile_definitions(velmora-genkey_test
                             PRIVATE VELMORA_GENKEY_PROGRAM="$<TARGET_FILE:velmora-genkey>")
  add_dependencies(velmora-genkey_test velmora-genkey)

  # Every manual is clean under mandoc's strictest reading.
  foreach(page velmora.8 velmora.conf.5 velmora-genkey.8)
    add_test(NAME man_lint_${page} COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man_lint_test.sh
                                           ${PROJECT_SOURCE_DIR}/man ${page})
    set_tests_properties(man_lint_${page} PROPERTIES LABELS unit)
  endforeach()
endif()

if(TARGET velmora-filter)
  # The systemd unit verifies, starting the program built here.
  add_test(NAME unit_verify_test
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/unit_verify_test.sh
                   ${PROJECT_SOURCE_DIR}/debian/velmora.service $<TARGET_FILE:velmora-filter>
                   ${PROJECT_SOURCE_DIR}/man)
  set_tests_properties(unit_verify_test PROPERTIES LABELS unit SKIP_RETURN_CODE 77)
endif()

if(TARGET velmora_filter_objs AND EXISTS ${PROJECT_SOURCE_DIR}/filter/velmora-config.cc)
  # Every setting is in velmora.conf(5) and in the sample configuration.
  velmora_unit_test(settings-docs_test settings-docs_test.cc LIBS velmora_filter_objs)
  target_compile_definitions(settings-docs_test PRIVATE VELMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()

if(TARGET velmora-filter AND TARGET velmora-genkey)
  # Installed into a fresh prefix, the programs run with an empty environment.
  add_test(NAME install_test COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh
                                     ${CMAKE_BINARY_DIR})
  set_tests_properties(install_test PROPERTIES LABELS integration)
endif()
