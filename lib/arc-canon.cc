// SPDX-License-Identifier: BSD-2-Clause
// arc-canon.cc - canonicalization handles and header canonicalization.
//
// Creates, starts and releases the hash computations of a message, selects the
// header fields a signature covers, canonicalizes header fields (simple and
// relaxed) and feeds them, and the existing ARC sets, into the header and seal
// hashes. The body rules and the digests live in arc-canon-body.cc.
// Memory:  libcrypto's allocator only; everything dies with its message handle.
// Errors:  recorded with arc_error() in the message handle; this file never logs.
// Threads: none; one message handle is used by one thread at a time.
#include "arc-canon.h"

#include <assert.h>
#include <limits.h>
#include <regex.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "arc-util.h"
#include "arc.h"
#include "velmora.h"

namespace {

constexpr size_t hashbuf_size = 4096;
// The scratch string of this module (arc_hdrbuf) holds a whole field or the
// names of every signed field, so it has no limit of its own: the MTA bounds
// the header block.
constexpr int hdrbuf_size = 1024;
constexpr int hdrbuf_limit = 0;

// Blanks and line-end bytes of a header field's name and of the fold after its colon.
bool is_fws(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(static_cast<unsigned char>(a[i])) !=
            ascii_lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view name_of(const arc_hdr* h) {
    return {h->hdr_text, h->hdr_namelen};
}
std::string_view text_of(const arc_hdr* h) {
    return {h->hdr_text, h->hdr_textlen};
}

// Releases a hash record, closing its kept file.
void free_hashctx(arc_hashctx* hc) noexcept {
    if (hc == nullptr) {
        return;
    }
    if (hc->hc_tmpbio != nullptr) {
        BIO_free_all(hc->hc_tmpbio);
        hc->hc_tmpbio = nullptr;
        hc->hc_tmpfd = -1;
    }
    EVP_MD_CTX_free(hc->hc_ctx);
    OPENSSL_free(hc);
}

using hashctx_ptr = std::unique_ptr<arc_hashctx, free_with<free_hashctx>>;

// Returns the digest, fetched from the default provider once per process, so
// that starting a hash neither looks it up again nor refills libcrypto's
// caches; null when the fetch fails (it is tried again next time).
const EVP_MD* digest_md(int hashtype) noexcept {
    static std::atomic<EVP_MD*> fetched[2];
    std::atomic<EVP_MD*>& slot = fetched[hashtype == ARC_HASHTYPE_SHA1 ? 0 : 1];
    EVP_MD* md = slot.load(std::memory_order_acquire);
    if (md != nullptr) {
        return md;
    }
    md = EVP_MD_fetch(nullptr, hashtype == ARC_HASHTYPE_SHA1 ? "SHA1" : "SHA256", nullptr);
    if (md == nullptr) {
        return nullptr;
    }
    EVP_MD* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, md, std::memory_order_acq_rel)) {
        EVP_MD_free(md);
        return expected;
    }
    return md;
}

// Makes the hash record of one handle, with its kept file when tmp is set.
ARC_STAT new_hashctx(arc_msg* msg, int hashtype, bool tmp, bool keep, hashctx_ptr& out) noexcept {
    hashctx_ptr hc{static_cast<arc_hashctx*>(OPENSSL_zalloc(sizeof(arc_hashctx)))};
    if (!hc) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_hashctx)));
        return ARC_STAT_NORESOURCE;
    }
    hc->hc_tmpfd = -1;
    hc->hc_ctx = EVP_MD_CTX_new();
    const EVP_MD* md = digest_md(hashtype);
    if (hc->hc_ctx == nullptr || md == nullptr || EVP_DigestInit_ex(hc->hc_ctx, md, nullptr) != 1) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_hashctx)));
        return ARC_STAT_NORESOURCE;
    }
    if (tmp) {
        int fd = -1;
        if (ARC_STAT status = arc_tmpfile(msg, msg->arc_lib->arc_tmpdir, &fd, keep);
            status != ARC_STAT_OK) {
            return status;
        }
        hc->hc_tmpbio = BIO_new_fd(fd, BIO_CLOSE);
        if (hc->hc_tmpbio == nullptr) {
            close(fd);
            arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(BIO*)));
            return ARC_STAT_NORESOURCE;
        }
        hc->hc_tmpfd = fd;
    }
    out = std::move(hc);
    return ARC_STAT_OK;
}

