// SPDX-License-Identifier: BSD-2-Clause
// velmora-callbacks_test.cc - message files through the filter's real
// callbacks in test mode, hop after hop: the answers, the fields inserted and
// removed, the log lines, and every sealed result validated by the library
// after it was written the way an MTA writes it.
#include "velmora-callbacks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "chain-support.h"
#include "forged-results.h"
#include "test-support.h"
#include "velmora-actions.h"
#include "velmora-ar.h"
#include "velmora-config-support.h"
#include "velmora-config.h"
#include "velmora-metrics.h"
#include "velmora-test.h"

namespace {

using chain_test::message;
using velmora_test::data_path;
using velmora_test::read_file;

// ---- The test directory ----

// Configuration, list and message files copied into the test directory.
constexpr const char* data_files[] = {
    "filter-external.conf",
    "filter-internal.conf",
    "filter-peer.conf",
    "filter-both.conf",
    "filter-limit.conf",
    "filter-sealcheck.conf",
    "filter-simple.conf",
    "filter-relaxed.conf",
    "filter-4096.conf",
    "filter-ed25519.conf",
    "filter-sealcheck-both.conf",
    "filter-final.conf",
    "filter-nokey.conf",
    "filter-internal.hosts",
    "filter-peer.hosts",
    "filter-sealchecks.list",
    "msg-plain.eml",
    "msg-blanks.eml",
    "msg-many-fields.eml",
    "msg-two-dates.eml",
    "msg-two-received.eml",
    "filter-trusted-verify.conf",
    "filter-trusted-seal.conf",
    "filter-signtable.conf",
    "filter-signtable.list",
    "filter-signtable-sub.list",
    "filter-signtable-only.conf",
    "filter-signtable-fallback.conf",
    "filter-oldest.conf",
    "filter-oldest-both.conf",
};

// The keys the configurations name, made for this run.
struct run_keys {
    std::string seal_pem, seal_record;
    std::string big_pem, big_record;
    std::string ed_pem, ed_record;
};

class FilterHops : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Read before the namespace hides a tree that may live under /tmp.
        for (const char* f : data_files) {
            files()[f] = read_file(data_path(f));
        }
        const std::string big_key = read_file(data_path("test-seal-4096.pem"));
        skip_reason() = velmora_test::enter_config_namespace();
        if (!skip_reason().empty()) {
            return;
        }
        dir() = velmora_test::make_test_dir();
        for (const auto& [name, text] : files()) {
            // A signing table chooses the sealing identity: kept like a key.
            const bool table =
                name.find("signtable") != std::string::npos && name.ends_with(".list");
            velmora_test::write_file_as(dir() + "/" + name, text, table ? 0600 : 0644);
        }
        auto& k = keys();
        k.seal_pem = chain_test::key_of_bits(2048).pem;
        k.seal_record = chain_test::key_of_bits(2048).record;
        // Stored: a 4096-bit key is slow to make under the sanitizers.
        k.big_pem = big_key;
        k.big_record = chain_test::record_of_pem(k.big_pem);
        velmora_test::write_file_as(dir() + "/test-seal.pem", k.seal_pem);
        velmora_test::write_file_as(dir() + "/test-seal-4096.pem", k.big_pem);
        k.ed_pem = chain_test::make_ed25519_key(&k.ed_record);
        velmora_test::write_file_as(dir() + "/test-seal-ed25519.pem", k.ed_pem);
        velmora_test::write_file_as(dir() + "/test-nokey.pem", "this file holds no key\n");
        velmora_test::write_file_as(dir() + "/test-keys.txt", key_records(), 0644);
        ASSERT_EQ(chdir(dir().c_str()), 0);
        progname = "velmora";
        testmode = true;
    }

    void SetUp() override {
        if (!skip_reason().empty()) {
            GTEST_SKIP() << skip_reason();
        }
    }

    static std::string key_records() {
        return "s1._domainkey.filter.example " + keys().seal_record +
               "\nbig._domainkey.filter.example " + keys().big_record +
               "\nbig._domainkey.table.example " + keys().big_record +
               "\ned._domainkey.filter.example " + keys().ed_record + "\n";
    }

    static std::map<std::string, std::string>& files() {
        static std::map<std::string, std::string> f;
        return f;
    }
    static std::string& skip_reason() {
        static std::string s;
        return s;
    }
    static std::string& dir() {
        static std::string d;
        return d;
    }

  public:
    static const std::string& test_dir() { return dir(); }

  protected:
    static run_keys& keys() {
        static run_keys k;
        return k;
    }
};

// ---- What a run printed ----

// One change the filter asked for: an insertion ('+') or a removal ('-').
struct change {
    char op;
    int idx;
    std::string name;
    std::string value;  // as handed over, folds included
};

// Reads the INSHEADER and CHGHEADER lines of the test operations. A value
// runs to the quote that ends its line before the next "### " line.
std::vector<change> parse_changes(const std::string& out) {
    std::vector<change> list;
    size_t pos = 0;
    while ((pos = out.find("### ", pos)) != std::string::npos) {
        const size_t next = out.find("\n### ", pos + 4);
        const std::string line =
            out.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        pos = next == std::string::npos ? out.size() : next + 1;
        change c{};
        char name[128] = "";
        int used = 0;
        if (sscanf(line.c_str(), "### INSHEADER: idx=%d hname='%127[^']' hvalue='%n", &c.idx, name,
                   &used) == 2 &&
            used > 0) {
            c.op = '+';
        } else if (sscanf(line.c_str(), "### CHGHEADER: hname='%127[^']' idx=%d hvalue='%n", name,
                          &c.idx, &used) == 2 &&
                   used > 0) {
            c.op = '-';
        } else {
            ADD_FAILURE() << "unexpected output: " << line;
            continue;
        }
        c.name = name;
        std::string value = line.substr(static_cast<size_t>(used));
        if (!value.empty() && value.back() == '\n') {
            value.pop_back();
        }
        if (!value.empty() && value.back() == '\'') {
            value.pop_back();
        }
        c.value = value;
        list.push_back(c);
    }
    return list;
}

// The value with each LF TAB fold joined back into one blank.
std::string unfolded(std::string_view v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\n' && i + 1 < v.size() && v[i + 1] == '\t') {
            out += ' ';
            ++i;
        } else {
            out += v[i];
        }
    }
    return out;
}

