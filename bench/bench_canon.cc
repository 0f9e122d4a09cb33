// SPDX-License-Identifier: BSD-2-Clause
// bench_canon.cc - throughput of body canonicalization and hashing against
// raw SHA-256 over the same bytes, the cost of the header block of a sealed
// message, and the memory a large body needs.
//
// The body is generated 64 KiB at a time (lines of 60 to 80 characters, some
// trailing blanks, some empty lines, some 8-bit bytes) and fed in those chunks;
// only the library calls are timed. Memory is counted through libcrypto's
// allocator, which the library uses for everything.
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
    explicit body_stream(uint64_t seed) : state_{seed} {}

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
        const size_t target = 60 + next() % 21;
        while (line_.size() < target) {
            if (!line_.empty()) {
                line_ += (next() % 40 == 0) ? "  " : " ";
            }
            line_ += words[next() % std::size(words)];
        }
        if (kind < 20) {  // trailing blanks
            line_ += (kind & 1) ? " " : " \t ";
        }
        line_ += "\r\n";
    }

    uint64_t state_;
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

// Raw SHA-256 (EVP) over the same bytes in the same chunks.
run_result run_raw(size_t total, unsigned char* chunk) {
    run_result r;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    body_stream body{0x5eed};
    for (size_t done = 0; done < total; done += chunk_size) {
        body.fill(chunk, chunk_size);
        const double t0 = now_seconds();
        EVP_DigestUpdate(ctx, chunk, chunk_size);
        r.seconds += now_seconds() - t0;
    }
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, r.digest, &len);
    EVP_MD_CTX_free(ctx);
    return r;
}

// Runs raw, simple and relaxed in turn, `runs` times, and keeps the best time
// of each: interleaving keeps a busy machine from favouring one of them.
void bench_body(arc_library* lib, size_t total, unsigned char* chunk, int runs) {
    double raw = 1e30;
    double simple = 1e30;
    double relaxed = 1e30;
    for (int i = 0; i < runs; ++i) {
        raw = std::min(raw, run_raw(total, chunk).seconds);
        simple = std::min(simple, run_canon(lib, ARC_CANON_SIMPLE, total, chunk).seconds);
        relaxed = std::min(relaxed, run_canon(lib, ARC_CANON_RELAXED, total, chunk).seconds);
    }
    const double mb = static_cast<double>(total) / 1e6;
    printf("body %4zu MiB, 64 KiB chunks, best of %d interleaved runs:\n", total >> 20, runs);
    printf("  raw SHA-256       %7.1f MB/s\n", mb / raw);
    printf("  simple  + SHA-256 %7.1f MB/s   ratio %.2fx raw (goal >= 0.85x)\n", mb / simple,
           raw / simple);
    printf("  relaxed + SHA-256 %7.1f MB/s   ratio %.2fx raw (goal >= 0.60x)\n", mb / relaxed,
           raw / relaxed);
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

void bench_headers(arc_library* lib) {
    const std::vector<std::string> fields = sealed_header_block();
    constexpr int iterations = 2000;
    size_t hashed = 0;
    size_t hashes = 0;
    double total = 0;
    for (int it = 0; it < iterations; ++it) {
        const double t0 = now_seconds();
        arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                                   ARC_MODE_VERIFY | ARC_MODE_SIGN, nullptr);
        for (const auto& f : fields) {
            arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
        }
        const ARC_STAT status = arc_eoh(msg);
        total += now_seconds() - t0;
        if (status != ARC_STAT_OK || msg->arc_nsets != 5 || msg->arc_cstate == ARC_CHAIN_FAIL) {
            fprintf(stderr, "bench_canon: header block not taken (%s)\n",
                    arc_geterror(msg) != nullptr ? arc_geterror(msg) : "?");
            exit(1);
        }
        if (it == 0) {
            for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
                if (c->canon_type != ARC_CANONTYPE_BODY) {
                    ++hashes;
                    hashed += c->canon_wrote + c->canon_hashbuflen;
                }
            }
        }
        arc_free(msg);
    }
    // Baseline: SHA-256 of as many bytes, in one call per hash.
    std::string bytes(hashed / std::max<size_t>(hashes, 1), 'x');
    unsigned char md[32];
    unsigned int len = 0;
    const double r0 = now_seconds();
    for (int it = 0; it < iterations; ++it) {
        for (size_t h = 0; h < hashes; ++h) {
            EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
        }
    }
    const double raw = now_seconds() - r0;
    printf("header block: %zu fields, 5-instance chain, verify+sign\n", fields.size());
    printf(
        "  arc_message + fields + arc_eoh  %7.1f us per message (%zu hashes, %zu bytes hashed)\n",
        total / iterations * 1e6, hashes, hashed);
    printf("  raw SHA-256 of the same bytes   %7.1f us per message (ratio %.2fx)\n",
           raw / iterations * 1e6, raw / total);
}

}  // namespace

int main(int argc, char** argv) {
    // "headers" runs the header block alone (for profiling).
    const bool headers_only = argc > 1 && strcmp(argv[1], "headers") == 0;
    if (!CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free)) {
        fprintf(stderr, "bench_canon: cannot install the counting allocator\n");
        return 1;
    }
    arc_library* lib = arc_init();
    if (lib == nullptr) {
        fprintf(stderr, "bench_canon: arc_init failed\n");
        return 1;
    }
    auto* chunk = static_cast<unsigned char*>(malloc(chunk_size));

    if (headers_only) {
        bench_headers(lib);
        free(chunk);
        arc_close(lib);
        return 0;
    }
    bench_body(lib, size_t{1} << 20, chunk, 15);
    bench_body(lib, size_t{64} << 20, chunk, 4);
    bench_headers(lib);

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