// Appends bytes to a string through a local block, so that the relaxed rules
// make one append call per block rather than one per byte.
class block_writer {
  public:
    explicit block_writer(arc_dstring* dstr) : dstr_{dstr} {}
    void put(unsigned char c) {
        if (len_ == sizeof(block_)) {
            flush();
        }
        block_[len_++] = c;
    }
    void put(const unsigned char* p, size_t n) {
        while (n > 0) {
            if (len_ == sizeof(block_)) {
                flush();
            }
            const size_t k = std::min(n, sizeof(block_) - len_);
            memcpy(block_ + len_, p, k);
            len_ += k;
            p += k;
            n -= k;
        }
    }
    bool flush() {
        if (len_ != 0 && !arc_dstring_catn(dstr_, block_, len_)) {
            ok_ = false;
        }
        len_ = 0;
        return ok_;
    }

  private:
    arc_dstring* dstr_;
    size_t len_ = 0;
    bool ok_ = true;
    unsigned char block_[1023];
};

// Writes bytes at a place with room for them.
struct span_writer {
    unsigned char* at;
    void put(unsigned char c) { *at++ = c; }
    void put(const unsigned char* p, size_t n) {
        memcpy(at, p, n);
        at += n;
    }
};

// Relaxed header rules: name lowercased without blanks and line ends, the fold
// after the colon skipped, whitespace runs of the value made one space and a
// final run dropped. The output is never longer than the field.
template <typename Writer>
void relaxed_header_to(Writer& out, std::string_view field) {
    const auto* p = reinterpret_cast<const unsigned char*>(field.data());
    const unsigned char* const end = p + field.size();
    for (; p < end; ++p) {
        if (*p == ':') {
            out.put(':');
            ++p;
            break;
        }
        if (!is_fws(*p)) {
            out.put(ascii_lower(*p));
        }
    }
    while (p < end && is_fws(*p)) {
        ++p;
    }
    // The value goes out as runs of non-whitespace, each run of whitespace
    // between them as one space.
    bool in_space = false;
    while (p < end && *p != '\0') {
        const unsigned char* q = p;
        while (q < end && *q != '\0' && !arc_is_c_space(*q)) {
            ++q;
        }
        if (q != p) {
            if (in_space) {
                out.put(' ');
                in_space = false;
            }
            out.put(p, static_cast<size_t>(q - p));
        }
        for (p = q; p < end && arc_is_c_space(*p); ++p) {
            in_space = true;
        }
    }
}

bool relaxed_header(arc_dstring* dstr, std::string_view field) {
    block_writer out{dstr};
    relaxed_header_to(out, field);
    return out.flush();
}

// Canonicalizes one field into arc_canonbuf, emptied first.
ARC_STAT canonicalize_field(arc_msg* msg, int canon, std::string_view field, bool crlf) noexcept {
    if (msg->arc_canonbuf == nullptr) {
        const int size = static_cast<int>(std::min<size_t>(field.size(), INT_MAX / 4));
        msg->arc_canonbuf = arc_dstring_new(msg, size, 0);
        if (msg->arc_canonbuf == nullptr) {
            return ARC_STAT_NORESOURCE;
        }
    } else {
        arc_dstring_blank(msg->arc_canonbuf);
    }
    return arc_canon_header_string(msg->arc_canonbuf, canon, field.data(), field.size(), crlf);
}

// Stages the bytes arc_canonbuf holds for the hash.
void stage_canonbuf(arc_msg* msg, arc_canon* canon) noexcept {
    arc_canon_buffer(canon, reinterpret_cast<const unsigned char*>(msg->arc_canonbuf->ds_buf),
                     static_cast<size_t>(msg->arc_canonbuf->ds_len));
}

// Canonicalizes one field with the handle's rules and stages it for the hash:
// straight into the stage when the field fits there, since neither rule
// lengthens a field.
ARC_STAT hash_field(arc_msg* msg, arc_canon* canon, std::string_view field, bool crlf) noexcept {
    if (field.size() + 2 <= canon->canon_hashbufsize) {
        if (canon->canon_hashbuflen + field.size() + 2 > canon->canon_hashbufsize) {
            arc_canon_buffer(canon, nullptr, 0);
        }
        span_writer out{canon->canon_hashbuf + canon->canon_hashbuflen};
        if (canon->canon_canon == ARC_CANON_SIMPLE) {
            out.put(reinterpret_cast<const unsigned char*>(field.data()), field.size());
        } else {
            relaxed_header_to(out, field);
        }
        if (crlf) {
            out.put('\r');
            out.put('\n');
        }
        canon->canon_hashbuflen = static_cast<size_t>(out.at - canon->canon_hashbuf);
        return ARC_STAT_OK;
    }
    if (ARC_STAT status = canonicalize_field(msg, canon->canon_canon, field, crlf);
        status != ARC_STAT_OK) {
        return status;
    }
    stage_canonbuf(msg, canon);
    return ARC_STAT_OK;
}

ARC_STAT hash_hdr(arc_msg* msg, arc_canon* canon, const arc_hdr* hdr, bool crlf) noexcept {
    return hash_field(msg, canon, text_of(hdr), crlf);
}

