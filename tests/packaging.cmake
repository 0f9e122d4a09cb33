# What an operator or a library user installs: the exported symbols.

add_test(NAME symbols_test COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/symbols_test.sh
                                   $<TARGET_FILE:velmora> ${PROJECT_SOURCE_DIR}/lib/velmora.h)
set_tests_properties(symbols_test PROPERTIES LABELS unit)
