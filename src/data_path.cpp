// The per-frame path from a text payload to a scheduled callback: one decode
// into the ticker's reusable buffer, then the mapping or the error object.
#include <ctime>

#include "stream_buffer.hpp"
#include "ticker_impl.hpp"
#include "vornproto.hpp"

namespace vorn {

namespace {

Ref now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return check(PyLong_FromLongLong(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec));
}

// Calls tap.<method>(*args); args[0] is left free for the tap. A tap that
// fails (a full disk, say) stops the recording with one error line; the
// quotes go on.
template <size_t N>
void call_tap(TickerObject* self, PyObject* method, PyObject* (&args)[N]) {
    Ref tap = Ref::borrow(self->_frame_tap);
    args[0] = tap.get();
    PyObject* r = PyObject_VectorcallMethod(method, args, N | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r) {
        Py_DECREF(r);
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (self->_frame_tap == tap.get()) set_field(self->_frame_tap, Py_None);
    Ref text = check(PyUnicode_FromFormat("Recording stopped :: %S", exc.get()));
    log(names::error, text.get());
}

}  // namespace

int tap_subscription(TickerObject* self, PyObject* kind, PyObject* symbols) {
    if (self->_frame_tap == Py_None) return 0;
    return guarded([&] {
        Ref when = now_ns();
        PyObject* args[] = {nullptr, kind, symbols, when.get()};
        call_tap(self, names::note_subscription, args);
    });
}

// --- the data path ---------------------------------------------------------------

int on_data_callback(TickerObject* self, PyObject* message) {
    char* b = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(message, &b, &n) < 0) return -1;
    return on_data_payload(self, reinterpret_cast<const uint8_t*>(b), static_cast<size_t>(n));
}

int on_data_payload(TickerObject* self, const uint8_t* b, size_t n) {
    // A recording takes the frame exactly as received. The copy is made
    // here, while the library's buffer is valid; the tap is called once the
    // record (whose views point into the ticker's buffer) is no longer read.
    Ref recorded, when;
    if (self->_frame_tap != Py_None) [[unlikely]] {
        recorded = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b), static_cast<Py_ssize_t>(n)));
        if (!recorded) return -1;
        try {
            when = now_ns();
        } catch (PyError& e) {
            e.restore();
            return -1;
        }
    }
    if (self->_frame_sink != Py_None) {
        // A stream's frames wait undecoded in its buffer: no callback, no task.
        if (quote_buffer_push(self->_frame_sink, self, b, n) < 0) return -1;
        if (recorded && self->_frame_tap != Py_None) {
            return guarded([&] {
                PyObject* args[] = {nullptr, recorded.get(), when.get()};
                call_tap(self, names::write, args);
            });
        }
        return 0;
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
    if (recorded && self->_frame_tap != Py_None) {
        const int tapped = guarded([&] {
            PyObject* args[] = {nullptr, recorded.get(), when.get()};
            call_tap(self, names::write, args);
        });
        if (tapped < 0) return -1;
    }
    Ref coro = Ref::steal(PyObject_CallOneArg(callback.get(), arg.get()));
    if (!coro) return -1;
    arg.reset();
    PyObject* task = PyObject_CallMethodOneArg(loop.get(), names::create_task, coro.get());
    if (!task) return -1;
    Py_DECREF(task);
    return 0;
}

}  // namespace vorn