ARC_STAT ensure_hdrbuf(arc_msg* msg, int size, int limit) noexcept {
    if (msg->arc_hdrbuf == nullptr) {
        msg->arc_hdrbuf = arc_dstring_new(msg, size, limit);
        if (msg->arc_hdrbuf == nullptr) {
            return ARC_STAT_NORESOURCE;
        }
    }
    return ARC_STAT_OK;
}

// True for a name of RFC 5322 field-name characters (printable, no blank; a
// colon ends it anyway). No verifier could find a field by another name: the
// blanks of a name in h= are dropped as folding white space.
bool is_field_name(std::string_view name) noexcept {
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c <= '~'; });
}

// Tells whether the library's sign-headers pattern accepts a field name;
// sets `ok` false, with the reason recorded, when matching ran out of memory.
bool pattern_accepts(arc_msg* msg, std::string_view name, bool& ok) noexcept {
    char small[256];
    char* text = small;
    crypto_ptr<char> big;
    if (name.size() >= sizeof(small)) {
        big.reset(arc_strndup(name.data(), name.size()));
        if (!big) {
            arc_error(msg, "unable to allocate %zu byte(s)", name.size() + 1);
            ok = false;
            return false;
        }
        text = big.get();
    } else {
        memcpy(small, name.data(), name.size());
        small[name.size()] = '\0';
    }
    const int status = regexec(&msg->arc_lib->arc_hdrre, text, 0, nullptr, 0);
    if (status == 0) {
        return true;
    }
    if (status != REG_NOMATCH) {
        // REG_ESPACE: the matcher ran out of memory.
        arc_error(msg, "can't match header field name against the sign-headers pattern");
        ok = false;
    }
    return false;
}

// True for a name every new signature covers whatever the sign-headers
// pattern says: From, which RFC 6376 section 5.4 requires, and the over-signed
// names, whose extra entry in h= only holds when every field of that name
// present is signed too.
bool always_signed(const arc_library* lib, std::string_view name) noexcept {
    if (equal_nocase(name, "From")) {
        return true;
    }
    if (char** over = lib->arc_oversignhdrs; over != nullptr) {
        for (; *over != nullptr; ++over) {
            if (equal_nocase(name, *over)) {
                return true;
            }
        }
    }
    return false;
}

// Writes the names of the fields a new signature covers into msg->arc_hdrbuf,
// joined by colons, in message order.
ARC_STAT build_sign_list(arc_msg* msg) noexcept {
    arc_dstring* list = msg->arc_hdrbuf;
    arc_dstring_blank(list);
    bool first = true;
    for (const arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next) {
        const std::string_view name = name_of(h);
        if (!is_field_name(name) || arc_canon_never_signed(name)) {
            continue;
        }
        if (msg->arc_lib->arc_signre && !always_signed(msg->arc_lib, name)) {
            bool ok = true;
            const bool accepted = pattern_accepts(msg, name, ok);
            if (!ok) {
                return ARC_STAT_NORESOURCE;
            }
            if (!accepted) {
                continue;
            }
        }
        if ((!first && !arc_dstring_cat1(list, ':')) ||
            !arc_dstring_catn(list, reinterpret_cast<const unsigned char*>(name.data()),
                              name.size())) {
            return ARC_STAT_NORESOURCE;  // the string recorded why
        }
        first = false;
    }
    return ARC_STAT_OK;
}

// Hashes the selected fields of one header hash; a validating one also takes
// its signature field without the b= value and is finished.
ARC_STAT run_header_hash(arc_msg* msg, arc_canon* canon, arc_hdr** hdrs) noexcept {
    int n = 0;
    if (canon->canon_sigheader != nullptr) {
        if (canon->canon_hdrlist != nullptr) {
            n = arc_canon_selecthdrs(msg, canon->canon_hdrlist, hdrs, msg->arc_hdrcnt);
        } else {
            for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next) {
                h->hdr_flags |= ARC_HDR_SIGNED;
            }
        }
    } else {
        if (ARC_STAT status = build_sign_list(msg); status != ARC_STAT_OK) {
            return status;
        }
        n = arc_canon_selecthdrs(msg, arc_dstring_get(msg->arc_hdrbuf), hdrs, msg->arc_hdrcnt);
    }
    if (n < 0) {
        arc_error(msg, "arc_canon_selecthdrs() failed during canonicalization");
        return ARC_STAT_INTERNAL;
    }
    for (int i = 0; i < n; ++i) {
        if ((hdrs[i]->hdr_flags & ARC_HDR_SIGNED) == 0) {
            continue;
        }
        if (ARC_STAT status = hash_hdr(msg, canon, hdrs[i], true); status != ARC_STAT_OK) {
            return status;
        }
    }
    if (canon->canon_sigheader != nullptr) {
        if (ARC_STAT status = arc_canon_strip_b(msg, canon->canon_sigheader->hdr_text);
            status != ARC_STAT_OK) {
            return status;
        }
        const std::string_view stripped{msg->arc_hdrbuf->ds_buf,
                                        static_cast<size_t>(msg->arc_hdrbuf->ds_len)};
        if (ARC_STAT status = hash_field(msg, canon, stripped, false); status != ARC_STAT_OK) {
            return status;
        }
        arc_canon_finalize(canon);
    }
    return ARC_STAT_OK;
}

