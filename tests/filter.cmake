# Unit tests of the filter's modules (configuration reader, strings and
# utilities, host lists, Authentication-Results parser, key-file check).
if(TARGET velmora_filter_objs)
  velmora_unit_test(util_test util_test.cc LIBS velmora_filter_objs)
endif()
