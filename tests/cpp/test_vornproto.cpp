// Wire-level tests of the quote decoder, the envelope scanner and base64.
// Inputs are copied into heap blocks of exactly their size so that a read at
// or past the end shows up under AddressSanitizer, and where it matters the
// bytes just past `end` are made to look valid so an overread also changes
// the result.
#define VORNPROTO_NO_PYTHON
#include "vornproto.hpp"

#include "harness.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace vorn;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> xs) {
    Bytes v;
    for (int x : xs) v.push_back(static_cast<uint8_t>(x));
    return v;
}

Bytes S(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// An exact-size heap copy; malloc(0) still gives a block ASan can police.
struct Heap {
    std::unique_ptr<uint8_t, decltype(&std::free)> mem{nullptr, &std::free};
    size_t n = 0;
    explicit Heap(const Bytes& v) : mem(static_cast<uint8_t*>(std::malloc(v.size() ? v.size() : 1)), &std::free), n(v.size()) {
        if (!v.empty()) std::memcpy(mem.get(), v.data(), v.size());
    }
    const uint8_t* p() const { return mem.get(); }
};

Bytes varint(uint64_t v) {
    Bytes out;
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes tag(uint32_t field, uint32_t wt) { return varint(uint64_t{field} << 3 | wt); }

uint64_t zz(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }

Bytes le32(uint32_t v) { return B({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)}); }

Bytes le64(uint64_t v) {
    Bytes out;
    for (int k = 0; k < 8; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    return out;
}

Bytes f32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return le32(u);
}

Bytes f64(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    return le64(u);
}

Bytes ld(const Bytes& payload) { return cat({varint(payload.size()), payload}); }

struct Decoded {
    Heap buf;
    qf_PricingData rec;
    int rc;
    explicit Decoded(const Bytes& wire) : buf(wire), rec(), rc(qf_PricingData_decode(buf.p(), buf.n, &rec)) {}
};

std::string view(vornstr s) { return std::string(reinterpret_cast<const char*>(s.p), s.n); }

// ---------------------------------------------------------------------------
// _varint
// ---------------------------------------------------------------------------

TEST(varint_values_and_limits) {
    struct Row {
        Bytes in;
        int rc;
        uint64_t value;
        size_t pos;
    };
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    const Row rows[] = {
        {B({0x00}), 0, 0, 1},
        {B({0x7F}), 0, 127, 1},
        {B({0x80, 0x01}), 0, 128, 2},
        {B({0xAC, 0x02, 0x55}), 0, 300, 2},
        {B({0x8A, 0x00}), 0, 10, 2},  // over-long encodings are still values
        {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), 0, max, 10},
        // Tenth byte 0x7F: accepted, only its lowest bit counts.
        {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), 0, max, 10},
        {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7E}), 0, max >> 1, 10},
        {B({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), 0, uint64_t{1} << 63, 10},
        // Eleven bytes: the tenth still has its continuation bit.
        {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00}), -1, 0, 0},
        {B({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), -1, 0, 0},
        {B({}), -1, 0, 0},
        {B({0x80}), -1, 0, 0},
        {B({0xFF, 0xFF, 0xFF}), -1, 0, 0},
    };
    for (const Row& r : rows) {
        Heap h(r.in);
        size_t pos = 0;
        uint64_t out = 12345;
        const int rc = _varint(h.p(), &pos, h.n, &out);
        CHECK_EQ(rc, r.rc);
        if (r.rc == 0) {
            CHECK_EQ(out, r.value);
            CHECK_EQ(pos, r.pos);
        }
    }
}

TEST(varint_stops_at_end_even_if_more_bytes_follow) {
    // The terminating byte lies just past `end`: it must not be used.
    const Bytes bytes = B({0x81, 0x81, 0x01});
    for (size_t end = 0; end < 3; ++end) {
        size_t pos = 0;
        uint64_t out;
        CHECK_EQ(_varint(bytes.data(), &pos, end, &out), -1);
    }
    size_t pos = 1;
    uint64_t out;
    CHECK_EQ(_varint(bytes.data(), &pos, 3, &out), 0);
    CHECK_EQ(out, uint64_t{0x81});
    CHECK_EQ(pos, size_t{3});
}

TEST(zigzag_mapping) {
    const struct {
        uint64_t in;
        int64_t out;
    } rows[] = {
        {0, 0}, {1, -1}, {2, 1}, {3, -2}, {4294967294u, 2147483647}, {4294967295u, -2147483648LL},
        {~uint64_t{0} - 1, std::numeric_limits<int64_t>::max()},
        {~uint64_t{0}, std::numeric_limits<int64_t>::min()},
    };
    for (const auto& r : rows) CHECK_EQ(_zigzag(r.in), r.out);
}

