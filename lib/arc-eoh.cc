// SPDX-License-Identifier: BSD-2-Clause
// arc-eoh.cc - the hash computations a message needs, requested at the end of
// its header block: those that validate the existing chain and those that
// seal it anew.
//
// Memory:  libcrypto's allocator only; the handles belong to the message.
// Errors:  recorded with arc_error() in the message handle; this file never logs.
// Threads: none; one message handle is used by one thread at a time.
#include <assert.h>
#include <string.h>

#include <openssl/crypto.h>

#include "arc-canon.h"
#include "arc-util.h"
#include "arc.h"
#include "velmora.h"

namespace {

// SHA-1 for rsa-sha1; SHA-256 otherwise (an unknown a= fails at its check).
int hash_of(arc_kvset* set) noexcept {
    return arc_sigalg(set) == ARC_ALG_RSASHA1 ? ARC_HASHTYPE_SHA1 : ARC_HASHTYPE_SHA256;
}

// Reads the c= value of the newest signature into the two canonicalizations;
// an unreadable value fails the chain and leaves both simple.
ARC_STAT read_canon(arc_msg* msg, arc_kvset* set, int& hdr_canon, int& body_canon) noexcept {
    hdr_canon = ARC_CANON_SIMPLE;
    body_canon = ARC_CANON_SIMPLE;
    const char* value = arc_param_get(set, "c");
    if (value == nullptr) {
        return ARC_STAT_OK;
    }
    // Parsed on a copy: the split cuts its text, and the set keeps its value.
    crypto_ptr<char> copy{arc_strdup(value)};
    if (!copy) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(strlen(value) + 1));
        return ARC_STAT_NORESOURCE;
    }
    int hc = ARC_CANON_SIMPLE;
    int bc = ARC_CANON_SIMPLE;
    if (arc_parse_canon_t(copy.get(), &hc, &bc) != ARC_STAT_OK) {
        arc_error(msg, "failed to parse header c= tag with value %s", value);
        msg->arc_cstate = ARC_CHAIN_FAIL;
        return ARC_STAT_OK;
    }
    hdr_canon = hc;
    body_canon = bc;
    return ARC_STAT_OK;
}

}  // namespace

ARC_STAT arc_eoh_verify(arc_msg* msg) noexcept {
    assert(msg != NULL);
    if (msg->arc_cstate == ARC_CHAIN_FAIL || msg->arc_nsets == 0) {
        return ARC_STAT_OK;
    }
    const uint32_t nsets = msg->arc_nsets;
    arc_hdr* ams = msg->arc_sets[nsets - 1].arcset_ams;
    if (ams == nullptr || ams->hdr_data == nullptr) {
        // A chain with this gap has already failed; nothing to prepare.
        msg->arc_cstate = ARC_CHAIN_FAIL;
        return ARC_STAT_OK;
    }
    arc_kvset* set = ams->hdr_data;
    const int hashtype = hash_of(set);
    int hdr_canon = ARC_CANON_SIMPLE;
    int body_canon = ARC_CANON_SIMPLE;
    if (ARC_STAT status = read_canon(msg, set, hdr_canon, body_canon); status != ARC_STAT_OK) {
        return status;
    }

    if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_HEADER, hdr_canon, hashtype,
                                        arc_param_get(set, "h"), ams, -1, &msg->arc_valid_hdrcanon);
        status != ARC_STAT_OK) {
        arc_error(msg, "failed to initialize header canonicalization object");
        return status;
    }
    if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_BODY, body_canon, hashtype, nullptr,
                                        nullptr, -1, &msg->arc_valid_bodycanon);
        status != ARC_STAT_OK) {
        arc_error(msg, "failed to initialize body canonicalization object");
        return status;
    }

    msg->arc_sealcanons = static_cast<arc_canon**>(OPENSSL_zalloc(nsets * sizeof(arc_canon*)));
    if (msg->arc_sealcanons == nullptr) {
        arc_error(msg, "failed to allocate memory for canonicalizations");
        return ARC_STAT_NORESOURCE;
    }
    for (uint32_t i = 0; i < nsets; ++i) {
        arc_hdr* seal = msg->arc_sets[i].arcset_as;
        if (seal == nullptr || seal->hdr_data == nullptr) {
            msg->arc_cstate = ARC_CHAIN_FAIL;
            return ARC_STAT_OK;
        }
        if (ARC_STAT status =
                arc_add_canon(msg, ARC_CANONTYPE_SEAL, ARC_CANON_RELAXED, hash_of(seal->hdr_data),
                              nullptr, seal, -1, &msg->arc_sealcanons[i]);
            status != ARC_STAT_OK) {
            arc_error(msg, "failed to initialize seal canonicalization object");
            return status;
        }
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_eoh_sign(arc_msg* msg) noexcept {
    assert(msg != NULL);
    // The algorithm codes equal the hash codes: rsa-sha1 0, rsa-sha256 1.
    const int hashtype = msg->arc_signalg;
    if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_AMS, msg->arc_canonhdr, hashtype,
                                        nullptr, nullptr, -1, &msg->arc_sign_hdrcanon);
        status != ARC_STAT_OK) {
        arc_error(msg, "failed to initialize header canonicalization object");
        return status;
    }
    if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_SEAL, ARC_CANON_RELAXED, hashtype,
                                        nullptr, nullptr, -1, &msg->arc_sealcanon);
        status != ARC_STAT_OK) {
        arc_error(msg, "failed to initialize seal canonicalization object");
        return status;
    }
    if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_BODY, msg->arc_canonbody, hashtype,
                                        nullptr, nullptr, -1, &msg->arc_sign_bodycanon);
        status != ARC_STAT_OK) {
        arc_error(msg, "failed to initialize body canonicalization object");
        return status;
    }
    return ARC_STAT_OK;
}