// Matches text against a pattern in which "*" stands for any run of bytes.
bool glob(std::string_view pat, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pat.size() && pat[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pat.size() && pat[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == '*') {
        ++p;
    }
    return p == pat.size();
}

// Applies the changes to the message as an MTA does: "Name: value" (or
// "Name:value" when the filter keeps leading blanks), each LF made CR LF.
message apply_changes(const message& in, const std::vector<change>& changes, bool leadspc) {
    message out = in;
    for (const auto& c : changes) {
        if (c.op == '-') {
            int seen = 0;
            for (auto it = out.fields.begin(); it != out.fields.end(); ++it) {
                if (strncasecmp(it->c_str(), (c.name + ":").c_str(), c.name.size() + 1) == 0 &&
                    ++seen == c.idx) {
                    out.fields.erase(it);
                    break;
                }
            }
            continue;
        }
        std::string field = c.name + (leadspc ? ":" : ": ");
        for (const char ch : c.value) {
            field += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        }
        const size_t at = std::min(static_cast<size_t>(c.idx), out.fields.size());
        out.fields.insert(out.fields.begin() + static_cast<std::ptrdiff_t>(at), field);
    }
    return out;
}

// ---- The hops ----

enum class client { plain, leadspc, nochghdrs, ipv6, noaddr };

struct hop {
    const char* name;     // this hop; a later hop may take its output
    const char* conf;     // configuration file
    const char* input;    // msg-*.eml, or the name of an earlier hop
    const char* prepend;  // header lines put on top first ("" for none)
    bool edit_body;       // the body is changed first (a list footer)
    client cl;
    int status;                        // exit status of the run
    const char* answer;                // the last answer reported
    std::vector<std::string> changes;  // "+Name: value" / "-Name idx", values unfolded, "*" globs
    std::vector<std::string> logs;     // log lines (globs), each present in this order
    const char* validates;             // state of the result validated by the library, or ""
};

constexpr const char* eom_accept = "mlfi_eom() returned SMFIS_ACCEPT";
constexpr const char* relaxed_noted =
    "*: the MTA does not keep the blanks after header colons; sealing with relaxed header "
    "canonicalization";
constexpr const char* any_ams = "+ARC-Message-Signature: i=*; a=rsa-sha256; d=filter.example; *";

const std::vector<hop>& hops() {
    static const std::vector<hop> table = {
        // Validation at the border: no chain yet.
        {"verify-none",
         "filter-external.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=none smtp.remote-ip=127.0.0.1"},
         {"assuming verify mode for host localhost"},
         ""},
        // An internal host seals: instance 1.
        {"seal-1",
         "filter-internal.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; mx.example; arc=none smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=1; a=rsa-sha256; d=filter.example; s=s1; t=*; cv=none; b=*"},
         {"assuming sign mode for host localhost"},
         "pass"},
        // The next border host validates it.
        {"verify-pass",
         "filter-external.conf",
         "seal-1",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=pass smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        {"verify-fail",
         "filter-external.conf",
         "seal-1",
         "",
         true,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=fail reason=\"body hash mismatch\" "
          "smtp.remote-ip=127.0.0.1"},
         {"*: client=127.0.0.1 mode=verify outcome=fail reason=\"body hash mismatch\" "
          "keys=s1._domainkey.filter.example:found:none:rsa-sha256 time=*ms"},
         "fail"},
        // A sign-only hop seals on top of a valid chain: the seal covers it.
        {"seal-2",
         "filter-internal.conf",
         "seal-1",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=pass smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=2; *; cv=pass; b=*"},
         {},
         "pass"},
        {"both-on-chain",
         "filter-both.conf",
         "seal-2",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=3; mx.example; arc=pass smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=3; *; cv=pass; b=*",
          "+Authentication-Results: mx.example; arc=pass smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        // The list: our border hop recorded arc=pass, the list changed the
        // body, and its internal sign-only hop keeps the chain it received.
        {"list-border",
         "filter-external.conf",
         "seal-2",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=pass smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        {"list-reseal",
         "filter-internal.conf",
         "list-border",
         "Authentication-Results: other.example; spf=pass smtp.mailfrom=origin.example",
         true,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=3; mx.example; arc=pass smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=3; *; cv=pass; b=*"},
         {"*: chain state forced to 2 due to prior result found"},
         "pass"},
        // OldestPass: how far back the signatures still verify. The list's
        // footer broke the signatures of instances 1 and 2; its border
        // hop's result is removed as any from outside.
        {"oldest-intact",
         "filter-oldest.conf",
         "seal-2",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=pass header.oldest-pass=0 "
          "smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        {"oldest-list",
         "filter-oldest.conf",
         "list-reseal",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"-Authentication-Results 2",
          "+Authentication-Results: mx.example; arc=pass header.oldest-pass=3 "
          "smtp.remote-ip=127.0.0.1"},
         // The newest signature, three seals, then instance 2's signature.
         {"*: client=127.0.0.1 mode=verify outcome=pass keys=s1._domainkey.filter.example:found:"
          "none:rsa-sha256,s1._domainkey.filter.example:found:none:rsa-sha256,s1._domainkey.filter."
          "example:found:none:rsa-sha256,"
          "s1._domainkey.filter.example:found:none:rsa-sha256,s1._domainkey.filter.example:found:"
          "none:rsa-sha256 "
          "time=*ms"},
         "pass"},
        {"oldest-both",
         "filter-oldest-both.conf",
         "list-reseal",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"-Authentication-Results 2",
          "+ARC-Authentication-Results: i=4; mx.example; arc=pass header.oldest-pass=3 "
          "smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=4; *; cv=pass; b=*",
          "+Authentication-Results: mx.example; arc=pass header.oldest-pass=3 "
          "smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        // Only a passing chain has one.
        {"oldest-fail",
         "filter-oldest.conf",
         "seal-2",
         "",
         true,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=fail reason=\"body hash mismatch\" "
          "smtp.remote-ip=127.0.0.1"},
         {},
         "fail"},
        // Results from outside naming this host: removed, never read.
        {"forged-verify",
         "filter-external.conf",
         "msg-plain.eml",
         "Authentication-Results: mx.example; dkim=pass header.d=bank.example; arc=pass\n"
         "Authentication-Results: other.example; spf=pass smtp.mailfrom=origin.example\n"
         "Authentication-Results: MX.Example (forged); dmarc=pass",
         false,
         client::plain,
         0,
         eom_accept,
         {"-Authentication-Results 3", "-Authentication-Results 1",
          "+Authentication-Results: mx.example; arc=none smtp.remote-ip=127.0.0.1"},
         {"*: removed Authentication-Results field 3 claiming authserv-id mx.example",
          "*: removed Authentication-Results field 1 claiming authserv-id mx.example"},
         ""},
        {"forged-both",
         "filter-both.conf",
         "seal-1",
         "Authentication-Results: mx.example; dkim=pass header.d=bank.example; arc=pass",
         true,
         client::plain,
         0,
         eom_accept,
         {"-Authentication-Results 1",
          "+ARC-Authentication-Results: i=2; mx.example; arc=fail reason=\"body hash mismatch\" "
          "smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=2; *; cv=fail; b=*",
          "+Authentication-Results: mx.example; arc=fail reason=\"body hash mismatch\" "
          "smtp.remote-ip=127.0.0.1"},
         {},
         "fail"},
        // An MTA that cannot remove fields: they are ignored, not copied.
        {"forged-nochg",
         "filter-both.conf",
         "msg-plain.eml",
         "Authentication-Results: mx.example; dkim=pass header.d=bank.example; arc=pass",
         false,
         client::nochghdrs,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; mx.example; arc=none smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=1; *; cv=none; b=*",
          "+Authentication-Results: mx.example; arc=none smtp.remote-ip=127.0.0.1"},
         {},
         "pass"},
        // Earlier results of this host that no chain value stands for.
        {"earlier-neutral",
         "filter-internal.conf",
         "seal-1",
         "Authentication-Results: mx.example; arc=neutral",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=fail", any_ams,
          "+ARC-Seal: i=2; *; cv=fail; b=*"},
         {"*: chain state forced to -1 due to prior result found"},
         "fail"},
        {"earlier-pass-nosets",
         "filter-internal.conf",
         "msg-plain.eml",
         "Authentication-Results: mx.example; arc=pass",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; mx.example; arc=none smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=1; *; cv=none; b=*"},
         {"*: prior result arc=pass ignored: the message has no ARC set"},
         "pass"},
        {"earlier-none-sets",
         "filter-internal.conf",
         "seal-1",
         "Authentication-Results: mx.example; arc=none",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=pass smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=2; *; cv=pass; b=*"},
         {"*: prior result arc=none ignored: the message has ARC sets"},
         "pass"},
        {"earlier-twice",
         "filter-internal.conf",
         "seal-1",
         "Authentication-Results: mx.example; arc=pass\n"
         "Authentication-Results: mx.example; arc=pass",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=pass", any_ams,
          "+ARC-Seal: i=2; *; cv=fail; b=*"},
         {"*: chain state forced to 2 due to prior result found",
          "*: chain state forced to \"fail\" due to multiple results present"},
         "fail"},
        // What the payload copies is written so that it parses again.
        {"earlier-copied",
         "filter-internal.conf",
         "msg-plain.eml",
         "Authentication-Results: mx.example; spf=pass smtp.mailfrom=\"a b\\\"c\"@origin.example;"
         " foo=pass; dkim=pass (good (nested) sig) reason=\"ok; fine\" header.d=origin.example",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; mx.example; spf=pass smtp.mailfrom=\"a "
          "b\\\"c@origin.example\"; dkim=pass (good \\(nested sig) reason=\"ok; fine\" "
          "header.d=origin.example; arc=none smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=1; *; cv=none; b=*"},
         {"*: result of an unknown method left out of the seal"},
         "pass"},
        // The header data limit lets the message through untouched.
        {"limit",
         "filter-limit.conf",
         "msg-many-fields.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {},
         {"too much header data; accepting"},
         ""},
        // Seal header checks: a JSON array element, a plain value, neither,
        // and an object, which never matches.
        {"check-json",
         "filter-sealcheck.conf",
         "msg-plain.eml",
         "X-Seal-Route: [\"mx.origin.example\", \"relay.example\"]",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *", any_ams, "+ARC-Seal: i=1; *"},
         {},
         "pass"},
        {"check-plain",
         "filter-sealcheck.conf",
         "msg-plain.eml",
         "X-Seal-Flag: no\nX-Seal-Flag: yes please",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *", any_ams, "+ARC-Seal: i=1; *"},
         {},
         "pass"},
        {"check-none",
         "filter-sealcheck.conf",
         "msg-plain.eml",
         "X-Seal-Route: [\"relay.example.org\"]\nX-Seal-Flag: {\"yes\": 1}",
         false,
         client::plain,
         70,
         "mlfi_eoh() returned SMFIS_ACCEPT",
         {},
         {"*: no seal header check matched; continuing"},
         ""},
        // A peer is let through at connect.
        {"peer",
         "filter-peer.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         70,
         "mlfi_connect() returned SMFIS_ACCEPT",
         {},
         {"ignoring connection from localhost"},
         ""},
        // A 4096-bit key over 40 header fields: seal fields longer than 1024.
        {"big-key",
         "filter-4096.conf",
         "msg-many-fields.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *",
          "+ARC-Message-Signature: i=1; a=rsa-sha256; d=filter.example; s=big; *",
          "+ARC-Seal: i=1; *; s=big; *"},
         {},
         "pass"},
        // Sealing with Ed25519 on request, and the next hop validating it.
        {"ed25519-seal",
         "filter-ed25519.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *",
          "+ARC-Message-Signature: i=1; a=ed25519-sha256; d=filter.example; s=ed; *",
          "+ARC-Seal: i=1; a=ed25519-sha256; d=filter.example; s=ed; t=*; cv=none; b=*"},
         {"*: client=127.0.0.1 mode=sign outcome=sealed d=filter.example s=ed a=ed25519-sha256 "
          "time=*ms"},
         "pass"},
        {"ed25519-verify",
         "filter-external.conf",
         "ed25519-seal",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=pass smtp.remote-ip=127.0.0.1"},
         {"*: client=127.0.0.1 mode=verify outcome=pass keys=ed._domainkey.filter.example:found:"
          "none:ed25519-sha256,ed._domainkey.filter.example:found:none:ed25519-sha256 time=*ms"},
         "pass"},
        // Header canonicalizations, with and without leading blanks kept.
        {"simple",
         "filter-simple.conf",
         "seal-1",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; *", "+ARC-Message-Signature: *; c=relaxed/simple; *",
          "+ARC-Seal: i=2; *; cv=pass; b=*"},
         {relaxed_noted},
         "pass"},
        {"simple-leadspc",
         "filter-simple.conf",
         "seal-1",
         "",
         false,
         client::leadspc,
         0,
         eom_accept,
         {"+ARC-Authentication-Results:  i=2; *", "+ARC-Message-Signature:  *; c=simple/simple; *",
          "+ARC-Seal:  i=2; *; cv=pass; b=*"},
         {},
         "pass"},
        {"relaxed",
         "filter-relaxed.conf",
         "seal-1",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; *", "+ARC-Message-Signature: *; c=relaxed/relaxed; *",
          "+ARC-Seal: i=2; *; cv=pass; b=*"},
         {},
         "pass"},
        {"relaxed-leadspc",
         "filter-relaxed.conf",
         "seal-1",
         "",
         false,
         client::leadspc,
         0,
         eom_accept,
         {"+ARC-Authentication-Results:  i=2; *",
          "+ARC-Message-Signature:  *; c=relaxed/relaxed; *", "+ARC-Seal:  i=2; *; cv=pass; b=*"},
         {},
         "pass"},
        // Blanks after the colons that an MTA without SMFIP_HDR_LEADSPC does
        // not pass on ("Subject:  x", "To:x"): whatever the filter was told,
        // the seal validates on the message as delivered.
        {"simple-blanks",
         "filter-simple.conf",
         "msg-blanks.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *", "+ARC-Message-Signature: *; c=relaxed/simple; *",
          "+ARC-Seal: i=1; *; cv=none; b=*"},
         {relaxed_noted},
         "pass"},
        {"simple-blanks-leadspc",
         "filter-simple.conf",
         "msg-blanks.eml",
         "",
         false,
         client::leadspc,
         0,
         eom_accept,
         {"+ARC-Authentication-Results:  i=1; *", "+ARC-Message-Signature:  *; c=simple/simple; *",
          "+ARC-Seal:  i=1; *; cv=none; b=*"},
         {},
         "pass"},
        {"relaxed-blanks",
         "filter-relaxed.conf",
         "msg-blanks.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; *", "+ARC-Message-Signature: *; c=relaxed/relaxed; *",
          "+ARC-Seal: i=1; *; cv=none; b=*"},
         {},
         "pass"},
        {"relaxed-blanks-leadspc",
         "filter-relaxed.conf",
         "msg-blanks.eml",
         "",
         false,
         client::leadspc,
         0,
         eom_accept,
         {"+ARC-Authentication-Results:  i=1; *",
          "+ARC-Message-Signature:  *; c=relaxed/relaxed; *", "+ARC-Seal:  i=1; *; cv=none; b=*"},
         {},
         "pass"},
        // A final receiver: the chain of custody in a comment, the address
        // as a quoted value, and the ARC-Filter field.
        {"final-ipv6",
         "filter-final.conf",
         "seal-2",
         "",
         false,
         client::ipv6,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=pass smtp.remote-ip=\"2001:db8::25\" "
          "(arc.chain=filter.example:filter.example)",
          "+ARC-Filter: Velmora Filter v1.0.0 DEBUG-j DEBUG-i"},
         {},
         "pass"},
        {"final-noaddr",
         "filter-final.conf",
         "msg-plain.eml",
         "",
         false,
         client::noaddr,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=none",
          "+ARC-Filter: Velmora Filter v1.0.0 DEBUG-j DEBUG-i"},
         {},
         ""},
        // A field the library cannot take fails the chain; nothing defers.
        {"refused-verify",
         "filter-external.conf",
         "seal-1",
         "X-Caf\xc3\xa9: a field name beyond ASCII",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=fail reason=\"the library refused a header "
          "field or body chunk\" smtp.remote-ip=127.0.0.1"},
         {"*: error processing header field \"X-Caf\xc3\xa9\""},
         ""},
        {"refused-seal",
         "filter-internal.conf",
         "seal-1",
         "X-Caf\xc3\xa9: a field name beyond ASCII",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=fail reason=\"the library refused a "
          "header field or body chunk\" smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=2; *; cv=fail; b=*"},
         {"*: error processing header field \"X-Caf\xc3\xa9\""},
         "fail"},
        // The basic header check (-r): two Date fields pass untouched, two
        // Received fields are fine.
        {"rfc5322-two-dates",
         "filter-external.conf",
         "msg-two-dates.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {},
         {"*: RFC5322 header requirement error",
          "*: client=127.0.0.1 mode=verify outcome=unprocessed reason=\"RFC5322 header "
          "requirement error\" time=*ms"},
         ""},
        {"rfc5322-two-received",
         "filter-external.conf",
         "msg-two-received.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+Authentication-Results: mx.example; arc=none smtp.remote-ip=127.0.0.1"},
         {},
         ""},
        // Other MTAs of this site: their results from outside are removed,
        // and a sealing hop reads them like its own.
        {"trusted-verify",
         "filter-trusted-verify.conf",
         "msg-plain.eml",
         "Authentication-Results: MX2.example; dkim=pass header.d=bank.example\n"
         "Authentication-Results: other.example; spf=pass smtp.mailfrom=origin.example\n"
         "Authentication-Results: mx3.example; arc=pass",
         false,
         client::plain,
         0,
         eom_accept,
         {"-Authentication-Results 3", "-Authentication-Results 1",
          "+Authentication-Results: mx.example; arc=none smtp.remote-ip=127.0.0.1"},
         {"*: removed Authentication-Results field 3 claiming authserv-id mx2.example",
          "*: removed Authentication-Results field 1 claiming authserv-id mx3.example",
          "*: client=127.0.0.1 mode=verify outcome=none time=*ms"},
         ""},
        {"trusted-seal",
         "filter-trusted-seal.conf",
         "seal-1",
         "Authentication-Results: mx2.example; arc=pass; spf=pass smtp.mailfrom=origin.example\n"
         "Authentication-Results: other.example; dkim=pass header.d=other.example",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=pass; spf=pass "
          "smtp.mailfrom=origin.example",
          any_ams, "+ARC-Seal: i=2; *; cv=pass; b=*"},
         {"*: chain state forced to 2 due to prior result found",
          "*: client=127.0.0.1 mode=sign outcome=sealed keys=s1._domainkey.filter.example:found:"
          "none:rsa-sha256,s1._domainkey.filter.example:found:none:rsa-sha256 d=filter.example "
          "s=s1 a=rsa-sha256 time=*ms"},
         "pass"},
        // Several sealing identities: the envelope sender's domain (the
        // harness sends as test-sender@localhost) picks one, else the
        // fallback; with neither the message passes unsealed.
        {"signtable-match",
         "filter-signtable.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=1; mx.example; arc=none smtp.remote-ip=127.0.0.1",
          "+ARC-Message-Signature: i=1; a=rsa-sha256; d=table.example; s=big; *",
          "+ARC-Seal: i=1; a=rsa-sha256; d=table.example; s=big; t=*; cv=none; b=*"},
         {"*: client=127.0.0.1 mode=sign outcome=sealed d=table.example s=big a=rsa-sha256 "
          "time=*ms"},
         "pass"},
        {"signtable-fallback",
         "filter-signtable-fallback.conf",
         "signtable-match",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=pass smtp.remote-ip=127.0.0.1",
          "+ARC-Message-Signature: i=2; a=rsa-sha256; d=filter.example; s=s1; *",
          "+ARC-Seal: i=2; a=rsa-sha256; d=filter.example; s=s1; t=*; cv=pass; b=*"},
         {"*: client=127.0.0.1 mode=sign outcome=sealed keys=big._domainkey.table.example:found:"
          "none:rsa-sha256,big._domainkey.table.example:found:none:rsa-sha256 d=filter.example "
          "s=s1 a=rsa-sha256 time=*ms"},
         "pass"},
        {"signtable-none",
         "filter-signtable-only.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         0,
         eom_accept,
         {},
         {"*: no sealing identity for sender domain \"localhost\"; not sealed",
          "*: client=127.0.0.1 mode=sign outcome=unprocessed time=*ms"},
         ""},
        // Sender text in log lines is escaped as in the message's own line:
        // no control byte, no quote of the sender's.
        {"log-escapes",
         "filter-internal.conf",
         "msg-plain.eml",
         "X-A;\"b: v\n"
         "ARC-Seal: i=1; a=rsa-sha256; cv=fail; d=x.example; s=s1; t=1; b=AAAA\n"
         "ARC-Message-Signature: i=1; a=rsa-sha256; c=relaxed/simple; d=x.example; "
         "s=a\"b; h=from; bh=AAAA; b=AAAA\n"
         "ARC-Authentication-Results: i=1; x.example; none",
         false,
         client::plain,
         0,
         eom_accept,
         {"+ARC-Authentication-Results: i=2; mx.example; arc=fail reason=\"arc_get_key() failed: "
          "No key\" smtp.remote-ip=127.0.0.1",
          any_ams, "+ARC-Seal: i=2; *; cv=fail; b=*"},
         {"ignoring header field 'X-A; b'",
          "*: client=127.0.0.1 mode=sign outcome=sealed reason=\"arc_get_key() failed: No key\" "
          "*keys=a b._domainkey.x.example:notfound:*"},
         "fail"},
        // A key file that holds no key: the fault defers, and says so.
        {"no-key",
         "filter-nokey.conf",
         "msg-plain.eml",
         "",
         false,
         client::plain,
         75,
         "mlfi_eom() returned SMFIS_TEMPFAIL",
         {},
         {"*: failed to compute seal",
          "*: client=127.0.0.1 mode=sign outcome=deferred reason=\"internal error\" time=*ms"},
         ""},
    };
    return table;
}