TEST(has_bits) {
    const uint64_t mask = (uint64_t{1} << 46) | (uint64_t{1} << 34) | 1u;
    for (int bit = 0; bit < 64; ++bit) {
        CHECK_EQ(_has(mask, bit), (bit == 0 || bit == 34 || bit == 46) ? 1 : 0);
    }
}

// ---------------------------------------------------------------------------
// _lenspan, fixed-width readers, _skip
// ---------------------------------------------------------------------------

TEST(lenspan_bounds) {
    struct Row {
        Bytes in;
        int rc;
        uint32_t n;
    };
    const Row rows[] = {
        {B({0x00}), 0, 0},
        {B({0x03, 'a', 'b', 'c'}), 0, 3},            // length == remaining
        {B({0x04, 'a', 'b', 'c'}), -1, 0},           // one past
        {B({0x02, 'a', 'b', 'c'}), 0, 2},            // shorter than remaining
        {B({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), -1, 0},  // huge length, few bytes
        {B({0x85}), -1, 0},                          // length itself cut short
        {B({}), -1, 0},
    };
    for (const Row& r : rows) {
        Heap h(r.in);
        size_t pos = 0;
        vornstr s{nullptr, 99};
        CHECK_EQ(_lenspan(h.p(), &pos, h.n, &s), r.rc);
        if (r.rc == 0) {
            CHECK_EQ(s.n, r.n);
            CHECK(s.p == h.p() + 1);
            CHECK_EQ(pos, size_t{1} + r.n);
        }
    }
}

TEST(lenspan_rejects_lengths_beyond_32_bits) {
    // The length 2^32 is smaller than the (pretended) space left, so only the
    // 32-bit limit can refuse it.  Nothing past the varint is read.
    const Bytes len = varint(uint64_t{1} << 32);
    size_t pos = 0;
    vornstr s;
    CHECK_EQ(_lenspan(len.data(), &pos, size_t{1} << 40, &s), -1);
    pos = 0;
    const Bytes ok = varint(0xFFFFFFFFu);
    CHECK_EQ(_lenspan(ok.data(), &pos, size_t{1} << 40, &s), 0);
    CHECK_EQ(s.n, 0xFFFFFFFFu);
}

TEST(fixed_width_readers) {
    {
        Heap h(B({0x00, 0x00, 0x80, 0x3F}));
        size_t pos = 0;
        float f = 0;
        CHECK_EQ(_rd_f32(h.p(), &pos, h.n, &f), 0);
        CHECK(f == 1.0f);
        CHECK_EQ(pos, size_t{4});
    }
    {
        Heap h(B({0, 0, 0, 0, 0, 0, 0x04, 0x40}));
        size_t pos = 0;
        double d = 0;
        CHECK_EQ(_rd_f64(h.p(), &pos, h.n, &d), 0);
        CHECK(d == 2.5);
        CHECK_EQ(pos, size_t{8});
    }
    // Bit patterns survive exactly, NaN payloads and negative zero included.
    for (uint32_t bits : {0x7FC00001u, 0x80000000u, 0x00000001u, 0xFF800000u}) {
        Heap h(le32(bits));
        size_t pos = 0;
        float f;
        CHECK_EQ(_rd_f32(h.p(), &pos, h.n, &f), 0);
        uint32_t back;
        std::memcpy(&back, &f, 4);
        CHECK_EQ(back, bits);
    }
    for (size_t len = 0; len < 4; ++len) {
        Heap h(Bytes(len, 0x41));
        size_t pos = 0;
        float f;
        CHECK_EQ(_rd_f32(h.p(), &pos, h.n, &f), -1);
    }
    for (size_t len = 0; len < 8; ++len) {
        Heap h(Bytes(len, 0x41));
        size_t pos = 0;
        double d;
        CHECK_EQ(_rd_f64(h.p(), &pos, h.n, &d), -1);
    }
}

TEST(skip_by_wire_type) {
    struct Row {
        uint32_t wt;
        Bytes in;
        int rc;
        size_t pos;
    };
    const Row rows[] = {
        {0, B({0x96, 0x01}), 0, 2}, {0, B({0x96}), -1, 0},
        {1, Bytes(8, 1), 0, 8},     {1, Bytes(7, 1), -1, 0},
        {2, B({0x02, 1, 2}), 0, 3}, {2, B({0x03, 1, 2}), -1, 0},
        {5, Bytes(4, 1), 0, 4},     {5, Bytes(3, 1), -1, 0},
        {3, Bytes(8, 0), -1, 0},    {4, Bytes(8, 0), -1, 0},
        {6, Bytes(8, 0), -1, 0},    {7, Bytes(8, 0), -1, 0},
    };
    for (const Row& r : rows) {
        Heap h(r.in);
        size_t pos = 0;
        CHECK_EQ(_skip(r.wt, h.p(), &pos, h.n), r.rc);
        if (r.rc == 0) CHECK_EQ(pos, r.pos);
    }
}

// ---------------------------------------------------------------------------
// qf_PricingData_decode
// ---------------------------------------------------------------------------

enum class K { View, F32, F64, Sint64, Int32 };

struct FieldRow {
    uint32_t number;
    K kind;
    size_t offset;
};

#define ROW(N, KIND, FIELD) {N, K::KIND, offsetof(qf_PricingData, FIELD)}
const FieldRow kFields[] = {
    ROW(1, View, id), ROW(2, F32, price), ROW(3, Sint64, time), ROW(4, View, currency),
    ROW(5, View, exchange), ROW(6, Int32, quoteType), ROW(7, Int32, marketHours),
    ROW(8, F32, changePercent), ROW(9, Sint64, dayVolume), ROW(10, F32, dayHigh),
    ROW(11, F32, dayLow), ROW(12, F32, change), ROW(13, View, shortName),
    ROW(14, Sint64, expireDate), ROW(15, F32, openPrice), ROW(16, F32, previousClose),
    ROW(17, F32, strikePrice), ROW(18, View, underlyingSymbol), ROW(19, Sint64, openInterest),
    ROW(20, Sint64, optionsType), ROW(21, Sint64, miniOption), ROW(22, Sint64, lastSize),
    ROW(23, F32, bid), ROW(24, Sint64, bidSize), ROW(25, F32, ask), ROW(26, Sint64, askSize),
    ROW(27, Sint64, priceHint), ROW(28, Sint64, vol_24hr), ROW(29, Sint64, volAllCurrencies),
    ROW(30, View, fromcurrency), ROW(31, View, lastMarket), ROW(32, F64, circulatingSupply),
    ROW(33, F64, marketcap), ROW(34, View, components), ROW(35, View, indices[0]),
    ROW(36, Sint64, cmcRank), ROW(37, View, underlyingShortname), ROW(38, F32, fiftyTwoWeekChange),
    ROW(39, F32, fiftyTwoWeekChangePercent), ROW(40, F32, latestAmountRaised),
    ROW(41, Sint64, latestFundingDate), ROW(42, View, latestShareClass),
    ROW(43, F32, latestImpliedValuation), ROW(44, F32, ytdReturn), ROW(45, F32, qtdReturn),
    ROW(46, F32, fullDayChange), ROW(47, F32, fullDayChangePercent),
};
#undef ROW

uint32_t wire_type(K k) {
    switch (k) {
    case K::View: return 2;
    case K::F32: return 5;
    case K::F64: return 1;
    default: return 0;
    }
}

// A distinct, sign-carrying value per field so a field filled from the wrong
// tag, or a wrong decoding kind, shows up.
Bytes value_bytes(const FieldRow& f) {
    const int64_t n = f.number;
    switch (f.kind) {
    case K::View: return ld(S("v" + std::to_string(n)));
    case K::F32: return f32(static_cast<float>(n) + 0.25f);
    case K::F64: return f64(-static_cast<double>(n) * 1e300);
    case K::Sint64: return varint(zz(-n * 1000000007LL));
    case K::Int32: return varint(static_cast<uint64_t>(-n));  // ten-byte negative
    }
    return {};
}

template <typename T>
T at(const qf_PricingData& r, size_t off) {
    T v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&r) + off, sizeof v);
    return v;
}