// The sort key of a field name: its first eight bytes lowercased, read as a
// big-endian number (so that keys order as the names' first bytes do), and
// its length. Two names with the same key and at most eight bytes are the
// same name.
struct name_key {
    uint64_t head;
    size_t len;
    explicit name_key(std::string_view name) noexcept : head{0}, len{name.size()} {
        for (size_t i = 0; i < 8; ++i) {
            head = head << 8 |
                   (i < name.size() ? ascii_lower(static_cast<unsigned char>(name[i])) : 0u);
        }
    }
    bool operator==(const name_key&) const noexcept = default;
    bool operator<(const name_key& o) const noexcept {
        return head != o.head ? head < o.head : len < o.len;
    }
};

// The fields of a message sorted by name (ignoring case) and, within a name,
// in message order, with a cursor per name that moves up from the bottom: a list of m names is
// resolved in O((n + m) log n) name comparisons for n fields, whatever the names.
class field_index {
  public:
    explicit field_index(arc_name_cmp_fn cmp) : cmp_{cmp} {}
    // Clears every field's ARC_HDR_SIGNED and sorts the fields. False, with
    // the reason recorded, when memory runs out.
    bool build(arc_msg* msg) noexcept {
        size_t n = 0;
        for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next) {
            h->hdr_flags &= ~ARC_HDR_SIGNED;
            ++n;
        }
        if (n == 0) {
            return true;
        }
        rows_.reset(static_cast<row*>(OPENSSL_malloc(n * sizeof(row))));
        if (!rows_) {
            arc_error(msg, "unable to allocate %zu byte(s)", n * sizeof(row));
            return false;
        }
        size_t pos = 0;
        for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next, ++pos) {
            rows_.get()[pos] = row{name_key{name_of(h)}, h, pos, pos};
        }
        n_ = n;
        // Fields come in message order, so a block of one name, the worst
        // case of a scan, is sorted already.
        auto less = [this](const row& a, const row& b) {
            const int c = order(a.key, name_of(a.hdr), b.key, name_of(b.hdr));
            return c != 0 ? c < 0 : a.pos < b.pos;
        };
        if (!std::is_sorted(rows_.get(), rows_.get() + n, less)) {
            std::sort(rows_.get(), rows_.get() + n, less);
        }
        // Each name's first row holds the cursor of that name: the row of its
        // lowest field not yet taken, the name's last row to begin with.
        size_t first = 0;
        for (size_t i = 0; i < n; ++i) {
            row& r = rows_.get()[i];
            if (i != 0 && order(rows_.get()[i - 1].key, name_of(rows_.get()[i - 1].hdr), r.key,
                                name_of(r.hdr)) != 0) {
                first = i;
            }
            rows_.get()[first].next = i;
        }
        return true;
    }
    // The lowest field named `name` not taken yet, now taken; or null.
    arc_hdr* take(std::string_view name) noexcept {
        const name_key key{name};
        row* const begin = rows_.get();
        row* const end = begin + n_;
        // A list often names one field after another of the same name.
        row* first = last_;
        if (first == nullptr || order(first->key, name_of(first->hdr), key, name) != 0) {
            first = std::lower_bound(begin, end, name, [&](const row& r, std::string_view) {
                return order(r.key, name_of(r.hdr), key, name) < 0;
            });
            if (first == end || order(first->key, name_of(first->hdr), key, name) != 0) {
                return nullptr;
            }
            last_ = first;
        }
        const size_t k = first->next;
        if (k == none) {
            return nullptr;
        }
        first->next = begin + k == first ? none : k - 1;
        return begin[k].hdr;
    }

  private:
    struct row {
        name_key key;
        arc_hdr* hdr;
        size_t pos;   // place in the message
        size_t next;  // first row of a name: the row its next take returns
    };
    static constexpr size_t none = SIZE_MAX;  // a name whose fields are all taken
    // Orders names by key, then, for equal keys of longer names, by cmp_.
    int order(const name_key& ka, std::string_view a, const name_key& kb,
              std::string_view b) const noexcept {
        if (!(ka == kb)) {
            return ka < kb ? -1 : 1;
        }
        return ka.len <= 8 ? 0 : cmp_(a, b);
    }
    arc_name_cmp_fn cmp_;
    crypto_ptr<row> rows_;
    size_t n_ = 0;
    row* last_ = nullptr;  // first row of the name last found
};

