// SPDX-License-Identifier: BSD-2-Clause
// velmora-config-support.cc - namespace, files, loads and log capture for the
// configuration tests.
#include "velmora-config-support.h"

#if VELMORA_HAVE_UNSHARE
#include <sched.h>
#include <sys/mount.h>
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>

#include "test-keys.h"

namespace velmora_test {

namespace {

// The tmpfs goes on a directory of its own rather than over /tmp, so that a
// build tree under /tmp (the tests' working directory) stays reachable.
constexpr char base_dir[] = "/run/velmora-config-test";

constexpr char test_passwd[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "alice:x:2001:2001::/nonexistent:/bin/false\n"
    "bob:x:2002:2002::/nonexistent:/bin/false\n";
constexpr char test_group[] =
    "root:x:0:\n"
    "alice:x:2001:\n"
    "bob:x:2002:\n";

std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;

void capture_line(int priority, const char* line) {
    std::lock_guard<std::mutex> guard{log_mutex};
    log_lines.emplace_back(priority, line);
}

}  // namespace

std::string enter_config_namespace() {
    static const std::string reason = []() -> std::string {
#if !VELMORA_HAVE_UNSHARE
        return "needs Linux mount namespaces (unshare)";
#else
        if (geteuid() != 0) {
            return "needs root for a private mount namespace";
        }
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("making mounts private: ") + std::strerror(errno);
        }
        // A fresh tmpfs of mode 0755 gives every key file a safe chain of parents.
        if ((mkdir(base_dir, 0755) != 0 && errno != EEXIST) ||
            mount("tmpfs", base_dir, "tmpfs", 0, "mode=0755") != 0) {
            return std::string("mounting tmpfs on ") + base_dir + ": " + std::strerror(errno);
        }
        struct stat st;
        if (stat("/", &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0) {
            return "/ is not a root-owned directory closed to writers";
        }
        const std::string pw = std::string(base_dir) + "/passwd";
        const std::string gr = std::string(base_dir) + "/group";
        std::ofstream(pw) << test_passwd;
        std::ofstream(gr) << test_group;
        if (mount(pw.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
            mount(gr.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
            return std::string("bind-mounting the user database: ") + std::strerror(errno);
        }
        return "";
#endif
    }();
    return reason;
}

std::string make_test_dir() {
    static std::atomic<int> serial{0};
    const std::string dir = std::string(base_dir) + "/t" + std::to_string(++serial);
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << dir << ": " << std::strerror(errno);
    return dir;
}

void write_file_as(const std::string& path, const std::string& text, mode_t mode, uid_t uid) {
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_EQ(chown(path.c_str(), uid, uid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

namespace {

struct key_pair {
    std::string pem;
    std::string record;
};

const key_pair& test_key() {
    static const key_pair key = [] {
        key_pair k;
        k.pem = make_rsa_key(2048, &k.record);
        return k;
    }();
    return key;
}

}  // namespace

const std::string& test_key_pem() {
    return test_key().pem;
}

const std::string& test_key_record() {
    return test_key().record;
}

std::string load_config(const std::string& path, arcf_config** out, const char* user) {
    *out = nullptr;
    unsigned int line = 0;
    char errpath[ARCF_PATH_SIZE] = "";
    char* deprecated = nullptr;
    config_setting* data =
        config_load(path.c_str(), arcf_config_defs, &line, errpath, sizeof errpath, &deprecated);
    free(deprecated);
    if (data == nullptr) {
        return std::string(errpath) + ": configuration error at line " + std::to_string(line) +
               ": " + config_error();
    }
    if (const char* missing = config_check(data, arcf_config_defs); missing != nullptr) {
        config_free(data);
        return std::string("required parameter \"") + missing + "\" missing";
    }
    arcf_config* conf = arcf_config_new();
    if (conf == nullptr) {
        config_free(data);
        return "arcf_config_new() failed";
    }
    char err[ARCF_ERRBUF_SIZE] = "";
    if (arcf_config_load(data, conf, err, user) != 0) {
        arcf_config_free(conf);
        config_free(data);
        return err[0] != '\0' ? err : "load failed without a text";
    }
    conf->conf_data = data;
    *out = conf;
    return "";
}

log_capture::log_capture() {
    clear();
    arcf_set_log_sink(capture_line);
}

log_capture::~log_capture() {
    arcf_set_log_sink(nullptr);
}

std::vector<std::pair<int, std::string>> log_capture::lines() const {
    std::lock_guard<std::mutex> guard{log_mutex};
    return log_lines;
}

void log_capture::clear() {
    std::lock_guard<std::mutex> guard{log_mutex};
    log_lines.clear();
}

}  // namespace velmora_test