void check_value(const FieldRow& f, const qf_PricingData& r) {
    const int64_t n = f.number;
    const std::string where = "field " + std::to_string(n);
    switch (f.kind) {
    case K::View: CHECK_MSG(view(at<vornstr>(r, f.offset)) == "v" + std::to_string(n), where); break;
    case K::F32: CHECK_MSG(at<float>(r, f.offset) == static_cast<float>(n) + 0.25f, where); break;
    case K::F64: CHECK_MSG(at<double>(r, f.offset) == -static_cast<double>(n) * 1e300, where); break;
    case K::Sint64: CHECK_MSG(at<int64_t>(r, f.offset) == -n * 1000000007LL, where); break;
    case K::Int32: CHECK_MSG(at<int32_t>(r, f.offset) == -n, where); break;
    }
}

TEST(every_field_alone) {
    for (const FieldRow& f : kFields) {
        Decoded d(cat({tag(f.number, wire_type(f.kind)), value_bytes(f)}));
        CHECK_EQ(d.rc, 0);
        CHECK_MSG(d.rec.has == uint64_t{1} << (f.number - 1), "field " + std::to_string(f.number));
        check_value(f, d.rec);
        if (f.number == 35) {
            CHECK_EQ(d.rec.indices_n, 1u);
            CHECK_EQ(d.rec.indices_dropped, 0u);
        }
    }
}

