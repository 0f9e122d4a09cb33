// SPDX-License-Identifier: BSD-2-Clause
// settings-docs_test.cc - the settings table against what an operator reads:
// every key is described in velmora.conf(5) with its kind and whether it is
// required, and listed in the sample configuration, whose values all load.

// GCC 12 warns of an uninitialised member deep inside std::regex's inlined
// state when built with the sanitizers; the warning is about the standard
// library's code, not this file's. clang has no such warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "config.h"
#include "test-support.h"
#include "velmora-config.h"

namespace {

const std::string manual_path = std::string(VELMORA_SOURCE_DIR) + "/man/velmora.conf.5";
const std::string sample_path = std::string(VELMORA_SOURCE_DIR) + "/docs/velmora.conf.sample";

// What the manual says of one setting: ".It Cm Name Pq kind[, required]".
struct documented {
    std::string kind;
    bool required = false;
};

// The settings described in the SETTINGS section of the manual.
std::map<std::string, documented> manual_settings() {
    std::map<std::string, documented> out;
    std::istringstream in{velmora_test::read_file(manual_path)};
    const std::regex item{R"(^\.It Cm (\w+) Pq (\w+)(, required)?$)"};
    bool in_settings = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".Sh ", 0) == 0) {
            in_settings = line == ".Sh SETTINGS";
            continue;
        }
        std::smatch m;
        if (in_settings && std::regex_match(line, m, item)) {
            out[m[1]] = documented{m[2], m[3].matched};
        }
    }
    return out;
}

// The kinds the manual may give a key of each type.
bool kind_fits(int type, const std::string& kind) {
    switch (type) {
        case CONFIG_TYPE_STRING:
            return kind == "string" || kind == "path";
        case CONFIG_TYPE_INTEGER:
            return kind == "integer";
        case CONFIG_TYPE_BOOLEAN:
            return kind == "boolean";
        case CONFIG_TYPE_INCLUDE:
            return kind == "path";
        default:
            return false;
    }
}

bool is_key(const std::string& name) {
    for (const config_def* d = arcf_config_defs; d->name != nullptr; ++d) {
        if (name == d->name) {
            return true;
        }
    }
    return false;
}

TEST(SettingsDocs, EveryKeyIsInTheManualWithItsKind) {
    const auto manual = manual_settings();
    ASSERT_FALSE(manual.empty()) << manual_path;
    for (const config_def* d = arcf_config_defs; d->name != nullptr; ++d) {
        if (d->type == CONFIG_TYPE_DEPRECATED) {
            continue;
        }
        SCOPED_TRACE(d->name);
        const auto it = manual.find(d->name);
        if (it == manual.end()) {
            ADD_FAILURE() << "no '.It Cm " << d->name << " Pq kind' in " << manual_path;
            continue;
        }
        EXPECT_TRUE(kind_fits(d->type, it->second.kind)) << "documented as " << it->second.kind;
        EXPECT_EQ(it->second.required, d->required == 1);
    }
    for (const auto& [name, doc] : manual) {
        EXPECT_TRUE(is_key(name)) << name << " is documented but is no setting";
    }
}

TEST(SettingsDocs, EveryKeyIsInTheSample) {
    std::set<std::string> listed;
    std::istringstream in{velmora_test::read_file(sample_path)};
    const std::regex entry{R"(^#?(\w+)\s+\S.*$)"};
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry) && is_key(m[1])) {
            listed.insert(m[1]);
        }
    }
    for (const config_def* d = arcf_config_defs; d->name != nullptr; ++d) {
        if (d->type != CONFIG_TYPE_DEPRECATED) {
            EXPECT_EQ(listed.count(d->name), 1u) << d->name << " is missing from " << sample_path;
        }
    }
}

// Loads the sample as it stands, and once more with every commented example
// ("#Name value") made active, so every value it shows is valid for its key.
TEST(SettingsDocs, SampleAndItsExamplesLoad) {
    const std::string sample = velmora_test::read_file(sample_path);
    ASSERT_FALSE(sample.empty()) << sample_path;
    std::string active;
    std::istringstream in{sample};
    const std::regex example{R"(^#(\w+)(\s+\S.*)$)"};
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, example) && is_key(m[1]) && m[1] != "Include") {
            active += std::string(m[1]) + std::string(m[2]) + "\n";
        } else {
            active += line + "\n";
        }
    }
    char path[] = "/tmp/velmora-sample.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, active.data(), active.size()), static_cast<ssize_t>(active.size()));
    close(fd);

    for (const char* file : {sample_path.c_str(), static_cast<const char*>(path)}) {
        SCOPED_TRACE(file);
        unsigned int line = 0;
        char where[1025] = "";
        char* deprecated = nullptr;
        config_setting* data =
            config_load(file, arcf_config_defs, &line, where, sizeof where, &deprecated);
        EXPECT_NE(data, nullptr) << where << ": line " << line << ": " << config_error();
        EXPECT_EQ(deprecated, nullptr);
        if (data != nullptr) {
            EXPECT_EQ(config_check(data, arcf_config_defs), nullptr);
        }
        free(deprecated);
        config_free(data);
    }
    unlink(path);
}

}  // namespace
