# SPDX-License-Identifier: BSD-2-Clause
# The process frame's routines: restart limits, the wait between restarts,
# the start line and the pid file. The program itself runs in tests/e2e.
if(TARGET velmora_filter_objs)
  velmora_unit_test(velmora-main_test velmora-main_test.cc LIBS velmora_filter_objs)
endif()