TEST(all_fields_in_reverse_order) {
    Bytes wire;
    for (auto it = std::rbegin(kFields); it != std::rend(kFields); ++it) {
        const Bytes one = cat({tag(it->number, wire_type(it->kind)), value_bytes(*it)});
        wire.insert(wire.end(), one.begin(), one.end());
    }
    Decoded d(wire);
    CHECK_EQ(d.rc, 0);
    CHECK_EQ(d.rec.has, (uint64_t{1} << 47) - 1);
    for (const FieldRow& f : kFields) check_value(f, d.rec);
}

TEST(known_numbers_with_other_wire_types_are_skipped) {
    const std::pair<uint32_t, Bytes> payloads[] = {
        {0, varint(5)}, {1, Bytes(8, 0x11)}, {2, ld(S("xy"))}, {5, Bytes(4, 0x22)}};
    for (const FieldRow& f : kFields) {
        for (const auto& [wt, payload] : payloads) {
            if (wt == wire_type(f.kind)) continue;
            Decoded d(cat({tag(f.number, wt), payload}));
            CHECK_MSG(d.rc == 0 && d.rec.has == 0,
                      "field " + std::to_string(f.number) + " wt " + std::to_string(wt));
        }
    }
}

TEST(edge_cases_from_the_wire_rules) {
    struct Row {
        const char* what;
        Bytes in;
        int rc;
        uint64_t has;
    };
    const Row rows[] = {
        {"empty", B({}), 0, 0},
        {"id ABC", B({0x0A, 0x03, 0x41, 0x42, 0x43}), 0, 1},
        {"tag 8 skipped", B({0x08, 0x96, 0x01}), 0, 0},
        {"tag 11 group", B({0x0B, 0x00}), -1, 0},
        {"field 0 varint", B({0x00, 0x00}), -1, 0},
        {"field 0 fixed64", cat({B({0x01}), Bytes(8, 0)}), -1, 0},
        {"field 0 length", B({0x02, 0x00}), -1, 0},
        {"field 0 fixed32", cat({B({0x05}), Bytes(4, 0)}), -1, 0},
        {"field 0 over-long tag", B({0x82, 0x80, 0x00, 0x00}), -1, 0},
        {"tag 2^32", B({0x80, 0x80, 0x80, 0x80, 0x10, 0x00}), -1, 0},
        {"tag cut short", B({0x8A}), -1, 0},
        {"largest field number, varint", cat({varint(0xFFFFFFF8u), varint(1)}), 0, 0},
        {"largest field number, wt 7", cat({varint(0xFFFFFFFFu)}), -1, 0},
        {"unknown wt 6", cat({tag(48, 6), Bytes(8, 0)}), -1, 0},
        {"unknown wt 3", cat({tag(100, 3), Bytes(8, 0)}), -1, 0},
        {"unknown wt 4", cat({tag(100, 4)}), -1, 0},
        {"unknown fixed64 short", cat({tag(100, 1), Bytes(7, 0)}), -1, 0},
        {"unknown fixed32 short", cat({tag(100, 5), Bytes(3, 0)}), -1, 0},
        {"unknown fields around id", cat({tag(99, 0), varint(1), tag(1, 2), ld(S("x")), tag(98, 1), Bytes(8, 0)}), 0, 1},
        {"price cut short", B({0x15, 0x00, 0x00, 0x80}), -1, 0},
        {"double cut short", B({0x81, 0x02, 0, 0, 0, 0, 0, 0, 0x04}), -1, 0},
        {"view one past", B({0x0A, 0x04, 'a', 'b', 'c'}), -1, 0},
        {"view exact", B({0x0A, 0x03, 'a', 'b', 'c'}), 0, 1},
        {"sint64 cut short", B({0x18, 0x80}), -1, 0},
    };
    for (const Row& r : rows) {
        Decoded d(r.in);
        CHECK_MSG(d.rc == r.rc, r.what);
        if (r.rc == 0) CHECK_MSG(d.rec.has == r.has, r.what);
    }
}

