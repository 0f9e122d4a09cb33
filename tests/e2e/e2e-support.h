// SPDX-License-Identifier: BSD-2-Clause
// e2e-support.h - the pieces of the end-to-end tests and of the Postfix
// benchmark: child processes stopped by their pid, a private Postfix instance
// relaying to smtp-sink, a small SMTP client, and the delivered messages.
//
// Memory:  ordinary C++ owners; every object stops what it started when it is
//          destroyed.
// Errors:  start-up functions return false with the reason in *err.
// Threads: an smtp_session is used by one thread at a time; the rest is meant
//          for the test's main thread.
#ifndef VELMORA_TESTS_E2E_E2E_SUPPORT_H
#define VELMORA_TESTS_E2E_E2E_SUPPORT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace velmora_e2e {

// Why the end-to-end tests cannot run here (not root, no Postfix), or an
// empty text when they can.
std::string skip_reason();

// Makes this process the reaper of its orphaned descendants, so that the
// processes a Postfix master leaves behind when it stops come back to us.
void become_subreaper();

// A free TCP port on 127.0.0.1 at the time of the call.
int free_port();

// A temporary directory (mode 0755, so Postfix's user can reach into it),
// removed with everything in it by the destructor. Made under /tmp, or under
// `base` (keys need a place no other user can write to on the way, as
// /run is and /tmp is not).
class temp_dir {
  public:
    explicit temp_dir(const char* base = "/tmp");
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Reads or writes a whole file; read_file returns an empty text when it fails.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& text, int mode = 0644);
// Replaces a file atomically (write beside it, then rename).
bool replace_file(const std::string& path, const std::string& text);

// Postfix's form of a libmilter socket specification: "inet:PORT@HOST" becomes
// "inet:HOST:PORT"; "unix:PATH" and "local:PATH" become "unix:PATH". A comma
// list is converted item by item.
std::string postfix_milter(const std::string& spec);

// ---- Child processes ----

struct child_options {
    std::vector<std::string> env;  // NAME=VALUE pairs added to the environment
    std::string stdout_path;       // empty: /dev/null
    std::string stderr_path;       // empty: /dev/null
    std::string stdin_path;        // empty: /dev/null
    std::function<bool()> setup;   // runs in the child before exec; false aborts
};

// One process started by the test. The destructor stops it (SIGTERM, then
// SIGKILL after ten seconds) and reaps it.
class child {
  public:
    child() = default;
    child(const child&) = delete;
    child& operator=(const child&) = delete;
    ~child() { stop(); }

    bool start(const std::vector<std::string>& argv, const child_options& opt, std::string* err);
    pid_t pid() const { return pid_; }
    // True while the process has not been reaped.
    bool running();
    // Waits up to `seconds` for the process to end; true with its wait
    // status in *status once it has.
    bool wait(double seconds, int* status);
    // Sends `sig` and waits up to `grace` seconds, then SIGKILL. Returns the
    // wait status (or -1 when nothing ran).
    int stop(int sig = 15, double grace = 10);
    // The wait status of a process already reaped by running() or wait().
    int status() const { return status_; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a program to its end; returns its wait status (-1 when it could not
// start or did not end within `seconds`, in which case it is killed). Its
// standard output and error are returned in *out when out is not null.
int run(const std::vector<std::string>& argv, std::string* out, double seconds = 60,
        const std::string& stdin_text = "");

// ---- A private Postfix ----

struct mta_options {
    std::string milter;                   // libmilter's socket specifications ("inet:PORT@HOST",
                                          // "unix:PATH"), comma-separated; empty: none
    std::vector<std::string> extra_main;  // more main.cf lines
    int relay_port = 0;                   // next hop port; 0: start our own smtp-sink
    int milter_timeout = 0;               // milter_command_timeout (seconds), 0: default
};

// A Postfix instance of its own (main.cf, master.cf, queue and data
// directories in a temporary directory) with smtpd on a loopback port and
// smtp-sink as the next hop, writing each message to a file of its own.
class postfix_instance {
  public:
    postfix_instance() = default;
    postfix_instance(const postfix_instance&) = delete;
    postfix_instance& operator=(const postfix_instance&) = delete;
    ~postfix_instance() { stop(); }

    bool start(const mta_options& opt, std::string* err);
    // Stops the master (which stops its processes) and the sink, by pid, and
    // reaps everything they left.
    void stop();

    int smtp_port() const { return smtp_port_; }
    int sink_port() const { return sink_port_; }
    const std::string& dir() const { return dir_.path(); }
    std::string config_dir() const { return dir_ / "etc"; }
    // Postfix's log so far.
    std::string log() const;
    // The number of "status=sent" deliveries the log shows.
    size_t sent_count() const;
    // True when no message waits in any queue.
    bool queue_empty() const;
    // Waits until at least n deliveries are logged and the queues are empty.
    bool wait_delivered(size_t n, double seconds) const;
    // The messages smtp-sink received (LF line ends), oldest first.
    std::vector<std::string> delivered() const;
    // Submits a message locally with Postfix's sendmail; returns its status.
    int sendmail(const std::string& from, const std::string& to, const std::string& message,
                 std::string* out) const;
    // Asks the queue manager to retry deferred mail now.
    void flush() const;

  private:
    temp_dir dir_;
    child master_;
    child sink_;
    int smtp_port_ = 0;
    int sink_port_ = 0;
};

// ---- SMTP ----

// One SMTP session to a port on 127.0.0.1.
class smtp_session {
  public:
    smtp_session() = default;
    smtp_session(const smtp_session&) = delete;
    smtp_session& operator=(const smtp_session&) = delete;
    ~smtp_session();

    // Connects and greets with EHLO; false with the reason in *err.
    bool open(int port, std::string* err);
    // Sends one message (LF line ends, made CRLF and dot-stuffed here).
    // Returns the reply code to the end of the data, or the first failing
    // code of MAIL/RCPT/DATA, or -1 when the connection failed (the session
    // is then closed).
    int send(const std::string& from, const std::string& to, const std::string& message);
    // The last reply text.
    const std::string& last_reply() const { return reply_; }
    void close();
    bool is_open() const { return fd_ >= 0; }

  private:
    int command(const std::string& line);
    int read_reply();

    int fd_ = -1;
    std::string buf_;
    std::string reply_;
};

// ---- Messages ----

// The header block of a message (everything before the first empty line,
// with its line ends).
std::string header_block(const std::string& message);
// The body of a message (everything after the first empty line).
std::string body_of(const std::string& message);
// The unfolded values of every field named `name` (ignoring case), in order.
std::vector<std::string> field_values(const std::string& message, const std::string& name);
// The field names of the header block, in order.
std::vector<std::string> field_names(const std::string& message);

}  // namespace velmora_e2e

#endif  // VELMORA_TESTS_E2E_E2E_SUPPORT_H
