// SPDX-License-Identifier: BSD-2-Clause
// arc-canon-body.cc - body canonicalization (simple and relaxed), the repair
// of bare CR and LF, and the digests of every hash.
//
// Each chunk is canonicalized in one pass. Bytes that the rules leave as they
// are go to the hash as runs of the input; only what the rules change (held
// back empty lines, collapsed blanks) is written on its own.
// Between chunks only the state in the handle survives.
// Memory:  libcrypto's allocator only; the repair copy lives in arc_canonbuf.
// Errors:  recorded with arc_error() in the message handle; this file never logs.
// Threads: none; one message handle is used by one thread at a time.
#include <assert.h>
#include <limits.h>
#include <string.h>

#include <atomic>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ARC_CANON_AVX2 1
#endif

#include "arc-canon.h"
#include "arc-util.h"
#include "arc.h"
#include "velmora.h"

namespace {

constexpr unsigned char CR = '\r';
constexpr unsigned char LF = '\n';
constexpr unsigned char SP = ' ';
constexpr unsigned char TAB = '\t';

constexpr unsigned char crlf_block[] =
    "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n"
    "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
constexpr unsigned char cr_block[] =
    "\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r\r";
constexpr unsigned char lf_block[] =
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n";

// Output of one chunk: a run of input bytes passed through unchanged, kept
// open as long as the output follows the input, and the handle's stage.
class emitter {
  public:
    explicit emitter(arc_canon* canon) : canon_{canon} {}

    // Passes the input bytes [a, b) through unchanged.
    void pass(const unsigned char* a, const unsigned char* b) {
        if (a == b) {
            return;
        }
        if (start_ != nullptr && a == end_) {
            end_ = b;
            return;
        }
        flush_run();
        start_ = a;
        end_ = b;
    }

    // Writes bytes that are not the input's own.
    void put(const unsigned char* p, size_t n) {
        flush_run();
        stage(p, n);
    }

    // Writes `count` copies of a `unit`-byte pattern from a block of them.
    void repeat(const unsigned char* block, size_t blocklen, size_t unit, size_t count) {
        flush_run();
        const size_t per = blocklen / unit;
        while (count > 0) {
            const size_t n = count < per ? count : per;
            stage(block, n * unit);
            count -= n;
        }
    }
    void crlfs(size_t count) { repeat(crlf_block, sizeof(crlf_block) - 1, 2, count); }
    void crs(size_t count) { repeat(cr_block, sizeof(cr_block) - 1, 1, count); }
    void lfs(size_t count) { repeat(lf_block, sizeof(lf_block) - 1, 1, count); }

    // Ends the chunk: everything pending reaches the hash.
    void finish() {
        flush_run();
        arc_canon_buffer(canon_, nullptr, 0);
    }

  private:
    void flush_run() {
        if (start_ != nullptr) {
            stage(start_, static_cast<size_t>(end_ - start_));
            start_ = end_ = nullptr;
        }
    }
    void stage(const unsigned char* p, size_t n) {
        if (canon_->canon_hashbuflen + n <= canon_->canon_hashbufsize && n < 4096) {
            memcpy(canon_->canon_hashbuf + canon_->canon_hashbuflen, p, n);
            canon_->canon_hashbuflen += n;
        } else {
            arc_canon_buffer(canon_, p, n);
        }
    }

    arc_canon* canon_;
    const unsigned char* start_ = nullptr;
    const unsigned char* end_ = nullptr;
};

// ---- Scanners ----
// Each returns the first position from p on where the rules may change
// something; every byte before it passes through unchanged.

bool blank_or_cr(unsigned char c) {
    return c == SP || c == TAB || c == CR;
}

// Simple rules, inside a line with content: a CR, unless it is the CR of a
// CR LF followed by a byte that starts another line with content.
const unsigned char* simple_stop_generic(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(LF));
    while (end - p >= 18) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        const __m128i is_cr = _mm_cmpeq_epi8(v0, cr);
        if (_mm_movemask_epi8(is_cr) == 0) {
            p += 16;
            continue;
        }
        const __m128i next_lf = _mm_cmpeq_epi8(v1, lf);
        const __m128i after_eol = _mm_or_si128(_mm_cmpeq_epi8(v2, cr), _mm_cmpeq_epi8(v2, lf));
        const __m128i plain_eol = _mm_andnot_si128(after_eol, next_lf);
        const int mask = _mm_movemask_epi8(_mm_andnot_si128(plain_eol, is_cr));
        if (mask != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (*p != CR) {
            continue;
        }
        if (end - p < 3 || p[1] != LF || p[2] == CR || p[2] == LF) {
            return p;
        }
    }
    return end;
}