TEST(documented_values) {
    {
        Decoded d(B({0x0A, 0x03, 0x41, 0x42, 0x43}));
        CHECK(view(d.rec.id) == "ABC");
        CHECK(d.rec.id.p == d.buf.p() + 2);  // a view, not a copy
    }
    {
        Decoded d(B({0x18, 0x01}));
        CHECK_EQ(d.rec.time, int64_t{-1});
        CHECK_EQ(d.rec.has, uint64_t{4});
        Decoded e(B({0x18, 0x02}));
        CHECK_EQ(e.rec.time, int64_t{1});
    }
    {
        Decoded d(B({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
        CHECK_EQ(d.rc, 0);
        CHECK_EQ(d.rec.quoteType, -1);
        // int32 keeps the low 32 bits, no zigzag.
        Decoded e(cat({tag(7, 0), varint(0x1'8000'0000ull)}));
        CHECK_EQ(e.rec.marketHours, std::numeric_limits<int32_t>::min());
        Decoded f(cat({tag(6, 0), varint(3)}));
        CHECK_EQ(f.rec.quoteType, 3);
    }
    {
        Decoded d(B({0x15, 0x00, 0x00, 0x80, 0x3F}));
        CHECK(d.rec.price == 1.0f);
        CHECK_EQ(d.rec.has, uint64_t{2});
    }
    {
        Decoded d(B({0x81, 0x02, 0, 0, 0, 0, 0, 0, 0x04, 0x40}));
        CHECK_EQ(d.rc, 0);
        CHECK(d.rec.circulatingSupply == 2.5);
        CHECK_EQ(d.rec.has, uint64_t{1} << 31);
    }
}

TEST(indices_capacity) {
    for (int count : {0, 1, 15, 16, 17, 20, 40}) {
        Bytes wire;
        for (int k = 0; k < count; ++k) {
            const Bytes one = cat({tag(35, 2), ld(S("IX" + std::to_string(k)))});
            wire.insert(wire.end(), one.begin(), one.end());
        }
        Decoded d(wire);
        CHECK_EQ(d.rc, 0);
        const uint32_t kept = count < 16 ? count : 16;
        CHECK_EQ(d.rec.indices_n, kept);
        CHECK_EQ(d.rec.indices_dropped, static_cast<uint32_t>(count) - kept);
        CHECK_EQ(_has(d.rec.has, 34), count > 0 ? 1 : 0);
        for (uint32_t k = 0; k < kept; ++k) {
            CHECK_MSG(view(d.rec.indices[k]) == "IX" + std::to_string(k), std::to_string(count));
        }
    }
}

TEST(indices_interleaved_with_other_fields) {
    Bytes wire = cat({tag(35, 2), ld(S("a")), tag(1, 2), ld(S("id")), tag(35, 2), ld(S("")),
                      tag(2, 5), f32(3.0f), tag(35, 2), ld(S("c"))});
    Decoded d(wire);
    CHECK_EQ(d.rc, 0);
    CHECK_EQ(d.rec.indices_n, 3u);
    CHECK(view(d.rec.indices[0]) == "a");
    CHECK(view(d.rec.indices[1]).empty());
    CHECK(view(d.rec.indices[2]) == "c");
    CHECK(view(d.rec.id) == "id");
}

TEST(last_occurrence_wins) {
    Decoded d(cat({tag(2, 5), f32(1.5f), tag(1, 2), ld(S("first")), tag(3, 0), varint(zz(-7)),
                   tag(32, 1), f64(1.0), tag(6, 0), varint(9), tag(2, 5), f32(2.5f),
                   tag(1, 2), ld(S("second")), tag(3, 0), varint(zz(8)), tag(32, 1), f64(-2.0),
                   tag(6, 0), varint(4)}));
    CHECK_EQ(d.rc, 0);
    CHECK(d.rec.price == 2.5f);
    CHECK(view(d.rec.id) == "second");
    CHECK_EQ(d.rec.time, int64_t{8});
    CHECK(d.rec.circulatingSupply == -2.0);
    CHECK_EQ(d.rec.quoteType, 4);
}

TEST(failure_keeps_earlier_fields) {
    Decoded d(cat({tag(1, 2), ld(S("ok")), tag(3, 0), varint(2), tag(2, 5), B({0x00, 0x00})}));
    CHECK_EQ(d.rc, -1);
    CHECK(view(d.rec.id) == "ok");
    CHECK_EQ(d.rec.time, int64_t{1});
    CHECK_EQ(d.rec.has, uint64_t{1 | 4});
}

TEST(decode_zeroes_but_decode_into_only_sets) {
    qf_PricingData r;
    std::memset(&r, 0xAB, sizeof r);
    r.has = uint64_t{1} << 2;
    const Bytes price = cat({tag(2, 5), f32(4.0f)});
    CHECK_EQ(qf_PricingData_decode_into(price.data(), price.size(), &r), 0);
    CHECK_EQ(r.has, uint64_t{2 | 4});
    CHECK(r.price == 4.0f);
    CHECK_EQ(r.indices_n, 0xABABABABu);  // untouched

    CHECK_EQ(qf_PricingData_decode(price.data(), price.size(), &r), 0);
    CHECK_EQ(r.has, uint64_t{2});
    CHECK_EQ(r.time, int64_t{0});
    CHECK_EQ(r.indices_n, 0u);
    CHECK(r.id.p == nullptr && r.id.n == 0);
}

TEST(truncation_at_every_length_fails_cleanly) {
    // Every prefix of a message made of whole fields either decodes (when it
    // ends on a field boundary) or fails; none reads past its end (ASan).
    Bytes wire;
    std::vector<size_t> boundaries{0};
    for (const FieldRow& f : kFields) {
        const Bytes one = cat({tag(f.number, wire_type(f.kind)), value_bytes(f)});
        wire.insert(wire.end(), one.begin(), one.end());
        boundaries.push_back(wire.size());
    }
    for (size_t len = 0; len <= wire.size(); ++len) {
        Decoded d(Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(len)));
        const bool boundary = std::find(boundaries.begin(), boundaries.end(), len) != boundaries.end();
        CHECK_MSG(d.rc == (boundary ? 0 : -1), "prefix " + std::to_string(len));
    }
}

// ---------------------------------------------------------------------------
// vorn_json_str_value
// ---------------------------------------------------------------------------

struct JsonRow {
    const char* what;
    std::string in;
    int rc;
    std::string value;
};

void check_json_rows(const std::vector<JsonRow>& rows) {
    for (const JsonRow& r : rows) {
        Heap h(S(r.in));
        vornstr out{nullptr, 0};
        const int rc = vorn_json_str_value(h.p(), h.n, "message", 7, &out);
        CHECK_MSG(rc == r.rc, r.what);
        if (rc == 0 && r.rc == 0) CHECK_MSG(view(out) == r.value, r.what);
    }
}

TEST(envelope_scan) {
    check_json_rows({
        {"plain", R"({"message":"CgNBQkM="})", 0, "CgNBQkM="},
        {"whitespace", "{ \"message\" \t\r\n:\n\t \"CgNBQkM=\" }", 0, "CgNBQkM="},
        {"after other members", R"({"a":1,"b":[true,null],"message":"xy"})", 0, "xy"},
        {"nested", R"({"data":{"inner":{"message":"deep"}}})", 0, "deep"},
        {"quoted word without colon", R"({"type":"message","message":"CgNBQkM="})", 0, "CgNBQkM="},
        {"key inside a value", R"({"x":"\"message\":\"no\"","message":"yes"})", 0, "yes"},
        {"empty value", R"({"message":""})", 0, ""},
        {"escapes kept raw", R"({"message":"a\"b\\\/c"})", 0, R"(a\"b\\\/c)"},
        {"escaped backslash before close", R"({"message":"ab\\"})", 0, R"(ab\\)"},
        {"first match wins", R"({"message":"one","message":"two"})", 0, "one"},
        {"number", R"({"message":5,"message":"late"})", -5, ""},
        {"null", R"({"message":null})", -5, ""},
        {"object", R"({"message":{"message":"x"}})", -5, ""},
        {"missing", R"({"msg":"CgNBQkM="})", -5, ""},
        {"longer key", R"({"messages":"x"})", -5, ""},
        {"other case", R"({"Message":"x"})", -5, ""},
        {"empty payload", "", -5, ""},
        {"unterminated value", R"({"message":"CgNB)", -5, ""},
        {"escaped final quote", R"({"message":"CgNB\")", -5, ""},
        {"ends after colon", R"({"message":)", -5, ""},
        {"ends after ws", "{\"message\": \t", -5, ""},
        {"ends after key", R"({"message")", -5, ""},
        {"key cut short", R"({"messag)", -5, ""},
        {"form feed is not whitespace", "{\"message\"\f:\"x\"}", -5, ""},
        {"lone backslash at end", "{\"a\":\"\\", -5, ""},
        {"just a quote", "\"", -5, ""},
    });
}

