// The subscription set and the subscribe/unsubscribe control messages. The
// bodies run on a worker thread; the set and the transport are only touched
// on the loop thread, through call_soon_threadsafe.
#include "args.hpp"
#include "ticker_impl.hpp"

namespace vorn {

// --- subscriptions ---------------------------------------------------------------

PyObject* encode(PyObject* msg) {
    PyObject* orjson = global_or_null(names::orjson);
    if (!orjson) return nullptr;
    PyObject* r = PyObject_CallMethodOneArg(orjson, names::dumps, msg);
    Py_DECREF(orjson);
    if (r && r != Py_None && !PyBytes_CheckExact(r)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes", Py_TYPE(r)->tp_name);
        Py_CLEAR(r);
    }
    return r;
}

PyObject* py_send_payload(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Sends one text frame when connected; `dispatch` routes to a subclass override.
int send_payload(TickerObject* self, PyObject* payload, bool dispatch) {
    return guarded([&] {
        if (dispatch) {
            if (Ref m = find_override(self, names::_send_payload, reinterpret_cast<PyCFunction>(
                                                                       reinterpret_cast<void (*)()>(py_send_payload)))) {
                check(PyObject_CallOneArg(m.get(), payload));
                return;
            }
        }
        if (self->_transport == Py_None) return;
        Ref transport = Ref::borrow(self->_transport);
        Ref text = global_attr(names::WSMsgType, names::TEXT);
        call_method2(transport.get(), names::send, text.get(), payload);
    });
}

int send_payload_internal(TickerObject* self, PyObject* payload) { return send_payload(self, payload, true); }

int subscription_blocking(TickerObject* self, PyObject* instruments, PyObject* key, PyObject* apply_name) {
    return guarded([&] {
        Ref msg = check(PyDict_New());
        check_rc(PyDict_SetItem(msg.get(), key, instruments));
        Ref payload = check(self->vtab->_encode(msg.get()));
        Ref apply = getattr(as_obj(self), apply_name);
        Ref loop = Ref::borrow(self->_loop);
        PyObject* args[] = {loop.get(), apply.get(), instruments, payload.get()};
        check(PyObject_VectorcallMethod(names::call_soon_threadsafe, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
    });
}

int subscribe_blocking(TickerObject* self, PyObject* instruments) {
    return subscription_blocking(self, instruments, names::subscribe, names::_apply_subscribe);
}
int unsubscribe_blocking(TickerObject* self, PyObject* instruments) {
    return subscription_blocking(self, instruments, names::unsubscribe, names::_apply_unsubscribe);
}

int resubscribe(TickerObject* self) {
    return guarded([&] {
        if (self->_tokens == Py_None) return;
        Ref tokens = Ref::borrow(self->_tokens);
        const Py_ssize_t size = PyObject_Size(tokens.get());
        if (size < 0) throw_current();
        if (size == 0) return;
        Ref list = check(PySequence_List(tokens.get()));
        Ref msg = check(PyDict_New());
        check_rc(PyDict_SetItem(msg.get(), names::subscribe, list.get()));
        Ref payload = check(self->vtab->_encode(msg.get()));
        check_rc(self->vtab->_send_payload(self, payload.get()));
    });
}


PyObject* py_send_payload(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"payload"};
    PyObject* payload = nullptr;
    if (parse_args("_send_payload", args, static_cast<size_t>(nargs), kwnames, params, 1, 1, &payload) < 0)
        return nullptr;
    if (!check_arg_type(payload, &PyBytes_Type, "payload", true)) return nullptr;
    if (send_payload(as_ticker(o), payload, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* apply_subscription(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const char* fname, PyObject* set_method) {
    const char* params[] = {"instruments", "p"};
    PyObject* a[2] = {};
    if (parse_args(fname, args, static_cast<size_t>(nargs), kwnames, params, 2, 2, a) < 0) return nullptr;
    if (!check_arg_type(a[0], &PyList_Type, "instruments", true)) return nullptr;
    if (!check_arg_type(a[1], &PyBytes_Type, "p", true)) return nullptr;
    TickerObject* self = as_ticker(o);
    Ref tokens = Ref::borrow(self->_tokens);
    // Only adding or only removing: the set changed exactly when its size did.
    const Py_ssize_t before = PyObject_Size(tokens.get());
    if (before < 0) return nullptr;
    PyObject* r = PyObject_CallMethodOneArg(tokens.get(), set_method, a[0]);
    if (!r) return nullptr;
    Py_DECREF(r);
    const Py_ssize_t after = PyObject_Size(tokens.get());
    if (after < 0) return nullptr;
    const int sent = self->vtab->_send_payload(self, a[1]);
    if (after != before) {
        // The set has changed whether or not the send went out (it goes
        // again after reconnecting), so the recording notes it either way;
        // the send's error is raised after that.
        Ref failed = Ref::steal(sent < 0 ? PyErr_GetRaisedException() : nullptr);
        if (tap_subscription(self, set_method == names::update ? names::subscribe : names::unsubscribe, a[0]) < 0) {
            if (failed) {
                PyObject* raised = PyErr_GetRaisedException();
                PyException_SetContext(raised, failed.release());
                PyErr_SetRaisedException(raised);
            }
            return nullptr;
        }
        if (failed) PyErr_SetRaisedException(failed.release());
    }
    if (sent < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_apply_subscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_subscription(o, args, nargs, kwnames, "_apply_subscribe", names::update);
}
PyObject* py_apply_unsubscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_subscription(o, args, nargs, kwnames, "_apply_unsubscribe", names::difference_update);
}

// The synchronous bodies of subscribe/unsubscribe, run on a worker thread.
PyObject* subscription_body(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            const char* fname, bool add) {
    const char* params[] = {"instruments"};
    PyObject* instruments = nullptr;
    if (parse_args(fname, args, static_cast<size_t>(nargs), kwnames, params, 1, 1, &instruments) < 0) return nullptr;
    if (!check_arg_type(instruments, &PyList_Type, "instruments", false)) return nullptr;
    // A copy, so the caller changing its list later changes nothing.
    Ref copy = Ref::steal(PySequence_List(instruments));
    if (!copy) return nullptr;
    TickerObject* self = as_ticker(o);
    const int rc = add ? self->vtab->_subscribe_blocking(self, copy.get())
                       : self->vtab->_unsubscribe_blocking(self, copy.get());
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_subscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return subscription_body(o, args, nargs, kwnames, "subscribe", true);
}
PyObject* py_unsubscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return subscription_body(o, args, nargs, kwnames, "unsubscribe", false);
}

}  // namespace vorn
