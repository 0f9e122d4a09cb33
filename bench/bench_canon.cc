// SPDX-License-Identifier: BSD-2-Clause
// bench_canon.cc - throughput of body canonicalization and hashing against
// raw SHA-256 over the same bytes, the cost of the header block of a sealed
// message against raw SHA-256 over the bytes its hashes cover, and the memory
// a large body needs.
//
// Bodies are generated ahead, 64 KiB chunks of mail-like text (lines of 60
// to 80 characters, some trailing blanks, some empty lines, some 8-bit bytes;
// the second text also separates words by tabs and double blanks), and fed
// chunk by chunk to one long-lived body hash while the baseline feeds the
// same chunks to one long-lived SHA-256 context. Figures are medians of pair
// ratios over alternating batches of thread CPU time (bench-rates.h). Memory
// is counted through libcrypto's allocator, which the library uses for
// everything.
//
// Usage: bench_canon [SECONDS per figure, default 2] | bench_canon headers
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "arc-canon.h"
#include "arc.h"
#include "bench-rates.h"
#include "velmora.h"

namespace {

// ---- Counting allocator ----

std::atomic<long long> heap_now{0};
std::atomic<long long> heap_peak{0};
constexpr size_t header = 16;

void note_alloc(long long n) {
    const long long now = heap_now.fetch_add(n) + n;
    long long peak = heap_peak.load();
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
    }
}

void* counting_malloc(size_t n, const char*, int) {
    auto* p = static_cast<unsigned char*>(malloc(n + header));
    if (p == nullptr) {
        return nullptr;
    }
    memcpy(p, &n, sizeof n);
    note_alloc(static_cast<long long>(n));
    return p + header;
}

void counting_free(void* ptr, const char*, int) {
    if (ptr == nullptr) {
        return;
    }
    auto* p = static_cast<unsigned char*>(ptr) - header;
    size_t n = 0;
    memcpy(&n, p, sizeof n);
    heap_now.fetch_sub(static_cast<long long>(n));
    free(p);
}

void* counting_realloc(void* ptr, size_t n, const char* file, int line) {
    if (ptr == nullptr) {
        return counting_malloc(n, file, line);
    }
    auto* p = static_cast<unsigned char*>(ptr) - header;
    size_t old = 0;
    memcpy(&old, p, sizeof old);
    auto* q = static_cast<unsigned char*>(realloc(p, n + header));
    if (q == nullptr) {
        return nullptr;
    }
    memcpy(q, &n, sizeof n);
    heap_now.fetch_sub(static_cast<long long>(old));
    note_alloc(static_cast<long long>(n));
    return q + header;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- Body generator ----

constexpr size_t chunk_size = 64 * 1024;

// Writes a deterministic stream of mail-like text, one chunk at a time.
class body_stream {
  public:
    // `blanky`: words are separated by tabs and runs of blanks as often as by
    // one space, and more lines end in blanks.
    explicit body_stream(uint64_t seed, bool blanky = false) : state_{seed}, blanky_{blanky} {}

    void fill(unsigned char* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (pos_ == line_.size()) {
                next_line();
            }
            out[i] = static_cast<unsigned char>(line_[pos_++]);
        }
    }

  private:
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<uint32_t>(state_);
    }

    void next_line() {
        static const char* const words[] = {"the",
                                            "message",
                                            "was",
                                            "relayed",
                                            "through",
                                            "a",
                                            "list",
                                            "and",
                                            "its",
                                            "seal",
                                            "still",
                                            "holds",
                                            "because",
                                            "every",
                                            "byte",
                                            "counts",
                                            "caf\xc3\xa9",
                                            "na\xc3\xafve",
                                            "r\xc3\xa9sum\xc3\xa9",
                                            "mailing",
                                            "server",
                                            "of",
                                            "to",
                                            "in",
                                            "for",
                                            "with"};
        line_.clear();
        pos_ = 0;
        const uint32_t kind = next() % 100;
        if (kind < 8) {  // empty line
            line_ = "\r\n";
            return;
        }
        static const char* const gaps[] = {" ", "\t", "  ", " \t", "\t\t", "   "};
        const size_t target = 60 + next() % 21;
        while (line_.size() < target) {
            if (!line_.empty()) {
                if (blanky_) {
                    line_ += next() % 5 != 0 ? " " : gaps[next() % std::size(gaps)];
                } else {
                    line_ += (next() % 40 == 0) ? "  " : " ";
                }
            }
            line_ += words[next() % std::size(words)];
        }
        if (kind < (blanky_ ? 40u : 20u)) {  // trailing blanks
            line_ += (kind & 1) ? " " : " \t ";
        }
        line_ += "\r\n";
    }

    uint64_t state_;
    bool blanky_;
    std::string line_;
    size_t pos_ = 0;
};

// ---- Measurements ----

struct run_result {
    double seconds = 0;
    unsigned char digest[32] = {};
};

