// SPDX-License-Identifier: BSD-2-Clause
// dns-reply-builder.h - builds DNS reply bytes (RFC 1035) for the tests of the
// reply checks and the seeds of their fuzz target.
#ifndef VELMORA_TESTS_DNS_REPLY_BUILDER_H
#define VELMORA_TESTS_DNS_REPLY_BUILDER_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace velmora_test {

// Appends the parts of a reply in order. Owner names default to a compression
// pointer at the first question's name (offset 12).
class reply_builder {
  public:
    reply_builder& reset() {
        b_.clear();
        rdlength_at_ = 0;
        return *this;
    }

    // Header: ID 0x1234, QR, AA and RD set, the given RCODE and TC bit and counts.
    reply_builder& header(unsigned rcode, bool tc, unsigned qdcount, unsigned ancount) {
        put16(0x1234);
        b_.push_back(static_cast<unsigned char>(0x80 | 0x04 | 0x01 | (tc ? 0x02 : 0)));
        b_.push_back(static_cast<unsigned char>(rcode & 0x0f));
        put16(qdcount);
        put16(ancount);
        put16(0);
        put16(0);
        return *this;
    }

    reply_builder& question(std::string_view name, unsigned type, unsigned qclass) {
        put_name(name);
        put16(type);
        put16(qclass);
        return *this;
    }

    // Type, class IN, TTL 300 and RDLENGTH; the owner name comes before it.
    reply_builder& rr_fixed(unsigned type, unsigned rdlength) {
        put16(type);
        put16(1);
        put16(0);
        put16(300);
        rdlength_at_ = b_.size();
        put16(rdlength);
        return *this;
    }

    reply_builder& answer(unsigned type, const std::vector<unsigned char>& rdata,
                          const char* owner = nullptr) {
        put_owner(owner);
        rr_fixed(type, static_cast<unsigned>(rdata.size()));
        b_.insert(b_.end(), rdata.begin(), rdata.end());
        return *this;
    }

    // A TXT answer of the text, in character-strings of at most 255 bytes.
    reply_builder& answer_txt(std::string_view text, const char* owner = nullptr) {
        std::vector<unsigned char> rdata;
        do {
            const size_t n = text.size() < 255 ? text.size() : 255;
            rdata.push_back(static_cast<unsigned char>(n));
            rdata.insert(rdata.end(), text.begin(), text.begin() + static_cast<long>(n));
            text.remove_prefix(n);
        } while (!text.empty());
        return answer(16, rdata, owner);
    }

    // A TXT answer of exactly these character-strings.
    reply_builder& answer_strings(std::initializer_list<std::string_view> strings) {
        std::vector<unsigned char> rdata;
        for (auto s : strings) {
            rdata.push_back(static_cast<unsigned char>(s.size()));
            rdata.insert(rdata.end(), s.begin(), s.end());
        }
        return answer(16, rdata);
    }

    // An answer whose data is a name (CNAME and the like).
    reply_builder& answer_name(unsigned type, std::string_view target) {
        reply_builder rdata;
        rdata.put_name(target);
        return answer(type, rdata.b_);
    }

    // Makes the last record's RDLENGTH claim n more bytes than it has.
    reply_builder& rdlength_plus(unsigned n) {
        const unsigned len = ((b_[rdlength_at_] << 8) | b_[rdlength_at_ + 1]) + n;
        b_[rdlength_at_] = static_cast<unsigned char>(len >> 8);
        b_[rdlength_at_ + 1] = static_cast<unsigned char>(len);
        return *this;
    }

    reply_builder& raw(std::initializer_list<unsigned char> bytes) {
        b_.insert(b_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    const std::vector<unsigned char>& bytes() const { return b_; }

  private:
    void put16(unsigned v) {
        b_.push_back(static_cast<unsigned char>(v >> 8));
        b_.push_back(static_cast<unsigned char>(v));
    }
    void put_name(std::string_view name) {
        while (!name.empty()) {
            const size_t dot = name.find('.');
            const std::string_view label = name.substr(0, dot);
            b_.push_back(static_cast<unsigned char>(label.size()));
            b_.insert(b_.end(), label.begin(), label.end());
            name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
        }
        b_.push_back(0);
    }
    void put_owner(const char* owner) {
        if (owner == nullptr) {
            put16(0xc00c);
        } else {
            put_name(owner);
        }
    }

    std::vector<unsigned char> b_;
    size_t rdlength_at_ = 0;
};

}  // namespace velmora_test

#endif  // VELMORA_TESTS_DNS_REPLY_BUILDER_H
