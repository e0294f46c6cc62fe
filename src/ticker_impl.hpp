// Shared by the files that implement VornTicker's methods: small helpers in
// the C++ error convention, and the functions the method table refers to.
#pragma once

#include <new>
#include <utility>

#include "args.hpp"
#include "coro.hpp"
#include "module.hpp"
#include "names.hpp"
#include "ticker.hpp"

namespace vorn {

inline TickerObject* as_ticker(PyObject* o) { return reinterpret_cast<TickerObject*>(o); }
inline PyObject* as_obj(TickerObject* t) { return reinterpret_cast<PyObject*>(t); }

// Converts a C++-exception-style block into the C API's -1 convention.
template <class F>
int guarded(F&& f) noexcept {
    try {
        f();
        return 0;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return -1;
}

template <class F>
inline PyObject* guarded_obj(F&& f) noexcept {
    try {
        return f().release();
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

inline Ref call_method0(PyObject* obj, PyObject* name) { return check(PyObject_CallMethodNoArgs(obj, name)); }
inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return check(PyObject_CallMethodOneArg(obj, name, arg));
}
inline Ref call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return check(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline Ref new_float(double v) { return check(PyFloat_FromDouble(v)); }

// asyncio.wait_for(awaitable, timeout=timeout)
inline Ref wait_for(PyObject* awaitable, PyObject* timeout) {
    Ref fn = global_attr(names::asyncio, names::wait_for);
    Ref kw = check(PyTuple_Pack(1, names::timeout));
    PyObject* args[] = {awaitable, timeout};
    return check(PyObject_Vectorcall(fn.get(), args, 1, kw.get()));
}

inline Ref wait_for(PyObject* awaitable, double timeout) {
    Ref t = new_float(timeout);
    return wait_for(awaitable, t.get());
}

inline bool matches_asyncio_timeout(const PyError& e) {
    Ref timeout_error = global_attr(names::asyncio, names::TimeoutError);
    return e.matches(timeout_error.get());
}

// True when the instance's class is a Python subclass whose attribute `name`
// is not the C method `impl` (so an internal call must go to the override).
inline Ref find_override(TickerObject* self, PyObject* name, PyCFunction impl) {
    if (Py_TYPE(self) == ticker_type) return {};
    Ref m = getattr(as_obj(self), name);
    if (PyCFunction_Check(m.get()) && PyCFunction_GET_FUNCTION(m.get()) == impl &&
        PyCFunction_GET_SELF(m.get()) == as_obj(self)) {
        return {};
    }
    return m;
}

inline bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_ok) {
    if ((none_ok && value == Py_None) || Py_IS_TYPE(value, type)) return true;
    return arg_type_error(value, type, name);
}

// Coroutine functions carry (name, qualname) of their coroutines as closure.
inline PyObject* coro_name(PyObject* fn) { return PyTuple_GET_ITEM(coro::closure_of(fn), 0); }
inline PyObject* coro_qualname(PyObject* fn) { return PyTuple_GET_ITEM(coro::closure_of(fn), 1); }

// Checks the bound instance; returns it borrowed, or NULL with TypeError.
inline PyObject* method_self(PyObject* fn, PyObject* const* args, size_t nargsf) {
    if (PyVectorcall_NARGS(nargsf) >= 1 && PyObject_TypeCheck(args[0], ticker_type)) return args[0];
    PyErr_Format(PyExc_TypeError, "%U() requires a 'VornTicker' instance as its first argument", coro_qualname(fn));
    return nullptr;
}

template <class Factory>
inline PyObject* make_method_coro(PyObject* fn, Ref args, Factory&& factory) {
    if (!args) return nullptr;
    return coro::make(coro_name(fn), coro_qualname(fn), std::move(args), std::forward<Factory>(factory));
}


// Internal method table entries.
PyObject* encode(PyObject* msg);
int add_signal_handler(TickerObject* self);
int send_payload_internal(TickerObject* self, PyObject* payload);
int on_data_callback(TickerObject* self, PyObject* message);
int on_data_payload(TickerObject* self, const uint8_t* payload, size_t size);
int subscribe_blocking(TickerObject* self, PyObject* instruments);
int unsubscribe_blocking(TickerObject* self, PyObject* instruments);
int resubscribe(TickerObject* self);
int start_websocket_internal(TickerObject* self, PyObject* const callbacks[4]);
int close_websocket_internal(TickerObject* self);
int initiate_shutdown(TickerObject* self);

// Python-visible methods.
PyObject* run_in_thread(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_on_signal(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_send_payload(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_apply_subscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_apply_unsubscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_subscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_unsubscribe(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_start_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_close_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_schedule_async_shutdown(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Coroutine functions (vectorcall entry points).
PyObject* stop_signal_handler_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* check_round_trip_time_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* sleep_backoff_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* start_ticker_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* async_shutdown_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace vorn