// Canonicalizes and hashes `total` bytes with the library's body rules.
run_result run_canon(arc_library* lib, int canon, size_t total, unsigned char* chunk) {
    run_result r;
    arc_msg* msg = arc_message(lib, canon, canon, ARC_ALG_RSASHA256, ARC_MODE_VERIFY, nullptr);
    arc_canon* c = nullptr;
    if (msg == nullptr ||
        arc_add_canon(msg, ARC_CANONTYPE_BODY, canon, ARC_HASHTYPE_SHA256, nullptr, nullptr, -1,
                      &c) != ARC_STAT_OK ||
        arc_canon_init(msg, false, false) != ARC_STAT_OK) {
        fprintf(stderr, "bench_canon: cannot set up a body hash\n");
        exit(1);
    }
    body_stream body{0x5eed};
    for (size_t done = 0; done < total; done += chunk_size) {
        body.fill(chunk, chunk_size);
        const double t0 = now_seconds();
        arc_canon_bodychunk(msg, chunk, chunk_size);
        r.seconds += now_seconds() - t0;
    }
    const double t0 = now_seconds();
    arc_canon_closebody(msg);
    r.seconds += now_seconds() - t0;
    unsigned char* d = nullptr;
    size_t len = 0;
    if (arc_canon_getfinal(c, &d, &len) == ARC_STAT_OK) {
        memcpy(r.digest, d, len);
    }
    arc_free(msg);
    return r;
}

// Body throughput of both rules on one text, against raw SHA-256 fed the
// same chunks.
void bench_body(arc_library* lib, double secs, const char* what, bool blanky) {
    constexpr size_t chunks = 16;  // 1 MiB of text, fed round and round
    std::vector<std::vector<unsigned char>> text(chunks, std::vector<unsigned char>(chunk_size));
    body_stream body{0x5eed, blanky};
    for (auto& c : text) {
        body.fill(c.data(), c.size());
    }
    EVP_MD_CTX* raw = EVP_MD_CTX_new();
    EVP_DigestInit_ex(raw, EVP_sha256(), nullptr);
    size_t next_raw = 0;
    auto raw_chunk = [&] { EVP_DigestUpdate(raw, text[next_raw++ % chunks].data(), chunk_size); };
    printf("body, %s, 64 KiB chunks; baseline raw SHA-256 of the same chunks\n", what);
    for (const int canon : {ARC_CANON_SIMPLE, ARC_CANON_RELAXED}) {
        arc_msg* msg = arc_message(lib, canon, canon, ARC_ALG_RSASHA256, ARC_MODE_VERIFY, nullptr);
        if (msg == nullptr ||
            arc_add_canon(msg, ARC_CANONTYPE_BODY, canon, ARC_HASHTYPE_SHA256, nullptr, nullptr, -1,
                          nullptr) != ARC_STAT_OK ||
            arc_canon_init(msg, false, false) != ARC_STAT_OK) {
            fprintf(stderr, "bench_canon: cannot set up a body hash\n");
            exit(1);
        }
        size_t next = 0;
        const bench_rates::comparison c = bench_rates::compare(secs, raw_chunk, [&] {
            arc_canon_bodychunk(msg, text[next++ % chunks].data(), chunk_size);
        });
        const bool simple = canon == ARC_CANON_SIMPLE;
        printf(
            "  %-8s %7.1f MB/s, raw SHA-256 %7.1f MB/s: ratio median %.3f (quartiles "
            "%.3f - %.3f, %d pairs), goal >= %s\n",
            simple ? "simple" : "relaxed", c.lib_rate * chunk_size / 1e6,
            c.base_rate * chunk_size / 1e6, c.median, c.q1, c.q3, c.pairs, simple ? "0.9" : "0.75");
        arc_free(msg);
    }
    EVP_MD_CTX_free(raw);
}

// ---- Header block ----

std::string chain_field(const char* name, int i, const std::string& rest) {
    return std::string(name) + ": i=" + std::to_string(i) + "; " + rest;
}

std::vector<std::string> sealed_header_block() {
    std::vector<std::string> fields;
    for (int i = 5; i >= 1; --i) {
        const std::string d = "d" + std::to_string(i) + ".example";
        fields.push_back(
            chain_field("ARC-Seal", i,
                        "a=rsa-sha256; t=1700000000; cv=" + std::string(i == 1 ? "none" : "pass") +
                            "; d=" + d + "; s=sel;\r\n\tb=" + std::string(172, 'S') + "\r\n\t" +
                            std::string(170, 'S') + "=="));
        fields.push_back(chain_field(
            "ARC-Message-Signature", i,
            "a=rsa-sha256; c=relaxed/relaxed; d=" + d +
                "; s=sel;\r\n\th=from:to:subject:date:message-id:mime-version:content-type;\r\n\t"
                "bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; t=1700000000;\r\n\tb=" +
                std::string(172, 'M') + "\r\n\t" + std::string(170, 'M') + "=="));
        fields.push_back(chain_field("ARC-Authentication-Results", i,
                                     "mx" + std::to_string(i) +
                                         ".example; spf=pass smtp.mailfrom=list.example;\r\n\t"
                                         "dkim=pass header.d=example.org; dmarc=pass"));
    }
    const char* const plain[] = {
        "From: Alice Example <alice@example.org>",
        "To: list@list.example",
        "Subject: A realistic subject line that is long enough to fold\r\n\tonto a second line",
        "Date: Thu, 10 Dec 2026 10:58:26 +0000",
        "Message-ID: <20261210105826.12345@example.org>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        "Content-Transfer-Encoding: 8bit",
        "List-Id: <list.list.example>",
        "List-Unsubscribe: <mailto:leave@list.example>",
        "Authentication-Results: mx.example; spf=pass smtp.mailfrom=example.org",
    };
    size_t k = 0;
    while (fields.size() < 15 + 25) {
        if (k < std::size(plain)) {
            fields.emplace_back(plain[k]);
        } else {
            fields.push_back("Received: from relay" + std::to_string(k) +
                             ".example (relay.example [192.0.2." + std::to_string(k) +
                             "])\r\n\tby mx.example with ESMTPS id abc" + std::to_string(k) +
                             "; Thu, 10 Dec 2026 10:58:26 +0000");
        }
        ++k;
    }
    return fields;
}