// Relaxed rules, inside a run of non-blanks: a tab, a space followed by a
// blank or a CR (or by the chunk's end), or a CR unless it is the CR of a
// CR LF followed by a byte that starts another line with content.
const unsigned char* relaxed_stop_generic(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i sp = _mm_set1_epi8(static_cast<char>(SP));
    const __m128i tab = _mm_set1_epi8(static_cast<char>(TAB));
    while (end - p >= 18) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        const __m128i bc1 = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v1, sp), _mm_cmpeq_epi8(v1, tab)), _mm_cmpeq_epi8(v1, cr));
        const __m128i bc2 = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v2, sp), _mm_cmpeq_epi8(v2, tab)), _mm_cmpeq_epi8(v2, cr));
        const __m128i plain_eol = _mm_andnot_si128(bc2, _mm_cmpeq_epi8(v1, lf));
        const __m128i stop_cr = _mm_andnot_si128(plain_eol, _mm_cmpeq_epi8(v0, cr));
        const __m128i stop_sp = _mm_and_si128(_mm_cmpeq_epi8(v0, sp), bc1);
        const __m128i stop = _mm_or_si128(_mm_or_si128(stop_cr, stop_sp), _mm_cmpeq_epi8(v0, tab));
        const int mask = _mm_movemask_epi8(stop);
        if (mask != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        const unsigned char c = *p;
        if (c == TAB) {
            return p;
        }
        if (c == SP && (end - p < 2 || blank_or_cr(p[1]))) {
            return p;
        }
        if (c == CR && (end - p < 3 || p[1] != LF || blank_or_cr(p[2]))) {
            return p;
        }
    }
    return end;
}

#if defined(ARC_CANON_AVX2)
// The same scanners over 32 bytes at a time, for processors with AVX2.

__attribute__((target("avx2"))) const unsigned char* simple_stop_avx2(const unsigned char* p,
                                                                      const unsigned char* end) {
    const __m256i cr = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lf = _mm256_set1_epi8(static_cast<char>(LF));
    while (end - p >= 34) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i is_cr = _mm256_cmpeq_epi8(v0, cr);
        if (_mm256_movemask_epi8(is_cr) == 0) {
            p += 32;
            continue;
        }
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
        const __m256i after_eol =
            _mm256_or_si256(_mm256_cmpeq_epi8(v2, cr), _mm256_cmpeq_epi8(v2, lf));
        const __m256i plain_eol = _mm256_andnot_si256(after_eol, _mm256_cmpeq_epi8(v1, lf));
        const auto mask =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_andnot_si256(plain_eol, is_cr)));
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
        p += 32;
    }
    return simple_stop_generic(p, end);
}

__attribute__((target("avx2"))) const unsigned char* relaxed_stop_avx2(const unsigned char* p,
                                                                       const unsigned char* end) {
    const __m256i cr = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lf = _mm256_set1_epi8(static_cast<char>(LF));
    const __m256i sp = _mm256_set1_epi8(static_cast<char>(SP));
    const __m256i tab = _mm256_set1_epi8(static_cast<char>(TAB));
    auto blank_or_cr_v = [&](__m256i v) __attribute__((target("avx2"))) {
        return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, sp), _mm256_cmpeq_epi8(v, tab)),
                               _mm256_cmpeq_epi8(v, cr));
    };
    while (end - p >= 34) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
        const __m256i plain_eol = _mm256_andnot_si256(blank_or_cr_v(v2), _mm256_cmpeq_epi8(v1, lf));
        const __m256i stop_cr = _mm256_andnot_si256(plain_eol, _mm256_cmpeq_epi8(v0, cr));
        const __m256i stop_sp = _mm256_and_si256(_mm256_cmpeq_epi8(v0, sp), blank_or_cr_v(v1));
        const __m256i stop =
            _mm256_or_si256(_mm256_or_si256(stop_cr, stop_sp), _mm256_cmpeq_epi8(v0, tab));
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(stop));
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
        p += 32;
    }
    return relaxed_stop_generic(p, end);
}
#endif