// Feeds the fields of instance n (1-based) into the seal hashes: the hash that
// validates instance n, and the seal being generated.
bool is_open(const arc_canon* c) noexcept {
    return c != nullptr && !c->canon_done;
}

// The validation seal hash of instance n, or null.
arc_canon* seal_of(arc_msg* msg, uint32_t n) noexcept {
    return msg->arc_sealcanons != nullptr ? msg->arc_sealcanons[n - 1] : nullptr;
}

// True when hash `to` may start as a copy of `from`: both open and of one
// hash, `to` still empty, and neither keeping a file (a copy would leave the
// earlier bytes out of `to`'s file).
bool can_seed(const arc_canon* from, const arc_canon* to) noexcept {
    return is_open(from) && is_open(to) && from->canon_hashtype == to->canon_hashtype &&
           from->canon_hash->hc_tmpbio == nullptr && to->canon_hash->hc_tmpbio == nullptr &&
           to->canon_wrote == 0 && to->canon_hashbuflen == 0;
}

// Gives `to` the state of `from`, whose staged bytes are hashed first.
ARC_STAT seed(arc_msg* msg, arc_canon* from, arc_canon* to) noexcept {
    arc_canon_buffer(from, nullptr, 0);
    if (EVP_MD_CTX_copy_ex(to->canon_hash->hc_ctx, from->canon_hash->hc_ctx) != 1) {
        arc_error(msg, "can't copy a seal hash");
        return ARC_STAT_NORESOURCE;
    }
    to->canon_wrote = from->canon_wrote;
    return ARC_STAT_OK;
}

// The hash that takes the sets above instance n whole: the seal hash of
// instance n + 1 or, above the newest, the seal being generated.
arc_canon* consumer_of(arc_msg* msg, uint32_t n) noexcept {
    return n <= msg->arc_nsets ? seal_of(msg, n) : msg->arc_sealcanon;
}

// Feeds instance j's set: each field is canonicalized once, and its bytes go to
// every seal hash that covers it. The seals of later instances and the seal
// being generated take the whole set; instance j's own seal takes its AAR and
// AMS, then its ARC-Seal without the b= value, and is finished. Seal hashes
// are relaxed throughout. A later hash n marked in `seeded` takes nothing of
// the sets below n - 1 here: it starts as a copy of the seal hash of instance
// n - 1 once that has taken the AAR and AMS of n - 1, so that every byte of
// the chain is hashed once rather than once per seal that covers it.
ARC_STAT feed_seal_instance(arc_msg* msg, uint32_t j, const bool* seeded) noexcept {
    const arc_set& set = msg->arc_sets[j - 1];
    arc_canon* own = seal_of(msg, j);
    const bool own_open = is_open(own);
    for (const arc_hdr* h : {set.arcset_aar, set.arcset_ams, set.arcset_as}) {
        const bool is_as = h == set.arcset_as;
        if (is_as && seeded[j + 1]) {
            if (ARC_STAT status = seed(msg, own, consumer_of(msg, j + 1)); status != ARC_STAT_OK) {
                return status;
            }
        }
        if (ARC_STAT status = canonicalize_field(msg, ARC_CANON_RELAXED, text_of(h), true);
            status != ARC_STAT_OK) {
            return status;
        }
        if (own_open && !is_as) {
            stage_canonbuf(msg, own);
        }
        for (uint32_t n = j + 1; n <= msg->arc_nsets + 1; ++n) {
            arc_canon* later = consumer_of(msg, n);
            if (!is_open(later) || (seeded[n] && (n > j + 1 || !is_as))) {
                continue;
            }
            stage_canonbuf(msg, later);
        }
    }
    if (own_open) {
        if (ARC_STAT status = arc_canon_strip_b(msg, set.arcset_as->hdr_text);
            status != ARC_STAT_OK) {
            return status;
        }
        const std::string_view stripped{msg->arc_hdrbuf->ds_buf,
                                        static_cast<size_t>(msg->arc_hdrbuf->ds_len)};
        if (ARC_STAT status = hash_field(msg, own, stripped, false); status != ARC_STAT_OK) {
            return status;
        }
        arc_canon_finalize(own);
    }
    return ARC_STAT_OK;
}

}  // namespace

// ---- Handles ----

