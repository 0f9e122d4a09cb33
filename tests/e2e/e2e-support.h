// SPDX-License-Identifier: BSD-2-Clause
// e2e-support.h - the pieces of the end-to-end tests and of the MTA
// benchmarks: child processes stopped by their pid, a syslog socket, a
// private Postfix and a private Sendmail instance relaying to smtp-sink, a
// small SMTP client, and the delivered messages.
//
// Memory:  ordinary C++ owners; every object stops what it started when it is
//          destroyed.
// Errors:  start-up functions return false with the reason in *err.
// Threads: an smtp_session is used by one thread at a time; the syslog
//          reader runs a thread of its own; the rest is meant for the test's
//          main thread.
#ifndef VELMORA_TESTS_E2E_E2E_SUPPORT_H
#define VELMORA_TESTS_E2E_E2E_SUPPORT_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// ---- Syslog ----

// A datagram socket that receives what syslog() writes to /dev/log in the
// private /dev of enter_private_dev(); lines are kept in order.
class syslog_capture {
  public:
    syslog_capture() = default;
    syslog_capture(const syslog_capture&) = delete;
    syslog_capture& operator=(const syslog_capture&) = delete;
    ~syslog_capture();
    bool start(const std::string& path, std::string* err);
    const std::string& path() const { return path_; }
    std::vector<std::string> lines() const;
    bool contains(const std::string& text) const;
    // Waits until a line contains `text`.
    bool wait_for(const std::string& text, double seconds) const;
    size_t count(const std::string& text) const;

  private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Gives the calling process (a child about to exec) a mount namespace of its
// own whose /dev is a tmpfs holding the usual devices, bound from the real
// /dev, and, as /dev/log, the socket `devlog`. `olddev` is an empty
// directory the setup may use.
bool enter_private_dev(const std::string& olddev, const std::string& devlog);

// ---- The MTAs ----

struct mta_options {
    std::string milter;                   // libmilter's socket specifications ("inet:PORT@HOST",
                                          // "unix:PATH"), comma-separated; empty: none
    std::vector<std::string> extra_main;  // more main.cf lines (Postfix)
    std::vector<std::string> extra_mc;    // more .mc lines (Sendmail)
    int relay_port = 0;                   // next hop port; 0: start our own smtp-sink
    int milter_timeout = 0;               // milter_command_timeout (seconds), 0: default
};

// The MTAs the end-to-end tests run.
enum class mta_kind { postfix, sendmail };
const char* mta_name(mta_kind kind);
// Prints the name (GoogleTest shows parameters with it).
void PrintTo(mta_kind kind, std::ostream* os);
// Why that MTA cannot run here, or an empty text when it can.
std::string mta_skip_reason(mta_kind kind);

// A private MTA instance: smtpd on a loopback port, the milters of
// mta_options, and smtp-sink as the next hop writing each message to a file
// of its own.
class mta_instance {
  public:
    mta_instance() = default;
    mta_instance(const mta_instance&) = delete;
    mta_instance& operator=(const mta_instance&) = delete;
    virtual ~mta_instance() = default;

    virtual mta_kind kind() const = 0;
    virtual bool start(const mta_options& opt, std::string* err) = 0;
    // Stops the MTA and the sink by their pids, and reaps everything they
    // left.
    virtual void stop() = 0;
    virtual int smtp_port() const = 0;
    // The instance's directory (its files; smtp-sink's in "sink").
    virtual const std::string& dir() const = 0;
    // The MTA's log so far.
    virtual std::string log() const = 0;
    // The number of deliveries the log shows.
    virtual size_t sent_count() const = 0;
    // True when no message waits in any queue.
    virtual bool queue_empty() const = 0;
    // Waits until at least n deliveries are logged and the queues are empty.
    bool wait_delivered(size_t n, double seconds) const;
    // The messages smtp-sink received (LF line ends), oldest first.
    virtual std::vector<std::string> delivered() const = 0;
};

// A new, not yet started instance of `kind`.
std::unique_ptr<mta_instance> make_mta(mta_kind kind);

// A Postfix instance of its own (main.cf, master.cf, queue and data
// directories in a temporary directory).
class postfix_instance : public mta_instance {
  public:
    postfix_instance() = default;
    ~postfix_instance() override { stop(); }

    mta_kind kind() const override { return mta_kind::postfix; }
    bool start(const mta_options& opt, std::string* err) override;
    // Stops the master (which stops its processes) and the sink.
    void stop() override;

    int smtp_port() const override { return smtp_port_; }
    int sink_port() const { return sink_port_; }
    const std::string& dir() const override { return dir_.path(); }
    std::string config_dir() const { return dir_ / "etc"; }
    std::string log() const override;
    // The number of "status=sent" deliveries the log shows.
    size_t sent_count() const override;
    bool queue_empty() const override;
    std::vector<std::string> delivered() const override;
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

// Where Debian's Sendmail packages are unpacked (scripts/fetch-sendmail):
// $VELMORA_SENDMAIL_DIR, or /var/cache/velmora-sendmail/root.
std::string sendmail_root();

// The host name of the private Sendmail listening on smtp_port: each has
// its own, or one relaying to another would see a mail loop.
std::string sendmail_host(int smtp_port);

// The .mc text of a private Sendmail: listening on 127.0.0.1:smtp_port,
// queue and files under `dir`, relaying everything to 127.0.0.1:relay_port
// (through the relay mailer; the esmtp mailer goes there too), with the
// milters of opt and its extra_mc lines (docs/sendmail.md shows the same).
std::string sendmail_mc(const std::string& dir, int smtp_port, int relay_port,
                        const mta_options& opt);

// A Sendmail instance of its own, run from a private copy of the unpacked
// binary (without its set-group-id bit, so that the loader honours
// LD_LIBRARY_PATH) with a sendmail.cf built from sendmail_mc() by m4, in the
// foreground (-bD). It runs in a mount and host-name namespace of its own:
// a private /etc/hosts qualifies its host name without DNS, and its /dev/log
// is the instance's syslog socket. /etc/mail is never read or written.
class sendmail_instance : public mta_instance {
  public:
    sendmail_instance() = default;
    ~sendmail_instance() override { stop(); }

    mta_kind kind() const override { return mta_kind::sendmail; }
    bool start(const mta_options& opt, std::string* err) override;
    void stop() override;

    int smtp_port() const override { return smtp_port_; }
    int sink_port() const { return sink_port_; }
    const std::string& dir() const override { return dir_.path(); }
    std::string log() const override;
    // The number of "stat=Sent" deliveries the log shows.
    size_t sent_count() const override;
    bool queue_empty() const override;
    std::vector<std::string> delivered() const override;

  private:
    temp_dir dir_;
    syslog_capture syslog_;
    child daemon_;
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