using scanner = const unsigned char* (*)(const unsigned char*, const unsigned char*);

// Picks a scanner once per process, by what the processor offers.
scanner pick_scanner(scanner generic, [[maybe_unused]] scanner avx2) {
#if defined(ARC_CANON_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return avx2;
    }
#endif
    return generic;
}

std::atomic<bool> generic_only{false};

const unsigned char* simple_stop(const unsigned char* p, const unsigned char* end) {
#if defined(ARC_CANON_AVX2)
    static const scanner scan = pick_scanner(simple_stop_generic, simple_stop_avx2);
#else
    static const scanner scan = pick_scanner(simple_stop_generic, nullptr);
#endif
    return generic_only.load(std::memory_order_relaxed) ? simple_stop_generic(p, end)
                                                        : scan(p, end);
}

const unsigned char* relaxed_stop(const unsigned char* p, const unsigned char* end) {
#if defined(ARC_CANON_AVX2)
    static const scanner scan = pick_scanner(relaxed_stop_generic, relaxed_stop_avx2);
#else
    static const scanner scan = pick_scanner(relaxed_stop_generic, nullptr);
#endif
    return generic_only.load(std::memory_order_relaxed) ? relaxed_stop_generic(p, end)
                                                        : scan(p, end);
}

// ---- Simple body rules ----

void simple_chunk(arc_canon* canon, const unsigned char* d, size_t n) {
    emitter out{canon};
    bool blankline = canon->canon_blankline;
    size_t blanks = canon->canon_blanks;
    size_t lfs = canon->canon_lfs;
    size_t crs = canon->canon_crs;
    const unsigned char* p = d;
    const unsigned char* const end = d + n;
    while (p < end) {
        if (blankline) {
            // A line without content so far holds LFs, then CRs; its CR LF
            // makes it an empty line, held back.
            const unsigned char c = *p;
            if (c == LF || c == CR) {
                if (c == CR) {
                    ++crs;
                } else if (crs != 0) {
                    ++blanks;
                    lfs = crs = 0;
                } else {
                    ++lfs;
                }
                ++p;
                continue;
            }
            if (blanks != 0 || lfs != 0 || crs != 0) {
                out.crlfs(blanks);
                out.lfs(lfs);
                out.crs(crs);
                blanks = lfs = crs = 0;
            }
            blankline = false;
        } else if (crs != 0) {
            // The CR held back at the end of the previous chunk was not the
            // body's last byte, so it is hashed.
            crs = 0;
            out.put(&CR, 1);
            if (*p == LF) {
                out.pass(p, p + 1);
                ++p;
                blankline = true;
                continue;
            }
        }
        const unsigned char* q = simple_stop(p, end);
        if (q == end) {
            out.pass(p, end);
            break;
        }
        if (q + 1 == end) {
            out.pass(p, q);
            crs = 1;
            break;
        }
        if (q[1] == LF) {
            out.pass(p, q + 2);
            p = q + 2;
            blankline = true;
        } else {
            out.pass(p, q + 1);
            p = q + 1;
        }
    }
    out.finish();
    canon->canon_blankline = blankline;
    canon->canon_blanks = blanks;
    canon->canon_lfs = lfs;
    canon->canon_crs = crs;
}

// ---- Relaxed body rules ----

// after_cr: a CR whose role the next byte decides, LF making it a line end;
// after_blank_cr: the same after blanks, which vanish before a line end and
// become one space before a bare CR.
enum relaxed_state : int {
    line_start = 0,
    in_blanks = 1,
    after_cr = 2,
    in_run = 3,
    after_blank_cr = 4
};

