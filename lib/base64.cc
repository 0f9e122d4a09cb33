// SPDX-License-Identifier: BSD-2-Clause
// base64.cc - base64 (RFC 4648, standard alphabet) into caller-supplied
// buffers, for the b= and bh= tags and the p= tag of key records.
//
// Memory:  none; both directions write into the caller's buffer.
// Errors:  negative results; the callers report them.
// Threads: pure functions over constant tables.
#include "base64.h"

#include <assert.h>

#include <array>
#include <cstdint>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(alphabet) == 64 + 1, "64 characters and the NUL");

// Marks a byte outside the alphabet.
constexpr uint8_t not_alphabet = 0xff;

constexpr std::array<uint8_t, 256> make_decode_table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) {
        v = not_alphabet;
    }
    for (uint8_t i = 0; i < 64; ++i) {
        t[static_cast<unsigned char>(alphabet[i])] = i;
    }
    return t;
}

constexpr std::array<uint8_t, 256> decode_table = make_decode_table();
static_assert(decode_table['A'] == 0 && decode_table['/'] == 63 &&
                  decode_table['='] == not_alphabet,
              "the decoding table inverts the alphabet");

}  // namespace

int arc_base64_decode(const unsigned char* str, unsigned char* buf, size_t buflen) noexcept {
    assert(str != NULL);
    assert(buf != NULL);
    size_t n = 0;
    uint32_t bits = 0;
    int have = 0;
    for (const unsigned char* p = str; *p != '\0' && *p != '='; ++p) {
        const uint8_t v = decode_table[*p];
        if (v == not_alphabet) {
            continue;
        }
        // Room for a whole group is needed before any of its characters is taken.
        if (n + 3 > buflen) {
            return -2;
        }
        bits = (bits << 6) | v;
        if (++have == 4) {
            buf[n++] = static_cast<unsigned char>(bits >> 16);
            buf[n++] = static_cast<unsigned char>(bits >> 8);
            buf[n++] = static_cast<unsigned char>(bits);
            bits = 0;
            have = 0;
        }
    }
    switch (have) {
        case 1:
            return -1;
        case 2:
            if (n + 1 > buflen) {
                return -2;
            }
            buf[n++] = static_cast<unsigned char>(bits >> 4);
            break;
        case 3:
            if (n + 2 > buflen) {
                return -2;
            }
            buf[n++] = static_cast<unsigned char>(bits >> 10);
            buf[n++] = static_cast<unsigned char>(bits >> 2);
            break;
        default:
            break;
    }
    return static_cast<int>(n);
}

int arc_base64_encode(const unsigned char* data, size_t datalen, unsigned char* buf,
                      size_t buflen) noexcept {
    assert(data != NULL);
    assert(buf != NULL);
    size_t n = 0;
    for (size_t i = 0; i < datalen; i += 3) {
        if (buflen - n < 4) {
            return -1;
        }
        const size_t left = datalen - i;
        const uint32_t bits = (static_cast<uint32_t>(data[i]) << 16) |
                              (left > 1 ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                              (left > 2 ? static_cast<uint32_t>(data[i + 2]) : 0);
        buf[n++] = static_cast<unsigned char>(alphabet[(bits >> 18) & 0x3f]);
        buf[n++] = static_cast<unsigned char>(alphabet[(bits >> 12) & 0x3f]);
        buf[n++] = left > 1 ? static_cast<unsigned char>(alphabet[(bits >> 6) & 0x3f]) : '=';
        buf[n++] = left > 2 ? static_cast<unsigned char>(alphabet[bits & 0x3f]) : '=';
    }
    return static_cast<int>(n);
}
