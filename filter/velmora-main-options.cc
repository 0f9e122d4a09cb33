// SPDX-License-Identifier: BSD-2-Clause
// velmora-main-options.cc - the command line: options, usage text, the
// version lines of -V, and the process settings the configuration file may
// give where the command line is silent.
//
// Memory:  option values borrow from argv or from the parsed configuration.
// Errors:  an exit status for main() (64 usage, 70 or 0 after -V, 78 for an
//          invalid setting) after printing on standard error.
// Threads: start-up only.
#include "velmora-main-options.h"

#include <stdio.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <libmilter/mfapi.h>
#include <openssl/crypto.h>

#include "config.h"
#include "util.h"
#include "velmora-config.h"
#include "velmora-main.h"

namespace {

constexpr const char* option_string = "Ac:fhlnp:P:rt:u:vV";

// Prints the version lines; returns the exit status.
int print_version() {
    arcf_config* conf = arcf_config_new();
    const char* msg = "malloc() failed";
    if (conf != nullptr) {
        conf->conf_stubresolver = true;  // no key is looked up
    }
    if (conf == nullptr || !arcf_config_setlib(conf, &msg)) {
        fprintf(stderr, "%s: can't configure ARC library: %s\n", progname, msg);
        if (conf != nullptr) {
            arcf_config_free(conf);
        }
        return EX_SOFTWARE;
    }
    unsigned int major = 0;
    unsigned int minor = 0;
    unsigned int patch = 0;
    (void)smfi_version(&major, &minor, &patch);
    printf("%s: %s v%s\n", progname, ARCF_PRODUCT, ARCF_VERSION);
    printf("\tCompiled with %s\n", OpenSSL_version(OPENSSL_VERSION));
    printf("\tSMFI_VERSION 0x%x\n", SMFI_VERSION);
    printf("\tlibmilter version %d.%d.%d\n", major, minor, patch);
    arcf_optlist(stdout);
    arcf_config_free(conf);
    return EX_OK;
}

}  // namespace

void arcf_usage() noexcept {
    fprintf(stderr,
            "%s: usage: %s -p socketfile [options]\n"
            "\t-A          \tauto-restart\n"
            "\t-c conffile \tread configuration from conffile\n"
            "\t-f          \tdon't fork-and-exit\n"
            "\t-h          \tprint this help message and exit\n"
            "\t-l          \tlog activity to system log\n"
            "\t-n          \tcheck configuration and exit\n"
            "\t-P pidfile  \tfile into which to write process ID\n"
            "\t-r          \trequire basic RFC5322 header compliance\n"
            "\t-t testfile \tevaluate RFC5322 message in \"testfile\"\n"
            "\t-u userid   \tchange to specified userid\n"
            "\t-v          \tincrease verbosity during testing\n"
            "\t-V          \tprint version number and terminate\n",
            progname, progname);
}

int arcf_parse_options(int argc, char** argv, arcf_options* opt) noexcept {
    opterr = 0;
    for (int c; (c = getopt(argc, argv, option_string)) != -1;) {
        if (optarg != nullptr && optarg[0] == '\0' && strchr("cpPtu", c) != nullptr) {
            arcf_usage();
            return EX_USAGE;
        }
        switch (c) {
            case 'A':
                opt->opt_autorestart = true;
                opt->opt_autorestart_given = true;
                break;
            case 'c':
                opt->opt_conffile = optarg;
                break;
            case 'f':
                opt->opt_background = false;
                opt->opt_foreground_given = true;
                break;
            case 'l':
                cmdline_dolog = true;
                break;
            case 'n':
                opt->opt_checkonly = true;
                break;
            case 'p':
                opt->opt_sockspec = optarg;
                (void)smfi_setconn(optarg);
                break;
            case 'P':
                opt->opt_pidfile = optarg;
                break;
            case 'r':
                cmdline_reqhdrs = true;
                break;
            case 't':
                opt->opt_testfiles = optarg;
                testmode = true;
                break;
            case 'u':
                opt->opt_user = optarg;
                break;
            case 'v':
                ++opt->opt_verbosity;
                break;
            case 'V':
                return print_version();
            default:  // -h, an unknown option or a missing value
                arcf_usage();
                return EX_USAGE;
        }
    }
    if (optind != argc) {
        arcf_usage();
        return EX_USAGE;
    }
    return -1;
}

int arcf_process_settings(config_setting* data, arcf_options* opt) noexcept {
    if (data == nullptr) {
        return -1;
    }
    if (!opt->opt_autorestart_given) {
        (void)config_get(data, "AutoRestart", &opt->opt_autorestart, sizeof opt->opt_autorestart);
    }
    if (opt->opt_autorestart) {
        (void)config_get(data, "AutoRestartCount", &opt->opt_restart_count,
                         sizeof opt->opt_restart_count);
        const char* rate = nullptr;
        (void)config_get(data, "AutoRestartRate", &rate, sizeof rate);
        if (rate != nullptr && !arcf_parse_rate(rate, &opt->opt_rate_n, &opt->opt_rate_t)) {
            fprintf(stderr, "%s: AutoRestartRate invalid\n", progname);
            return EX_CONFIG;
        }
    }
    if (!opt->opt_foreground_given) {
        (void)config_get(data, "Background", &opt->opt_background, sizeof opt->opt_background);
    }
    (void)config_get(data, "MilterDebug", &opt->opt_milterdebug, sizeof opt->opt_milterdebug);
    if (opt->opt_sockspec == nullptr) {
        (void)config_get(data, "Socket", &opt->opt_sockspec, sizeof opt->opt_sockspec);
        if (opt->opt_sockspec != nullptr) {
            (void)smfi_setconn(const_cast<char*>(opt->opt_sockspec));
        }
    }
    if (opt->opt_pidfile == nullptr) {
        (void)config_get(data, "PidFile", &opt->opt_pidfile, sizeof opt->opt_pidfile);
    }
    if (opt->opt_user == nullptr) {
        (void)config_get(data, "UserID", &opt->opt_user, sizeof opt->opt_user);
    }
    (void)config_get(data, "ChangeRootDirectory", &opt->opt_chroot, sizeof opt->opt_chroot);
    return -1;
}
