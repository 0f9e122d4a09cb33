// SPDX-License-Identifier: BSD-2-Clause
// velmora-config-threads_test.cc - connections taking and releasing references
// while other threads reload the configuration. Meant for ThreadSanitizer
// (CTest label "threads"); also checks the counts come out right. Runs in the
// private mount namespace of the configuration tests; skipped without root.
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <thread>
#include <vector>

#include "velmora-config-support.h"
#include "velmora-config.h"

namespace {

TEST(ConfigThreads, ReferencesAndReloadsDoNotRace) {
    const std::string reason = velmora_test::enter_config_namespace();
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    const std::string dir = velmora_test::make_test_dir();
    velmora_test::write_file_as(dir + "/key.pem", velmora_test::test_key_pem());
    const std::string conf_path = dir + "/c.conf";
    velmora_test::write_file_as(
        conf_path, "Domain example.com\nSelector sel\nSyslog yes\nKeyFile " + dir + "/key.pem\n");
    char err[ARCF_ERRBUF_SIZE] = "";
    ASSERT_TRUE(arcf_config_setfile(conf_path.c_str(), err)) << err;
    ASSERT_EQ(velmora_test::load_config(conf_path, &curconf), "");
    const char* msg = nullptr;
    ASSERT_TRUE(arcf_config_setlib(curconf, &msg)) << msg;

    velmora_test::log_capture log;
    constexpr int connections = 4;
    constexpr int rounds = 400;
    constexpr int reloads = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < connections; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < rounds; ++i) {
                // What negotiate and connect do, then what close does.
                arcf_config_reload();
                arcf_config* conf = arcf_config_take();
                ASSERT_NE(conf, nullptr);
                EXPECT_STREQ(conf->conf_selector, "sel");
                EXPECT_EQ(conf->conf_maxhdrsz, 65536);
                arcf_config_release(conf);
            }
        });
    }
    threads.emplace_back([] {
        for (int i = 0; i < reloads; ++i) {
            reload_pending.store(true);  // as the reload-signal thread does
            std::this_thread::yield();
            arcf_config_reload();
        }
    });
    for (auto& t : threads) {
        t.join();
    }

    // Every request ran at most one reload, each of which succeeded, and the
    // last request was served.
    EXPECT_FALSE(reload_pending.load());
    const auto lines = log.lines();
    EXPECT_GE(lines.size(), 1u);
    EXPECT_LE(lines.size(), static_cast<size_t>(reloads));
    for (const auto& [prio, text] : lines) {
        EXPECT_EQ(prio, LOG_INFO);
        EXPECT_EQ(text, "configuration reloaded from " + conf_path);
    }
    EXPECT_EQ(curconf->conf_refcnt, 0);
    arcf_config_free(curconf);
    curconf = nullptr;
    arcf_config_setfile(nullptr, err);
}

}  // namespace
