# End to end: a private Postfix instance (its own configuration, queue and
# data directories in a temporary directory, smtpd on a loopback port, relaying
# to smtp-sink) with milters behind it. Needs root and Debian's postfix
# package; the tests skip themselves otherwise. Label e2e selects them.

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
