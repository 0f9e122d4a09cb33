// SPDX-License-Identifier: BSD-2-Clause
// testdns.cc - velmora-testdns, a small authoritative DNS server for the tests.
//
// Usage: velmora-testdns [-a ADDRESS] [-p PORT] [-r READYFILE] [-l QUERYLOG]
//                        [-d MILLISECONDS] [-v] ZONEFILE
//
// Answers queries over UDP and TCP on ADDRESS (default 127.0.0.1) and PORT
// (default 53) from the records of ZONEFILE. Once both sockets listen it writes
// its pid into READYFILE (written under a temporary name and renamed, so a
// reader never sees it half written). It exits with status 0 on SIGTERM or
// SIGINT, with 69 when it cannot bind (the address is in use), and with 64 or
// 65 on a bad command line or zone file. -v logs every query to standard error;
// -l appends one line "NAME TYPE" (name in lower case, type as a number) per
// query to QUERYLOG, flushed at once, so a test can count what reached the
// server. -d delays every reply by MILLISECONDS.
//
// Zone file format, one entry per line; blank lines and lines whose first
// non-blank byte is "#" are ignored:
//
//   NAME [TTL] [IN] TYPE DATA
//
// NAME is a domain name, compared ignoring case, with or without a final dot.
// TTL is the record's time to live in seconds (default 300). TYPE and DATA:
//   TXT    DATA is one or more "quoted" character-strings ("\"" and "\\" escape
//          a quote and a backslash) or, when DATA does not start with a quote,
//          the bare rest of the line, split into strings of 255 bytes.
//   CNAME  DATA is the target name. A query of another type for NAME is
//          answered with the CNAME followed by the target's records of the
//          asked type, when the zone has them (up to 8 links).
//   A      DATA is a dotted IPv4 address.
//   SOA    DATA is "MNAME RNAME SERIAL REFRESH RETRY EXPIRE MINIMUM".
//   TYPEn  DATA is the record data in hexadecimal (n = the decimal type code),
//          optionally after "\# LENGTH" (the generic form of RFC 3597, which
//          "ldns-read-zone -U TYPE255" prints for every record of a zone).
// Several lines with the same NAME and TYPE give several answers. A name that
// has records, but none of the asked type, gets an empty NOERROR reply; a name
// the zone does not know gets NXDOMAIN. Both negative replies carry the SOA of
// the closest enclosing zone (a name with an SOA record) in their authority
// section, so that resolvers cache them (RFC 2308).
//
// Signed zones: when a query has an EDNS OPT record with the DO bit, every
// answer set is followed by the RRSIG records of its owner that cover its type,
// and a negative reply also carries the zone's SOA signature and every NSEC
// record of the zone with its signatures (enough proof for the small zones of
// the tests). A query with an OPT record gets one back, echoing DO; over UDP
// the client's advertised size (at least 512 bytes) is the reply limit.
//
//   NAME DELAY MILLISECONDS
//
// delays every reply to a query for NAME (after -d's delay, not added to it).
// Delayed UDP replies wait in a queue, so slow answers overlap; over TCP the
// server sleeps before answering.
//
//   NAME CASE KIND [ARG]
//
// makes every query for NAME (whatever its type) get a crafted reply. ARG is
// the text of the TXT record the reply carries (default "v=DKIM1; p=") unless
// KIND says otherwise. KIND is one of:
//   tc-answer          truncation bit set, with one TXT answer
//   tc-empty           truncation bit set, no answers
//   cname-txt          a CNAME to "target.NAME", then the TXT answer
//   cname-only         only a CNAME to "target.NAME"
//   two-txt            two TXT answers (ARG and ARG with "2" appended)
//   nxdomain           RCODE 3, no answers
//   empty              RCODE 0, no answers
//   servfail           RCODE 2, no answers
//   other-type         one answer of type A (127.0.0.2)
//   question-type      the question echoed with type A, then the TXT answer
//   question-class     the question echoed with class CH, then the TXT answer
//   no-question        no question section, then the TXT answer
//   rdlength-past-end  a TXT answer whose RDLENGTH runs 16 bytes past the end
//   corrupt-name       an answer whose owner name points past the end
//   strings            a TXT answer with one character-string per "|"-separated
//                      part of ARG (empty parts give empty strings)
//   long-record        a TXT answer of ARG bytes (a decimal count, default
//                      2000) of the text "abcdefghijklmnopqrstuvwxyz0123456789"
//                      repeated, in strings of 255 bytes
//   drop               no reply at all
// Over UDP, a reply longer than 512 bytes is replaced by its header and
// question with the truncation bit set, so that the client retries over TCP;
// crafted replies are otherwise sent as they are over both transports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