// ---- Running one hop ----

struct hop_result {
    int status;
    std::string out, err;
    std::vector<std::pair<int, std::string>> logs;
};

// Loads a configuration as the start-up does, with logging on, and makes it
// current; null after a failure was recorded.
arcf_config* use_config(const char* name, bool reqhdrs = false) {
    cmdline_reqhdrs = reqhdrs;
    arcf_config* conf = nullptr;
    const std::string error = velmora_test::load_config(name, &conf);
    cmdline_reqhdrs = false;
    EXPECT_EQ(error, "") << name;
    if (conf == nullptr) {
        return nullptr;
    }
    conf->conf_dolog = true;
    const char* msg = nullptr;
    EXPECT_TRUE(arcf_config_setlib(conf, &msg)) << msg;
    std::lock_guard<std::mutex> guard{conf_lock};
    curconf = conf;
    return conf;
}

// Makes the record no longer current and frees it; nobody may hold it.
void drop_config(arcf_config* conf) {
    {
        std::lock_guard<std::mutex> guard{conf_lock};
        curconf = nullptr;
    }
    EXPECT_EQ(conf->conf_refcnt, 0);
    arcf_config_free(conf);
}

// Runs the file through test mode with the configuration, as one connection
// of the given client, at `verbosity`.
hop_result run_hop(const hop& h, const std::string& file, int verbosity = 2) {
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct sockaddr_in6 sin6 {};
    sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::25", &sin6.sin6_addr);
    arcf_testclient cl{"localhost", reinterpret_cast<const sockaddr*>(&sin), 0, false};
    switch (h.cl) {
        case client::plain:
            break;
        case client::leadspc:
            cl.tc_actions = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
            cl.tc_leadspc = true;
            break;
        case client::nochghdrs:
            cl.tc_actions = SMFIF_ADDHDRS;
            break;
        case client::ipv6:
            cl.tc_host = "[2001:db8::25]";
            cl.tc_addr = reinterpret_cast<const sockaddr*>(&sin6);
            break;
        case client::noaddr:
            cl.tc_addr = nullptr;
            break;
    }
    arcf_config* conf = use_config(h.conf, std::string_view(h.name).starts_with("rfc5322"));
    if (conf == nullptr) {
        return {-1, {}, {}, {}};
    }
    velmora_test::log_capture logs;
    std::string list = file;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    hop_result r;
    r.status = arcf_testfiles_as(conf->conf_libarc, list.data(), verbosity, &cl);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    r.logs = logs.lines();
    drop_config(conf);
    return r;
}