// Literal byte-at-a-time transcription of the scan rules, to hold the
// memchr-based scanner to.
int reference_scan(const uint8_t* b, size_t n, const char* key, size_t klen, vornstr* out) {
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
                if (j >= n || b[j] != '"') return -5;
                size_t k = j + 1;
                while (k < n && b[k] != '"') k += (b[k] == '\\') ? 2 : 1;
                if (k >= n) return -5;
                out->p = b + j + 1;
                out->n = static_cast<uint32_t>(k - j - 1);
                return 0;
            }
        }
        size_t k = i + 1;
        while (k < n && b[k] != '"') k += (b[k] == '\\') ? 2 : 1;
        i = k < n ? k + 1 : n;
    }
    return -5;
}

TEST(envelope_scan_matches_reference_on_random_text) {
    const char* pieces[] = {"\"", "\\", ":", " ", "\t", "message", "\"message\"", "\\\"", "x", "{", "}", "\n", "5"};
    std::mt19937 rng(20240611);
    for (int round = 0; round < 100000; ++round) {
        std::string s;
        const int len = static_cast<int>(rng() % 12);
        for (int k = 0; k < len; ++k) s += pieces[rng() % std::size(pieces)];
        Heap h(S(s));
        vornstr a{nullptr, 0}, b{nullptr, 0};
        const int ra = vorn_json_str_value(h.p(), h.n, "message", 7, &a);
        const int rb = reference_scan(h.p(), h.n, "message", 7, &b);
        CHECK_MSG(ra == rb, s);
        if (ra == 0 && rb == 0) CHECK_MSG(a.p == b.p && a.n == b.n, s);
        if (harness::failures > 20) return;
    }
}

