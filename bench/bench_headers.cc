// SPDX-License-Identifier: BSD-2-Clause
// bench_headers.cc - the cost of a header block as a function of its shape
// rather than its size: the header work of sealing (intake, the choice of
// the fields to sign, the header hashes) and of validating (the same for the
// newest signature's h=) for blocks a sender can pick, each divided by an
// ordinary header block of the same byte size measured in alternating
// batches of thread CPU time. No key is used: the RSA operations do not
// depend on the header, and leaving them out keeps them from hiding it.
//
// Usage: bench_headers [SECONDS per figure, default 2]
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "arc.h"
#include "bench-rates.h"
#include "velmora.h"

namespace {

using bench_rates::compare;
using bench_rates::comparison;

using block = std::vector<std::string>;

size_t bytes_of(const block& b) {
    size_t n = 0;
    for (const auto& f : b) {
        n += f.size() + 2;
    }
    return n;
}

// Ordinary fields (trace fields, a few list fields, distinct names) until
// the block holds `size` bytes.
block ordinary_block(size_t size) {
    static const char* const names[] = {"Received", "X-Mailer", "List-Id",  "X-Spam-Status",
                                        "Received", "Comments", "Keywords", "Received"};
    block b = {"From: Alice <alice@example.org>", "To: Bob <bob@example.net>", "Subject: figures",
               "Date: Thu, 10 Dec 2026 10:00:00 +0000",
               "Message-ID: <20261210100000.1@example.org>"};
    for (size_t k = 0; bytes_of(b) < size; ++k) {
        const std::string name = names[k % std::size(names)];
        b.push_back(name + ": from relay" + std::to_string(k) +
                    ".example (relay.example [192.0.2.7])\r\n\tby mx.example with ESMTPS id " +
                    std::to_string(k * 7919));
    }
    return b;
}

// `n` fields that repeat one name with an empty value (the worst case of a
// selection that scans all fields per name), and From.
block repeated_block(size_t n) {
    block b = {"From: Alice <alice@example.org>"};
    for (size_t k = 0; k < n; ++k) {
        b.emplace_back("a:");
    }
    return b;
}

// `n` fields with distinct names.
block distinct_block(size_t n) {
    block b = {"From: Alice <alice@example.org>"};
    for (size_t k = 0; k < n; ++k) {
        b.push_back("X-F" + std::to_string(k) + ": " + std::to_string(k));
    }
    return b;
}

// An instance-1 set whose signature's h= names `names` (names separated by
// colons) above `fields`, as a validator meets it.
block signed_block(const std::string& names, const block& fields) {
    const std::string sig(344, 'A');
    block b = {
        "ARC-Seal: i=1; a=rsa-sha256; t=1700000000; cv=none; d=d1.example; s=s1; b=" + sig,
        "ARC-Message-Signature: i=1; a=rsa-sha256; c=relaxed/relaxed; d=d1.example; s=s1; "
        "t=1700000000; h=" +
            names + "; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; b=" + sig,
        "ARC-Authentication-Results: i=1; mx.d1.example; spf=pass smtp.mailfrom=example.org"};
    b.insert(b.end(), fields.begin(), fields.end());
    return b;
}

std::string names_of(const block& fields) {
    std::string names;
    for (const auto& f : fields) {
        if (f.starts_with("ARC-")) {
            continue;
        }
        names += (names.empty() ? "" : ":") + f.substr(0, f.find(':'));
    }
    return names;
}

// The header work of one message: intake and end of header.
void header_work(arc_library* lib, const block& b, int mode) {
    arc_msg* msg =
        arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256, mode, nullptr);
    for (const auto& f : b) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    if (arc_eoh(msg) != ARC_STAT_OK) {
        fprintf(stderr, "bench_headers: end of header failed: %s\n", arc_geterror(msg));
        exit(1);
    }
    arc_free(msg);
}

// True when validating `b` runs the header hash of its signature.
bool validation_hashes(arc_library* lib, const block& b) {
    arc_msg* msg = arc_message(lib, ARC_CANON_RELAXED, ARC_CANON_RELAXED, ARC_ALG_RSASHA256,
                               ARC_MODE_VERIFY, nullptr);
    for (const auto& f : b) {
        arc_header_field(msg, reinterpret_cast<const unsigned char*>(f.data()), f.size());
    }
    const bool ok = arc_eoh(msg) == ARC_STAT_OK && msg->arc_valid_hdrcanon != nullptr &&
                    msg->arc_cstate != ARC_CHAIN_FAIL;
    arc_free(msg);
    return ok;
}

void figure(arc_library* lib, double secs, const char* what, const block& worst, int mode,
            const block& ordinary) {
    const comparison c = compare(
        secs, [&] { header_work(lib, ordinary, mode); }, [&] { header_work(lib, worst, mode); });
    printf("%-44s %6zu fields %6zu bytes %9.1f us; ordinary %5zu fields %9.1f us\n", what,
           worst.size(), bytes_of(worst), 1e6 / c.lib_rate, ordinary.size(), 1e6 / c.base_rate);
    printf("%-44s cost / ordinary: median %.2f (quartiles %.2f - %.2f, %d pairs), goal <= 3\n", "",
           1 / c.median, 1 / c.q3, 1 / c.q1, c.pairs);
}

}  // namespace

int main(int argc, char** argv) {
    const double secs = argc > 1 ? atof(argv[1]) : 2.0;
    arc_library* lib = arc_init();
    if (lib == nullptr) {
        fprintf(stderr, "bench_headers: arc_init failed\n");
        return 1;
    }
    printf(
        "header work (intake + end of header), thread CPU time, alternating batches;\n"
        "baseline: an ordinary header block of the same byte size\n");
    const block repeated = repeated_block(16000);
    figure(lib, secs, "seal: one name repeated", repeated, ARC_MODE_SIGN,
           ordinary_block(bytes_of(repeated)));
    for (const size_t n : {100, 800, 3200}) {
        const block distinct = distinct_block(n);
        const std::string what = "seal: " + std::to_string(n) + " distinct names";
        figure(lib, secs, what.c_str(), distinct, ARC_MODE_SIGN,
               ordinary_block(bytes_of(distinct)));
    }

    // Validation: h= names one field 10,000 times over 13,000 such fields.
    const block listed = signed_block(names_of(repeated_block(10000)), repeated_block(13000));
    const block plain = ordinary_block(bytes_of(listed) - bytes_of(signed_block("from", {})));
    const block ordinary = signed_block(names_of(plain), plain);
    if (!validation_hashes(lib, listed) || !validation_hashes(lib, ordinary)) {
        fprintf(stderr, "bench_headers: a signed block is not taken for validation\n");
        return 1;
    }
    figure(lib, secs, "validate: h= names one field 10,000 times", listed, ARC_MODE_VERIFY,
           ordinary);
    arc_close(lib);
    return 0;
}
