// The per-frame path from a text payload to a scheduled callback: one decode
// into the ticker's reusable buffer, then the mapping or the error object.
#include "clock.hpp"
#include "open_block.hpp"
#include "stream_buffer.hpp"
#include "ticker_impl.hpp"
#include "vornproto.hpp"

namespace vorn {

// --- the data path ---------------------------------------------------------------

int on_data_callback(TickerObject* self, PyObject* message) {
    char* b = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(message, &b, &n) < 0) return -1;
    return on_data_payload(self, reinterpret_cast<const uint8_t*>(b), static_cast<size_t>(n));
}

int on_data_payload(TickerObject* self, const uint8_t* b, size_t n) {
    // A recording takes the frame exactly as received: straight into the
    // recorder's open block while it has room (no Python), else as a copy
    // made here, while the library's buffer is valid, and handed to the
    // tap once the record (whose views point into the ticker's buffer) is
    // no longer read.
    // One clock read gives the recording and the stream the same receive time.
    const bool tapped = self->_frame_tap != Py_None;
    const bool sunk = self->_frame_sink != Py_None;
    const int64_t now = tapped || sunk ? realtime_ns() : 0;
    Ref recorded, when;
    if (tapped) [[unlikely]] {
        if ((self->_tap_block == Py_None || !open_block_try_frame(self->_tap_block, b, n, now)) &&
            tap_frame_copy(self, b, n, now, recorded, when) < 0)
            return -1;
    }
    if (sunk) {
        // A stream's frames wait undecoded in its buffer: no callback, no task.
        if (quote_buffer_push(self->_frame_sink, self, b, n, now) < 0) return -1;
        return recorded ? tap_frame(self, recorded.get(), when.get()) : 0;
    }
    qf_PricingData rec;
    // The payload is read only here, before any Python code runs; the views
    // in `rec` point into the ticker's own buffer.
    const int rc = vorn_frame_decode(b, n, &self->_scratch, &self->_scratch_cap, &rec);
    // The loop and the callback are read before the mapping or the error
    // object is built: building can run the garbage collector.
    Ref loop = Ref::borrow(self->_loop);
    Ref callback = Ref::borrow(rc == VORN_OK ? self->_message_callback : self->_error_callback);
    Ref arg = Ref::steal(rc == VORN_OK ? qf_PricingData_to_dict(&rec) : vorn_frame_error(rc));
    if (!arg) return -1;
    if (recorded && tap_frame(self, recorded.get(), when.get()) < 0) return -1;
    Ref coro = Ref::steal(PyObject_CallOneArg(callback.get(), arg.get()));
    if (!coro) return -1;
    arg.reset();
    PyObject* task = PyObject_CallMethodOneArg(loop.get(), names::create_task, coro.get());
    if (!task) return -1;
    Py_DECREF(task);
    return 0;
}

}  // namespace vorn
