// Quote decoding: the PricingData record, its protobuf wire reader, the
// JSON envelope scanner, the base64 decoder and the record -> dict builder.
//
// Everything below the Python section is plain C++ that never allocates and
// never reads at or past `end`, so it can be unit-tested and fuzzed without an
// interpreter (define VORNPROTO_NO_PYTHON to leave the Python half out).
#pragma once

#ifndef VORNPROTO_NO_PYTHON
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Everything lives in the project's namespace: the decoder's short helper
// names begin with an underscore, which C++ reserves at global scope.
namespace vorn {

#ifdef VORNPROTO_NO_PYTHON
using vorn_ssize_t = std::ptrdiff_t;
#else
using vorn_ssize_t = Py_ssize_t;
#endif

inline constexpr int VORN_INDICES_MAX = 16;

// ---------------------------------------------------------------------------
// The PricingData fields: the one place that names them
// ---------------------------------------------------------------------------
//
// X(name, number, tag, wire, value), in field-number order; a field's
// presence bit is its number minus one.  `name` is the record member and the
// key of the dict and of the column.
//   wire   how the value is read: VIEW (length-delimited, a borrowed view),
//          VIEWS (the same, repeated: appended, at most VORN_INDICES_MAX kept,
//          the rest counted), FIXED32 (float), FIXED64 (double), SINT64
//          (zigzag varint), INT32 (varint, low 32 bits, no zigzag).
//   value  the kind of value: what the record holds, what Python sees and
//          the Arrow column type, one FieldTraits entry each: Str (vornstr
//          -> str, utf8), List (vornstr[] -> list of str, list<utf8>), F32
//          (float -> float, float64), F64 (double -> float, float64), I64
//          (int64_t -> int, int64), I32 (int32_t -> int, int32), and EpochMs
//          for a time in milliseconds since the epoch (int64_t -> int in the
//          dict as on the wire, timestamp[ms, UTC] in Arrow). A time whose
//          unit nothing tells (latestFundingDate) stays I64, and so does
//          expireDate (seconds): Parquet and polars hold no seconds and would
//          scale it to milliseconds, which overflows for a wild wire value
//          and would fail a whole export.
// The record, the tag switch, the dict keys and the column builders are all
// generated from this table; the tag is spelled out so it can be checked
// against a wire dump, and a static_assert below checks it.
#define VORN_PRICINGDATA_FIELDS(X)                              \
    X(id,                         1,  10, VIEW,    Str)         \
    X(price,                      2,  21, FIXED32, F32)         \
    X(time,                       3,  24, SINT64,  EpochMs)     \
    X(currency,                   4,  34, VIEW,    Str)         \
    X(exchange,                   5,  42, VIEW,    Str)         \
    X(quoteType,                  6,  48, INT32,   I32)         \
    X(marketHours,                7,  56, INT32,   I32)         \
    X(changePercent,              8,  69, FIXED32, F32)         \
    X(dayVolume,                  9,  72, SINT64,  I64)         \
    X(dayHigh,                   10,  85, FIXED32, F32)         \
    X(dayLow,                    11,  93, FIXED32, F32)         \
    X(change,                    12, 101, FIXED32, F32)         \
    X(shortName,                 13, 106, VIEW,    Str)         \
    X(expireDate,                14, 112, SINT64,  I64)         \
    X(openPrice,                 15, 125, FIXED32, F32)         \
    X(previousClose,             16, 133, FIXED32, F32)         \
    X(strikePrice,               17, 141, FIXED32, F32)         \
    X(underlyingSymbol,          18, 146, VIEW,    Str)         \
    X(openInterest,              19, 152, SINT64,  I64)         \
    X(optionsType,               20, 160, SINT64,  I64)         \
    X(miniOption,                21, 168, SINT64,  I64)         \
    X(lastSize,                  22, 176, SINT64,  I64)         \
    X(bid,                       23, 189, FIXED32, F32)         \
    X(bidSize,                   24, 192, SINT64,  I64)         \
    X(ask,                       25, 205, FIXED32, F32)         \
    X(askSize,                   26, 208, SINT64,  I64)         \
    X(priceHint,                 27, 216, SINT64,  I64)         \
    X(vol_24hr,                  28, 224, SINT64,  I64)         \
    X(volAllCurrencies,          29, 232, SINT64,  I64)         \
    X(fromcurrency,              30, 242, VIEW,    Str)         \
    X(lastMarket,                31, 250, VIEW,    Str)         \
    X(circulatingSupply,         32, 257, FIXED64, F64)         \
    X(marketcap,                 33, 265, FIXED64, F64)         \
    X(components,                34, 274, VIEW,    Str)         \
    X(indices,                   35, 282, VIEWS,   List)        \
    X(cmcRank,                   36, 288, SINT64,  I64)         \
    X(underlyingShortname,       37, 298, VIEW,    Str)         \
    X(fiftyTwoWeekChange,        38, 309, FIXED32, F32)         \
    X(fiftyTwoWeekChangePercent, 39, 317, FIXED32, F32)         \
    X(latestAmountRaised,        40, 325, FIXED32, F32)         \
    X(latestFundingDate,         41, 328, SINT64,  I64)         \
    X(latestShareClass,          42, 338, VIEW,    Str)         \
    X(latestImpliedValuation,    43, 349, FIXED32, F32)         \
    X(ytdReturn,                 44, 357, FIXED32, F32)         \
    X(qtdReturn,                 45, 365, FIXED32, F32)         \
    X(fullDayChange,             46, 373, FIXED32, F32)         \
    X(fullDayChangePercent,      47, 381, FIXED32, F32)

#define VORN_COUNT_FIELD(NAME, NUM, TAG, WIRE, VALUE) +1
inline constexpr int VORN_FIELD_COUNT = 0 VORN_PRICINGDATA_FIELDS(VORN_COUNT_FIELD);
#undef VORN_COUNT_FIELD
static_assert(VORN_FIELD_COUNT <= 64, "one presence bit per field in a uint64_t");

// Protobuf wire type of each way of reading a value.
inline constexpr uint32_t VORN_WT_VIEW = 2;
inline constexpr uint32_t VORN_WT_VIEWS = 2;
inline constexpr uint32_t VORN_WT_FIXED32 = 5;
inline constexpr uint32_t VORN_WT_FIXED64 = 1;
inline constexpr uint32_t VORN_WT_SINT64 = 0;
inline constexpr uint32_t VORN_WT_INT32 = 0;

#define VORN_CHECK_TAG(NAME, NUM, TAG, WIRE, VALUE)                         \
    static_assert(((NUM) << 3 | VORN_WT_##WIRE) == (TAG), #NAME ": tag is not number << 3 | wire type");
VORN_PRICINGDATA_FIELDS(VORN_CHECK_TAG)
#undef VORN_CHECK_TAG

// Field numbers run 1, 2, 3, ... so that the presence bit is number - 1.
#define VORN_FIELD_NUMBER(NAME, NUM, TAG, WIRE, VALUE) NUM,
inline constexpr int vorn_field_numbers[] = {VORN_PRICINGDATA_FIELDS(VORN_FIELD_NUMBER)};
#undef VORN_FIELD_NUMBER
inline constexpr bool vorn_numbers_dense() {
    for (int i = 0; i < VORN_FIELD_COUNT; ++i) {
        if (vorn_field_numbers[i] != i + 1) return false;
    }
    return true;
}
static_assert(vorn_numbers_dense(), "the table lists fields 1, 2, 3, ... in order");

// ---------------------------------------------------------------------------
// Records and result codes
// ---------------------------------------------------------------------------

// Borrowed bytes inside the buffer that was decoded; owns nothing and is not
// NUL-terminated.
struct vornstr {
    const uint8_t* p;
    uint32_t n;
};

#define VORN_MEMBER_Str(N) vornstr N;
#define VORN_MEMBER_F32(N) float N;
#define VORN_MEMBER_F64(N) double N;
#define VORN_MEMBER_I64(N) int64_t N;
#define VORN_MEMBER_I32(N) int32_t N;
#define VORN_MEMBER_EpochMs(N) int64_t N;
// The repeated field keeps its views in bounded storage, so the record stays
// fixed-size, with how many are stored and how many did not fit.
#define VORN_MEMBER_List(N) \
    vornstr N[VORN_INDICES_MAX]; \
    uint32_t N##_n;              \
    uint32_t N##_dropped;
#define VORN_MEMBER(NAME, NUM, TAG, WIRE, VALUE) VORN_MEMBER_##VALUE(NAME)

struct qf_PricingData {
    uint64_t has;
    VORN_PRICINGDATA_FIELDS(VORN_MEMBER)
};

inline constexpr int VORN_OK = 0;
inline constexpr int VORN_ERR_WIRE = -1;
inline constexpr int VORN_ERR_REQUIRED = -2;
inline constexpr int VORN_ERR_NOMEM = -3;
inline constexpr int VORN_ERR_B64 = -4;
inline constexpr int VORN_ERR_JSON = -5;

// ---------------------------------------------------------------------------
// Protobuf readers: 0 on success, VORN_ERR_WIRE otherwise.  On failure the
// cursor and the output are unspecified; callers drop the whole message.
// ---------------------------------------------------------------------------

inline int _varint(const uint8_t* b, size_t* pos, size_t end, uint64_t* out) {
    size_t p = *pos;
    uint64_t r = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (p >= end) {
            return VORN_ERR_WIRE;
        }
        const uint8_t c = b[p++];
        // Unsigned shift: for the tenth byte only bit 0 lands (as bit 63).
        r |= uint64_t(c & 0x7Fu) << (7u * i);
        if (c < 0x80u) {
            *out = r;
            *pos = p;
            return VORN_OK;
        }
    }
    return VORN_ERR_WIRE;
}

inline int64_t _zigzag(uint64_t v) {
    return static_cast<int64_t>((v >> 1) ^ (uint64_t{0} - (v & 1u)));
}

inline int _lenspan(const uint8_t* b, size_t* pos, size_t end, vornstr* out) {
    uint64_t len;
    if (_varint(b, pos, end, &len) != VORN_OK) {
        return VORN_ERR_WIRE;
    }
    // Compare against what is left rather than computing pos + len, which
    // could wrap for a hostile length.
    if (len > end - *pos || len > 0xFFFFFFFFu) {
        return VORN_ERR_WIRE;
    }
    out->p = b + *pos;
    out->n = static_cast<uint32_t>(len);
    *pos += static_cast<size_t>(len);
    return VORN_OK;
}

inline int _rd_f32(const uint8_t* b, size_t* pos, size_t end, float* out) {
    const size_t p = *pos;
    if (p > end || end - p < 4) {
        return VORN_ERR_WIRE;
    }
    const uint32_t bits = uint32_t(b[p]) | uint32_t(b[p + 1]) << 8 |
                          uint32_t(b[p + 2]) << 16 | uint32_t(b[p + 3]) << 24;
    std::memcpy(out, &bits, sizeof bits);
    *pos = p + 4;
    return VORN_OK;
}

inline int _rd_f64(const uint8_t* b, size_t* pos, size_t end, double* out) {
    const size_t p = *pos;
    if (p > end || end - p < 8) {
        return VORN_ERR_WIRE;
    }
    uint64_t bits = 0;
    for (unsigned k = 0; k < 8; ++k) {
        bits |= uint64_t(b[p + k]) << (8u * k);
    }
    std::memcpy(out, &bits, sizeof bits);
    *pos = p + 8;
    return VORN_OK;
}

inline int _skip(uint32_t wt, const uint8_t* b, size_t* pos, size_t end) {
    switch (wt) {
    case 0: {
        uint64_t ignored;
        return _varint(b, pos, end, &ignored);
    }
    case 1:
        if (*pos > end || end - *pos < 8) {
            return VORN_ERR_WIRE;
        }
        *pos += 8;
        return VORN_OK;
    case 2: {
        vornstr ignored;
        return _lenspan(b, pos, end, &ignored);
    }
    case 5:
        if (*pos > end || end - *pos < 4) {
            return VORN_ERR_WIRE;
        }
        *pos += 4;
        return VORN_OK;
    default:  // groups (3, 4) and the unassigned 6, 7
        return VORN_ERR_WIRE;
    }
}

inline int _rd_sint64(const uint8_t* b, size_t* pos, size_t end, int64_t* out) {
    uint64_t v;
    if (_varint(b, pos, end, &v) != VORN_OK) {
        return VORN_ERR_WIRE;
    }
    *out = _zigzag(v);
    return VORN_OK;
}

inline int _rd_int32(const uint8_t* b, size_t* pos, size_t end, int32_t* out) {
    uint64_t v;
    if (_varint(b, pos, end, &v) != VORN_OK) {
        return VORN_ERR_WIRE;
    }
    *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return VORN_OK;
}

// One more entry of a repeated string field.  Bounded storage keeps the
// record fixed-size; the overflow is counted so a caller can tell that
// entries were left out.
inline int _rd_views(const uint8_t* b, size_t* pos, size_t end, vornstr* slots, uint32_t* stored,
                     uint32_t* dropped) {
    vornstr s;
    if (_lenspan(b, pos, end, &s) != VORN_OK) {
        return VORN_ERR_WIRE;
    }
    if (*stored < VORN_INDICES_MAX) {
        slots[(*stored)++] = s;
    } else {
        ++*dropped;
    }
    return VORN_OK;
}

inline int _has(uint64_t mask, int bit) {
    return static_cast<int>((mask >> bit) & 1u);
}

// Fields are only ever set: the caller decides whether the record starts out
// zeroed (qf_PricingData_decode) or already holds values.
inline int qf_PricingData_decode_into(const uint8_t* b, size_t n, qf_PricingData* o) {
    size_t pos = 0;
    while (pos < n) {
        uint64_t tag;
        if (_varint(b, &pos, n, &tag) != VORN_OK || tag > 0xFFFFFFFFu) {
            return VORN_ERR_WIRE;
        }
        // Each known field has exactly one accepted wire type, so the whole
        // tag is the dispatch key; the same field number with any other wire
        // type falls through to the skip below.
        switch (tag) {
#define VORN_READ_VIEW(F) _lenspan(b, &pos, n, &o->F)
#define VORN_READ_VIEWS(F) _rd_views(b, &pos, n, o->F, &o->F##_n, &o->F##_dropped)
#define VORN_READ_FIXED32(F) _rd_f32(b, &pos, n, &o->F)
#define VORN_READ_FIXED64(F) _rd_f64(b, &pos, n, &o->F)
#define VORN_READ_SINT64(F) _rd_sint64(b, &pos, n, &o->F)
#define VORN_READ_INT32(F) _rd_int32(b, &pos, n, &o->F)
#define VORN_CASE(NAME, NUM, TAG, WIRE, VALUE)          \
        case TAG:                                       \
            if (VORN_READ_##WIRE(NAME) != VORN_OK) {    \
                return VORN_ERR_WIRE;                   \
            }                                           \
            o->has |= uint64_t{1} << ((NUM) - 1);       \
            break;
            VORN_PRICINGDATA_FIELDS(VORN_CASE)
#undef VORN_CASE
#undef VORN_READ_INT32
#undef VORN_READ_SINT64
#undef VORN_READ_FIXED64
#undef VORN_READ_FIXED32
#undef VORN_READ_VIEWS
#undef VORN_READ_VIEW
        default:
            if ((tag >> 3) == 0) {
                return VORN_ERR_WIRE;
            }
            if (_skip(static_cast<uint32_t>(tag & 7u), b, &pos, n) != VORN_OK) {
                return VORN_ERR_WIRE;
            }
            break;
        }
    }
    return VORN_OK;
}

inline int qf_PricingData_decode(const uint8_t* b, size_t n, qf_PricingData* o) {
    std::memset(o, 0, sizeof *o);
    return qf_PricingData_decode_into(b, n, o);
}

// ---------------------------------------------------------------------------
// JSON envelope scan and base64
// ---------------------------------------------------------------------------

// Index of the first unescaped '"' at or after `i` (a backslash steps over
// the byte after it), or `n` if there is none.  memchr does the walking; a
// quote is escaped exactly when an odd run of backslashes precedes it.  The
// run never reaches back past `i` because every caller starts right after an
// opening quote.
inline size_t _vorn_str_end(const uint8_t* b, size_t i, size_t n) {
    while (i < n) {
        const void* hit = std::memchr(b + i, '"', n - i);
        if (hit == nullptr) {
            return n;
        }
        const size_t q = static_cast<size_t>(static_cast<const uint8_t*>(hit) - b);
        size_t run = 0;
        while (q - run > i && b[q - run - 1] == '\\') {
            ++run;
        }
        if ((run & 1u) == 0) {
            return q;
        }
        i = q + 1;
    }
    return n;
}

inline bool _vorn_ws(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A byte scanner, not a parser: finds the first `"key"` followed by a colon
// and returns the raw bytes of its string value, escapes untouched.
inline int vorn_json_str_value(const uint8_t* b, size_t n, const char* key, size_t klen,
                               vornstr* out) {
    size_t i = 0;
    while (i < n) {
        const void* hit = std::memchr(b + i, '"', n - i);
        if (hit == nullptr) {
            break;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - b);
        if (n - i >= klen + 2 && std::memcmp(b + i + 1, key, klen) == 0 &&
            b[i + klen + 1] == '"') {
            size_t j = i + klen + 2;
            while (j < n && _vorn_ws(b[j])) {
                ++j;
            }
            if (j < n && b[j] == ':') {
                ++j;
                while (j < n && _vorn_ws(b[j])) {
                    ++j;
                }
                if (j >= n || b[j] != '"') {
                    return VORN_ERR_JSON;  // the member is there but not a string
                }
                const size_t start = j + 1;
                const size_t stop = _vorn_str_end(b, start, n);
                // The view keeps its length in 32 bits; refuse rather than
                // hand on a silently shortened text.
                if (stop >= n || stop - start > 0xFFFFFFFFu) {
                    return VORN_ERR_JSON;
                }
                out->p = b + start;
                out->n = static_cast<uint32_t>(stop - start);
                return VORN_OK;
            }
        }
        // Skip the whole string so keys quoted inside other values are not seen.
        const size_t stop = _vorn_str_end(b, i + 1, n);
        i = stop < n ? stop + 1 : n;
    }
    return VORN_ERR_JSON;
}

namespace vorn_detail {
// -1 for every byte outside both alphabets; '+'/'-' and '/'/'_' share values
// so standard and URL-safe text (even mixed) decode alike.
struct B64Table {
    int8_t v[256];
    constexpr B64Table() : v() {
        for (int c = 0; c < 256; ++c) {
            v[c] = -1;
        }
        for (int c = 0; c < 26; ++c) {
            v['A' + c] = static_cast<int8_t>(c);
            v['a' + c] = static_cast<int8_t>(26 + c);
        }
        for (int c = 0; c < 10; ++c) {
            v['0' + c] = static_cast<int8_t>(52 + c);
        }
        v['+'] = v['-'] = 62;
        v['/'] = v['_'] = 63;
    }
};
inline constexpr B64Table b64_table{};
}  // namespace vorn_detail

inline int _b64val(uint8_t c) {
    return vorn_detail::b64_table.v[c];
}

// Writes at most n bytes to dst.  Stops at the first '=' (padding and
// anything after it are ignored), accepts the JSON escape "\/" for '/', and
// drops fewer than 8 leftover bits without complaint.
inline vorn_ssize_t vorn_b64_decode(const uint8_t* src, size_t n, uint8_t* dst) {
    uint32_t acc = 0;
    unsigned bits = 0;
    size_t o = 0;
    size_t i = 0;
    while (i < n) {
        // Whole quads while the accumulator is empty: the common case.
        if (bits == 0 && n - i >= 4) {
            const int a = _b64val(src[i]), b = _b64val(src[i + 1]);
            const int c = _b64val(src[i + 2]), d = _b64val(src[i + 3]);
            if ((a | b | c | d) >= 0) {
                const uint32_t q = uint32_t(a) << 18 | uint32_t(b) << 12 |
                                   uint32_t(c) << 6 | uint32_t(d);
                dst[o] = static_cast<uint8_t>(q >> 16);
                dst[o + 1] = static_cast<uint8_t>(q >> 8);
                dst[o + 2] = static_cast<uint8_t>(q);
                o += 3;
                i += 4;
                continue;
            }
        }
        const uint8_t ch = src[i];
        int val;
        if (ch == '=') {
            break;
        }
        if (ch == '\\') {
            if (i + 1 < n && src[i + 1] == '/') {
                val = 63;
                i += 2;
            } else {
                return VORN_ERR_B64;
            }
        } else {
            val = _b64val(ch);
            if (val < 0) {
                return VORN_ERR_B64;
            }
            i += 1;
        }
        acc = (acc << 6) | static_cast<uint32_t>(val);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            dst[o++] = static_cast<uint8_t>(acc >> bits);
            acc &= (uint32_t{1} << bits) - 1u;
        }
    }
    return static_cast<vorn_ssize_t>(o);
}

// The one path from a text frame to a decoded record, shared by the ticker
// and the public decoder.  *scratch grows (never shrinks) to exactly the
// base64 length + 4; on a failed realloc both it and *scratch_cap stay as
// they were.  Returns VORN_OK, VORN_ERR_WIRE, VORN_ERR_NOMEM, VORN_ERR_B64 or
// VORN_ERR_JSON; `rec` is meaningful only for VORN_OK and its string views
// point into *scratch.  With `message_len`, the length of the message
// decoded into *scratch is stored there (on VORN_OK).
inline int vorn_frame_decode(const uint8_t* b, size_t n, uint8_t** scratch,
                             size_t* scratch_cap, qf_PricingData* rec, size_t* message_len = nullptr) {
    vornstr s;
    if (vorn_json_str_value(b, n, "message", 7, &s) != VORN_OK) {
        return VORN_ERR_JSON;
    }
    const size_t need = static_cast<size_t>(s.n) + 4;
    if (*scratch_cap < need) {
        void* grown = std::realloc(*scratch, need);
        if (grown == nullptr) {
            return VORN_ERR_NOMEM;
        }
        *scratch = static_cast<uint8_t*>(grown);
        *scratch_cap = need;
    }
    vorn_ssize_t m = 0;
    if (s.n > 0) {
        m = vorn_b64_decode(s.p, s.n, *scratch);
        if (m < 0) {
            return static_cast<int>(m);
        }
    }
    if (message_len != nullptr) {
        *message_len = static_cast<size_t>(m);
    }
    return qf_PricingData_decode(*scratch, static_cast<size_t>(m), rec);
}

// ---------------------------------------------------------------------------
// Kinds of field: one traits entry each, and the one walk of a record
// ---------------------------------------------------------------------------

#ifndef VORNPROTO_NO_PYTHON
inline PyObject* _s_value(vornstr s);
#endif

namespace vorn_detail {

#define VORN_KINDS(K) K(Str) K(List) K(F32) K(F64) K(I64) K(I32) K(EpochMs)
#define VORN_KIND_ENUM(K) K,
enum class Kind : uint8_t { VORN_KINDS(VORN_KIND_ENUM) };
#undef VORN_KIND_ENUM

// A repeated field's stored views, as the walk hands them on.
struct ViewList {
    const vornstr* items;
    uint32_t n;
};

// Per kind: `Value`, what the record holds; `Cell`, what a column holds (and
// Python is given); `cell()` from one to the other; `arrow`, the column's C
// data interface format; `width`, a column value's bytes (0: text, with
// offsets); `py()`, the Python object of a cell (a new reference, or NULL
// with an error set).
template <Kind K>
struct FieldTraits;

template <class V, class C, const char* Format>
struct FixedTraits {
    using Value = V;
    using Cell = C;
    static constexpr const char* arrow = Format;
    static constexpr size_t width = sizeof(C);
    static C cell(V v) { return static_cast<C>(v); }
};

inline constexpr char kUtf8[] = "u";
inline constexpr char kListUtf8[] = "+l";
inline constexpr char kFloat64[] = "g";
inline constexpr char kInt64[] = "l";
inline constexpr char kInt32[] = "i";
inline constexpr char kTimestampMs[] = "tsm:UTC";

template <>
struct FieldTraits<Kind::Str> {
    using Value = vornstr;
    using Cell = vornstr;
    static constexpr const char* arrow = kUtf8;
    static constexpr size_t width = 0;
    static vornstr cell(vornstr v) { return v; }
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(vornstr v) { return _s_value(v); }
#endif
};

template <>
struct FieldTraits<Kind::List> {
    using Value = ViewList;
    using Cell = ViewList;
    static constexpr const char* arrow = kListUtf8;  // of utf8 items
    static constexpr size_t width = 0;
    static ViewList cell(ViewList v) { return v; }
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(ViewList v) {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.n));
        for (uint32_t i = 0; list != nullptr && i < v.n; ++i) {
            PyObject* item = _s_value(v.items[i]);
            if (item == nullptr) {
                Py_CLEAR(list);
                break;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    }
#endif
};

// Floats are widened once, into the double Python and the column both hold.
template <>
struct FieldTraits<Kind::F32> : FixedTraits<float, double, kFloat64> {
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(double v) { return PyFloat_FromDouble(v); }
#endif
};
template <>
struct FieldTraits<Kind::F64> : FixedTraits<double, double, kFloat64> {
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(double v) { return PyFloat_FromDouble(v); }
#endif
};

template <const char* Format>
struct Int64Traits : FixedTraits<int64_t, int64_t, Format> {
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(int64_t v) { return PyLong_FromLongLong(v); }
#endif
};
template <>
struct FieldTraits<Kind::I64> : Int64Traits<kInt64> {};
// An epoch time: the wire's integer in the dict, a typed time in Arrow.
template <>
struct FieldTraits<Kind::EpochMs> : Int64Traits<kTimestampMs> {};

template <>
struct FieldTraits<Kind::I32> : FixedTraits<int32_t, int32_t, kInt32> {
#ifndef VORNPROTO_NO_PYTHON
    static PyObject* py(int32_t v) { return PyLong_FromLong(v); }
#endif
};

// The one switch over kinds, for code that has a kind only at run time:
// calls f.template operator()<K>() with the kind as a template argument.
template <class F>
decltype(auto) with_kind(Kind k, F&& f) {
    switch (k) {
#define VORN_KIND_CASE(K) \
    case Kind::K:         \
        return f.template operator()<Kind::K>();
        VORN_KINDS(VORN_KIND_CASE)
#undef VORN_KIND_CASE
    }
    return f.template operator()<Kind::Str>();  // not reached: the switch is total
}

inline const char* arrow_format(Kind k) {
    return with_kind(k, []<Kind K>() { return FieldTraits<K>::arrow; });
}
inline size_t value_width(Kind k) {
    return with_kind(k, []<Kind K>() { return FieldTraits<K>::width; });
}

}  // namespace vorn_detail

// The walk of a record's present fields, in field-number order, shared by the
// dict builder and the column builder: `f.template operator()<K>(bit, value)`
// with each field's own value (a repeated field: its own views, at most
// VORN_INDICES_MAX); a false result stops the walk, which then returns false.
// Defined for a record type and its table by VORN_DEFINE_FIELD_WALK.
#define VORN_WALK_VALUE_List(R, N) \
    ::vorn::vorn_detail::ViewList { (R).N, (R).N##_n < ::vorn::VORN_INDICES_MAX ? (R).N##_n : ::vorn::VORN_INDICES_MAX }
#define VORN_WALK_VALUE_Str(R, N) (R).N
#define VORN_WALK_VALUE_F32(R, N) (R).N
#define VORN_WALK_VALUE_F64(R, N) (R).N
#define VORN_WALK_VALUE_I64(R, N) (R).N
#define VORN_WALK_VALUE_I32(R, N) (R).N
#define VORN_WALK_VALUE_EpochMs(R, N) (R).N
#define VORN_WALK_FIELD(NAME, NUM, TAG, WIRE, VALUE)                                                        \
    if (((r.has >> ((NUM) - 1)) & 1u) &&                                                                    \
        !f.template operator()<::vorn::vorn_detail::Kind::VALUE>((NUM) - 1, VORN_WALK_VALUE_##VALUE(r, NAME))) \
        return false;
#define VORN_DEFINE_FIELD_WALK(RECORD, TABLE)           \
    template <class F>                                  \
    inline bool for_each_present(const RECORD& r, F&& f) { \
        TABLE(VORN_WALK_FIELD)                          \
        return true;                                    \
    }

VORN_DEFINE_FIELD_WALK(qf_PricingData, VORN_PRICINGDATA_FIELDS)

namespace vorn_detail {

struct FieldDesc {
    const char* name;
    Kind kind;
};

// Indexed by presence bit; the order is the dict's key order.
#define VORN_FIELD_DESC(NAME, NUM, TAG, WIRE, VALUE) {#NAME, Kind::VALUE},
inline constexpr FieldDesc fields[VORN_FIELD_COUNT] = {VORN_PRICINGDATA_FIELDS(VORN_FIELD_DESC)};
#undef VORN_FIELD_DESC

}  // namespace vorn_detail

#ifndef VORNPROTO_NO_PYTHON
// ---------------------------------------------------------------------------
// Python side: record -> dict and result code -> exception object
// ---------------------------------------------------------------------------

namespace vorn_detail {

// The module serves one interpreter per process, so one table will do.
inline PyObject* keys[VORN_FIELD_COUNT];
inline PyObject* msg_wire;
inline PyObject* msg_b64;
inline PyObject* msg_json;
// Short ASCII values shared between quotes (see cached_ascii).
inline constexpr uint32_t kStrCacheSlots = 512;
inline constexpr uint32_t kStrCacheMaxLen = 32;
inline PyObject* str_cache[kStrCacheSlots];

}  // namespace vorn_detail

inline void vorn_proto_fini(void) {
    for (PyObject*& k : vorn_detail::keys) {
        Py_CLEAR(k);
    }
    Py_CLEAR(vorn_detail::msg_wire);
    Py_CLEAR(vorn_detail::msg_b64);
    Py_CLEAR(vorn_detail::msg_json);
    for (PyObject*& s : vorn_detail::str_cache) {
        Py_CLEAR(s);
    }
}

// Interns the field keys and the common error texts once; 0, or -1 with a Python
// error set.  Calling it again after success is a no-op.
inline int vorn_proto_init(void) {
    using namespace vorn_detail;
    if (msg_json != nullptr) {
        return 0;
    }
    for (int bit = 0; bit < VORN_FIELD_COUNT; ++bit) {
        keys[bit] = PyUnicode_InternFromString(fields[bit].name);
        if (keys[bit] == nullptr) {
            vorn_proto_fini();
            return -1;
        }
    }
    msg_wire = PyUnicode_InternFromString("malformed or truncated protobuf data");
    msg_b64 = msg_wire ? PyUnicode_InternFromString("invalid base64 payload") : nullptr;
    msg_json = msg_b64 ? PyUnicode_InternFromString("no string field 'message' in JSON envelope")
                       : nullptr;
    if (msg_json == nullptr) {
        vorn_proto_fini();
        return -1;
    }
    return 0;
}

inline PyObject* _s(vornstr s) {
    // Bad bytes become U+FFFD; only a lack of memory can fail here.
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.p),
                                static_cast<Py_ssize_t>(s.n), "replace");
}

namespace vorn_detail {
// Symbols, exchanges and currencies repeat in every quote: short ASCII texts
// are served from a small direct-mapped cache of str objects (immutable, so
// sharing them is invisible) instead of being built anew each time.

inline PyObject* cached_ascii(vornstr s) {
    uint32_t h = 2166136261u;  // FNV-1a
    uint8_t high = 0;
    for (uint32_t i = 0; i < s.n; ++i) {
        h = (h ^ s.p[i]) * 16777619u;
        high |= s.p[i];
    }
    if (high & 0x80u) return nullptr;  // not ASCII: the UTF-8 path decides
    PyObject*& slot = str_cache[(h ^ (h >> 16)) & (kStrCacheSlots - 1)];
    if (slot != nullptr && PyUnicode_GET_LENGTH(slot) == static_cast<Py_ssize_t>(s.n) &&
        std::memcmp(PyUnicode_1BYTE_DATA(slot), s.p, s.n) == 0) {
        return Py_NewRef(slot);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.n), 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(str), s.p, s.n);
    Py_XSETREF(slot, Py_NewRef(str));
    return str;
}
}  // namespace vorn_detail

// _s for the values of the mapping: the same text, shared when it repeats.
inline PyObject* _s_value(vornstr s) {
    if (s.n > 0 && s.n <= vorn_detail::kStrCacheMaxLen) {
        if (PyObject* str = vorn_detail::cached_ascii(s)) return str;
        if (PyErr_Occurred()) return nullptr;
    }
    return _s(s);
}

inline PyObject* vorn_decode_error(int rc) {
    using namespace vorn_detail;
    if (msg_json == nullptr && vorn_proto_init() < 0) {
        return nullptr;
    }
    PyObject* msg;
    switch (rc) {
    case VORN_ERR_WIRE: msg = Py_NewRef(msg_wire); break;
    case VORN_ERR_B64: msg = Py_NewRef(msg_b64); break;
    case VORN_ERR_JSON: msg = Py_NewRef(msg_json); break;
    case VORN_ERR_REQUIRED: msg = PyUnicode_FromString("required protobuf field missing"); break;
    case VORN_ERR_NOMEM: msg = PyUnicode_FromString("out of memory while decoding"); break;
    default: msg = PyUnicode_FromFormat("decode error %d", rc); break;
    }
    if (msg == nullptr) {
        return nullptr;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_ValueError, msg);
    Py_DECREF(msg);
    return exc;
}

// What the error callback receives for a failed frame: a bare MemoryError()
// when the scratch buffer could not grow, the ValueError otherwise.
inline PyObject* vorn_frame_error(int rc) {
    if (rc == VORN_ERR_NOMEM) {
        return PyObject_CallNoArgs(PyExc_MemoryError);
    }
    return vorn_decode_error(rc);
}

// The mapping of a record of any table that has a field walk: one entry per
// present field, keyed by keys[bit].
template <class Record>
inline PyObject* vorn_record_to_dict(const Record& r, PyObject* const* keys) {
    using vorn_detail::FieldTraits;
    using vorn_detail::Kind;
    // Built by insertion, not presized: with str keys only, the dict keeps
    // the compact string-key table, which stays inside the interpreter's
    // small-object allocator up to about 21 fields (a presized table takes
    // the general layout and goes to malloc from 11 fields on).
    PyObject* d = PyDict_New();
    if (d == nullptr) {
        return nullptr;
    }
    const bool ok = for_each_present(r, [&]<Kind K>(int bit, const typename FieldTraits<K>::Value& value) {
        PyObject* v = FieldTraits<K>::py(FieldTraits<K>::cell(value));
        if (v == nullptr) {
            return false;
        }
        const int rc = PyDict_SetItem(d, keys[bit], v);
        Py_DECREF(v);
        return rc == 0;
    });
    if (!ok) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

inline PyObject* qf_PricingData_to_dict(const qf_PricingData* o) {
    if (vorn_detail::msg_json == nullptr && vorn_proto_init() < 0) {
        return nullptr;
    }
    return vorn_record_to_dict(*o, vorn_detail::keys);
}
#endif  // VORNPROTO_NO_PYTHON

}  // namespace vorn