void relaxed_chunk(arc_canon* canon, const unsigned char* d, size_t n) {
    emitter out{canon};
    int state = canon->canon_bodystate;
    bool blankline = canon->canon_blankline;
    size_t blanks = canon->canon_blanks;
    bool inrun = canon->canon_inrun;
    const unsigned char* p = d;
    const unsigned char* const end = d + n;
    const unsigned char* blank_start = nullptr;  // first blank of the run, when in this chunk
    auto emit_blanks = [&] {
        if (blanks != 0) {
            out.crlfs(blanks);
            blanks = 0;
        }
    };
    while (p < end) {
        switch (state) {
            case in_run: {
                const unsigned char* q = relaxed_stop(p, end);
                out.pass(p, q);
                p = q;
                if (p == end) {
                    break;
                }
                if (*p == CR) {
                    state = after_cr;
                } else {
                    state = in_blanks;
                    inrun = false;
                    blank_start = p;
                }
                ++p;
                break;
            }
            case in_blanks: {
                const unsigned char* q = p;
                while (q < end && (*q == SP || *q == TAB)) {
                    ++q;
                }
                if (q == end) {
                    p = end;
                    break;
                }
                if (*q == CR) {
                    state = after_blank_cr;
                    inrun = false;
                } else {
                    emit_blanks();
                    if (blank_start != nullptr && q == blank_start + 1 && *blank_start == SP) {
                        out.pass(blank_start, q + 1);
                    } else {
                        out.put(&SP, 1);
                        out.pass(q, q + 1);
                    }
                    blankline = false;
                    inrun = true;
                    state = in_run;
                }
                blank_start = nullptr;
                p = q + 1;
                break;
            }
            case line_start: {
                const unsigned char c = *p;
                if (c == SP || c == TAB) {
                    state = in_blanks;
                    blank_start = p;
                } else if (c == CR) {
                    state = after_cr;
                } else {
                    emit_blanks();
                    out.pass(p, p + 1);
                    blankline = false;
                    inrun = true;
                    state = in_run;
                }
                ++p;
                break;
            }
            case after_cr:
            case after_blank_cr: {
                const unsigned char c = *p;
                const bool cr_in_chunk = p > d;  // then the CR is at p - 1
                if (c == LF) {
                    // A line end: blanks before it vanish.
                    if (blankline) {
                        ++blanks;
                    } else {
                        emit_blanks();
                        if (cr_in_chunk) {
                            out.pass(p - 1, p + 1);
                        } else {
                            out.put(&CR, 1);
                            out.pass(p, p + 1);
                        }
                    }
                    blankline = true;
                    inrun = false;
                    state = line_start;
                    ++p;
                    break;
                }
                // A bare CR is content like any other byte: RFC 6376 section
                // 3.4.4 only touches blanks and line ends, and other verifiers
                // keep it.
                blankline = false;
                emit_blanks();
                if (state == after_blank_cr) {
                    out.put(&SP, 1);
                }
                if (cr_in_chunk) {
                    out.pass(p - 1, p);
                } else {
                    out.put(&CR, 1);
                }
                if (c == CR) {
                    state = after_cr;  // this one waits in turn
                    inrun = true;
                } else if (c == SP || c == TAB) {
                    state = in_blanks;
                    inrun = false;
                    blank_start = p;
                } else {
                    out.pass(p, p + 1);
                    state = in_run;
                    inrun = true;
                }
                ++p;
                break;
            }
            default:
                state = line_start;
                break;
        }
    }
    out.finish();
    canon->canon_bodystate = state;
    canon->canon_blankline = blankline;
    canon->canon_blanks = blanks;
    canon->canon_inrun = inrun;
}

// ---- Repair of bare CR and LF ----