// The text of a change as the table writes it.
std::string shown(const change& c) {
    if (c.op == '-') {
        return "-" + c.name + " " + std::to_string(c.idx);
    }
    return "+" + c.name + ": " + unfolded(c.value);
}

// Every Authentication-Results field the filter writes, and the results of
// every ARC-Authentication-Results, parse with the filter's own parser.
void expect_parses(const change& c) {
    std::string v = unfolded(c.value);
    if (c.op != '+') {
        return;
    }
    if (c.name == "ARC-Authentication-Results") {
        const size_t semi = v.find(';');
        ASSERT_NE(semi, std::string::npos) << v;
        v.erase(0, semi + 1);
    } else if (c.name != "Authentication-Results") {
        return;
    }
    auto ar = std::make_unique<authres>();
    ASSERT_EQ(ares_parse(v.c_str(), ar.get()), 0) << v;
    EXPECT_STREQ(ar->ares_host, "mx.example") << v;
    EXPECT_GT(ar->ares_nresults, 0) << v;
    // The reason of the filter's own arc result reads back as written.
    const size_t reason = v.find("arc=fail reason=\"");
    if (reason != std::string::npos) {
        const size_t from = reason + 17;
        const std::string written = v.substr(from, v.find('"', from) - from);
        bool found = false;
        for (int i = 0; i < ar->ares_nresults; ++i) {
            found |= ar->ares_results[i].result_method == ARES_METHOD_ARC &&
                     written == ar->ares_results[i].result_reason;
        }
        EXPECT_TRUE(found) << v;
    }
    // So does the oldest-pass, as a property of the arc result.
    const size_t oldest = v.find(" header.oldest-pass=");
    if (oldest != std::string::npos) {
        const size_t from = oldest + 20;
        const std::string written = v.substr(from, v.find(' ', from) - from);
        bool found = false;
        for (int i = 0; i < ar->ares_nresults; ++i) {
            const authres_result& r = ar->ares_results[i];
            for (int p = 0; r.result_method == ARES_METHOD_ARC && p < r.result_nprops; ++p) {
                found |= r.result_ptype[p] == ARES_PTYPE_HEADER &&
                         std::string_view(r.result_property[p]) == "oldest-pass" &&
                         written == r.result_value[p];
            }
        }
        EXPECT_TRUE(found) << v;
    }
}

