// SPDX-License-Identifier: BSD-2-Clause
// forged-results.h - Authentication-Results values from outside that claim an
// authserv-id in one reading or another, shared by the test-mode hops and the
// hops behind Postfix: each one heads a field whose result a validating hop
// must remove and a sealing hop must never copy; and values of other hosts,
// which pass untouched.
#ifndef VELMORA_TESTS_FORGED_RESULTS_H
#define VELMORA_TESTS_FORGED_RESULTS_H

#include <string>
#include <string_view>

namespace velmora_test {

struct forged_case {
    const char* pattern;  // "{id}" the whole authserv-id, "{l}" its first label, "{r}" the rest
    bool claims;          // the field claims the authserv-id: it must be removed
};

// The result every pattern carries: a sealed copy of it would be a forgery.
constexpr const char* forged_result = " dkim=pass header.d=bank.example";

constexpr forged_case forged_cases[] = {
    // A blank, a quoted part or an escape inside the name: one reader joins
    // the parts, another stops at the first.
    {"{l} .{r};", true},
    {"{l}.\"{r}\";", true},
    {"\"{l}\".{r};", true},
    {"{l}.\\{r};", true},
    // An escaped parenthesis is no comment to RFC 8601.
    {"\\(x {id};", true},
    // CFWS with nested comments, a quoted-string, a version, a trailing dot:
    // all name the authserv-id.
    {"(a (nested \\) comment)) {id};", true},
    {" \"{id}\" 1;", true},
    {"{id}.;", true},
    // What does not read as an authserv-id at all.
    {"{id}", true},
    {"(unclosed {id};", true},
    {"\"{id};", true},
    // Other hosts' fields, even ones that mention the authserv-id.
    {"other.example;", false},
    {"\"{id}; x\";", false},
    {"{l}-{r};", false},
};

// The pattern with the authserv-id `id` filled in, followed by forged_result.
inline std::string forged_value(std::string_view pattern, const std::string& id) {
    const size_t dot = id.find('.');
    const std::string first = id.substr(0, dot);
    const std::string rest = dot == std::string::npos ? "" : id.substr(dot + 1);
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const std::string_view at = pattern.substr(i);
        if (at.starts_with("{id}")) {
            out += id;
            i += 3;
        } else if (at.starts_with("{l}")) {
            out += first;
            i += 2;
        } else if (at.starts_with("{r}")) {
            out += rest;
            i += 2;
        } else {
            out += pattern[i];
        }
    }
    return out + forged_result;
}

}  // namespace velmora_test

#endif  // VELMORA_TESTS_FORGED_RESULTS_H
