# SPDX-License-Identifier: BSD-2-Clause
# The library's handle and options, tag-value sets, message intake,
# strings and helpers, base64, the tables; the C header, the installed
# pkg-config file.
velmora_unit_test(arc-util_test arc-util_test.cc)
velmora_unit_test(base64_test base64_test.cc)
velmora_unit_test(arc-tables_test arc-tables_test.cc)
velmora_unit_test(arc_test arc_test.cc)

# The public header read by a C compiler, linked against the shared library.
add_executable(public_header_test public_header_test.c)
target_link_libraries(public_header_test PRIVATE velmora)
add_test(NAME public_header_test COMMAND public_header_test)
set_tests_properties(public_header_test PROPERTIES LABELS unit)

# A C program built through the installed velmora.pc, as a user would.
# A sanitizer build's library needs the program built with the same runtime.
set(pkgconfig_test_cflags "")
if(VELMORA_SANITIZE)
  set(pkgconfig_test_cflags -fsanitize=${VELMORA_SANITIZE})
endif()
add_test(NAME pkgconfig_test
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/pkgconfig_test.sh ${CMAKE_BINARY_DIR}
                 ${CMAKE_C_COMPILER} "${pkgconfig_test_cflags}")
set_tests_properties(pkgconfig_test PROPERTIES LABELS unit)
