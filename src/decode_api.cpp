#include "decode_api.hpp"

#include "vornproto.hpp"

namespace vorn {
namespace {

// decode_frame's base64 output buffer.  It lives per thread and is reused so
// the steady state takes no C memory, like the ticker's own scratch.  It is
// not a process-wide buffer because the record's string views point into it
// until the dict is built, and the dict is built through the interpreter:
// other threads may decode at the same time (free-threaded builds, or any
// future step that lets the lock go), and should a finaliser ever run inside
// that build and call decode_frame, it would be on this very thread.  Such a
// nested call finds `busy` set and decodes into a buffer of its own.
struct Scratch {
    uint8_t* p = nullptr;
    size_t cap = 0;
    bool busy = false;

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { std::free(p); }
};

thread_local Scratch tls_scratch;

// A single oversized frame should not pin its buffer for the thread's life.
constexpr size_t kRetainCap = 64 * 1024;

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    bool acquire(PyObject* obj) {
        // bytes is what the websocket layer hands out; read it in place and
        // skip the buffer protocol's bookkeeping.
        if (PyBytes_CheckExact(obj)) {
            view_.buf = PyBytes_AS_STRING(obj);
            view_.len = PyBytes_GET_SIZE(obj);
            return true;
        }
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* raise_decode_failure(int rc) {
    PyObject* exc = vorn_frame_error(rc);
    if (exc != nullptr) {
        PyErr_SetRaisedException(exc);  // steals the reference
    }
    return nullptr;
}

}  // namespace

PyObject* vorn_py_decode_frame(PyObject*, PyObject* payload) {
    BufferView in;
    if (!in.acquire(payload)) {
        return nullptr;
    }
    Scratch nested;
    Scratch& s = tls_scratch.busy ? nested : tls_scratch;
    s.busy = true;

    qf_PricingData rec;
    const int rc = vorn_frame_decode(in.data(), in.size(), &s.p, &s.cap, &rec);
    PyObject* result = rc == VORN_OK ? qf_PricingData_to_dict(&rec) : raise_decode_failure(rc);

    s.busy = false;
    if (s.cap > kRetainCap) {
        std::free(s.p);
        s.p = nullptr;
        s.cap = 0;
    }
    return result;
}

PyObject* vorn_py_decode_pricing_data(PyObject*, PyObject* data) {
    BufferView in;
    if (!in.acquire(data)) {
        return nullptr;
    }
    // The views point into the caller's buffer, which stays exported (and so
    // cannot be resized) until the dict is built.
    qf_PricingData rec;
    const int rc = qf_PricingData_decode(in.data(), in.size(), &rec);
    if (rc != VORN_OK) {
        return raise_decode_failure(rc);
    }
    return qf_PricingData_to_dict(&rec);
}

PyMethodDef vorn_decode_api_methods[] = {
    {"decode_frame", vorn_py_decode_frame, METH_O,
     PyDoc_STR("decode_frame($module, payload, /)\n--\n\n"
               "Decode one quote frame exactly as the ticker does.\n\n"
               "payload is the text frame as a bytes-like object: a JSON envelope whose\n"
               "string member \"message\" holds a base64-encoded PricingData message.\n"
               "Returns the dict the message callback would receive.  Raises the\n"
               "exception the error callback would receive: ValueError for a bad\n"
               "envelope, bad base64 or bad protobuf data, MemoryError when no\n"
               "buffer could be had.")},
    {"decode_pricing_data", vorn_py_decode_pricing_data, METH_O,
     PyDoc_STR("decode_pricing_data($module, data, /)\n--\n\n"
               "Decode one raw protobuf PricingData message (a bytes-like object)\n"
               "into the same dict the ticker produces.  Raises ValueError\n"
               "\"malformed or truncated protobuf data\" for bad input.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vorn