// Builds the repaired copy of a chunk in out: a bare LF or a bare CR becomes
// CR LF. `last` is the previous chunk's last byte; a CR ending a chunk waits
// for the next chunk's first byte.
bool repair_chunk(arc_dstring* out, const unsigned char* d, size_t n, int last) {
    static constexpr unsigned char eol[] = {CR, LF};
    arc_dstring_blank(out);
    size_t i = 0;
    if (last == CR) {
        if (!arc_dstring_catn(out, eol, 2)) {
            return false;
        }
        if (d[0] == LF) {
            i = 1;
        }
    }
    size_t seg = i;
    while (i < n) {
        const unsigned char c = d[i];
        if (c != CR && c != LF) {
            ++i;
            continue;
        }
        if (!arc_dstring_catn(out, d + seg, i - seg)) {
            return false;
        }
        if (c == CR && i + 1 == n) {
            seg = ++i;
            break;
        }
        if (!arc_dstring_catn(out, eol, 2)) {
            return false;
        }
        i += (c == CR && d[i + 1] == LF) ? 2 : 1;
        seg = i;
    }
    return arc_dstring_catn(out, d + seg, n - seg);
}

ARC_STAT digest_of(arc_canon* canon, void** digest, size_t* dlen) noexcept {
    if (canon == nullptr) {
        return ARC_STAT_INVALID;
    }
    unsigned char* d = nullptr;
    if (ARC_STAT status = arc_canon_getfinal(canon, &d, dlen); status != ARC_STAT_OK) {
        return status;
    }
    *digest = d;
    return ARC_STAT_OK;
}

}  // namespace

void arc_canon_generic_scanners(bool generic) noexcept {
    generic_only.store(generic, std::memory_order_relaxed);
}

// ---- Body ----

ARC_STAT arc_canon_bodychunk(arc_msg* msg, const unsigned char* buf, size_t buflen) noexcept {
    assert(msg != NULL);
    const bool repair = (msg->arc_lib->arc_flags & ARC_LIBFLAGS_FIXCRLF) != 0;
    if (repair) {
        assert(buf != NULL);
    }
    if (buf == nullptr || buflen == 0) {
        return ARC_STAT_OK;
    }
    // Every open body hash has seen the same chunks, so one repaired copy
    // serves them all; it is made again only for a different previous byte.
    int copy_for = INT_MIN;
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_type != ARC_CANONTYPE_BODY || c->canon_done) {
            continue;
        }
        assert(c->canon_hash != NULL);
        const unsigned char* data = buf;
        size_t len = buflen;
        if (repair) {
            if (copy_for != c->canon_lastchar) {
                if (buflen > INT_MAX / 4) {
                    arc_error(msg, "body chunk too large (%zu bytes)", buflen);
                    return ARC_STAT_NORESOURCE;
                }
                if (msg->arc_canonbuf == nullptr) {
                    msg->arc_canonbuf = arc_dstring_new(msg, static_cast<int>(buflen), 0);
                    if (msg->arc_canonbuf == nullptr) {
                        return ARC_STAT_NORESOURCE;
                    }
                }
                if (!repair_chunk(msg->arc_canonbuf, buf, buflen, c->canon_lastchar)) {
                    return ARC_STAT_NORESOURCE;
                }
                copy_for = c->canon_lastchar;
            }
            data = reinterpret_cast<const unsigned char*>(msg->arc_canonbuf->ds_buf);
            len = static_cast<size_t>(msg->arc_canonbuf->ds_len);
        }
        if (c->canon_canon == ARC_CANON_SIMPLE) {
            simple_chunk(c, data, len);
        } else {
            relaxed_chunk(c, data, len);
        }
        c->canon_lastchar = buf[buflen - 1];
    }
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_closebody(arc_msg* msg) noexcept {
    assert(msg != NULL);
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_type != ARC_CANONTYPE_BODY || c->canon_done) {
            continue;
        }
        // A last line without its CRLF gets one, and under the simple rules
        // an empty body is a single CRLF (RFC 6376 sections 3.4.3 and 3.4.4):
        // other verifiers hash these bodies so, and a signature must match
        // theirs.
        const bool open_line = !c->canon_blankline;
        const bool empty_simple =
            c->canon_canon == ARC_CANON_SIMPLE && c->canon_wrote == 0 && c->canon_hashbuflen == 0;
        if (open_line || empty_simple) {
            emitter out{c};
            out.crlfs(1);
            out.finish();
        }
        c->canon_inrun = false;
        // Empty lines still held back, and a CR ending the body, are dropped.
        c->canon_blanks = 0;
        c->canon_lfs = 0;
        c->canon_crs = 0;
        arc_canon_finalize(c);
    }
    return ARC_STAT_OK;
}