TEST_F(FilterHops, EachHopAnswersChangesLogsAndValidates) {
    std::map<std::string, std::string> outputs;
    const auto lib = chain_test::make_library(dir() + "/test-keys.txt");
    for (const auto& h : hops()) {
        SCOPED_TRACE(h.name);
        std::string text = outputs.count(h.input) != 0 ? outputs[h.input] : files()[h.input];
        ASSERT_FALSE(text.empty()) << h.input;
        message in = chain_test::split_message(text);
        for (std::string_view p = h.prepend; !p.empty();) {
            const size_t nl = p.find('\n');
            in.fields.insert(in.fields.begin(), std::string(p.substr(0, nl)));
            p = nl == std::string_view::npos ? std::string_view{} : p.substr(nl + 1);
        }
        if (h.edit_body) {
            in.body += "-- \r\nThe list added this footer.\r\n";
        }
        const std::string file = dir() + "/" + h.name + ".eml";
        velmora_test::write_file_as(file, chain_test::join_message(in), 0644);

        const hop_result r = run_hop(h, file);
        EXPECT_EQ(r.status, h.status) << r.err;
        EXPECT_TRUE(glob(std::string("*") + h.answer + "\n*", r.err)) << r.err;

        const std::vector<change> changes = parse_changes(r.out);
        std::vector<std::string> got;
        for (const auto& c : changes) {
            got.push_back(shown(c));
            expect_parses(c);
        }
        ASSERT_EQ(got.size(), h.changes.size()) << r.out;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(glob(h.changes[i], got[i]))
                << "want " << h.changes[i] << "\ngot  " << got[i];
        }
        size_t from = 0;
        for (const auto& want : h.logs) {
            while (from < r.logs.size() && !glob(want, r.logs[from].second)) {
                ++from;
            }
            EXPECT_LT(from, r.logs.size()) << "no log line " << want;
        }

        const bool leadspc = h.cl == client::leadspc;
        const message result = apply_changes(in, changes, leadspc);
        outputs[h.name] = chain_test::join_message(result);
        if (h.validates[0] != '\0') {
            std::string why;
            EXPECT_EQ(chain_test::validate(lib.get(), result, &why), h.validates) << why;
        }
        if (std::string_view(h.name) == "big-key") {
            // The signature alone is 684 characters; with 40 signed fields the
            // AMS is longer than 1024 and must still arrive whole.
            ASSERT_EQ(changes.size(), 3u);
            EXPECT_GT(changes[1].value.size(), 1024u);
        }
    }
}