ARC_STAT arc_add_canon(arc_msg* msg, int type, int canon, int hashtype, const char* hdrlist,
                       arc_hdr* sighdr, ssize_t length, arc_canon** cout) noexcept {
    assert(msg != NULL);
    assert(canon == ARC_CANON_SIMPLE || canon == ARC_CANON_RELAXED);
    if (arc_libfeature(msg->arc_lib, ARC_FEATURE_SHA256)) {
        assert(hashtype == ARC_HASHTYPE_SHA1 || hashtype == ARC_HASHTYPE_SHA256);
    } else {
        assert(hashtype == ARC_HASHTYPE_SHA1);
    }
    auto* c = static_cast<arc_canon*>(OPENSSL_zalloc(sizeof(arc_canon)));
    if (c == nullptr) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(sizeof(arc_canon)));
        return ARC_STAT_NORESOURCE;
    }
    c->canon_done = false;
    c->canon_blankline = true;
    c->canon_type = type;
    c->canon_canon = canon;
    c->canon_hashtype = hashtype;
    c->canon_length = type == ARC_CANONTYPE_BODY ? length : -1;
    c->canon_remain = c->canon_length;
    c->canon_hdrlist = hdrlist;
    c->canon_sigheader = sighdr;
    if (msg->arc_canontail == nullptr) {
        msg->arc_canonhead = c;
    } else {
        msg->arc_canontail->canon_next = c;
    }
    msg->arc_canontail = c;
    if (cout != nullptr) {
        *cout = c;
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_init(arc_msg* msg, bool tmp, bool keep) noexcept {
    assert(msg != NULL);
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_hash != nullptr) {
            continue;
        }
        if (c->canon_hashbuf == nullptr) {
            c->canon_hashbuf = static_cast<unsigned char*>(OPENSSL_malloc(hashbuf_size));
            if (c->canon_hashbuf == nullptr) {
                arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(hashbuf_size));
                return ARC_STAT_NORESOURCE;
            }
        }
        c->canon_hashbufsize = hashbuf_size;
        c->canon_hashbuflen = 0;
        // The relaxed body rules hash each run as it is read, so no pending-run
        // string (canon_buf) is needed and a line of any length costs no memory.
        hashctx_ptr hc;
        if (ARC_STAT status = new_hashctx(msg, c->canon_hashtype, tmp, keep, hc);
            status != ARC_STAT_OK) {
            return status;
        }
        c->canon_hash = hc.release();
    }
    return ARC_STAT_OK;
}

void arc_canon_cleanup(arc_msg* msg) noexcept {
    assert(msg != NULL);
    arc_canon* next = nullptr;
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = next) {
        next = c->canon_next;
        free_hashctx(c->canon_hash);
        OPENSSL_free(c->canon_hashbuf);
        if (c->canon_buf != nullptr) {
            arc_dstring_free(c->canon_buf);
        }
        OPENSSL_free(c);
    }
    msg->arc_canonhead = nullptr;
    msg->arc_canontail = nullptr;
    msg->arc_sealcanon = nullptr;
    msg->arc_valid_hdrcanon = nullptr;
    msg->arc_sign_hdrcanon = nullptr;
    msg->arc_valid_bodycanon = nullptr;
    msg->arc_sign_bodycanon = nullptr;
    if (msg->arc_sealcanons != nullptr) {
        std::fill_n(msg->arc_sealcanons, msg->arc_nsets, nullptr);
    }
    if (msg->arc_canonbuf != nullptr) {
        arc_dstring_free(msg->arc_canonbuf);
        msg->arc_canonbuf = nullptr;
    }
}

// ---- Hash input ----

void arc_canon_write(arc_canon* canon, const unsigned char* buf, size_t buflen) noexcept {
    assert(canon != NULL);
    assert(canon->canon_hash != NULL);
    if (buf == nullptr || buflen == 0) {
        return;
    }
    size_t n = buflen;
    if (canon->canon_remain != -1 && static_cast<size_t>(canon->canon_remain) < n) {
        n = static_cast<size_t>(canon->canon_remain);
    }
    if (n == 0) {
        return;
    }
    canon->canon_wrote += n;
    EVP_DigestUpdate(canon->canon_hash->hc_ctx, buf, n);
    if (canon->canon_hash->hc_tmpbio != nullptr) {
        // A kept file is a debugging copy: a short write leaves the hash as it is.
        for (size_t done = 0; done < n;) {
            const int piece = static_cast<int>(std::min<size_t>(n - done, INT_MAX));
            const int wrote = BIO_write(canon->canon_hash->hc_tmpbio, buf + done, piece);
            if (wrote <= 0) {
                break;
            }
            done += static_cast<size_t>(wrote);
        }
    }
    if (canon->canon_remain != -1) {
        canon->canon_remain -= static_cast<ssize_t>(n);
    }
}