// ---------------------------------------------------------------------------
// base64
// ---------------------------------------------------------------------------

int expected_b64val(int c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

TEST(b64val_all_bytes) {
    for (int c = 0; c < 256; ++c) CHECK_MSG(_b64val(static_cast<uint8_t>(c)) == expected_b64val(c), std::to_string(c));
}

struct B64Row {
    const char* what;
    std::string in;
    int rc;
    Bytes out;
};

TEST(b64_cases) {
    const Bytes abc = B({0x0A, 0x03, 0x41, 0x42, 0x43});
    const B64Row rows[] = {
        {"padded", "CgNBQkM=", 5, abc},
        {"unpadded", "CgNBQkM", 5, abc},
        {"junk after '='", "CgNBQkM=!!\\ \x80", 5, abc},
        {"everything after first '='", "Cg==NBQkM", 1, B({0x0A})},
        {"leading '='", "=CgNB", 0, {}},
        {"standard alphabet", "+/8=", 2, B({0xFB, 0xFF})},
        {"url-safe alphabet", "-_8=", 2, B({0xFB, 0xFF})},
        {"mixed alphabets", "-/+_", 3, B({0xFB, 0xFF, 0xBF})},
        {"escaped slash", "\\/w==", 1, B({0xFF})},
        {"escaped slash mid-quad", "A\\/\\/A", 3, B({0x03, 0xFF, 0xC0})},
        {"escaped newline", "Cg\\nA", -4, {}},
        {"backslash at end", "CgN\\", -4, {}},
        {"backslash then other", "\\\\", -4, {}},
        {"space", "Cg NB", -4, {}},
        {"quote", "Cg\"B", -4, {}},
        {"high byte", "Cg\xC3\xA9", -4, {}},
        {"one char", "Q", 0, {}},
        {"two chars", "QQ", 1, B({0x41})},
        {"three chars", "QUI", 2, B({0x41, 0x42})},
        {"empty", "", 0, {}},
    };
    for (const B64Row& r : rows) {
        Heap src(S(r.in));
        Heap dst(Bytes(src.n, 0xEE));  // exactly n bytes of room
        const vorn_ssize_t m = vorn_b64_decode(src.p(), src.n, dst.mem.get());
        CHECK_MSG(m == r.rc, r.what);
        if (m >= 0 && m == r.rc) {
            CHECK_MSG(Bytes(dst.p(), dst.p() + m) == r.out, r.what);
        }
    }
}

std::string b64_encode(const Bytes& in, const char* alphabet, bool pad) {
    std::string out;
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const uint32_t q = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += alphabet[(q >> s) & 63];
    }
    const size_t rest = in.size() - i;
    if (rest > 0) {
        uint32_t q = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
        out += alphabet[(q >> 18) & 63];
        out += alphabet[(q >> 12) & 63];
        if (rest == 2) out += alphabet[(q >> 6) & 63];
        if (pad) out += rest == 2 ? "=" : "==";
    }
    return out;
}

