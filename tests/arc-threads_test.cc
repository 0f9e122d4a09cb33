// SPDX-License-Identifier: BSD-2-Clause
// arc-threads_test.cc - one library handle serving several threads at once, as
// the filter's libmilter workers use it: each thread validates a chain
// (public keys by DNS from velmora-testdns, or from a key file), seals it with
// a private key read from a file, and validates the new chain. Run under
// ThreadSanitizer in CI (label "threads").
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "chain-support.h"
#include "test-support.h"
#include "testdns-client.h"

using namespace chain_test;

namespace {

constexpr int thread_count = 4;
constexpr int rounds = 5;

constexpr const char* sample =
    "From: Alice <alice@d0.example>\r\n"
    "To: bob@example.net\r\n"
    "Subject: many threads\r\n"
    "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
    "Message-ID: <threads@d0.example>\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    "  one handle, many threads.\r\n";

// Two earlier sealers and this host, each with a key and a key record.
struct sealers {
    test_key d1;
    test_key d2;
    test_key d3;
    std::vector<std::pair<std::string, std::string>> records() const {
        return {{"s1._domainkey.d1.example", d1.record},
                {"s1._domainkey.d2.example", d2.record},
                {"s1._domainkey.d3.example", d3.record}};
    }
};

const sealers& keys() {
    static const sealers k = [] {
        sealers s{key_of_bits(1024), key_of_bits(2048), {}};
        s.d3.pem = make_rsa_key(1024, &s.d3.record);
        return s;
    }();
    return k;
}

// The sample sealed by d1 and then d2; empty on failure.
message two_instance_chain(arc_library* lib) {
    message m = split_message(sample);
    for (const auto* k : {&keys().d1, &keys().d2}) {
        seal_params p;
        p.key = k->pem;
        p.domain = k == &keys().d1 ? "d1.example" : "d2.example";
        m = seal_once(lib, m, p);
        if (m.fields.empty()) {
            return {};
        }
    }
    return m;
}

// One worker: validates the chain, seals it with the key read from
// `keypath`, validates the result. Returns the first fault seen, or "".
std::string work(arc_library* lib, const message& chain, const std::string& keypath) {
    for (int r = 0; r < rounds; ++r) {
        std::string error;
        if (const std::string state = validate(lib, chain, &error); state != "pass") {
            return "chain: " + state + " (" + error + ")";
        }
        seal_params p;
        p.key = velmora_test::read_file(keypath);
        p.domain = "d3.example";
        const message sealed = seal_once(lib, chain, p, &error);
        if (sealed.fields.empty()) {
            return "seal: " + error;
        }
        if (const std::string state = validate(lib, sealed, &error); state != "pass") {
            return "sealed chain: " + state + " (" + error + ")";
        }
    }
    return "";
}

// Runs the workers on `thread_count` threads sharing `lib`; returns every
// fault, one per line.
std::string run_threads(arc_library* lib, const message& chain, const std::string& keypath) {
    std::vector<std::string> faults(thread_count);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back(
            [&, i] { faults[static_cast<size_t>(i)] = work(lib, chain, keypath); });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::string all;
    for (const auto& f : faults) {
        all += f.empty() ? "" : f + "\n";
    }
    return all;
}

class ArcThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        keyfile_ = write_key_file(keys().records());
        ASSERT_FALSE(keyfile_.empty());
        char path[] = "/tmp/velmora-sealkey.XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        const std::string& pem = keys().d3.pem;
        ASSERT_EQ(write(fd, pem.data(), pem.size()), static_cast<ssize_t>(pem.size()));
        close(fd);
        sealkey_ = path;
        lib_ptr lib = make_library(keyfile_);
        chain_ = two_instance_chain(lib.get());
        ASSERT_FALSE(chain_.fields.empty());
    }
    void TearDown() override {
        remove_file(keyfile_);
        remove_file(sealkey_);
    }

    std::string keyfile_;
    std::string sealkey_;
    message chain_;
};

TEST_F(ArcThreads, ValidateAndSealOnOneHandleWithAKeyFile) {
    lib_ptr lib = make_library(keyfile_);
    ASSERT_TRUE(lib);
    EXPECT_EQ(run_threads(lib.get(), chain_, sealkey_), "");
}

TEST_F(ArcThreads, ValidateAndSealOnOneHandleOverDns) {
    if (const std::string why = velmora_testdns::skip_reason(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    std::string zone;
    for (const auto& [name, record] : keys().records()) {
        zone += name + " TXT " + record + "\n";
    }
    velmora_testdns::server srv;
    std::string err;
    ASSERT_TRUE(srv.start(zone, &err)) << err;
    // The threads run in a child whose /etc/resolv.conf names the server.
    const message& chain = chain_;
    const std::string& sealkey = sealkey_;
    const int rc = velmora_testdns::run_in_resolver_namespace(srv.address(), [&] {
        lib_ptr lib = make_library("");
        const std::string faults = lib ? run_threads(lib.get(), chain, sealkey) : "no handle\n";
        std::fputs(faults.c_str(), stderr);
        return faults.empty() ? 0 : 1;
    });
    EXPECT_EQ(rc, 0) << "see the faults above";
}

}  // namespace