// ---- Results that claim this host ----

// Writes the message into the test directory as `name`.eml; returns the path.
std::string write_message(const std::string& name, const message& m) {
    const std::string file = FilterHops::test_dir() + "/" + name + ".eml";
    velmora_test::write_file_as(file, chain_test::join_message(m), 0644);
    return file;
}

// Each forged value, of this host's authserv-id and of a trusted one, arrives
// at the border, which validates; what it delivers goes to the site's sealing
// hop. The border removes exactly the fields that claim us in some reading;
// the seal carries no result but the chain state we computed.
TEST_F(FilterHops, ForgedResultsNeverReachASeal) {
    const auto lib = chain_test::make_library(dir() + "/test-keys.txt");
    for (const char* id : {"mx.example", "mx2.example"}) {
        for (const auto& c : velmora_test::forged_cases) {
            const std::string value = velmora_test::forged_value(c.pattern, id);
            SCOPED_TRACE(value);
            message in = chain_test::split_message(files()["msg-plain.eml"]);
            in.fields.insert(in.fields.begin() + 1, "Authentication-Results: " + value);

            const hop border{"forged-border",
                             "filter-trusted-verify.conf",
                             "",
                             "",
                             false,
                             client::plain,
                             0,
                             "",
                             {},
                             {},
                             ""};
            const hop_result rb = run_hop(border, write_message("forged-border", in));
            ASSERT_EQ(rb.status, 0) << rb.err;
            const std::vector<change> at_border = parse_changes(rb.out);
            bool removed = false;
            for (const auto& ch : at_border) {
                expect_parses(ch);
                removed |= ch.op == '-' && ch.name == "Authentication-Results" && ch.idx == 1;
            }
            EXPECT_EQ(removed, c.claims) << rb.out;
            const message delivered = apply_changes(in, at_border, false);

            const hop inside{"forged-inside",
                             "filter-trusted-seal.conf",
                             "",
                             "",
                             false,
                             client::plain,
                             0,
                             "",
                             {},
                             {},
                             ""};
            const hop_result ri = run_hop(inside, write_message("forged-inside", delivered));
            ASSERT_EQ(ri.status, 0) << ri.err;
            const std::vector<change> inside_changes = parse_changes(ri.out);
            int aars = 0;
            for (const auto& ch : inside_changes) {
                expect_parses(ch);
                if (ch.op != '+' || ch.name != "ARC-Authentication-Results") {
                    continue;
                }
                ++aars;
                const std::string v = unfolded(ch.value);
                auto ar = std::make_unique<authres>();
                ASSERT_EQ(ares_parse(v.substr(v.find(';') + 1).c_str(), ar.get()), 0) << v;
                ASSERT_EQ(ar->ares_nresults, 1) << v;
                EXPECT_EQ(ar->ares_results[0].result_method, ARES_METHOD_ARC) << v;
                EXPECT_EQ(v.find("bank.example"), std::string::npos) << v;
            }
            EXPECT_EQ(aars, 1) << ri.out;
            std::string why;
            EXPECT_EQ(chain_test::validate(lib.get(),
                                           apply_changes(delivered, inside_changes, false), &why),
                      "pass")
                << why;
        }
    }
}

