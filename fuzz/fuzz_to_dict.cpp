// libFuzzer target: protobuf bytes (or a whole frame) -> record -> dict, with
// an embedded interpreter.  Checks that every present field, and nothing
// else, comes out with the right type, and that the dict survives the
// decode buffer being overwritten.
#include "vornproto.hpp"

#include <cstdio>
#include <cstdlib>

using namespace vorn;

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "fuzz_to_dict: %s\n", what);
    std::abort();
}

uint8_t* g_scratch = nullptr;
size_t g_cap = 0;

void check_dict(PyObject* d, const qf_PricingData& r) {
    if (!PyDict_CheckExact(d)) die("not a dict");
    if (PyDict_GET_SIZE(d) != std::popcount(r.has)) die("entry count differs from presence bits");
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) die("key not a str");
        if (!(PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyList_CheckExact(v)))
            die("value of an unexpected type");
    }
    PyObject* idx = PyDict_GetItemString(d, "indices");
    if (idx != nullptr) {
        if (!PyList_CheckExact(idx) || PyList_GET_SIZE(idx) != static_cast<Py_ssize_t>(r.indices_n) ||
            PyList_GET_SIZE(idx) == 0)
            die("indices list length");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Plain malloc underneath Python lets ASan see each object on its own.
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) die("pre-initialisation failed");
    Py_Initialize();
    if (vorn_proto_init() < 0) {
        PyErr_Print();
        die("vorn_proto_init failed");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool frame = data[0] & 1;
    const size_t n = size - 1;
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    if (n) std::memcpy(copy, data + 1, n);

    qf_PricingData rec;
    int rc;
    uint8_t* buf;
    size_t len;
    if (frame) {
        rc = vorn_frame_decode(copy, n, &g_scratch, &g_cap, &rec);
        buf = g_scratch;
        len = g_cap;
    } else {
        rc = qf_PricingData_decode(copy, n, &rec);
        buf = copy;
        len = n;
    }
    PyObject* obj = rc == VORN_OK ? qf_PricingData_to_dict(&rec) : vorn_frame_error(rc);
    if (obj == nullptr) {
        PyErr_Print();
        die("conversion failed without memory pressure");
    }
    if (rc == VORN_OK) {
        check_dict(obj, rec);
        // The dict must own its data: scribble over the buffer and look again.
        PyObject* before = PyObject_Repr(obj);
        if (len) std::memset(buf, 0xA5, len);
        PyObject* after = PyObject_Repr(obj);
        if (before == nullptr || after == nullptr || PyUnicode_Compare(before, after) != 0)
            die("dict changed when the decode buffer was overwritten");
        Py_XDECREF(before);
        Py_XDECREF(after);
    } else if (!PyExceptionInstance_Check(obj)) {
        die("error object is not an exception");
    }
    Py_DECREF(obj);
    std::free(copy);
    return 0;
}
