# SPDX-License-Identifier: BSD-2-Clause
# The message path: contexts, callbacks, end of message and test mode, run
# over message files in a private mount namespace; skipped without root.
if(TARGET velmora_filter_objs)
  velmora_unit_test(velmora-callbacks_test velmora-callbacks_test.cc chain-support.cc
                    LIBS velmora_config_support)
endif()
