// SPDX-License-Identifier: BSD-2-Clause
// testdns-client.h - helpers for tests that run the library's real resolver
// path against velmora-testdns: start the server with a zone, and point this
// process's /etc/resolv.conf at it inside a private mount namespace.
//
// Both need root (port 53, mount namespaces); skip_reason() says why a test
// cannot run. The machine's own /etc/resolv.conf is never changed: the bind
// mount lives in a namespace of the test process only.
#ifndef VELMORA_TESTS_TESTDNS_TESTDNS_CLIENT_H
#define VELMORA_TESTS_TESTDNS_TESTDNS_CLIENT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace velmora_testdns {

// Why the real-DNS tests cannot run in this process, or an empty text when
// they can.
std::string skip_reason();

// A velmora-testdns process serving one zone (see the format at the top of
// testdns.cc) on its own loopback address (127.53.x.y), port 53. Stopped with
// SIGTERM by stop() or the destructor; it also dies with the test process.
class server {
  public:
    server() = default;
    server(const server&) = delete;
    server& operator=(const server&) = delete;
    ~server() { stop(); }

    // Writes the zone text to a file and starts the server on a free address;
    // returns once it answers. `args` are passed to the server before the
    // zone file (for example {"-d", "20"}). False with the reason in *err.
    bool start(const std::string& zone_text, std::string* err,
               const std::vector<std::string>& args = {});
    void stop();

    const std::string& address() const { return address_; }
    bool running() const { return pid_ > 0; }

    // The queries the server has received so far, one "name type" text each
    // (name in lower case, type as a number), oldest first.
    std::vector<std::string> queries() const;
    // How many of them asked for name (any case, no final dot) and type.
    int count_queries(const std::string& name, int type) const;

  private:
    pid_t pid_ = -1;
    std::string address_;
    std::string dir_;
};

// Moves the calling process into a private mount namespace in which
// /etc/resolv.conf names only `address` (with one try of one second per
// query). Must be called while the process has a single thread, before the
// first lookup. False with the reason in *err.
bool enter_resolver_namespace(const std::string& address, std::string* err);

// Starts the server with the zone and enters a namespace pointing at it.
bool start_and_enter(server& srv, const std::string& zone_text, std::string* err);

// Runs body in a child process that has entered a namespace pointing at
// `address`; returns the body's result (the child's exit status), or -1 when
// the child could not be set up or died by a signal. For callers that are
// threaded or must keep their own /etc/resolv.conf.
int run_in_resolver_namespace(const std::string& address, const std::function<int()>& body);

// A TXT record's text as the zone file wants it: quoted character-strings
// of at most 255 bytes, each followed by a blank.
std::string txt_strings(const std::string& text);

// An unbound configuration that forwards every query to `address` (for
// arc_dns_unbound() and the filter's ResolverConfiguration).
std::string forward_configuration(const std::string& address);

// Signs the zone text for `origin` (with $ORIGIN, $TTL, SOA and NS lines of
// its own) with fresh 1024-bit RSASHA256 keys (ldns-keygen, ldns-signzone;
// Debian's ldnsutils) in the existing directory `dir`. On success *lines
// holds the signed zone in the server's format, one record per line (the
// generic form of ldns-read-zone, so that a caller can alter records after
// signing), and *anchor the path of the DS record of the key-signing key, a
// trust anchor for the zone. False with the reason in *err.
bool sign_zone(const std::string& dir, const std::string& origin, const std::string& zone_text,
               std::vector<std::string>* lines, std::string* anchor, std::string* err);

}  // namespace velmora_testdns

#endif  // VELMORA_TESTS_TESTDNS_TESTDNS_CLIENT_H