unsigned long arc_canon_minbody(arc_msg* msg) noexcept {
    assert(msg != NULL);
    unsigned long most = 0;
    for (arc_canon* c = msg->arc_canonhead; c != nullptr; c = c->canon_next) {
        if (c->canon_type != ARC_CANONTYPE_BODY || c->canon_done) {
            continue;
        }
        if (c->canon_remain == -1) {
            return ULONG_MAX;
        }
        if (static_cast<unsigned long>(c->canon_remain) > most) {
            most = static_cast<unsigned long>(c->canon_remain);
        }
    }
    return most;
}

// ---- Digests ----

ARC_STAT arc_canon_getfinal(arc_canon* canon, unsigned char** digest, size_t* dlen) noexcept {
    assert(canon != NULL);
    assert(digest != NULL);
    assert(dlen != NULL);
    if (!canon->canon_done || canon->canon_hash == nullptr) {
        return ARC_STAT_INVALID;
    }
    *digest = canon->canon_hash->hc_out;
    *dlen = canon->canon_hashtype == ARC_HASHTYPE_SHA1 ? 20 : 32;
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_gethashes(arc_msg* msg, void** hh, size_t* hhlen, void** bh,
                             size_t* bhlen) noexcept {
    assert(msg != NULL);
    assert(hh != NULL && hhlen != NULL);
    assert(bh != NULL && bhlen != NULL);
    if (ARC_STAT status = digest_of(msg->arc_valid_hdrcanon, hh, hhlen); status != ARC_STAT_OK) {
        return status;
    }
    return digest_of(msg->arc_valid_bodycanon, bh, bhlen);
}

ARC_STAT arc_get_digests(arc_msg* msg, const unsigned char** hh, size_t* hhlen,
                         const unsigned char** bh, size_t* bhlen) noexcept {
    assert(msg != NULL);
    assert(hh != NULL && hhlen != NULL);
    assert(bh != NULL && bhlen != NULL);
    void* h = nullptr;
    void* b = nullptr;
    if (ARC_STAT status = arc_canon_gethashes(msg, &h, hhlen, &b, bhlen); status != ARC_STAT_OK) {
        return status;
    }
    *hh = static_cast<const unsigned char*>(h);
    *bh = static_cast<const unsigned char*>(b);
    return ARC_STAT_OK;
}

ARC_STAT arc_canon_getsealhash(arc_msg* msg, int instance, void** sh, size_t* shlen) noexcept {
    assert(msg != NULL);
    const int64_t setnum = instance;
    assert(setnum <= msg->arc_nsets);
    assert(sh != NULL && shlen != NULL);
    if (setnum < 1 || msg->arc_sealcanons == nullptr) {
        return ARC_STAT_INVALID;
    }
    return digest_of(msg->arc_sealcanons[setnum - 1], sh, shlen);
}

// ---- c= values ----

ARC_STAT arc_parse_canon_t(char* tag, int* hdr_canon, int* body_canon) noexcept {
    assert(tag != NULL);
    assert(hdr_canon != NULL);
    assert(body_canon != NULL);
    if (*tag == '\0') {
        return ARC_STAT_INVALID;
    }
    char* save = nullptr;
    const char* first = strtok_r(tag, "/", &save);
    if (first == nullptr) {
        return ARC_STAT_INVALID;
    }
    const int hc = arc_name_to_code(canonicalizations, first);
    if (hc == -1) {
        return ARC_STAT_INVALID;
    }
    *hdr_canon = hc;
    const char* second = strtok_r(nullptr, "/", &save);
    if (second == nullptr) {
        *body_canon = ARC_CANON_SIMPLE;
        return ARC_STAT_OK;
    }
    const int bc = arc_name_to_code(canonicalizations, second);
    if (bc == -1) {
        return ARC_STAT_INVALID;
    }
    *body_canon = bc;
    return ARC_STAT_OK;
}
