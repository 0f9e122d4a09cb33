// SPDX-License-Identifier: BSD-2-Clause
// base64_test.cc - the base64 codec: known vectors, room tests, and leniency
// of the decoder towards folding and padding.
#include "base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

namespace {

// Decodes into a buffer of `room` bytes; the result code and the bytes.
std::pair<int, std::string> decode(std::string_view text, size_t room) {
    std::string in(text);
    std::string out(room, '\0');
    const int n = arc_base64_decode(reinterpret_cast<const unsigned char*>(in.c_str()),
                                    reinterpret_cast<unsigned char*>(out.data()), room);
    return {n, n > 0 ? out.substr(0, static_cast<size_t>(n)) : std::string()};
}

struct decode_case {
    std::string_view text;
    size_t room;
    int result;
    std::string_view bytes;
};
constexpr decode_case decode_cases[] = {
    {"QUJD", 3, 3, "ABC"},    {"QUJD", 2, -2, ""},
    {"QQ==", 3, 1, "A"},      {"QQ==", 2, -2, ""},  // a started group needs room for 3 bytes
    {"QUI", 3, 2, "AB"},      {"QUI=", 3, 2, "AB"},
    {"Q", 3, -1, ""},         {"", 0, 0, ""},
    {" \r\n\t", 3, 0, ""},    {"QU\r\n\tJD", 3, 3, "ABC"},
    {"QQ==QUJD", 6, 1, "A"},  // the first "=" ends the text
    {"Q!U@J#D", 3, 3, "ABC"}, {"YWJjZGVm", 6, 6, "abcdef"},
    {"YWJjZGVm", 5, -2, ""},  {"//79", 3, 3, "\xff\xfe\xfd"},
};

TEST(Base64, DecodesKnownVectorsAndRefusesSmallBuffers) {
    for (const auto& c : decode_cases) {
        SCOPED_TRACE(std::string(c.text) + " room " + std::to_string(c.room));
        const auto [n, bytes] = decode(c.text, c.room);
        EXPECT_EQ(n, c.result);
        EXPECT_EQ(bytes, c.bytes);
    }
}

struct encode_case {
    std::string_view bytes;
    std::string_view text;
};
constexpr encode_case encode_cases[] = {
    {"", ""},        {"a", "YQ=="},        {"ab", "YWI="},
    {"abc", "YWJj"}, {"abcd", "YWJjZA=="}, {"\xff\xfe\xfd", "//79"},
};

TEST(Base64, EncodesKnownVectors) {
    for (const auto& c : encode_cases) {
        SCOPED_TRACE(std::string(c.text));
        std::string out(16, '\0');
        const int n = arc_base64_encode(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                        c.bytes.size(),
                                        reinterpret_cast<unsigned char*>(out.data()), out.size());
        ASSERT_EQ(n, static_cast<int>(c.text.size()));
        EXPECT_EQ(out.substr(0, static_cast<size_t>(n)), c.text);
    }
}

TEST(Base64, EncodeNeedsRoomForEveryStartedGroup) {
    for (std::string_view in : {"a", "ab", "abc"}) {
        SCOPED_TRACE(std::string(in));
        unsigned char out[3];
        EXPECT_EQ(arc_base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                                    out, sizeof out),
                  -1);
    }
    unsigned char out[7];
    EXPECT_EQ(arc_base64_encode(reinterpret_cast<const unsigned char*>("abcd"), 4, out, sizeof out),
              -1);
}

TEST(Base64, RoundTripsEveryByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    std::string text(4 * ((all.size() + 2) / 3) + 1, '\0');
    const int n = arc_base64_encode(reinterpret_cast<const unsigned char*>(all.data()), all.size(),
                                    reinterpret_cast<unsigned char*>(text.data()), text.size());
    ASSERT_EQ(n, 344);
    text.resize(static_cast<size_t>(n));
    const auto [m, bytes] = decode(text, 258);
    EXPECT_EQ(m, 256);
    EXPECT_EQ(bytes, all);
}

}  // namespace