void arc_canon_buffer(arc_canon* canon, const unsigned char* buf, size_t buflen) noexcept {
    assert(canon != NULL);
    if (buflen == 0) {
        arc_canon_write(canon, canon->canon_hashbuf, canon->canon_hashbuflen);
        canon->canon_hashbuflen = 0;
        return;
    }
    if (canon->canon_hashbuflen + buflen > canon->canon_hashbufsize) {
        arc_canon_write(canon, canon->canon_hashbuf, canon->canon_hashbuflen);
        canon->canon_hashbuflen = 0;
    }
    if (buflen < canon->canon_hashbufsize) {
        memcpy(canon->canon_hashbuf + canon->canon_hashbuflen, buf, buflen);
        canon->canon_hashbuflen += buflen;
    } else {
        arc_canon_write(canon, buf, buflen);
    }
}

void arc_canon_finalize(arc_canon* canon) noexcept {
    assert(canon != NULL);
    assert(canon->canon_hash != NULL);
    arc_canon_buffer(canon, nullptr, 0);
    unsigned int outlen = 0;
    EVP_DigestFinal_ex(canon->canon_hash->hc_ctx, canon->canon_hash->hc_out, &outlen);
    if (canon->canon_hash->hc_tmpbio != nullptr) {
        (void)BIO_flush(canon->canon_hash->hc_tmpbio);
    }
    canon->canon_done = true;
}

// ---- Header selection and canonicalization ----

int arc_canon_namecmp(std::string_view a, std::string_view b) noexcept {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = ascii_lower(static_cast<unsigned char>(a[i]));
        const unsigned char y = ascii_lower(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int arc_canon_selecthdrs(arc_msg* msg, const char* hdrlist, arc_hdr** ptrs, int nptrs) noexcept {
    return arc_canon_selecthdrs_by(msg, hdrlist, ptrs, nptrs, arc_canon_namecmp);
}

int arc_canon_selecthdrs_by(arc_msg* msg, const char* hdrlist, arc_hdr** ptrs, int nptrs,
                            arc_name_cmp_fn cmp) noexcept {
    assert(msg != NULL);
    assert(ptrs != NULL);
    assert(nptrs != 0);
    int n = 0;
    if (hdrlist == nullptr) {
        for (arc_hdr* h = msg->arc_hhead; h != nullptr; h = h->hdr_next) {
            if (n >= nptrs) {
                arc_error(msg, "too many header fields (max %d)", nptrs);
                return -1;
            }
            ptrs[n++] = h;
        }
        return n;
    }
    field_index index{cmp};
    if (!index.build(msg)) {
        return -1;
    }
    // The names are read from the list in place, so a list of any length is
    // taken whole and no name is ever cut short.
    std::string_view rest{hdrlist};
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        std::string_view name = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.remove_suffix(1);
        }
        if (name.empty()) {
            continue;
        }
        arc_hdr* found = index.take(name);
        if (found == nullptr) {
            continue;
        }
        found->hdr_flags |= ARC_HDR_SIGNED;
        if (n < nptrs) {
            ptrs[n] = found;
        }
        ++n;
    }
    if (n > nptrs) {
        arc_error(msg, "too many headers (found %d, max %d)", n, nptrs);
        return -1;
    }
    return n;
}

