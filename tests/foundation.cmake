# Library foundation: handle and options, tag-value sets, message intake,
# strings and helpers, base64, the tables; the C header, the installed
# pkg-config file.
velmora_unit_test(arc-util_test arc-util_test.cc)
velmora_unit_test(base64_test base64_test.cc)
velmora_unit_test(arc-tables_test arc-tables_test.cc)
velmora_unit_test(arc_test arc_test.cc)
