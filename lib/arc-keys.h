// SPDX-License-Identifier: BSD-2-Clause
// arc-keys.h - fetching public-key record texts by DNS or from a key file.
#ifndef VELMORA_LIB_ARC_KEYS_H
#define VELMORA_LIB_ARC_KEYS_H

#include <cstddef>

#include "velmora.h"

// Each fills buf (zeroed first, NUL-terminated) with the record text of
// msg->arc_selector._domainkey.msg->arc_domain and returns an ARC_STAT,
// recording its own error text on failure.
ARC_STAT arc_get_key_dns(arc_msg* msg, char* buf, size_t buflen) noexcept;
ARC_STAT arc_get_key_file(arc_msg* msg, char* buf, size_t buflen) noexcept;

#endif  // VELMORA_LIB_ARC_KEYS_H