ARC_STAT arc_canon_header_string(arc_dstring* dstr, int canon, const char* hdr, size_t hdrlen,
                                 bool crlf) noexcept {
    assert(dstr != NULL);
    assert(hdr != NULL);
    assert(canon == ARC_CANON_SIMPLE || canon == ARC_CANON_RELAXED);
    const std::string_view field{hdr, hdrlen};
    if (canon == ARC_CANON_SIMPLE) {
        if (!arc_dstring_catn(dstr, reinterpret_cast<const unsigned char*>(hdr), hdrlen)) {
            return ARC_STAT_NORESOURCE;
        }
    } else if (!relaxed_header(dstr, field)) {
        return ARC_STAT_NORESOURCE;
    }
    if (crlf && !arc_dstring_catn(dstr, reinterpret_cast<const unsigned char*>("\r\n"), 2)) {
        return ARC_STAT_NORESOURCE;
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_strip_b(arc_msg* msg, const char* text) noexcept {
    assert(msg != NULL);
    assert(text != NULL);
    if (ARC_STAT status = ensure_hdrbuf(msg, hdrbuf_size, hdrbuf_limit); status != ARC_STAT_OK) {
        return status;
    }
    arc_dstring* out = msg->arc_hdrbuf;
    arc_dstring_blank(out);
    const std::string_view all{text};
    auto copy = [out, &all](size_t from, size_t to) {
        return arc_dstring_catn(out, reinterpret_cast<const unsigned char*>(all.data() + from),
                                to - from);
    };
    // A tag starts at the beginning or after a semicolon; its value runs from
    // its equals sign to the next semicolon and never starts a tag itself.
    size_t pos = 0;
    while (pos < all.size()) {
        const size_t stop = all.find_first_of("=;", pos);
        if (stop == std::string_view::npos || all[stop] == ';') {
            const size_t end = stop == std::string_view::npos ? all.size() : stop + 1;
            if (!copy(pos, end)) {
                return ARC_STAT_NORESOURCE;
            }
            pos = end;
            continue;
        }
        const size_t semi = all.find(';', stop + 1);
        const size_t value_end = semi == std::string_view::npos ? all.size() : semi;
        const bool is_b = stop > 0 && all[stop - 1] == 'b';
        if (!copy(pos, is_b ? stop + 1 : value_end)) {
            return ARC_STAT_NORESOURCE;
        }
        pos = value_end;
    }
    return ARC_STAT_OK;
}

bool arc_canon_never_signed(std::string_view name) noexcept {
    // RFC 8617 section 4.1.2: an ARC-Message-Signature signs no ARC field;
    // results of this host are added to the set's ARC-Authentication-Results.
    return equal_nocase(name, "Authentication-Results") ||
           equal_nocase(name, "ARC-Authentication-Results") ||
           equal_nocase(name, "ARC-Message-Signature") || equal_nocase(name, "ARC-Seal");
}

// ---- Feeding header fields ----

ARC_STAT arc_canon_runheaders(arc_msg* msg) noexcept {
    assert(msg != NULL);
    if (msg->arc_hdrcnt == 0) {
        return ARC_STAT_OK;
    }
    const size_t bytes = sizeof(arc_hdr*) * static_cast<size_t>(msg->arc_hdrcnt);
    crypto_ptr<arc_hdr*> hdrs{static_cast<arc_hdr**>(OPENSSL_malloc(bytes))};
    if (!hdrs) {
        arc_error(msg, "unable to allocate %d byte(s)", static_cast<int>(bytes));
        return ARC_STAT_NORESOURCE;
    }
    if (ARC_STAT status = ensure_hdrbuf(msg, hdrbuf_size, hdrbuf_limit); status != ARC_STAT_OK) {
        return status;
    }
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_done ||
            (c->canon_type != ARC_CANONTYPE_HEADER && c->canon_type != ARC_CANONTYPE_AMS)) {
            continue;
        }
        if (ARC_STAT status = run_header_hash(msg, c, hdrs.get()); status != ARC_STAT_OK) {
            return status;
        }
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_runheaders_seal(arc_msg* msg) noexcept {
    assert(msg != NULL);
    if (msg->arc_nsets == 0 || msg->arc_sets == nullptr) {
        return ARC_STAT_OK;
    }
    for (uint32_t n = 1; n <= msg->arc_nsets; ++n) {
        const arc_set& set = msg->arc_sets[n - 1];
        if (set.arcset_aar == nullptr || set.arcset_ams == nullptr || set.arcset_as == nullptr) {
            return ARC_STAT_INTERNAL;
        }
    }
    // Which later hashes start as a copy of the seal hash below them, decided
    // before any is fed. Entry n is the hash of consumer_of(n).
    bool seeded[ARC_MAXINSTANCES + 2] = {};
    for (uint32_t n = 2; n <= msg->arc_nsets + 1; ++n) {
        seeded[n] = can_seed(seal_of(msg, n - 1), consumer_of(msg, n));
    }
    // In instance order, so that every hash receives the sets in that order.
    for (uint32_t j = 1; j <= msg->arc_nsets; ++j) {
        if (ARC_STAT status = feed_seal_instance(msg, j, seeded); status != ARC_STAT_OK) {
            return status;
        }
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_add_to_seal(arc_msg* msg) noexcept {
    assert(msg != NULL);
    arc_canon* seal = msg->arc_sealcanon;
    if (seal == nullptr || seal->canon_done) {
        return ARC_STAT_INVALID;
    }
    for (const arc_hdr* h = msg->arc_sealhead; h != nullptr; h = h->hdr_next) {
        if (ARC_STAT status = hash_hdr(msg, seal, h, true); status != ARC_STAT_OK) {
            return status;
        }
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_signature(arc_msg* msg, arc_hdr* hdr, int type) noexcept {
    assert(msg != NULL);
    assert(hdr != NULL);
    // Hashed from the record itself, which the caller keeps. Only the hashes
    // of the set being generated take it.
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_type != type || c->canon_done || c->canon_sigheader != nullptr) {
            continue;
        }
        if (ARC_STAT status = hash_hdr(msg, c, hdr, false); status != ARC_STAT_OK) {
            return status;
        }
        arc_canon_finalize(c);
    }
    return ARC_STAT_OK;
}
