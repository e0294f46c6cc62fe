// libFuzzer target: envelope scan + base64 + protobuf decode, no Python.
//
// The first input byte picks the entry point so the wire decoder is reached
// directly as well as through a frame.  Besides the sanitizers, every result
// is checked against byte-at-a-time reference versions of the scanner and
// the base64 decoder, and the record's invariants are checked.
#define VORNPROTO_NO_PYTHON
#include "vornproto.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace vorn;

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "fuzz_frame: %s\n", what);
    std::abort();
}

int ref_scan(const uint8_t* b, size_t n, vornstr* out) {
    static const char key[] = "message";
    const size_t klen = 7;
    auto ws = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    size_t i = 0;
    while (i < n) {
        if (b[i] != '"') {
            ++i;
            continue;
        }
        if (n - i >= klen + 2 && std::memcmp(b + i + 1, key, klen) == 0 && b[i + klen + 1] == '"') {
            size_t j = i + klen + 2;
            while (j < n && ws(b[j])) ++j;
            if (j < n && b[j] == ':') {
                ++j;
                while (j < n && ws(b[j])) ++j;
                if (j >= n || b[j] != '"') return VORN_ERR_JSON;
                size_t k = j + 1;
                while (k < n && b[k] != '"') k += (b[k] == '\\') ? 2 : 1;
                if (k >= n) return VORN_ERR_JSON;
                out->p = b + j + 1;
                out->n = static_cast<uint32_t>(k - j - 1);
                return VORN_OK;
            }
        }
        size_t k = i + 1;
        while (k < n && b[k] != '"') k += (b[k] == '\\') ? 2 : 1;
        i = k < n ? k + 1 : n;
    }
    return VORN_ERR_JSON;
}

long ref_b64(const uint8_t* s, size_t n, std::vector<uint8_t>& out) {
    uint32_t acc = 0;
    unsigned bits = 0;
    for (size_t i = 0; i < n;) {
        int v;
        if (s[i] == '=') break;
        if (s[i] == '\\') {
            if (i + 1 < n && s[i + 1] == '/') {
                v = 63;
                i += 2;
            } else {
                return VORN_ERR_B64;
            }
        } else {
            const uint8_t c = s[i++];
            if (c >= 'A' && c <= 'Z') v = c - 'A';
            else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
            else if (c >= '0' && c <= '9') v = c - '0' + 52;
            else if (c == '+' || c == '-') v = 62;
            else if (c == '/' || c == '_') v = 63;
            else return VORN_ERR_B64;
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1u;
        }
    }
    return static_cast<long>(out.size());
}

void check_record(const qf_PricingData& r, const uint8_t* lo, size_t n) {
    if (r.has >> 47) die("presence bit above 46");
    if (r.indices_n > 16) die("indices_n above 16");
    if (_has(r.has, 34) != (r.indices_n > 0)) die("indices bit disagrees with indices_n");
    if (r.indices_dropped != 0 && r.indices_n != 16) die("dropped before full");
    auto inside = [&](vornstr s) {
        if (s.n == 0) return;
        if (s.p < lo || static_cast<size_t>(s.p - lo) > n || s.n > n - static_cast<size_t>(s.p - lo))
            die("view outside the decoded bytes");
    };
    // Every view of the record, string fields and the repeated one alike.
    for_each_present(r, [&]<vorn_detail::Kind K>(int, const auto& v) {
        if constexpr (K == vorn_detail::Kind::Str) {
            inside(v);
        } else if constexpr (K == vorn_detail::Kind::List) {
            for (uint32_t k = 0; k < v.n; ++k) inside(v.items[k]);
        }
        return true;
    });
}

// Decodes from an exact-size copy, so reading even one byte past the end is
// an ASan report (the frame path's scratch has 4 spare bytes that would hide
// it).
int decode_exact(const uint8_t* b, size_t n, qf_PricingData* r) {
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (n) std::memcpy(copy, b, n);
    const int rc = qf_PricingData_decode(copy, n, r);
    if (rc == VORN_OK) check_record(*r, copy, n);
    std::free(copy);
    return rc;
}

uint8_t* g_scratch = nullptr;
size_t g_cap = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    const uint8_t* b = data + 1;
    const size_t n = size - 1;
    qf_PricingData rec;

    if (mode == 0) {  // raw protobuf
        const int rc = decode_exact(b, n, &rec);
        if (rc != VORN_OK && rc != VORN_ERR_WIRE) die("decode returned an unknown code");
        return 0;
    }
    if (mode == 1) {  // base64 alone
        std::vector<uint8_t> want;
        const long rc_ref = ref_b64(b, n, want);
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(n ? n : 1));
        const vorn_ssize_t m = vorn_b64_decode(b, n, dst);
        if (m != rc_ref) die("base64 length differs from reference");
        if (m > 0 && std::memcmp(dst, want.data(), static_cast<size_t>(m)) != 0) die("base64 bytes differ");
        std::free(dst);
        return 0;
    }

    // Whole frame, through the same entry the ticker uses.
    uint8_t* frame = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (n) std::memcpy(frame, b, n);
    vornstr s{}, s_ref{};
    const int scan = vorn_json_str_value(frame, n, "message", 7, &s);
    const int scan_ref = ref_scan(frame, n, &s_ref);
    if (scan != scan_ref) die("scanner result differs from reference");
    if (scan == VORN_OK && (s.p != s_ref.p || s.n != s_ref.n)) die("scanner view differs");

    const size_t cap_before = g_cap;
    const int rc = vorn_frame_decode(frame, n, &g_scratch, &g_cap, &rec);
    if (scan != VORN_OK) {
        if (rc != VORN_ERR_JSON || g_cap != cap_before) die("scan failure not reported as -5");
    } else {
        if (g_cap < static_cast<size_t>(s.n) + 4) die("scratch smaller than text + 4");
        if (g_cap != cap_before && g_cap != static_cast<size_t>(s.n) + 4) die("scratch not grown to exactly text + 4");
        std::vector<uint8_t> bytes;
        const long m = s.n ? ref_b64(s.p, s.n, bytes) : 0;
        if (m < 0) {
            if (rc != VORN_ERR_B64) die("bad base64 not reported as -4");
        } else {
            qf_PricingData again;
            const int rc2 = decode_exact(bytes.data(), bytes.size(), &again);
            if (rc != rc2) die("frame result differs from direct decode");
            if (rc == VORN_OK) {
                check_record(rec, g_scratch, bytes.size());
                if (rec.has != again.has) die("presence differs between buffers");
            }
        }
    }
    std::free(frame);
    return 0;
}
