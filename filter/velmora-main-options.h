// SPDX-License-Identifier: BSD-2-Clause
// velmora-main-options.h - the command line and the process settings of the
// configuration file (see velmora-main-options.cc).
//
// Memory:  option texts borrow from argv or from the parsed configuration.
// Errors:  exit statuses for main(), after a message on standard error.
// Threads: start-up only.
#ifndef VELMORA_FILTER_VELMORA_MAIN_OPTIONS_H
#define VELMORA_FILTER_VELMORA_MAIN_OPTIONS_H

#include "config.h"

// The program's name and version in the version lines and the start line.
constexpr const char* ARCF_PRODUCT = "Velmora Filter";
constexpr const char* ARCF_VERSION = "1.0.0";

// What the command line (and, where it is silent, the configuration file)
// asks of the process.
struct arcf_options {
    bool opt_autorestart = false;        // -A or AutoRestart
    bool opt_autorestart_given = false;  // -A was given
    bool opt_background = true;          // no -f, or Background
    bool opt_foreground_given = false;   // -f was given
    bool opt_checkonly = false;          // -n
    int opt_verbosity = 0;               // number of -v
    int opt_restart_count = 0;           // AutoRestartCount
    int opt_milterdebug = 0;             // MilterDebug
    unsigned opt_rate_n = 0;             // AutoRestartRate count
    long opt_rate_t = 0;                 // AutoRestartRate period, seconds
    const char* opt_conffile = nullptr;  // -c
    const char* opt_sockspec = nullptr;  // -p or Socket
    const char* opt_pidfile = nullptr;   // -P or PidFile
    const char* opt_user = nullptr;      // -u or UserID
    const char* opt_chroot = nullptr;    // ChangeRootDirectory
    char* opt_testfiles = nullptr;       // -t
};

// Prints the usage text on standard error.
void arcf_usage() noexcept;
// Parses the options into opt (and the -l, -r, -t state of velmora-config.h;
// -p goes to smfi_setconn() at once). Returns -1 to go on, or the exit
// status: 64 after the usage text, 0 or 70 after -V.
int arcf_parse_options(int argc, char** argv, arcf_options* opt) noexcept;
// Reads the process settings of the parsed configuration `data` (null: none)
// where the command line gave none. Returns -1 to go on, or 78 after
// "AutoRestartRate invalid".
int arcf_process_settings(config_setting* data, arcf_options* opt) noexcept;

#endif  // VELMORA_FILTER_VELMORA_MAIN_OPTIONS_H
