// SPDX-License-Identifier: BSD-2-Clause
// base64.h - base64 (RFC 4648) into caller-supplied buffers.
#ifndef VELMORA_LIB_BASE64_H
#define VELMORA_LIB_BASE64_H

#include <cstddef>

// Decodes NUL-terminated base64 text, skipping non-alphabet bytes and stopping
// at the first "=". Returns the bytes written, -1 for a single leftover
// character, -2 when the buffer is too small. Writes no NUL.
int arc_base64_decode(const unsigned char* str, unsigned char* buf, size_t buflen) noexcept;

// Encodes bytes; returns the characters written, or -1 when the buffer is too
// small. Writes no NUL.
int arc_base64_encode(const unsigned char* data, size_t datalen, unsigned char* buf,
                      size_t buflen) noexcept;

#endif  // VELMORA_LIB_BASE64_H