// Every way a validating connection lets a message pass unprocessed (the
// header data limit, the header check, no seal header check matching) still
// removes the fields that claim this host, also those past the limit.
TEST_F(FilterHops, EveryEarlyAcceptRemovesForgedResults) {
    struct early_case {
        const char* name;  // "rfc5322-..." runs with the header check (-r)
        const char* conf;
        const char* file;
        bool at_bottom;  // a second forged field ends the header block
        std::vector<std::string> changes;
        const char* log;
    };
    const early_case cases[] = {
        {"limit-forged",
         "filter-limit.conf",
         "msg-many-fields.eml",
         true,
         {"-Authentication-Results 2", "-Authentication-Results 1"},
         "*: client=127.0.0.1 mode=verify outcome=unprocessed reason=\"too much header data\" "
         "time=*ms"},
        {"rfc5322-forged",
         "filter-external.conf",
         "msg-two-dates.eml",
         false,
         {"-Authentication-Results 1"},
         "*: RFC5322 header requirement error"},
        {"sealcheck-forged",
         "filter-sealcheck-both.conf",
         "msg-plain.eml",
         false,
         {"-Authentication-Results 1"},
         "*: no seal header check matched; continuing"},
    };
    const std::string forged =
        "Authentication-Results: mx.example; arc=pass; dkim=pass header.d=bank.example";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        message in = chain_test::split_message(files()[c.file]);
        in.fields.insert(in.fields.begin(), forged);
        if (c.at_bottom) {
            in.fields.push_back(forged);
        }
        const hop h{c.name, c.conf, "", "", false, client::plain, 0, "", {}, {}, ""};
        const hop_result r = run_hop(h, write_message(c.name, in));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(glob(std::string("*") + eom_accept + "\n*", r.err)) << r.err;
        std::vector<std::string> got;
        for (const auto& ch : parse_changes(r.out)) {
            got.push_back(shown(ch));
        }
        EXPECT_EQ(got, c.changes);
        bool logged = false;
        for (const auto& [level, line] : r.logs) {
            logged |= glob(c.log, line);
        }
        EXPECT_TRUE(logged) << c.log;
    }
}

// ---- Test mode itself ----

// A body line far longer than the harness's buffers reaches the library whole,
// in several chunks, and the seal over it validates.
TEST_F(FilterHops, LongBodyLineArrivesInPiecesWhole) {
    message m = chain_test::split_message(files()["msg-plain.eml"]);
    m.body = "short line\r\n" + std::string(150000, 'x') + "\r\n" + std::string(70000, 'y') +
             "\r\nlast line\r\n";
    const std::string file = dir() + "/long-line.eml";
    velmora_test::write_file_as(file, chain_test::join_message(m), 0644);
    const hop h{"long-line", "filter-internal.conf", "", "", false, client::plain, 0, "", {}, {},
                ""};
    const hop_result r = run_hop(h, file);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t chunks = 0;
    for (size_t pos = 0;
         (pos = r.err.find("mlfi_body() returned SMFIS_CONTINUE", pos)) != std::string::npos;
         ++pos) {
        ++chunks;
    }
    EXPECT_GE(chunks, 4u);
    const auto lib = chain_test::make_library(dir() + "/test-keys.txt");
    const message sealed = apply_changes(m, parse_changes(r.out), false);
    std::string why;
    EXPECT_EQ(chain_test::validate(lib.get(), sealed, &why), "pass") << why;
}