constexpr int ex_usage = 64;
constexpr int ex_dataerr = 65;
constexpr int ex_unavailable = 69;
constexpr size_t udp_limit = 512;
constexpr uint16_t type_a = 1;
constexpr uint16_t type_cname = 5;
constexpr uint16_t type_soa = 6;
constexpr uint16_t type_txt = 16;
constexpr uint16_t type_opt = 41;
constexpr uint16_t type_rrsig = 46;
constexpr uint16_t type_nsec = 47;
constexpr uint32_t default_ttl = 300;
constexpr uint16_t class_in = 1;
constexpr uint16_t class_ch = 3;

struct record {
    uint16_t type;
    bytes rdata;  // wire form, names uncompressed
    uint32_t ttl = default_ttl;
};

struct zone {
    std::multimap<std::string, record> records;  // by lower-case name
    std::map<std::string, std::string> cases;    // name -> "kind arg"
    std::map<std::string, long> delays;          // name -> milliseconds
};

bool verbose = false;
FILE* query_log = nullptr;
long reply_delay_ms = 0;
volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
}

std::string lower_name(std::string_view name) {
    std::string out{name};
    if (!out.empty() && out.back() == '.') {
        out.pop_back();
    }
    for (auto& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

void put16(bytes& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

void put32(bytes& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}

// Appends a name in uncompressed wire form; false for a label over 63 bytes.
bool put_name(bytes& b, std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    while (!name.empty()) {
        const size_t dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        if (label.empty() || label.size() > 63) {
            return false;
        }
        b.push_back(static_cast<unsigned char>(label.size()));
        b.insert(b.end(), label.begin(), label.end());
        name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    }
    b.push_back(0);
    return true;
}

// Appends text as TXT character-strings of at most 255 bytes each.
void put_txt_chunks(bytes& b, std::string_view text) {
    do {
        const size_t n = text.size() < 255 ? text.size() : 255;
        b.push_back(static_cast<unsigned char>(n));
        b.insert(b.end(), text.begin(), text.begin() + static_cast<long>(n));
        text.remove_prefix(n);
    } while (!text.empty());
}

// Parses TXT data: quoted strings, or bare text. Empty optional on a bad quote.
std::optional<bytes> parse_txt(std::string_view data) {
    bytes out;
    if (data.empty() || data.front() != '"') {
        put_txt_chunks(out, data);
        return out;
    }
    size_t i = 0;
    while (i < data.size()) {
        if (std::isspace(static_cast<unsigned char>(data[i]))) {
            ++i;
            continue;
        }
        if (data[i] != '"') {
            return std::nullopt;
        }
        std::string s;
        for (++i; i < data.size() && data[i] != '"'; ++i) {
            if (data[i] == '\\' && i + 1 < data.size()) {
                ++i;
            }
            s.push_back(data[i]);
        }
        if (i >= data.size() || s.size() > 255) {
            return std::nullopt;
        }
        ++i;
        out.push_back(static_cast<unsigned char>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

std::optional<bytes> parse_hex(std::string_view data) {
    bytes out;
    // The generic form "\# LENGTH HEX": the length is checked below.
    long announced = -1;
    if (data.substr(0, 2) == "\\#") {
        data.remove_prefix(2);
        char* end = nullptr;
        const std::string rest{data};
        announced = std::strtol(rest.c_str(), &end, 10);
        data.remove_prefix(static_cast<size_t>(end - rest.c_str()));
    }
    std::string digits;
    for (char c : data) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    if (announced >= 0 && static_cast<size_t>(announced) != out.size()) {
        return std::nullopt;
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits off the first blank-separated word of s.
std::string_view next_word(std::string_view& s) {
    s = trim(s);
    size_t n = 0;
    while (n < s.size() && !std::isspace(static_cast<unsigned char>(s[n]))) {
        ++n;
    }
    const std::string_view word = s.substr(0, n);
    s = trim(s.substr(n));
    return word;
}

bool known_case(std::string_view kind) {
    static constexpr std::string_view kinds[] = {
        "tc-answer",      "tc-empty",    "cname-txt",         "cname-only",   "two-txt",
        "nxdomain",       "empty",       "servfail",          "other-type",   "question-type",
        "question-class", "no-question", "rdlength-past-end", "corrupt-name", "strings",
        "long-record",    "drop"};
    for (auto k : kinds) {
        if (k == kind) {
            return true;
        }
    }
    return false;
}

// Parses "MNAME RNAME SERIAL REFRESH RETRY EXPIRE MINIMUM" into SOA data.
std::optional<bytes> parse_soa(std::string_view data) {
    bytes out;
    for (int i = 0; i < 2; ++i) {
        if (!put_name(out, next_word(data))) {
            return std::nullopt;
        }
    }
    for (int i = 0; i < 5; ++i) {
        const std::string word{next_word(data)};
        if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) {
            return std::nullopt;
        }
        put32(out, static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10)));
    }
    return out;
}

bool load_zone(const char* path, zone& z) {
    std::ifstream in{path};
    if (!in) {
        std::fprintf(stderr, "velmora-testdns: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    std::string line;
    for (int lineno = 1; std::getline(in, line); ++lineno) {
        std::string_view rest = trim(line);
        if (rest.empty() || rest.front() == '#') {
            continue;
        }
        const std::string name = lower_name(next_word(rest));
        std::string type{next_word(rest)};
        uint32_t ttl = default_ttl;
        if (!type.empty() && std::isdigit(static_cast<unsigned char>(type[0]))) {
            ttl = static_cast<uint32_t>(std::strtoul(type.c_str(), nullptr, 10));
            type = next_word(rest);
        }
        for (auto& c : type) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (type == "IN") {
            type = next_word(rest);
            for (auto& c : type) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        std::optional<bytes> rdata;
        uint16_t code = 0;
        if (type == "DELAY") {
            char* end = nullptr;
            const std::string ms{rest};
            const long n = std::strtol(ms.c_str(), &end, 10);
            if (ms.empty() || *end != '\0' || n < 0) {
                std::fprintf(stderr, "velmora-testdns: %s:%d: bad delay\n", path, lineno);
                return false;
            }
            z.delays[name] = n;
            continue;
        }
        if (type == "CASE") {
            std::string_view kind_rest = rest;
            const std::string_view kind = next_word(kind_rest);
            if (!known_case(kind)) {
                std::fprintf(stderr, "velmora-testdns: %s:%d: unknown case '%.*s'\n", path, lineno,
                             static_cast<int>(kind.size()), kind.data());
                return false;
            }
            z.cases[name] = std::string{rest};
            continue;
        }
        if (type == "TXT") {
            code = type_txt;
            rdata = parse_txt(rest);
        } else if (type == "CNAME") {
            code = type_cname;
            rdata.emplace();
            if (!put_name(*rdata, rest)) {
                rdata.reset();
            }
        } else if (type == "A") {
            code = type_a;
            in_addr a{};
            if (inet_pton(AF_INET, std::string{rest}.c_str(), &a) == 1) {
                const auto* p = reinterpret_cast<const unsigned char*>(&a);
                rdata.emplace(p, p + 4);
            }
        } else if (type == "SOA") {
            code = type_soa;
            rdata = parse_soa(rest);
        } else if (type.rfind("TYPE", 0) == 0 && type.size() > 4) {
            code = static_cast<uint16_t>(std::atoi(type.c_str() + 4));
            rdata = parse_hex(rest);
        }
        if (name.empty() || !rdata || code == 0) {
            std::fprintf(stderr, "velmora-testdns: %s:%d: bad entry\n", path, lineno);
            return false;
        }
        z.records.emplace(name, record{code, std::move(*rdata), ttl});
    }
    return true;
}

struct question {
    uint16_t id;
    uint16_t flags;
    std::string name;  // as asked, without the final dot
    uint16_t type;
    uint16_t qclass;
    bool edns = false;       // the query has an OPT record
    bool dnssec_ok = false;  // its DO bit is set
    size_t udp_size = 512;   // the size it advertises (at least 512)
};

// Skips a (possibly compressed) name at pos; false when it runs past len.
bool skip_name(const unsigned char* q, size_t len, size_t& pos) {
    while (pos < len) {
        const unsigned n = q[pos];
        if (n == 0) {
            ++pos;
            return true;
        }
        if ((n & 0xc0) == 0xc0) {
            pos += 2;
            return pos <= len;
        }
        pos += 1 + n;
    }
    return false;
}

// Looks for an OPT record in the sections after the question.
void parse_edns(const unsigned char* q, size_t len, size_t pos, question& out) {
    const unsigned records = ((q[6] << 8) | q[7]) + ((q[8] << 8) | q[9]) + ((q[10] << 8) | q[11]);
    for (unsigned i = 0; i < records; ++i) {
        if (!skip_name(q, len, pos) || pos + 10 > len) {
            return;
        }
        const unsigned type = (q[pos] << 8) | q[pos + 1];
        const size_t rdlength = static_cast<size_t>((q[pos + 8] << 8) | q[pos + 9]);
        if (type == type_opt) {
            out.edns = true;
            const size_t size = static_cast<size_t>((q[pos + 2] << 8) | q[pos + 3]);
            out.udp_size = size < 512 ? 512 : size;
            out.dnssec_ok = (q[pos + 6] & 0x80) != 0;
            return;
        }
        pos += 10 + rdlength;
    }
}

// Reads the first question of a query; empty optional when malformed.
std::optional<question> parse_query(const unsigned char* q, size_t len) {
    if (len < 12 || ((q[4] << 8) | q[5]) < 1) {
        return std::nullopt;
    }
    question out{};
    out.id = static_cast<uint16_t>((q[0] << 8) | q[1]);
    out.flags = static_cast<uint16_t>((q[2] << 8) | q[3]);
    size_t pos = 12;
    while (pos < len && q[pos] != 0) {
        const size_t n = q[pos];
        if (n > 63 || pos + 1 + n >= len) {
            return std::nullopt;
        }
        if (!out.name.empty()) {
            out.name.push_back('.');
        }
        out.name.append(reinterpret_cast<const char*>(q + pos + 1), n);
        pos += 1 + n;
    }
    if (pos + 5 > len) {
        return std::nullopt;
    }
    out.type = static_cast<uint16_t>((q[pos + 1] << 8) | q[pos + 2]);
    out.qclass = static_cast<uint16_t>((q[pos + 3] << 8) | q[pos + 4]);
    parse_edns(q, len, pos + 5, out);
    return out;
}

// Starts a reply: header with the given counts, RCODE and TC bit.
bytes header(const question& qu, unsigned rcode, bool tc, unsigned qd, unsigned an, unsigned ns = 0,
             unsigned ar = 0) {
    bytes b;
    put16(b, qu.id);
    const unsigned rd = (qu.flags >> 8) & 0x01;
    b.push_back(static_cast<unsigned char>(0x80 | 0x04 | (tc ? 0x02 : 0) | rd));  // QR AA
    b.push_back(static_cast<unsigned char>(rcode & 0x0f));
    put16(b, qd);
    put16(b, an);
    put16(b, ns);
    put16(b, ar);
    return b;
}

// Appends an OPT record advertising 4096 bytes and echoing the DO bit.
void put_opt(bytes& b, bool dnssec_ok) {
    b.push_back(0);
    put16(b, type_opt);
    put16(b, 4096);
    put32(b, dnssec_ok ? 0x8000 : 0);
    put16(b, 0);
}

void put_question(bytes& b, const question& qu, uint16_t type, uint16_t qclass) {
    put_name(b, qu.name);
    put16(b, type);
    put16(b, qclass);
}

// Appends one answer owned by the question's name (a pointer to offset 12).
void put_answer(bytes& b, uint16_t type, const bytes& rdata, bool owner_is_qname = true,
                std::string_view owner = {}, uint32_t ttl = default_ttl) {
    if (owner_is_qname) {
        put16(b, 0xc00c);
    } else {
        put_name(b, owner);
    }
    put16(b, type);
    put16(b, class_in);
    put32(b, ttl);
    put16(b, static_cast<unsigned>(rdata.size()));
    b.insert(b.end(), rdata.begin(), rdata.end());
}

bytes txt_rdata(std::string_view text) {
    bytes r;
    put_txt_chunks(r, text);
    return r;
}

// Builds a crafted reply; empty optional for "drop".
std::optional<bytes> crafted_reply(const question& qu, std::string_view spec) {
    const std::string kind{next_word(spec)};
    const std::string text = spec.empty() ? std::string{"v=DKIM1; p="} : std::string{spec};
    const bytes txt = txt_rdata(text);
    bytes target;
    put_name(target, "target." + qu.name);
    bytes b;
    if (kind == "drop") {
        return std::nullopt;
    } else if (kind == "tc-answer") {
        b = header(qu, 0, true, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_txt, txt);
    } else if (kind == "tc-empty") {
        b = header(qu, 0, true, 1, 0);
        put_question(b, qu, qu.type, qu.qclass);
    } else if (kind == "cname-txt") {
        b = header(qu, 0, false, 1, 2);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_cname, target);
        put_answer(b, type_txt, txt, false, "target." + qu.name);
    } else if (kind == "cname-only") {
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_cname, target);
    } else if (kind == "two-txt") {
        b = header(qu, 0, false, 1, 2);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_txt, txt);
        put_answer(b, type_txt, txt_rdata(text + "2"));
    } else if (kind == "nxdomain" || kind == "empty" || kind == "servfail") {
        b = header(qu, kind == "nxdomain" ? 3 : kind == "servfail" ? 2 : 0, false, 1, 0);
        put_question(b, qu, qu.type, qu.qclass);
    } else if (kind == "other-type") {
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_a, bytes{127, 0, 0, 2});
    } else if (kind == "question-type" || kind == "question-class") {
        b = header(qu, 0, false, 1, 1);
        if (kind == "question-type") {
            put_question(b, qu, type_a, qu.qclass);
        } else {
            put_question(b, qu, qu.type, class_ch);
        }
        put_answer(b, type_txt, txt);
    } else if (kind == "no-question") {
        b = header(qu, 0, false, 0, 1);
        put_answer(b, type_txt, txt, false, qu.name);
    } else if (kind == "rdlength-past-end") {
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_txt, txt);
        const size_t at = b.size() - txt.size() - 2;
        const unsigned len = static_cast<unsigned>(txt.size() + 16);
        b[at] = static_cast<unsigned char>(len >> 8);
        b[at + 1] = static_cast<unsigned char>(len);
    } else if (kind == "corrupt-name") {
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put16(b, 0xc000 | 0x3fff);  // points far past the end of the reply
        put16(b, type_txt);
        put16(b, class_in);
        put32(b, 300);
        put16(b, static_cast<unsigned>(txt.size()));
        b.insert(b.end(), txt.begin(), txt.end());
    } else if (kind == "strings") {
        bytes r;
        std::string_view rest = text;
        for (;;) {
            const size_t bar = rest.find('|');
            const std::string_view part = rest.substr(0, bar);
            r.push_back(static_cast<unsigned char>(part.size() < 255 ? part.size() : 255));
            r.insert(r.end(), part.begin(), part.begin() + r.back());
            if (bar == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(bar + 1);
        }
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_txt, r);
    } else if (kind == "long-record") {
        const long n = spec.empty() ? 2000 : std::atol(std::string{spec}.c_str());
        static constexpr std::string_view pattern = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::string s;
        for (long i = 0; i < n; ++i) {
            s.push_back(pattern[static_cast<size_t>(i) % pattern.size()]);
        }
        b = header(qu, 0, false, 1, 1);
        put_question(b, qu, qu.type, qu.qclass);
        put_answer(b, type_txt, txt_rdata(s));
    }
    return b;
}

using rrlist = std::vector<std::pair<std::string, const record*>>;

// True when the zone has records at name or below it (an empty non-terminal
// exists too: it gets NODATA, not NXDOMAIN).
bool name_exists(const zone& z, const std::string& name) {
    if (z.records.count(name) != 0) {
        return true;
    }
    const std::string suffix = "." + name;
    for (const auto& [owner, rec] : z.records) {
        if (owner.size() > suffix.size() &&
            owner.compare(owner.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

// Appends the RRSIG records at owner that cover type.
void add_signatures(const zone& z, const std::string& owner, uint16_t type, rrlist& out) {
    const auto [first, last] = z.records.equal_range(owner);
    for (auto it = first; it != last; ++it) {
        const bytes& r = it->second.rdata;
        if (it->second.type == type_rrsig && r.size() >= 2 && ((r[0] << 8) | r[1]) == type) {
            out.emplace_back(owner, &it->second);
        }
    }
}

// The authority section of a negative reply: the SOA of the closest enclosing
// zone and, for DO queries, its signature and every NSEC of the zone signed.
rrlist negative_authority(const zone& z, const question& qu) {
    rrlist out;
    std::string apex = lower_name(qu.name);
    for (;;) {
        const auto [first, last] = z.records.equal_range(apex);
        for (auto it = first; it != last; ++it) {
            if (it->second.type == type_soa) {
                out.emplace_back(apex, &it->second);
            }
        }
        if (!out.empty() || apex.empty()) {
            break;
        }
        const size_t dot = apex.find('.');
        apex = dot == std::string::npos ? std::string{} : apex.substr(dot + 1);
    }
    if (out.empty() || !qu.dnssec_ok) {
        return out;
    }
    add_signatures(z, apex, type_soa, out);
    const std::string suffix = "." + apex;
    for (const auto& [owner, rec] : z.records) {
        const bool inside = owner == apex || (owner.size() > suffix.size() &&
                                              owner.compare(owner.size() - suffix.size(),
                                                            suffix.size(), suffix) == 0);
        if (inside && rec.type == type_nsec) {
            out.emplace_back(owner, &rec);
            add_signatures(z, owner, type_nsec, out);
        }
    }
    return out;
}

// Builds the reply from the zone's records.
bytes zone_reply(const zone& z, const question& qu) {
    std::string name = lower_name(qu.name);
    rrlist answers;
    const bool known = name_exists(z, name);
    for (int link = 0; link < 8; ++link) {
        const auto [first, last] = z.records.equal_range(name);
        const record* cname = nullptr;
        bool found = false;
        for (auto it = first; it != last; ++it) {
            if (it->second.type == qu.type) {
                answers.emplace_back(name, &it->second);
                found = true;
            } else if (it->second.type == type_cname) {
                cname = &it->second;
            }
        }
        if (found && qu.dnssec_ok) {
            add_signatures(z, name, qu.type, answers);
        }
        if (found || cname == nullptr) {
            break;
        }
        answers.emplace_back(name, cname);
        if (qu.dnssec_ok) {
            add_signatures(z, name, type_cname, answers);
        }
        // Follow the target (stored in wire form) to its own records.
        std::string target;
        for (size_t pos = 0; pos < cname->rdata.size() && cname->rdata[pos] != 0;) {
            const size_t n = cname->rdata[pos];
            if (!target.empty()) {
                target.push_back('.');
            }
            target.append(reinterpret_cast<const char*>(&cname->rdata[pos + 1]), n);
            pos += 1 + n;
        }
        name = lower_name(target);
    }
    if (qu.qclass != class_in) {
        answers.clear();
    }
    const rrlist authority = answers.empty() ? negative_authority(z, qu) : rrlist{};
    bytes b = header(qu, known ? 0 : 3, false, 1, static_cast<unsigned>(answers.size()),
                     static_cast<unsigned>(authority.size()), qu.edns ? 1 : 0);
    put_question(b, qu, qu.type, qu.qclass);
    const rrlist* sections[] = {&answers, &authority};
    for (const rrlist* section : sections) {
        for (const auto& [owner, rec] : *section) {
            put_answer(b, rec->type, rec->rdata, false, owner, rec->ttl);
        }
    }
    if (qu.edns) {
        put_opt(b, qu.dnssec_ok);
    }
    return b;
}

// Answers one query; empty optional when no reply is to be sent. *delay_ms
// receives how long the reply is to be held back.
std::optional<bytes> answer(const zone& z, const unsigned char* q, size_t len, bool udp,
                            long* delay_ms) {
    *delay_ms = 0;
    const auto qu = parse_query(q, len);
    if (!qu) {
        if (len >= 12) {
            question bad{static_cast<uint16_t>((q[0] << 8) | q[1]),
                         static_cast<uint16_t>((q[2] << 8) | q[3]), "", 0, 0};
            return header(bad, 1, false, 0, 0);  // FORMERR
        }
        return std::nullopt;
    }
    if (verbose) {
        std::fprintf(stderr, "velmora-testdns: %s query %s type %u class %u\n", udp ? "udp" : "tcp",
                     qu->name.c_str(), qu->type, qu->qclass);
    }
    if (query_log != nullptr) {
        std::fprintf(query_log, "%s %u\n", lower_name(qu->name).c_str(), qu->type);
        std::fflush(query_log);
    }
    const auto d = z.delays.find(lower_name(qu->name));
    *delay_ms = d != z.delays.end() ? d->second : reply_delay_ms;
    std::optional<bytes> reply;
    const auto c = z.cases.find(lower_name(qu->name));
    if (c != z.cases.end()) {
        reply = crafted_reply(*qu, c->second);
    } else {
        reply = zone_reply(z, *qu);
    }
    const size_t limit = qu->edns ? qu->udp_size : udp_limit;
    if (reply && udp && reply->size() > limit) {
        bytes tc = header(*qu, 0, true, 1, 0, 0, qu->edns ? 1 : 0);
        put_question(tc, *qu, qu->type, qu->qclass);
        if (qu->edns) {
            put_opt(tc, qu->dnssec_ok);
        }
        reply = std::move(tc);
    }
    return reply;
}

bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads exactly n bytes, waiting at most two seconds for each piece.
bool read_exact(int fd, unsigned char* p, size_t n) {
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 2000) <= 0) {
            return false;
        }
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Serves one TCP connection until the client closes it.
void serve_tcp(const zone& z, int fd) {
    for (;;) {
        unsigned char lenbuf[2];
        if (!read_exact(fd, lenbuf, 2)) {
            return;
        }
        const size_t len = static_cast<size_t>((lenbuf[0] << 8) | lenbuf[1]);
        bytes q(len);
        if (len == 0 || !read_exact(fd, q.data(), len)) {
            return;
        }
        long delay_ms = 0;
        const auto reply = answer(z, q.data(), len, false, &delay_ms);
        if (!reply) {
            continue;
        }
        if (delay_ms > 0) {
            const timespec ts{delay_ms / 1000, (delay_ms % 1000) * 1000000};
            (void)nanosleep(&ts, nullptr);
        }
        const size_t rlen = reply->size() > 0xffff ? 0xffff : reply->size();
        const unsigned char rl[2] = {static_cast<unsigned char>(rlen >> 8),
                                     static_cast<unsigned char>(rlen)};
        if (!write_all(fd, rl, 2) || !write_all(fd, reply->data(), rlen)) {
            return;
        }
    }
}

int open_socket(int type, const sockaddr_in& sa) {
#if VELMORA_HAVE_SOCK_CLOEXEC
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
#else
    const int fd = socket(AF_INET, type, 0);
    if (fd >= 0) {
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
#endif
    if (fd < 0) {
        return -1;
    }
    // Only TCP gets SO_REUSEADDR (for sockets left in TIME_WAIT): on UDP it
    // would let a second server share the address instead of failing.
    if (type == SOCK_STREAM) {
        const int one = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0)) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool write_ready(const char* path) {
    const std::string tmp = std::string{path} + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
    if (std::fclose(f) != 0) {
        return false;
    }
    return std::rename(tmp.c_str(), path) == 0;
}

// A UDP reply held back until its time comes.
struct pending_reply {
    timespec due;
    bytes data;
    sockaddr_in to;
};

timespec now_plus_ms(long ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sends every pending reply that is due; returns the wait until the next one
// (null: none waits).
const timespec* send_due(int udp, std::vector<pending_reply>& pending, timespec& wait) {
    const timespec now = now_plus_ms(0);
    const timespec* next = nullptr;
    for (size_t i = 0; i < pending.size();) {
        if (!before(now, pending[i].due)) {
            (void)sendto(udp, pending[i].data.data(), pending[i].data.size(), 0,
                         reinterpret_cast<const sockaddr*>(&pending[i].to), sizeof pending[i].to);
            pending.erase(pending.begin() + static_cast<long>(i));
            continue;
        }
        if (next == nullptr || before(pending[i].due, *next)) {
            next = &pending[i].due;
        }
        ++i;
    }
    if (next == nullptr) {
        return nullptr;
    }
    long long ns = (next->tv_sec - now.tv_sec) * 1000000000LL + (next->tv_nsec - now.tv_nsec);
    wait.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    wait.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return &wait;
}

void usage() {
    std::fprintf(stderr,
                 "usage: velmora-testdns [-a address] [-p port] [-r readyfile] [-l querylog] "
                 "[-d milliseconds] [-v] zonefile\n");
}

}  // namespace

int main(int argc, char** argv) {
    const char* address = "127.0.0.1";
    long port = 53;
    const char* ready = nullptr;
    int opt;
    const char* log_path = nullptr;
    while ((opt = getopt(argc, argv, "a:d:l:p:r:v")) != -1) {
        switch (opt) {
            case 'd':
                reply_delay_ms = std::strtol(optarg, nullptr, 10);
                break;
            case 'l':
                log_path = optarg;
                break;
            case 'a':
                address = optarg;
                break;
            case 'p':
                port = std::strtol(optarg, nullptr, 10);
                break;
            case 'r':
                ready = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            default:
                usage();
                return ex_usage;
        }
    }
    if (optind + 1 != argc || port <= 0 || port > 65535 || reply_delay_ms < 0) {
        usage();
        return ex_usage;
    }
    if (log_path != nullptr) {
        query_log = std::fopen(log_path, "a");
        if (query_log == nullptr) {
            std::fprintf(stderr, "velmora-testdns: %s: %s\n", log_path, std::strerror(errno));
            return ex_unavailable;
        }
    }
    zone z;
    if (!load_zone(argv[optind], z)) {
        return ex_dataerr;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
        std::fprintf(stderr, "velmora-testdns: bad address '%s'\n", address);
        return ex_usage;
    }
    const int udp = open_socket(SOCK_DGRAM, sa);
    const int tcp = udp < 0 ? -1 : open_socket(SOCK_STREAM, sa);
    if (udp < 0 || tcp < 0) {
        std::fprintf(stderr, "velmora-testdns: %s:%ld: %s\n", address, port, std::strerror(errno));
        return ex_unavailable;
    }

    // SIGTERM is only delivered inside ppoll, so a stop cannot slip in between
    // the check of the flag and the wait.
    struct sigaction act {};
    act.sa_handler = on_stop;
    sigemptyset(&act.sa_mask);
    sigaction(SIGTERM, &act, nullptr);
    sigaction(SIGINT, &act, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigset_t waitmask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waitmask);
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGINT);

    if (ready != nullptr && !write_ready(ready)) {
        std::fprintf(stderr, "velmora-testdns: %s: %s\n", ready, std::strerror(errno));
        return ex_unavailable;
    }
    unsigned char buf[65536];
    std::vector<pending_reply> pending;
    while (stop_requested == 0) {
        pollfd fds[2] = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
        timespec wait{};
        const int n = ppoll(fds, 2, send_due(udp, pending, wait), &waitmask);
        if (n < 0) {
            continue;  // EINTR: the loop condition looks at the flag
        }
        if ((fds[0].revents & POLLIN) != 0) {
            sockaddr_in from{};
            socklen_t fromlen = sizeof from;
            const ssize_t len =
                recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
            long delay_ms = 0;
            const auto reply =
                len > 0 ? answer(z, buf, static_cast<size_t>(len), true, &delay_ms) : std::nullopt;
            if (reply && delay_ms > 0) {
                pending.push_back({now_plus_ms(delay_ms), *reply, from});
            } else if (reply) {
                (void)sendto(udp, reply->data(), reply->size(), 0,
                             reinterpret_cast<const sockaddr*>(&from), fromlen);
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
#if VELMORA_HAVE_ACCEPT4
            const int conn = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
#else
            // The server runs no other program: the flag only tidies.
            const int conn = accept(tcp, nullptr, nullptr);
#endif
            if (conn >= 0) {
                serve_tcp(z, conn);
                close(conn);
            }
        }
    }
    close(udp);
    close(tcp);
    if (ready != nullptr) {
        (void)unlink(ready);
    }
    return 0;
}
