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
    return arc_alg_hashtype(arc_sigalg(set));
}

// Reads the c= value of a signature into the two canonicalizations; an
// unreadable value leaves both simple, clears `readable` and, for the newest
// signature (`newest`), fails the chain.
ARC_STAT read_canon(arc_msg* msg, arc_kvset* set, int& hdr_canon, int& body_canon, bool newest,
                    bool& readable) noexcept {
    readable = true;
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
        readable = false;
        if (newest) {
            arc_error(msg, "failed to parse header c= tag with value %s", value);
            msg->arc_cstate = ARC_CHAIN_FAIL;
        }
        return ARC_STAT_OK;
    }
    hdr_canon = hc;
    body_canon = bc;
    return ARC_STAT_OK;
}

// A body hash of the message already asked for with these rules and hash,
// or null.
arc_canon* same_body_hash(arc_msg* msg, int canon, int hashtype) noexcept {
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_type == ARC_CANONTYPE_BODY && c->canon_canon == canon &&
            c->canon_hashtype == hashtype && c->canon_length == -1) {
            return c;
        }
    }
    return nullptr;
}

// With ARC_LIBFLAGS_OLDESTPASS: the hashes that check each older AMS. Bodies
// hashed alike share one hash. An older signature whose c= cannot be read
// gets none, and counts as not verifying.
ARC_STAT prepare_older_signatures(arc_msg* msg) noexcept {
    for (uint32_t i = 1; i < msg->arc_nsets; ++i) {
        arc_set& s = msg->arc_sets[i - 1];
        if (s.arcset_ams == nullptr || s.arcset_ams->hdr_data == nullptr) {
            continue;
        }
        arc_kvset* set = s.arcset_ams->hdr_data;
        const int hashtype = hash_of(set);
        int hdr_canon = ARC_CANON_SIMPLE;
        int body_canon = ARC_CANON_SIMPLE;
        bool readable = true;
        if (ARC_STAT status = read_canon(msg, set, hdr_canon, body_canon, false, readable);
            status != ARC_STAT_OK) {
            return status;
        }
        if (!readable) {
            continue;
        }
        if (ARC_STAT status =
                arc_add_canon(msg, ARC_CANONTYPE_HEADER, hdr_canon, hashtype,
                              arc_param_get(set, "h"), s.arcset_ams, -1, &s.arcset_hdrcanon);
            status != ARC_STAT_OK) {
            arc_error(msg, "failed to initialize header canonicalization object");
            return status;
        }
        s.arcset_bodycanon = same_body_hash(msg, body_canon, hashtype);
        if (s.arcset_bodycanon == nullptr) {
            if (ARC_STAT status = arc_add_canon(msg, ARC_CANONTYPE_BODY, body_canon, hashtype,
                                                nullptr, nullptr, -1, &s.arcset_bodycanon);
                status != ARC_STAT_OK) {
                arc_error(msg, "failed to initialize body canonicalization object");
                return status;
            }
        }
    }
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
    bool readable = true;
    if (ARC_STAT status = read_canon(msg, set, hdr_canon, body_canon, true, readable);
        status != ARC_STAT_OK) {
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
    if ((msg->arc_lib->arc_flags & ARC_LIBFLAGS_OLDESTPASS) != 0 &&
        (msg->arc_mode & ARC_MODE_VERIFY) != 0 && msg->arc_cstate != ARC_CHAIN_FAIL) {
        return prepare_older_signatures(msg);
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_eoh_sign(arc_msg* msg) noexcept {
    assert(msg != NULL);
    const int hashtype = arc_alg_hashtype(msg->arc_signalg);
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