// An answer that stops a run, and an end of message other than ACCEPT, are
// reported even without -v, and the exit status says so.
TEST_F(FilterHops, QuietRunStillReportsWhatWentWrong) {
    const std::string file = dir() + "/quiet.eml";
    velmora_test::write_file_as(file, files()["msg-plain.eml"], 0644);
    struct quiet_case {
        const char* conf;
        int status;
        const char* report;
    };
    constexpr quiet_case cases[] = {
        {"filter-nokey.conf", 75, "velmora: *quiet.eml: mlfi_eom() returned SMFIS_TEMPFAIL\n"},
        {"filter-peer.conf", 70, "velmora: mlfi_connect() returned SMFIS_ACCEPT\n"},
        {"filter-internal.conf", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conf);
        const hop h{"quiet", c.conf, "", "", false, client::plain, 0, "", {}, {}, ""};
        const hop_result r = run_hop(h, file, 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(glob(c.report, r.err)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// ---- Callbacks driven directly ----

struct test_context_free {
    void operator()(SMFICTX* ctx) const { arcf_test_context_free(ctx); }
};
using test_context_ptr = std::unique_ptr<SMFICTX, test_context_free>;

// Negotiation asks for adding fields, for removing them when the MTA offers
// it, for the steps it can skip and for leading blanks.
// The value of one sample line of the process's metrics, or -1.
long long metric(const std::string& series) {
    arcf_dstring_ptr out{arcf_dstring_new(1024, 0)};
    EXPECT_TRUE(arcf_metrics_global().render(out.get()));
    const std::string text = arcf_dstring_get(out.get());
    const size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + series.size() + 2));
}

TEST_F(FilterHops, CountsEveryMessageInTheMetrics) {
    const std::string file = dir() + "/counted.eml";
    velmora_test::write_file_as(file, files()["msg-plain.eml"], 0644);
    struct counted_case {
        const char* conf;
        const char* series;  // the message count that must grow by one
        bool validated;      // the library ran a validation
        bool sealed;
    };
    constexpr counted_case cases[] = {
        {"filter-external.conf", "velmora_messages_total{mode=\"verify\",outcome=\"none\"}", true,
         false},
        {"filter-internal.conf", "velmora_messages_total{mode=\"sign\",outcome=\"sealed\"}", true,
         true},
        {"filter-both.conf", "velmora_messages_total{mode=\"sign+verify\",outcome=\"sealed\"}",
         true, true},
        {"filter-nokey.conf", "velmora_messages_total{mode=\"sign\",outcome=\"deferred\"}", true,
         true},
        {"filter-signtable-only.conf",
         "velmora_messages_total{mode=\"sign\",outcome=\"unprocessed\"}", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conf);
        const long long before = metric(c.series);
        const long long validations = metric("velmora_validation_seconds_count");
        const long long seals = metric("velmora_sealing_seconds_count");
        const hop h{"counted", c.conf, "", "", false, client::plain, 0, "", {}, {}, ""};
        run_hop(h, file, 0);
        EXPECT_EQ(metric(c.series), before + 1);
        EXPECT_EQ(metric("velmora_validation_seconds_count"), validations + (c.validated ? 1 : 0));
        EXPECT_EQ(metric("velmora_sealing_seconds_count"), seals + (c.sealed ? 1 : 0));
    }
}

// Each key lookup of a validation is counted by result and DNSSEC state, with
// its time and whether the handle's key cache had the decoded key.
TEST_F(FilterHops, CountsEveryKeyLookupInTheMetrics) {
    const message plain = chain_test::split_message(files()["msg-plain.eml"]);
    const std::string plain_file = dir() + "/lookups-plain.eml";
    velmora_test::write_file_as(plain_file, files()["msg-plain.eml"], 0644);
    const hop seal{"lookups", "filter-internal.conf", "", "", false, client::plain, 0, "", {}, {},
                   ""};
    const message sealed =
        apply_changes(plain, parse_changes(run_hop(seal, plain_file).out), false);
    ASSERT_EQ(sealed.fields.size(), plain.fields.size() + 3);
    // The same chain with its signature's key moved to a domain that
    // publishes none: the lookup finds nothing and the seals are not tried.
    message moved = sealed;
    for (auto& f : moved.fields) {
        if (f.rfind("ARC-Message-Signature:", 0) == 0) {
            f.replace(f.find("d=filter.example"), 16, "d=nokey.example");
        }
    }
    struct lookup_case {
        const message* msg;
        const char* series;  // the lookup count that grows
        long long lookups, cache;
    };
    const lookup_case cases[] = {
        {&sealed, "velmora_key_lookups_total{result=\"found\",dnssec=\"none\"}", 2, 2},
        {&moved, "velmora_key_lookups_total{result=\"notfound\",dnssec=\"none\"}", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.series);
        const std::string file = dir() + "/lookups.eml";
        velmora_test::write_file_as(file, chain_test::join_message(*c.msg), 0644);
        const long long before = metric(c.series);
        const long long timed = metric("velmora_key_lookup_seconds_count");
        const long long cache =
            metric("velmora_key_cache_hits_total") + metric("velmora_key_cache_misses_total");
        const hop h{"lookups", "filter-external.conf", "", "", false, client::plain, 0, "", {}, {},
                    ""};
        run_hop(h, file, 0);
        EXPECT_EQ(metric(c.series), before + c.lookups);
        EXPECT_EQ(metric("velmora_key_lookup_seconds_count"), timed + c.lookups);
        EXPECT_EQ(metric("velmora_key_cache_hits_total") + metric("velmora_key_cache_misses_total"),
                  cache + c.cache);
    }
}

TEST_F(FilterHops, NegotiateRequestsWhatTheMtaOffers) {
    struct negotiate_case {
        unsigned long actions, steps;
        sfsistat answer;
        unsigned long want_actions, want_steps;
        bool leadspc;
    };
    constexpr unsigned long all_steps = 0x1fffff;
    constexpr negotiate_case cases[] = {
        {SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE, all_steps, SMFIS_CONTINUE,
         SMFIF_ADDHDRS | SMFIF_CHGHDRS, 0x70a | SMFIP_HDR_LEADSPC, true},
        {SMFIF_ADDHDRS, SMFIP_NOHELO | SMFIP_NOMAIL, SMFIS_CONTINUE, SMFIF_ADDHDRS, SMFIP_NOHELO,
         false},
        {SMFIF_CHGHDRS, all_steps, SMFIS_REJECT, 0, 0, false},
    };
    arcf_config* conf = use_config("filter-external.conf");
    ASSERT_NE(conf, nullptr);
    velmora_test::log_capture logs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.actions);
        test_context_ptr ctx{arcf_test_context_new()};
        unsigned long f0 = 0, f1 = 0, f2 = 7, f3 = 7;
        EXPECT_EQ(mlfi_negotiate(ctx.get(), c.actions, c.steps, 0, 0, &f0, &f1, &f2, &f3),
                  c.answer);
        auto* cc = static_cast<arcf_connctx*>(arcf_getpriv(ctx.get()));
        if (c.answer == SMFIS_CONTINUE) {
            ASSERT_NE(cc, nullptr);
            EXPECT_EQ(f0, c.want_actions);
            EXPECT_EQ(f1, c.want_steps);
            EXPECT_EQ(f2 | f3, 0u);
            EXPECT_EQ(cc->cctx_leadspc, c.leadspc);
            EXPECT_EQ(conf->conf_refcnt, 1);
        } else {
            EXPECT_EQ(cc, nullptr);
            EXPECT_EQ(conf->conf_refcnt, 0);
        }
        EXPECT_EQ(mlfi_close(ctx.get()), SMFIS_CONTINUE);
        EXPECT_EQ(arcf_getpriv(ctx.get()), nullptr);
    }
    EXPECT_EQ(logs.lines().back().second,
              "mlfi_negotiate(): required milter action(s) not available (got 0x10, need 0x1)");
    drop_config(conf);
}

// Close, abort and cleanup accept a session whose negotiation failed; a
// second message on a connection starts from a fresh context.
TEST_F(FilterHops, CallbacksSurviveMissingContextsAndReuse) {
    arcf_config* conf = use_config("filter-external.conf");
    ASSERT_NE(conf, nullptr);
    test_context_ptr bare{arcf_test_context_new()};
    arcf_cleanup(bare.get());
    EXPECT_EQ(mlfi_abort(bare.get()), SMFIS_CONTINUE);
    EXPECT_EQ(mlfi_close(bare.get()), SMFIS_CONTINUE);

    test_context_ptr ctx{arcf_test_context_new()};
    char host[] = "Client.Example";
    ASSERT_EQ(mlfi_connect(ctx.get(), host, nullptr), SMFIS_CONTINUE);
    auto* cc = static_cast<arcf_connctx*>(arcf_getpriv(ctx.get()));
    EXPECT_STREQ(cc->cctx_host, "client.example");
    EXPECT_FALSE(cc->cctx_haveip);
    char sender[] = "<a@b.example>";
    char* envfrom[] = {sender, nullptr};
    char name[] = "Subject";
    char value[] = "  first";
    ASSERT_EQ(mlfi_envfrom(ctx.get(), envfrom), SMFIS_CONTINUE);
    ASSERT_EQ(mlfi_header(ctx.get(), name, value), SMFIS_CONTINUE);
    EXPECT_STREQ(arcf_findheader(cc->cctx_msg, "subject", 0)->hdr_value, "first");
    EXPECT_EQ(arcf_findheader(cc->cctx_msg, "subject", 1), nullptr);
    ASSERT_EQ(mlfi_envfrom(ctx.get(), envfrom), SMFIS_CONTINUE);
    EXPECT_EQ(arcf_findheader(cc->cctx_msg, "subject", 0), nullptr);
    EXPECT_EQ(cc->cctx_msg->mctx_hdrbytes, 0u);
    EXPECT_EQ(mlfi_abort(ctx.get()), SMFIS_CONTINUE);
    EXPECT_EQ(cc->cctx_msg, nullptr);
    EXPECT_EQ(mlfi_close(ctx.get()), SMFIS_CONTINUE);
    drop_config(conf);
}

}  // namespace
