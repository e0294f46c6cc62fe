// Record -> dict and error objects, with an embedded interpreter.  Covers
// what the wire cannot reach from Python: records whose presence bits and
// values disagree, every error code, and allocation failures at each point
// of the dict build (nothing may leak or crash when one allocation fails).
#include "vornproto.hpp"

#include "harness.hpp"

#include <limits>
#include <string>
#include <vector>

using namespace vorn;

namespace {

// ---------------------------------------------------------------------------
// Allocation hook: counts live blocks and fails the k-th allocation.
// ---------------------------------------------------------------------------

PyMemAllocatorEx g_orig_mem, g_orig_obj;
long long g_countdown = -1;  // allocations to let through before failing one
long long g_live = 0;

bool fail_now() {
    if (g_countdown < 0) return false;
    if (g_countdown == 0) {
        g_countdown = -1;
        return true;
    }
    --g_countdown;
    return false;
}

void* hook_malloc(void* ctx, size_t n) {
    auto* o = static_cast<PyMemAllocatorEx*>(ctx);
    if (fail_now()) return nullptr;
    void* p = o->malloc(o->ctx, n);
    if (p != nullptr) ++g_live;
    return p;
}

void* hook_calloc(void* ctx, size_t nelem, size_t elsize) {
    auto* o = static_cast<PyMemAllocatorEx*>(ctx);
    if (fail_now()) return nullptr;
    void* p = o->calloc(o->ctx, nelem, elsize);
    if (p != nullptr) ++g_live;
    return p;
}

void* hook_realloc(void* ctx, void* ptr, size_t n) {
    auto* o = static_cast<PyMemAllocatorEx*>(ctx);
    if (fail_now()) return nullptr;
    void* p = o->realloc(o->ctx, ptr, n);
    if (p != nullptr && ptr == nullptr) ++g_live;
    return p;
}

void hook_free(void* ctx, void* ptr) {
    auto* o = static_cast<PyMemAllocatorEx*>(ctx);
    if (ptr != nullptr) --g_live;
    o->free(o->ctx, ptr);
}

void install_hooks() {
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &g_orig_mem);
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &g_orig_obj);
    PyMemAllocatorEx mem{&g_orig_mem, hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMemAllocatorEx obj{&g_orig_obj, hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

vornstr V(const char* s) { return vornstr{reinterpret_cast<const uint8_t*>(s), static_cast<uint32_t>(std::strlen(s))}; }

qf_PricingData blank() {
    qf_PricingData r;
    std::memset(&r, 0, sizeof r);
    return r;
}

std::string repr(PyObject* o) {
    PyObject* r = o ? PyObject_Repr(o) : nullptr;
    if (r == nullptr) {
        PyErr_Clear();
        return "<null>";
    }
    std::string s = PyUnicode_AsUTF8(r);
    Py_DECREF(r);
    return s;
}

std::vector<std::string> key_list(PyObject* d) {
    std::vector<std::string> out;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) out.emplace_back(PyUnicode_AsUTF8(k));
    return out;
}

const char* const kNames[47] = {
    "id", "price", "time", "currency", "exchange", "quoteType", "marketHours", "changePercent",
    "dayVolume", "dayHigh", "dayLow", "change", "shortName", "expireDate", "openPrice",
    "previousClose", "strikePrice", "underlyingSymbol", "openInterest", "optionsType",
    "miniOption", "lastSize", "bid", "bidSize", "ask", "askSize", "priceHint", "vol_24hr",
    "volAllCurrencies", "fromcurrency", "lastMarket", "circulatingSupply", "marketcap",
    "components", "indices", "cmcRank", "underlyingShortname", "fiftyTwoWeekChange",
    "fiftyTwoWeekChangePercent", "latestAmountRaised", "latestFundingDate", "latestShareClass",
    "latestImpliedValuation", "ytdReturn", "qtdReturn", "fullDayChange", "fullDayChangePercent",
};

// ---------------------------------------------------------------------------
// Cases
// ---------------------------------------------------------------------------

TEST(repr_of_small_records) {
    const uint8_t bad[] = {0x41, 0xFF, 0x42};
    struct Row {
        const char* what;
        qf_PricingData rec;
        const char* expected;
    };
    std::vector<Row> rows;
    rows.push_back({"empty", blank(), "{}"});
    {
        qf_PricingData r = blank();
        r.price = 5.0f;  // value without its bit: absent
        r.time = 9;
        rows.push_back({"values without bits", r, "{}"});
    }
    {
        qf_PricingData r = blank();
        r.has = 1;
        r.id = vornstr{reinterpret_cast<const uint8_t*>(""), 0};
        rows.push_back({"empty id", r, "{'id': ''}"});
    }
    {
        qf_PricingData r = blank();
        r.has = 1;
        r.id = vornstr{bad, 3};
        rows.push_back({"invalid utf-8", r, "{'id': 'A\xEF\xBF\xBD" "B'}"});
    }
    {
        qf_PricingData r = blank();
        r.has = (uint64_t{1} << 35) | (uint64_t{1} << 1);
        r.price = 0.1f;
        r.cmcRank = -3;
        rows.push_back({"key order and float widening", r, "{'price': 0.10000000149011612, 'cmcRank': -3}"});
    }
    {
        qf_PricingData r = blank();
        r.has = (uint64_t{1} << 5) | (uint64_t{1} << 6) | (uint64_t{1} << 2) | (uint64_t{1} << 8);
        r.quoteType = -1;
        r.marketHours = std::numeric_limits<int32_t>::min();
        r.time = std::numeric_limits<int64_t>::min();
        r.dayVolume = std::numeric_limits<int64_t>::max();
        rows.push_back({"integer extremes", r,
                        "{'time': -9223372036854775808, 'quoteType': -1, 'marketHours': -2147483648, "
                        "'dayVolume': 9223372036854775807}"});
    }
    {
        qf_PricingData r = blank();
        r.has = (uint64_t{1} << 31) | (uint64_t{1} << 32);
        r.circulatingSupply = 1e300;
        r.marketcap = -0.0;
        rows.push_back({"doubles", r, "{'circulatingSupply': 1e+300, 'marketcap': -0.0}"});
    }
    for (Row& row : rows) {
        PyObject* d = qf_PricingData_to_dict(&row.rec);
        CHECK_MSG(d != nullptr && PyDict_CheckExact(d), row.what);
        CHECK_MSG(repr(d) == row.expected, std::string(row.what) + ": " + repr(d));
        Py_XDECREF(d);
    }
}

TEST(all_keys_spelled_and_ordered) {
    qf_PricingData r = blank();
    r.has = (uint64_t{1} << 47) - 1;
    r.indices_n = 1;
    r.indices[0] = V("SPX");
    PyObject* d = qf_PricingData_to_dict(&r);
    CHECK(d != nullptr);
    if (d == nullptr) return;
    const std::vector<std::string> keys = key_list(d);
    CHECK_EQ(keys.size(), size_t{47});
    for (size_t k = 0; k < keys.size() && k < 47; ++k) CHECK_MSG(keys[k] == kNames[k], keys[k]);
    CHECK(repr(PyDict_GetItemString(d, "indices")) == "['SPX']");
    CHECK(PyFloat_CheckExact(PyDict_GetItemString(d, "marketcap")));
    CHECK(PyLong_CheckExact(PyDict_GetItemString(d, "quoteType")));
    CHECK(PyUnicode_CheckExact(PyDict_GetItemString(d, "latestShareClass")));
    Py_DECREF(d);
}

TEST(indices_list_in_stored_order) {
    qf_PricingData r = blank();
    r.has = uint64_t{1} << 34;
    const char* names[16] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p"};
    for (int k = 0; k < 16; ++k) r.indices[k] = V(names[k]);
    r.indices_n = 16;
    r.indices_dropped = 4;
    PyObject* d = qf_PricingData_to_dict(&r);
    CHECK(repr(d) == "{'indices': ['a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p']}");
    Py_XDECREF(d);
}

// The dict builder walks any field table: a second repeated field gets its
// own views, not those of the first.
#define TWO_LISTS(X) X(first, 1, 10, VIEWS, List) X(second, 2, 18, VIEWS, List)
struct TwoLists {
    uint64_t has;
    TWO_LISTS(VORN_MEMBER)
};
VORN_DEFINE_FIELD_WALK(TwoLists, TWO_LISTS)

TEST(each_repeated_field_is_read_from_its_own_entry) {
    TwoLists r{};
    r.has = 3;
    r.first[0] = V("a");
    r.first_n = 1;
    r.second[0] = V("b");
    r.second[1] = V("c");
    r.second_n = 2;
    PyObject* keys[] = {PyUnicode_FromString("first"), PyUnicode_FromString("second")};
    PyObject* d = vorn_record_to_dict(r, keys);
    CHECK(repr(d) == "{'first': ['a'], 'second': ['b', 'c']}");
    Py_XDECREF(d);
    for (PyObject* k : keys) Py_XDECREF(k);
}

TEST(error_objects) {
    const struct {
        int rc;
        const char* type;
        const char* args;
    } rows[] = {
        {VORN_ERR_WIRE, "ValueError", "('malformed or truncated protobuf data',)"},
        {VORN_ERR_B64, "ValueError", "('invalid base64 payload',)"},
        {VORN_ERR_JSON, "ValueError", "(\"no string field 'message' in JSON envelope\",)"},
        {VORN_ERR_REQUIRED, "ValueError", "('required protobuf field missing',)"},
        {VORN_ERR_NOMEM, "ValueError", "('out of memory while decoding',)"},
        {7, "ValueError", "('decode error 7',)"},
        {-99, "ValueError", "('decode error -99',)"},
    };
    for (const auto& r : rows) {
        PyObject* e = vorn_decode_error(r.rc);
        CHECK_MSG(e != nullptr && !PyErr_Occurred(), std::to_string(r.rc));
        if (e == nullptr) continue;
        CHECK_MSG(std::string(Py_TYPE(e)->tp_name) == r.type, std::to_string(r.rc));
        PyObject* args = PyObject_GetAttrString(e, "args");
        CHECK_MSG(repr(args) == r.args, repr(args));
        Py_XDECREF(args);
        Py_DECREF(e);
    }
    // The frame path maps only the buffer failure to a bare MemoryError.
    PyObject* m = vorn_frame_error(VORN_ERR_NOMEM);
    CHECK(m != nullptr && Py_IS_TYPE(m, reinterpret_cast<PyTypeObject*>(PyExc_MemoryError)));
    PyObject* margs = m ? PyObject_GetAttrString(m, "args") : nullptr;
    CHECK(repr(margs) == "()");
    Py_XDECREF(margs);
    Py_XDECREF(m);
    PyObject* w = vorn_frame_error(VORN_ERR_B64);
    CHECK(w != nullptr && Py_IS_TYPE(w, reinterpret_cast<PyTypeObject*>(PyExc_ValueError)));
    Py_XDECREF(w);
}

qf_PricingData heavy_record() {
    static const char* long_ascii = "a fairly long ascii string that will not be cached anywhere at all";
    static const uint8_t mixed[] = {'X', 0xC3, 0xA9, 0xFF, 'Y', 0xE2, 0x82, 0xAC};
    qf_PricingData r = blank();
    r.has = (uint64_t{1} << 47) - 1;
    r.id = V(long_ascii);
    r.currency = vornstr{mixed, sizeof mixed};
    r.time = 1'700'000'000'123LL;
    r.dayVolume = -123456789012LL;
    r.price = 187.53f;
    r.marketcap = 3.1e12;
    for (int k = 0; k < 16; ++k) r.indices[k] = (k & 1) ? V(long_ascii) : vornstr{mixed, sizeof mixed};
    r.indices_n = 16;
    return r;
}

TEST(allocation_failure_at_every_point) {
    const qf_PricingData r = heavy_record();
    PyObject* warm = qf_PricingData_to_dict(&r);
    CHECK(warm != nullptr);
    Py_XDECREF(warm);

    install_hooks();
    long long failures_seen = 0;
    long long live_after_warmup = 0;
    const int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        for (long long k = 0;; ++k) {
            g_countdown = k;
            PyObject* d = qf_PricingData_to_dict(&r);
            const bool injected = g_countdown < 0;
            g_countdown = -1;
            if (!injected) {
                // Fewer than k allocations: the build is complete.
                CHECK(d != nullptr && PyDict_GET_SIZE(d) == 47);
                Py_XDECREF(d);
                break;
            }
            if (d != nullptr) {
                // The failed allocation was absorbed (a free list, a cache):
                // then the result must still be whole.
                CHECK(PyDict_GET_SIZE(d) == 47);
                Py_DECREF(d);
                continue;
            }
            ++failures_seen;
            CHECK_MSG(PyErr_ExceptionMatches(PyExc_MemoryError), "k=" + std::to_string(k));
            PyErr_Clear();
        }
        if (round == 4) live_after_warmup = g_live;
    }
    CHECK(failures_seen >= rounds * 10);
    // A dict, list or string leaked per failure would add hundreds of blocks
    // over the last twenty rounds; free lists settle within the first five.
    const long long growth = g_live - live_after_warmup;
    CHECK_MSG(growth < 20, "live blocks grew by " + std::to_string(growth));
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &g_orig_mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &g_orig_obj);
}

TEST(init_is_idempotent_and_fini_reinit_works) {
    CHECK_EQ(vorn_proto_init(), 0);
    CHECK_EQ(vorn_proto_init(), 0);
    vorn_proto_fini();
    qf_PricingData r = blank();
    r.has = 1;
    r.id = V("x");
    PyObject* d = qf_PricingData_to_dict(&r);  // re-creates the keys on demand
    CHECK(repr(d) == "{'id': 'x'}");
    Py_XDECREF(d);
}

}  // namespace

int main(int argc, char** argv) {
    Py_Initialize();
    if (vorn_proto_init() < 0) {
        PyErr_Print();
        return 1;
    }
    const int rc = harness::run_all(argc > 1 ? argv[1] : nullptr);
    vorn_proto_fini();
    Py_Finalize();
    return rc;
}
