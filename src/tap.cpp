// The recording tap: the ticker hands it every text frame as received, the
// subscription changes and the connection events. A tap that fails with an
// ordinary error stops the recording and nothing else (the quote is still
// delivered, the connection stays up); anything else propagates as it would
// from the message callback's call.
#include "clock.hpp"
#include "ticker_impl.hpp"

namespace vorn {

namespace {

Ref now_ns() { return check(PyLong_FromLongLong(realtime_ns())); }

// "Recording stopped :: " + str(exc), with the type's name when str() fails
// with an ordinary error (an error object must not take the line with it).
Ref stopped_text(PyObject* exc) {
    if (PyObject* text = PyUnicode_FromFormat("Recording stopped :: %S", exc)) return Ref::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_current();
    PyErr_Clear();
    return check(PyUnicode_FromFormat("Recording stopped :: <%s: str() failed>", Py_TYPE(exc)->tp_name));
}

// The tap is let go before anything is logged, so a logger that fails too
// cannot leave it attached.
void stop_recording(TickerObject* self, PyObject* tap, PyObject* exc) {
    if (self->_frame_tap == tap) {
        set_field(self->_frame_tap, Py_None);
        set_field(self->_tap_block, Py_None);
        self->_tap_connections = 0;
    }
    Ref text = stopped_text(exc);
    log(names::error, text.get());
}

// Runs `body(tap)` under the tap's fail-soft rule; 0, or -1 with the error set
// when it propagates.
template <class F>
int with_tap(TickerObject* self, F&& body) {
    return guarded([&] {
        Ref tap = Ref::borrow(self->_frame_tap);
        fail_soft(tap.get(), [&] { body(tap.get()); }, [&](PyObject* exc) { stop_recording(self, tap.get(), exc); });
    });
}

void call(PyObject* tap, PyObject* method, PyObject* a, PyObject* b, PyObject* c = nullptr) {
    PyObject* args[] = {tap, a, b, c};
    const size_t n = c ? 4 : 3;
    check(PyObject_VectorcallMethod(method, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

int tap_frame_copy(TickerObject* self, const uint8_t* b, size_t n, int64_t now, Ref& payload, Ref& when) {
    return with_tap(self, [&](PyObject*) {
        payload = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b), static_cast<Py_ssize_t>(n)));
        when = check(PyLong_FromLongLong(now));
    });
}

int tap_frame(TickerObject* self, PyObject* payload, PyObject* when) {
    if (self->_frame_tap == Py_None) return 0;
    return with_tap(self, [&](PyObject* tap) { call(tap, names::write, payload, when); });
}

int tap_subscription(TickerObject* self, PyObject* kind, PyObject* symbols) {
    if (self->_frame_tap == Py_None) return 0;
    return with_tap(self, [&](PyObject* tap) {
        Ref when = now_ns();
        call(tap, names::note_subscription, kind, symbols, when.get());
    });
}

int tap_connection(TickerObject* self, PyObject* kind, PyObject* detail) {
    if (self->_frame_tap == Py_None || !self->_tap_connections) return 0;
    return with_tap(self, [&](PyObject* tap) { call(tap, names::note_connection, kind, detail); });
}

}  // namespace vorn