// The message handle, its fields and arc_eoh() for the block.
void header_block(arc_library* lib, const std::vector<std::string>& fields) {
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY | ARC_MODE_SIGN, nullptr);
    for (const auto& f : fields) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    arc_eoh(msg);
    arc_free(msg);
}

void bench_headers(arc_library* lib, double secs) {
    const std::vector<std::string> fields = sealed_header_block();
    // The bytes each header and seal hash covers, read from one intake.
    std::vector<size_t> covered;
    {
        arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                                   ARC_MODE_VERIFY | ARC_MODE_SIGN, nullptr);
        for (const auto& f : fields) {
            arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
        }
        const ARC_STAT status = arc_eoh(msg);
        if (status != ARC_STAT_OK || msg->arc_nsets != 5 || msg->arc_cstate == ARC_CHAIN_FAIL) {
            fprintf(stderr, "bench_canon: header block not taken (%s)\n",
                    arc_geterror(msg) != nullptr ? arc_geterror(msg) : "?");
            exit(1);
        }
        for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
            if (c->canon_type != ARC_CANONTYPE_BODY) {
                covered.push_back(c->canon_wrote + c->canon_hashbuflen);
            }
        }
        arc_free(msg);
    }
    size_t hashed = 0;
    for (const size_t n : covered) {
        hashed += n;
    }
    // Baseline: one SHA-256 per hash over as many bytes, context reused.
    const std::string bytes(hashed, 'x');
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    auto raw = [&] {
        unsigned char md[32];
        unsigned int len = 0;
        for (const size_t n : covered) {
            EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
            EVP_DigestUpdate(ctx, bytes.data(), n);
            EVP_DigestFinal_ex(ctx, md, &len);
        }
    };
    const bench_rates::comparison c =
        bench_rates::compare(secs, raw, [&] { header_block(lib, fields); });
    EVP_MD_CTX_free(ctx);
    printf(
        "header block: %zu fields, 5-instance chain, verify+sign (%zu hashes, %zu bytes "
        "covered)\n",
        fields.size(), covered.size(), hashed);
    printf(
        "  arc_message + fields + arc_eoh %7.1f us, raw SHA-256 of the covered bytes %7.1f us: "
        "ratio median %.3f (quartiles %.3f - %.3f, %d pairs), goal >= 0.5\n",
        1e6 / c.lib_rate, 1e6 / c.base_rate, c.median, c.q1, c.q3, c.pairs);
}

}  // namespace

int main(int argc, char** argv) {
    // "headers" runs the header block alone (for profiling).
    const bool headers_only = argc > 1 && strcmp(argv[1], "headers") == 0;
    const double secs = argc > 1 && !headers_only ? atof(argv[1]) : 2.0;
    if (!CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free)) {
        fprintf(stderr, "bench_canon: cannot install the counting allocator\n");
        return 1;
    }
    arc_library* lib = arc_init();
    if (lib == nullptr) {
        fprintf(stderr, "bench_canon: arc_init failed\n");
        return 1;
    }
    if (headers_only) {
        bench_headers(lib, secs);
        arc_close(lib);
        return 0;
    }
    printf("thread CPU time, alternating batches\n");
    bench_body(lib, secs, "mail text", false);
    bench_body(lib, secs, "text with tabs and double blanks", true);
    bench_headers(lib, secs);

    auto* chunk = static_cast<unsigned char*>(malloc(chunk_size));
    for (const size_t total : {size_t{1} << 20, size_t{64} << 20}) {
        const long long base = heap_now.load();
        heap_peak.store(base);
        run_canon(lib, ARC_CANON_RELAXED, total, chunk);
        run_canon(lib, ARC_CANON_SIMPLE, total, chunk);
        printf("peak libcrypto heap while hashing a %2zu MiB body: %lld bytes above idle\n",
               total >> 20, heap_peak.load() - base);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    printf("process peak RSS: %ld KiB\n", ru.ru_maxrss);

    free(chunk);
    arc_close(lib);
    return 0;
}