TEST(b64_round_trip_random) {
    const char* std_abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* url_abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::mt19937 rng(7);
    for (int round = 0; round < 5000; ++round) {
        Bytes data(rng() % 70);
        for (uint8_t& c : data) c = static_cast<uint8_t>(rng());
        std::string text = b64_encode(data, (round & 1) ? url_abc : std_abc, (round & 2) != 0);
        if (round & 4) {  // JSON-escape the slashes
            std::string esc;
            for (char c : text) esc += (c == '/') ? std::string("\\/") : std::string(1, c);
            text = esc;
        }
        Heap src(S(text));
        Heap dst(Bytes(src.n, 0));
        const vorn_ssize_t m = vorn_b64_decode(src.p(), src.n, dst.mem.get());
        CHECK_EQ(m, static_cast<vorn_ssize_t>(data.size()));
        if (m == static_cast<vorn_ssize_t>(data.size())) {
            CHECK_MSG(Bytes(dst.p(), dst.p() + m) == data, text);
        }
    }
}

// ---------------------------------------------------------------------------
// vorn_frame_decode
// ---------------------------------------------------------------------------

struct Scratch {
    uint8_t* p = nullptr;
    size_t cap = 0;
    ~Scratch() { std::free(p); }
};

TEST(frame_results) {
    const struct {
        const char* what;
        std::string in;
        int rc;
        uint64_t has;
    } rows[] = {
        {"id ABC", R"({"message":"CgNBQkM="})", 0, 1},
        {"empty value", R"({"message":""})", 0, 0},
        {"no member", R"({"type":"pricing"})", -5, 0},
        {"not a string", R"({"message":null})", -5, 0},
        {"bad base64", R"({"message":"Cg\nNB"})", -4, 0},
        {"cut-short float", R"({"message":"FQAAgA=="})", -1, 0},
        {"escaped slash", R"({"message":"CgH\/"})", 0, 1},
    };
    for (const auto& r : rows) {
        Scratch s;
        qf_PricingData rec;
        Heap in(S(r.in));
        const int rc = vorn_frame_decode(in.p(), in.n, &s.p, &s.cap, &rec);
        CHECK_MSG(rc == r.rc, r.what);
        if (rc == 0) CHECK_MSG(rec.has == r.has, r.what);
    }
}

TEST(frame_scratch_growth) {
    Scratch s;
    s.p = static_cast<uint8_t*>(std::malloc(4096));
    s.cap = 4096;
    qf_PricingData rec;
    auto frame = [](size_t chars) { return "{\"message\":\"" + std::string(chars, 'A') + "\"}"; };

    Heap fits(S(frame(4092)));
    uint8_t* const first = s.p;
    CHECK_EQ(vorn_frame_decode(fits.p(), fits.n, &s.p, &s.cap, &rec), -1);  // zeros: tag 0
    CHECK(s.p == first);
    CHECK_EQ(s.cap, size_t{4096});

    Heap big(S(frame(4093)));
    vorn_frame_decode(big.p(), big.n, &s.p, &s.cap, &rec);
    CHECK_EQ(s.cap, size_t{4097});

    Heap bigger(S(frame(10000)));
    vorn_frame_decode(bigger.p(), bigger.n, &s.p, &s.cap, &rec);
    CHECK_EQ(s.cap, size_t{10004});
    uint8_t* const grown = s.p;

    Heap small(S(R"({"message":"CgNBQkM="})"));
    CHECK_EQ(vorn_frame_decode(small.p(), small.n, &s.p, &s.cap, &rec), 0);
    CHECK(s.p == grown);
    CHECK_EQ(s.cap, size_t{10004});
    CHECK(view(rec.id) == "ABC");
    CHECK(rec.id.p >= s.p && rec.id.p < s.p + s.cap);  // views live in the scratch

    // A failed envelope scan does not touch the buffer.
    Heap none(S("{}"));
    CHECK_EQ(vorn_frame_decode(none.p(), none.n, &s.p, &s.cap, &rec), -5);
    CHECK_EQ(s.cap, size_t{10004});
}

TEST(frame_starts_from_no_buffer) {
    Scratch s;
    qf_PricingData rec;
    Heap in(S(R"({"message":"CgNBQkM"})"));
    CHECK_EQ(vorn_frame_decode(in.p(), in.n, &s.p, &s.cap, &rec), 0);
    CHECK(s.p != nullptr);
    CHECK_EQ(s.cap, size_t{11});
}

}  // namespace

HARNESS_MAIN
