// SPDX-License-Identifier: BSD-2-Clause
// arc-tables.h - the name/code tables; the exported pointers and the lookups
// are declared in velmora.h.
#ifndef VELMORA_LIB_ARC_TABLES_H
#define VELMORA_LIB_ARC_TABLES_H

#include "velmora.h"

#endif  // VELMORA_LIB_ARC_TABLES_H
