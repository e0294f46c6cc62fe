// VornTicker: construction, properties, the data path, subscriptions, the
// reconnect loop, round-trip probe, signals and the orderly shutdown.
#include "ticker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "args.hpp"
#include "coro.hpp"
#include "listener.hpp"
#include "module.hpp"
#include "names.hpp"
#include "vornproto.hpp"

#ifndef VORN_ENDPOINT_HOST
#define VORN_ENDPOINT_HOST "streamer.vorn.example"
#endif

namespace vorn {
namespace {

constexpr const char kEndpointUrl[] = "wss://" VORN_ENDPOINT_HOST "/?version=2";
constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

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
PyObject* guarded_obj(F&& f) noexcept {
    try {
        return f().release();
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

Ref call_method0(PyObject* obj, PyObject* name) { return check(PyObject_CallMethodNoArgs(obj, name)); }
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return check(PyObject_CallMethodOneArg(obj, name, arg));
}
Ref call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return check(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
Ref new_float(double v) { return check(PyFloat_FromDouble(v)); }

// asyncio.wait_for(awaitable, timeout=<float>)
Ref wait_for(PyObject* awaitable, double timeout) {
    Ref fn = global_attr(names::asyncio, names::wait_for);
    Ref t = new_float(timeout);
    Ref kw = check(PyTuple_Pack(1, names::timeout));
    PyObject* args[] = {awaitable, t.get()};
    return check(PyObject_Vectorcall(fn.get(), args, 1, kw.get()));
}

bool matches_asyncio_timeout(const PyError& e) {
    Ref timeout_error = global_attr(names::asyncio, names::TimeoutError);
    return e.matches(timeout_error.get());
}

// True when the instance's class is a Python subclass whose attribute `name`
// is not the C method `impl` (so an internal call must go to the override).
Ref find_override(TickerObject* self, PyObject* name, PyCFunction impl) {
    if (Py_TYPE(self) == ticker_type) return {};
    Ref m = getattr(as_obj(self), name);
    if (PyCFunction_Check(m.get()) && PyCFunction_GET_FUNCTION(m.get()) == impl &&
        PyCFunction_GET_SELF(m.get()) == as_obj(self)) {
        return {};
    }
    return m;
}

// --- allocation, __init__, destruction --------------------------------------

const TickerVTable* ticker_vtable();

PyObject* ticker_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    TickerObject* t = as_ticker(o);
    t->vtab = ticker_vtable();
    PyObject** fields[] = {&t->_loop,           &t->_transport,     &t->_tokens,         &t->_ws_url,
                           &t->_disconnect_msg, &t->IS_CONNECTED,   &t->_stop_event,     &t->_abort_event,
                           &t->_ssl_context,    &t->_ticker_task,   &t->_signal_task,    &t->_prev_handlers,
                           &t->_message_callback, &t->_open_callback, &t->_close_callback, &t->_error_callback};
    for (PyObject** f : fields) *f = Py_NewRef(Py_None);
    t->_scratch = static_cast<uint8_t*>(std::malloc(kInitialScratch));
    if (!t->_scratch) {
        Py_DECREF(o);
        return PyErr_NoMemory();
    }
    t->_scratch_cap = kInitialScratch;
    return o;
}

Ref class_attr(PyObject* name) {
    // Read from VornTicker itself, so a subclass's redefinition is not used.
    return getattr(reinterpret_cast<PyObject*>(ticker_type), name);
}

int ticker_init(PyObject* o, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"loop", nullptr};
    PyObject* loop = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:__init__", const_cast<char**>(kwlist), &loop)) return -1;
    TickerObject* t = as_ticker(o);
    return guarded([&] {
        set_field(t->_loop, loop);
        {
            Ref url = check(PyUnicode_FromString(kEndpointUrl));
            set_field(t->_ws_url, url.get());
        }
        {
            Ref ctx = call_method0(global(names::ssl).get(), names::create_default_context);
            set_field(t->_ssl_context, ctx.get());
        }
        set_field(t->_transport, Py_None);
        set_field(t->_ticker_task, Py_None);
        set_field(t->_signal_task, Py_None);
        {
            Ref d = check(PyDict_New());
            set_field(t->_prev_handlers, d.get());
        }
        {
            Ref cb = class_attr(names::_dummy_callback);
            Ref err_cb = class_attr(names::_dummy_error_callback);
            set_field(t->_open_callback, cb.get());
            set_field(t->_close_callback, cb.get());
            set_field(t->_message_callback, cb.get());
            set_field(t->_error_callback, err_cb.get());
        }
        t->_disconnect_socket = 0;
        t->_shutdown_initiated = 0;
        t->_shutdown_scheduled = 0;
        t->_pending_signal = 0;
        t->_fail_count = 0;
        {
            Ref msg = check(PyUnicode_AsUTF8String(texts::closed_by_user));
            set_field(t->_disconnect_msg, msg.get());
        }
        {
            Ref tokens = check(PySet_New(nullptr));
            set_field(t->_tokens, tokens.get());
        }
        for (PyObject** field : {&t->IS_CONNECTED, &t->_abort_event, &t->_stop_event}) {
            Ref ev = call_method0(global(names::asyncio).get(), names::Event);
            set_field(*field, ev.get());
        }
        t->connect_timeout = 8.0;
        t->handshake_timeout = 4.0;
        t->min_backoff = 0.25;
        t->max_backoff = 5.0;
        t->backoff_multiplier = 2.0;
        t->backoff_jitter = 0.3;
        t->min_stable_secs = 10.0;
        check_rc(t->vtab->add_signal_handler(t));
    });
}

#define VORN_TICKER_GC_FIELDS(X)                                                                          \
    X(_loop) X(_transport) X(_tokens) X(IS_CONNECTED) X(_stop_event) X(_abort_event) X(_ssl_context)     \
    X(_ticker_task) X(_signal_task) X(_prev_handlers) X(_message_callback) X(_open_callback)              \
    X(_close_callback) X(_error_callback)

int ticker_traverse(PyObject* o, visitproc visit, void* arg) {
    TickerObject* t = as_ticker(o);
    Py_VISIT(Py_TYPE(o));
#define VORN_VISIT(f) Py_VISIT(t->f);
    VORN_TICKER_GC_FIELDS(VORN_VISIT)
#undef VORN_VISIT
    return 0;
}

int ticker_clear(PyObject* o) {
    TickerObject* t = as_ticker(o);
#define VORN_NONE(f) set_field(t->f, Py_None);
    VORN_TICKER_GC_FIELDS(VORN_NONE)
#undef VORN_NONE
    return 0;
}

void ticker_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    // A Python subclass's finaliser has already run in subtype_dealloc; only
    // call one here when this function is the type's own deallocator.
    if (tp->tp_finalize && tp->tp_dealloc == ticker_dealloc && !PyObject_GC_IsFinalized(o)) {
        if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
    }
    PyObject_GC_UnTrack(o);
    TickerObject* t = as_ticker(o);
    {
        PyObject* pending = PyErr_GetRaisedException();
        std::free(t->_scratch);
        t->_scratch = nullptr;
        PyErr_SetRaisedException(pending);
    }
#define VORN_RELEASE(f) Py_CLEAR(t->f);
    VORN_TICKER_GC_FIELDS(VORN_RELEASE)
#undef VORN_RELEASE
    Py_CLEAR(t->_ws_url);
    Py_CLEAR(t->_disconnect_msg);
    tp->tp_free(o);
    Py_DECREF(tp);
}

// --- properties ---------------------------------------------------------------

PyObject* get_connected(PyObject* o, void*) { return Py_NewRef(as_ticker(o)->IS_CONNECTED); }
int set_connected(PyObject* o, PyObject* v, void*) {
    set_field(as_ticker(o)->IS_CONNECTED, v ? v : Py_None);
    return 0;
}

template <double TickerObject::*Field>
PyObject* get_double(PyObject* o, void*) {
    return PyFloat_FromDouble(as_ticker(o)->*Field);
}
template <double TickerObject::*Field>
int set_double(PyObject* o, PyObject* v, void*) {
    if (!v) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    as_ticker(o)->*Field = d;
    return 0;
}

#define VORN_DOUBLE_PROP(name) \
    {#name, get_double<&TickerObject::name>, set_double<&TickerObject::name>, nullptr, nullptr}

PyGetSetDef ticker_getset[] = {
    {"IS_CONNECTED", get_connected, set_connected, nullptr, nullptr},
    VORN_DOUBLE_PROP(connect_timeout),
    VORN_DOUBLE_PROP(handshake_timeout),
    VORN_DOUBLE_PROP(min_backoff),
    VORN_DOUBLE_PROP(max_backoff),
    VORN_DOUBLE_PROP(backoff_multiplier),
    VORN_DOUBLE_PROP(backoff_jitter),
    VORN_DOUBLE_PROP(min_stable_secs),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VORN_DOUBLE_PROP

// --- default callbacks --------------------------------------------------------

Body dummy_callback_body(PyObject* msg) {
    log_fmt(names::debug, texts::unhandled_payload, msg);
    co_return Ref{};
}

Body dummy_error_callback_body(PyObject* err) {
    log_fmt(names::error, texts::unhandled_error, err);
    co_return Ref{};
}

// --- the data path ---------------------------------------------------------------

int on_data_callback(TickerObject* self, PyObject* message) {
    char* b = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(message, &b, &n) < 0) return -1;
    qf_PricingData rec;
    const int rc = vorn_frame_decode(reinterpret_cast<const uint8_t*>(b), static_cast<size_t>(n), &self->_scratch,
                                     &self->_scratch_cap, &rec);
    // The loop and the callback are read before the mapping or the error
    // object is built: building can run the garbage collector.
    Ref loop = Ref::borrow(self->_loop);
    Ref callback = Ref::borrow(rc == VORN_OK ? self->_message_callback : self->_error_callback);
    Ref arg = Ref::steal(rc == VORN_OK ? qf_PricingData_to_dict(&rec) : vorn_frame_error(rc));
    if (!arg) return -1;
    Ref coro = Ref::steal(PyObject_CallOneArg(callback.get(), arg.get()));
    if (!coro) return -1;
    arg.reset();
    PyObject* task = PyObject_CallMethodOneArg(loop.get(), names::create_task, coro.get());
    if (!task) return -1;
    Py_DECREF(task);
    return 0;
}

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

bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_ok) {
    if ((none_ok && value == Py_None) || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
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
    PyObject* r = PyObject_CallMethodOneArg(tokens.get(), set_method, a[0]);
    if (!r) return nullptr;
    Py_DECREF(r);
    if (self->vtab->_send_payload(self, a[1]) < 0) return nullptr;
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

// --- run_in_thread ------------------------------------------------------------------

// The no-argument callable handed to asyncio.to_thread: func(*args, **kwargs).
PyObject* call_captured(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    PyObject* captured = coro::closure_of(self);  // (func, args, kwargs)
    return PyObject_Call(PyTuple_GET_ITEM(captured, 0), PyTuple_GET_ITEM(captured, 1), PyTuple_GET_ITEM(captured, 2));
}

Body wrapper_body(PyObject* captured) {
    Ref to_thread = global_attr(names::asyncio, names::to_thread);
    Ref name = check(PyUnicode_FromString("<lambda>"));
    Ref fn = check(coro::new_function(reinterpret_cast<vectorcallfunc>(call_captured), name.get(), name.get(),
                                      nullptr, nullptr, captured, false));
    Ref awaitable = check(PyObject_CallOneArg(to_thread.get(), fn.get()));
    Ref result = co_await await(std::move(awaitable));
    co_return result;
}

PyObject* wrapper_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref pos = Ref::steal(PyTuple_New(nargs));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!pos || !kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(pos.get(), i, Py_NewRef(args[i]));
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
    }
    Ref captured = Ref::steal(PyTuple_Pack(3, coro::closure_of(fn), pos.get(), kwargs.get()));
    if (!captured) return nullptr;
    Ref cargs = Ref::steal(PyTuple_Pack(1, captured.get()));
    if (!cargs) return nullptr;
    return coro::make(texts::wrapper, texts::wrapper_qualname, std::move(cargs),
                      [](PyObject* const* a) { return wrapper_body(a[0]); });
}

PyObject* decorator_call(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const char* params[] = {"func"};
    PyObject* func = nullptr;
    if (parse_args("decorator", args, nargsf, kwnames, params, 1, 1, &func) < 0) return nullptr;
    return guarded_obj([&] {
        Ref wraps = global(names::wraps);
        Ref apply = check(PyObject_CallOneArg(wraps.get(), func));
        Ref wrapper = check(coro::new_function(wrapper_call, texts::wrapper, texts::wrapper_qualname,
                                               "(*args, **kwargs)", nullptr, func, true));
        return check(PyObject_CallOneArg(apply.get(), wrapper.get()));
    });
}

PyObject* run_in_thread(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("run_in_thread", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    return coro::new_function(decorator_call, texts::decorator, texts::decorator_qualname, "(func)", nullptr, nullptr,
                              false);
}

// --- opening and closing ------------------------------------------------------------

PyObject* py_start_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_close_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

int start_websocket(TickerObject* self, PyObject* const callbacks[4], bool dispatch) {
    return guarded([&] {
        if (dispatch) {
            if (Ref m = find_override(self, names::start_websocket,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_start_websocket)))) {
                PyObject* args[4];
                for (int i = 0; i < 4; ++i) args[i] = callbacks[i] ? callbacks[i] : Py_None;
                check(PyObject_Vectorcall(m.get(), args, 4, nullptr));
                return;
            }
        }
        PyObject** fields[] = {&self->_message_callback, &self->_error_callback, &self->_open_callback,
                               &self->_close_callback};
        for (int i = 0; i < 4; ++i) {
            if (callbacks[i] && callbacks[i] != Py_None) set_field(*fields[i], callbacks[i]);
        }
        Ref coro = call_method0(as_obj(self), names::start_ticker);
        Ref loop = Ref::borrow(self->_loop);
        Ref task = call_method1(loop.get(), names::create_task, coro.get());
        set_field(self->_ticker_task, task.get());
    });
}

int start_websocket_internal(TickerObject* self, PyObject* const callbacks[4]) {
    return start_websocket(self, callbacks, true);
}

int close_websocket(TickerObject* self, bool dispatch) {
    return guarded([&] {
        if (dispatch) {
            if (Ref m = find_override(self, names::close_websocket,
                                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_close_websocket)))) {
                check(PyObject_CallNoArgs(m.get()));
                return;
            }
        }
        self->_disconnect_socket = 1;
        {
            Ref ev = Ref::borrow(self->_abort_event);
            call_method0(ev.get(), names::set);
        }
        if (self->_transport == Py_None) return;
        Ref transport = Ref::borrow(self->_transport);
        Ref ok = global_attr(names::WSCloseCode, names::OK);
        Ref msg = Ref::borrow(self->_disconnect_msg);
        call_method2(transport.get(), names::send_close, ok.get(), msg.get());
    });
}

int close_websocket_internal(TickerObject* self) { return close_websocket(self, true); }

PyObject* py_start_websocket(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"message_update_callback", "error_callback", "open_callback", "close_callback"};
    PyObject* cbs[4] = {};
    if (parse_args("start_websocket", args, static_cast<size_t>(nargs), kwnames, params, 4, 0, cbs) < 0)
        return nullptr;
    if (start_websocket(as_ticker(o), cbs, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_close_websocket(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("close_websocket", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    if (close_websocket(as_ticker(o), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- shutdown ------------------------------------------------------------------------

int initiate_shutdown(TickerObject* self) {
    if (self->_shutdown_scheduled) return 0;
    self->_shutdown_scheduled = 1;
    return guarded([&] {
        log(names::info, texts::ws_disconnected);
        {
            Ref ev = Ref::borrow(self->IS_CONNECTED);
            call_method0(ev.get(), names::clear);
        }
        Ref cb = getattr(as_obj(self), names::_schedule_async_shutdown);
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::call_soon_threadsafe, cb.get());
    });
}

PyObject* py_schedule_async_shutdown(PyObject* o, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("_schedule_async_shutdown", static_cast<size_t>(nargs), kwnames) < 0) return nullptr;
    TickerObject* self = as_ticker(o);
    return guarded_obj([&] {
        Ref coro = call_method0(o, names::_async_shutdown);
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::create_task, coro.get());
        return Ref::none();
    });
}

// Re-delivers the signal: closure is (prev_handler, signum).
PyObject* trigger_signal_call(PyObject* fn, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    if (no_args("_trigger_signal", nargsf, kwnames) < 0) return nullptr;
    PyObject* captured = coro::closure_of(fn);
    PyObject* prev = PyTuple_GET_ITEM(captured, 0);
    PyObject* signum = PyTuple_GET_ITEM(captured, 1);
    return guarded_obj([&] {
        Ref signal = global(names::signal);
        Ref default_int = getattr(signal.get(), names::default_int_handler);
        const int is_default = PyObject_RichCompareBool(prev, default_int.get(), Py_EQ);
        if (is_default < 0) throw_current();
        if (is_default) {
            PyObject* args[] = {signum, Py_None};
            return check(PyObject_Vectorcall(default_int.get(), args, 2, nullptr));
        }
        if (prev != Py_None && PyCallable_Check(prev)) {
            PyObject* args[] = {signum, Py_None};
            return check(PyObject_Vectorcall(prev, args, 2, nullptr));
        }
        return call_method1(signal.get(), names::raise_signal, signum);
    });
}

Body async_shutdown_body(TickerObject* self) {
    const int signum = self->_pending_signal;
    Ref signum_obj = check(PyLong_FromLong(signum));
    Ref prev_handler;
    {
        Ref handlers = Ref::borrow(self->_prev_handlers);
        prev_handler = call_method1(handlers.get(), names::get, signum_obj.get());
    }
    Ref asyncio = global(names::asyncio);
    Ref current = call_method0(asyncio.get(), names::current_task);
    Ref tasks = check(PyList_New(0));
    {
        Ref loop = Ref::borrow(self->_loop);
        Ref all = call_method1(asyncio.get(), names::all_tasks, loop.get());
        Ref it = check(PyObject_GetIter(all.get()));
        while (Ref task = Ref::steal(PyIter_Next(it.get()))) {
            if (task.get() != current.get()) check_rc(PyList_Append(tasks.get(), task.get()));
        }
        if (PyErr_Occurred()) throw_current();
    }
    const Py_ssize_t ntasks = PyList_GET_SIZE(tasks.get());
    for (Py_ssize_t i = 0; i < ntasks; ++i) call_method0(PyList_GET_ITEM(tasks.get(), i), names::cancel);
    if (ntasks > 0) {
        Ref gather = getattr(asyncio.get(), names::gather);
        Ref args = check(PyList_AsTuple(tasks.get()));
        Ref kwargs = check(PyDict_New());
        check_rc(PyDict_SetItem(kwargs.get(), names::return_exceptions, Py_True));
        Ref fut = check(PyObject_Call(gather.get(), args.get(), kwargs.get()));
        co_await await(std::move(fut));
    }
    if (signum != 0) {
        try {
            Ref loop = Ref::borrow(self->_loop);
            call_method1(loop.get(), names::remove_signal_handler, signum_obj.get());
        } catch (PyError& e) {
            if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_RuntimeError) &&
                !e.matches(PyExc_ValueError)) {
                throw;
            }
        }
        if (prev_handler.get() != Py_None) {
            Ref signal = global(names::signal);
            Ref ign = getattr(signal.get(), names::SIG_IGN);
            const int differs = PyObject_RichCompareBool(prev_handler.get(), ign.get(), Py_NE);
            if (differs < 0) throw_current();
            if (differs) call_method2(signal.get(), names::signal, signum_obj.get(), prev_handler.get());
        }
    }
    {
        Ref loop = Ref::borrow(self->_loop);
        call_method0(loop.get(), names::stop);
    }
    if (signum != 0) {
        Ref captured = check(PyTuple_Pack(2, prev_handler.get(), signum_obj.get()));
        Ref trigger = check(coro::new_function(trigger_signal_call, texts::trigger_signal,
                                               texts::trigger_signal_qualname, "()", nullptr, captured.get(), false));
        Ref loop = Ref::borrow(self->_loop);
        call_method1(loop.get(), names::call_soon, trigger.get());
    }
    co_return Ref{};
}

// --- signals ---------------------------------------------------------------------------

int add_signal_handler(TickerObject* self) {
    return guarded([&] {
        for (PyObject* name : {texts::SIGINT, texts::SIGTERM}) {
            Ref signal = global(names::signal);
            Ref num = check(PyNumber_Long(getattr(signal.get(), name).get()));
            {
                Ref prev = call_method1(signal.get(), names::getsignal, num.get());
                Ref handlers = Ref::borrow(self->_prev_handlers);
                check_rc(PyObject_SetItem(handlers.get(), num.get(), prev.get()));
            }
            try {
                Ref cb = getattr(as_obj(self), names::_on_signal);
                Ref loop = Ref::borrow(self->_loop);
                PyObject* args[] = {loop.get(), num.get(), cb.get(), num.get()};
                check(PyObject_VectorcallMethod(names::add_signal_handler, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
            } catch (PyError& e) {
                if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_RuntimeError) &&
                    !e.matches(PyExc_ValueError)) {
                    throw;
                }
                log_fmt(names::debug, texts::signal_unsupported, name);
            }
        }
    });
}

PyObject* py_on_signal(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"signum"};
    PyObject* arg = nullptr;
    if (parse_args("_on_signal", args, static_cast<size_t>(nargs), kwnames, params, 1, 1, &arg) < 0) return nullptr;
    const int signum = PyLong_AsInt(arg);
    if (signum == -1 && PyErr_Occurred()) return nullptr;
    TickerObject* self = as_ticker(o);
    return guarded_obj([&] {
        Ref num = check(PyLong_FromLong(signum));
        Ref coro = call_method1(o, names::stop_signal_handler, num.get());
        Ref loop = Ref::borrow(self->_loop);
        Ref task = call_method1(loop.get(), names::create_task, coro.get());
        set_field(self->_signal_task, task.get());
        return Ref::none();
    });
}

Body stop_signal_handler_body(TickerObject* self, PyObject* signum) {
    if (self->_shutdown_initiated) co_return Ref{};
    self->_shutdown_initiated = 1;
    const int truthy = PyObject_IsTrue(signum);
    if (truthy < 0) throw_current();
    if (truthy) {
        Ref as_int = check(PyNumber_Long(signum));
        const int value = PyLong_AsInt(as_int.get());
        if (value == -1 && PyErr_Occurred()) throw_current();
        self->_pending_signal = value;
    } else {
        self->_pending_signal = 0;
    }
    log(names::info, texts::closure_by_interrupt);
    call_method0(as_obj(self), names::close_websocket);
    try {
        Ref ev = Ref::borrow(self->_stop_event);
        Ref wait = call_method0(ev.get(), names::wait);
        Ref fut = wait_for(wait.get(), 2.0);
        co_await await(std::move(fut));
    } catch (PyError& e) {
        if (!matches_asyncio_timeout(e)) throw;
        check_rc(self->vtab->_initiate_shutdown(self));
    }
    co_return Ref{};
}

// --- reconnect loop ---------------------------------------------------------------------

// The listener factory of one attempt: returns its listener.
PyObject* listener_factory_call(PyObject* fn, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    if (no_args("<lambda>", nargsf, kwnames) < 0) return nullptr;
    return Py_NewRef(coro::closure_of(fn));
}

// Log text for a failed attempt: "Error occured on connect :: " + str(e).
void log_connect_error(PyObject* exc) {
    Ref text = check(PyUnicode_FromFormat("Error occured on connect :: %S", exc));
    log(names::error, text.get());
}

void log_unexpected(PyObject* exc) {
    // logger.exception() reads the exception being handled.
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    try {
        log(names::exception, texts::unexpected_error);
    } catch (...) {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
        throw;
    }
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
}

void attempt_cleanup(TickerObject* self) {
    set_field(self->_transport, Py_None);
    Ref ev = Ref::borrow(self->IS_CONNECTED);
    call_method0(ev.get(), names::clear);
}

// Unpacks exactly two items, as `a, b = value` does; returns the first.
Ref unpack_first_of_two(PyObject* value) {
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw_current();
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_current();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_current();
    }
    if (PyErr_Occurred()) throw_current();
    return items[0];
}

Ref connect_awaitable(TickerObject* self, PyObject* listener) {
    Ref name = check(PyUnicode_FromString("<lambda>"));
    Ref factory = check(coro::new_function(listener_factory_call, name.get(), name.get(), "()", nullptr, listener,
                                           false));
    Ref ws_connect = global(names::ws_connect);
    Ref handshake = new_float(self->handshake_timeout);
    Ref idle = check(PyLong_FromLong(3));
    Ref reply = check(PyLong_FromLong(2));
    Ref strategy = global_attr(names::WSAutoPingStrategy, names::PING_WHEN_IDLE);
    Ref kwnames = check(PyTuple_Pack(6, names::ssl_context, names::websocket_handshake_timeout,
                                     names::enable_auto_ping, names::auto_ping_idle_timeout,
                                     names::auto_ping_reply_timeout, names::auto_ping_strategy));
    Ref url = Ref::borrow(self->_ws_url);
    Ref ssl_context = Ref::borrow(self->_ssl_context);
    PyObject* args[] = {factory.get(), url.get(),  ssl_context.get(), handshake.get(),
                        Py_True,       idle.get(), reply.get(),       strategy.get()};
    return check(PyObject_Vectorcall(ws_connect.get(), args, 2, kwnames.get()));
}

Body start_ticker_body(TickerObject* self) {
    for (;;) {
        if (self->_disconnect_socket) break;
        Ref listener;
        {
            PyObject* args[] = {as_obj(self), self->_loop};
            listener = check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(listener_type), args, 2, nullptr));
        }
        double t_conn = 0.0;
        bool was_connected = false;
        std::optional<PyError> failure;
        try {
            Ref connecting = connect_awaitable(self, listener.get());
            Ref limited = wait_for(connecting.get(), self->connect_timeout);
            connecting.reset();
            Ref pair = co_await await(std::move(limited));
            Ref transport = unpack_first_of_two(pair.get());
            pair.reset();
            was_connected = true;
            {
                Ref now = call_method0(global(names::time).get(), names::monotonic);
                t_conn = PyFloat_AsDouble(now.get());
                if (t_conn == -1.0 && PyErr_Occurred()) throw_current();
            }
            log(names::info, texts::connected);
            Ref closed = call_method0(transport.get(), names::wait_disconnected);
            co_await await(std::move(closed));
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        if (failure) {
            bool propagate = false;
            try {
                Ref ws_error = global(names::WSError);
                Ref timeout_error = global_attr(names::asyncio, names::TimeoutError);
                if (failure->matches(PyExc_OSError) || failure->matches(ws_error.get()) ||
                    failure->matches(timeout_error.get())) {
                    log_connect_error(failure->value());
                } else if (failure->matches(PyExc_Exception)) {
                    log_unexpected(failure->value());
                } else {
                    propagate = true;
                }
            } catch (PyError&) {
                attempt_cleanup(self);
                throw;
            }
            if (propagate) {
                attempt_cleanup(self);
                throw std::move(*failure);
            }
        }
        attempt_cleanup(self);
        if (self->_disconnect_socket) break;
        if (was_connected) {
            Ref now = call_method0(global(names::time).get(), names::monotonic);
            const double t = PyFloat_AsDouble(now.get());
            if (t == -1.0 && PyErr_Occurred()) throw_current();
            if (t - t_conn >= self->min_stable_secs) {
                self->_fail_count = 0;
                log(names::info, texts::connection_lost);
                continue;
            }
        }
        Ref backoff = call_method0(as_obj(self), names::_sleep_backoff);
        co_await await(std::move(backoff));
    }
    {
        Ref ev = Ref::borrow(self->_stop_event);
        call_method0(ev.get(), names::set);
    }
    check_rc(self->vtab->_initiate_shutdown(self));
    co_return Ref{};
}

Body sleep_backoff_body(TickerObject* self) {
    const int k = self->_fail_count;
    self->_fail_count += 1;
    double delay = self->min_backoff * std::pow(self->backoff_multiplier, static_cast<double>(std::min(k, 30)));
    if (!(delay < self->max_backoff)) delay = self->max_backoff;
    const double jitter = self->backoff_jitter * delay;
    {
        Ref lo = new_float(-jitter);
        Ref hi = new_float(jitter);
        Ref r = call_method2(global(names::random).get(), names::uniform, lo.get(), hi.get());
        const double j = PyFloat_AsDouble(r.get());
        if (j == -1.0 && PyErr_Occurred()) throw_current();
        delay = delay + j;
    }
    if (!(delay > 0.0)) delay = 0.0;
    {
        char* shown = PyOS_double_to_string(delay, 'f', 2, 0, nullptr);
        if (!shown) throw_current();
        PyObject* text = PyUnicode_FromFormat("Reconnect failed/unstable (%d in a row) :: backing off %ss",
                                              self->_fail_count, shown);
        PyMem_Free(shown);
        Ref owned = check(text);
        log(names::warning, owned.get());
    }
    try {
        Ref ev = Ref::borrow(self->_abort_event);
        Ref wait = call_method0(ev.get(), names::wait);
        Ref fut = wait_for(wait.get(), delay);
        co_await await(std::move(fut));
    } catch (PyError& e) {
        if (!matches_asyncio_timeout(e)) throw;
        co_return Ref{};
    }
    log(names::info, texts::backoff_aborted);
    co_return Ref{};
}

// --- round-trip time --------------------------------------------------------------------

Body round_trip_body(TickerObject* self, PyObject* count) {
    Ref transport = Ref::borrow(self->_transport);
    Ref measuring = call_method1(transport.get(), names::measure_roundtrip_time, count);
    Ref result = co_await await(std::move(measuring));
    if (result.get() != Py_None && !PyList_CheckExact(result.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "list", Py_TYPE(result.get())->tp_name);
        throw_current();
    }
    co_return result;
}

// --- coroutine method entry points ------------------------------------------------------

// Coroutine functions carry (name, qualname) of their coroutines as closure.
inline PyObject* coro_name(PyObject* fn) { return PyTuple_GET_ITEM(coro::closure_of(fn), 0); }
inline PyObject* coro_qualname(PyObject* fn) { return PyTuple_GET_ITEM(coro::closure_of(fn), 1); }

// Checks the bound instance; returns it borrowed, or NULL with TypeError.
PyObject* method_self(PyObject* fn, PyObject* const* args, size_t nargsf) {
    if (PyVectorcall_NARGS(nargsf) >= 1 && PyObject_TypeCheck(args[0], ticker_type)) return args[0];
    PyErr_Format(PyExc_TypeError, "%U() requires a 'VornTicker' instance as its first argument", coro_qualname(fn));
    return nullptr;
}

template <class Factory>
PyObject* make_method_coro(PyObject* fn, Ref args, Factory&& factory) {
    if (!args) return nullptr;
    return coro::make(coro_name(fn), coro_qualname(fn), std::move(args), std::forward<Factory>(factory));
}

PyObject* start_ticker_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"reconnect"};
    PyObject* reconnect = nullptr;
    if (parse_args("start_ticker", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &reconnect) < 0)
        return nullptr;
    // Converted at the call, as a typed parameter would be; it has no other effect.
    if (reconnect && PyObject_IsTrue(reconnect) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return start_ticker_body(as_ticker(a[0])); });
}

PyObject* sleep_backoff_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    if (no_args("_sleep_backoff", PyVectorcall_NARGS(nargsf) - 1, kwnames) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return sleep_backoff_body(as_ticker(a[0])); });
}

PyObject* async_shutdown_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    if (no_args("_async_shutdown", PyVectorcall_NARGS(nargsf) - 1, kwnames) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, self)),
                            [](PyObject* const* a) { return async_shutdown_body(as_ticker(a[0])); });
}

PyObject* stop_signal_handler_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"signum"};
    PyObject* signum = nullptr;
    if (parse_args("stop_signal_handler", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &signum) <
        0)
        return nullptr;
    Ref zero;
    if (!signum) {
        zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return nullptr;
        signum = zero.get();
    }
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(2, self, signum)), [](PyObject* const* a) {
        return stop_signal_handler_body(as_ticker(a[0]), a[1]);
    });
}

PyObject* check_round_trip_time_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* self = method_self(fn, args, nargsf);
    if (!self) return nullptr;
    const char* params[] = {"count"};
    PyObject* count = nullptr;
    if (parse_args("check_round_trip_time", args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames, params, 1, 0, &count) <
        0)
        return nullptr;
    Ref converted;
    if (!count) {
        converted = Ref::steal(PyLong_FromLong(5));
    } else if (PyLong_CheckExact(count)) {
        converted = Ref::borrow(count);
    } else if (PyNumber_Check(count)) {
        converted = Ref::steal(PyNumber_Long(count));
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", "count", "int",
                     Py_TYPE(count)->tp_name);
        return nullptr;
    }
    if (!converted) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(2, self, converted.get())),
                            [](PyObject* const* a) { return round_trip_body(as_ticker(a[0]), a[1]); });
}

PyObject* dummy_callback_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const char* params[] = {"msg"};
    PyObject* msg = nullptr;
    if (parse_args("_dummy_callback", args, nargsf, kwnames, params, 1, 1, &msg) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, msg)),
                            [](PyObject* const* a) { return dummy_callback_body(a[0]); });
}

PyObject* dummy_error_callback_call(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const char* params[] = {"err"};
    PyObject* err = nullptr;
    if (parse_args("_dummy_error_callback", args, nargsf, kwnames, params, 1, 1, &err) < 0) return nullptr;
    return make_method_coro(fn, Ref::steal(PyTuple_Pack(1, err)),
                            [](PyObject* const* a) { return dummy_error_callback_body(a[0]); });
}

// --- pickling ------------------------------------------------------------------------------

PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

// --- the type -------------------------------------------------------------------------------

const TickerVTable kVTable = {
    encode,
    add_signal_handler,
    send_payload_internal,
    on_data_callback,
    subscribe_blocking,
    unsubscribe_blocking,
    resubscribe,
    start_websocket_internal,
    close_websocket_internal,
    initiate_shutdown,
};

const TickerVTable* ticker_vtable() { return &kVTable; }

PyType_Slot ticker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ticker_new)},
    {Py_tp_init, reinterpret_cast<void*>(ticker_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ticker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ticker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ticker_clear)},
    {Py_tp_getset, ticker_getset},
    {0, nullptr},
};

PyType_Spec ticker_spec = {
    "vornticker.vornticker.VornTicker",
    sizeof(TickerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    ticker_slots,
};

#define VORN_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
#define VORN_METHOD(name, fn, sig) {name, VORN_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, sig}

// Plain methods, in the order the class defines them. The doc strings carry
// only the signature, so __doc__ stays None.
PyMethodDef m_run_in_thread = {"run_in_thread", VORN_FASTCALL(run_in_thread), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                               "run_in_thread()\n--\n\n"};
PyMethodDef m_on_signal = VORN_METHOD("_on_signal", py_on_signal, "_on_signal($self, /, signum)\n--\n\n");
PyMethodDef m_send_payload = VORN_METHOD("_send_payload", py_send_payload, "_send_payload($self, /, payload)\n--\n\n");
PyMethodDef m_apply_subscribe =
    VORN_METHOD("_apply_subscribe", py_apply_subscribe, "_apply_subscribe($self, /, instruments, p)\n--\n\n");
PyMethodDef m_apply_unsubscribe =
    VORN_METHOD("_apply_unsubscribe", py_apply_unsubscribe, "_apply_unsubscribe($self, /, instruments, p)\n--\n\n");
PyMethodDef m_subscribe = VORN_METHOD("subscribe", py_subscribe, "subscribe($self, /, instruments)\n--\n\n");
PyMethodDef m_unsubscribe = VORN_METHOD("unsubscribe", py_unsubscribe, "unsubscribe($self, /, instruments)\n--\n\n");
PyMethodDef m_start_websocket =
    VORN_METHOD("start_websocket", py_start_websocket,
                "start_websocket($self, /, message_update_callback=None, error_callback=None, open_callback=None, "
                "close_callback=None)\n--\n\n");
PyMethodDef m_close_websocket = VORN_METHOD("close_websocket", py_close_websocket, "close_websocket($self, /)\n--\n\n");
PyMethodDef m_schedule_async_shutdown =
    VORN_METHOD("_schedule_async_shutdown", py_schedule_async_shutdown, "_schedule_async_shutdown($self, /)\n--\n\n");
PyMethodDef m_reduce = {"__reduce__", refuse_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"};
PyMethodDef m_setstate = {"__setstate__", refuse_reduce, METH_O, "__setstate__($self, state, /)\n--\n\n"};

#undef VORN_METHOD

Ref annotations(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = check(PyDict_New());
    for (const auto& [k, v] : items) check_rc(PyDict_SetItemString(d.get(), k, v));
    return d;
}

Ref coroutine_function(const char* name, vectorcallfunc impl, const char* signature, Ref ann) {
    Ref n = check(PyUnicode_InternFromString(name));
    Ref q = check(PyUnicode_FromFormat("VornTicker.%s", name));
    Ref closure = check(PyTuple_Pack(2, n.get(), q.get()));
    return check(coro::new_function(impl, n.get(), q.get(), signature, ann.get(), closure.get(), true));
}

}  // namespace

int ticker_create_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &ticker_spec, nullptr);
    if (!type) return -1;
    ticker_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "VornTicker", type);
}

int ticker_attach_methods() {
    return guarded([] {
        PyObject* type = reinterpret_cast<PyObject*>(ticker_type);
        PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        PyObject* list = reinterpret_cast<PyObject*>(&PyList_Type);
        PyObject* intt = reinterpret_cast<PyObject*>(&PyLong_Type);
        auto set = [&](const char* name, const Ref& value) {
            check_rc(PyObject_SetAttrString(type, name, value.get()));
        };
        auto method = [&](PyMethodDef* def) { return check(PyDescr_NewMethod(ticker_type, def)); };

        {
            Ref fn = check(PyCFunction_NewEx(&m_run_in_thread, nullptr, nullptr));
            set("run_in_thread", check(PyStaticMethod_New(fn.get())));
        }
        set("_dummy_callback",
            check(PyStaticMethod_New(coroutine_function("_dummy_callback", dummy_callback_call, "(msg)",
                                                        annotations({{"msg", object}}))
                                         .get())));
        set("_dummy_error_callback",
            check(PyStaticMethod_New(coroutine_function("_dummy_error_callback", dummy_error_callback_call, "(err)",
                                                        annotations({{"err", object}}))
                                         .get())));
        set("_on_signal", method(&m_on_signal));
        set("stop_signal_handler", coroutine_function("stop_signal_handler", stop_signal_handler_call,
                                                      "($self, /, signum=0)", annotations({{"return", Py_None}})));
        set("check_round_trip_time",
            coroutine_function("check_round_trip_time", check_round_trip_time_call, "($self, /, count=5)",
                               annotations({{"count", intt}, {"return", list}})));
        set("_send_payload", method(&m_send_payload));
        set("_apply_subscribe", method(&m_apply_subscribe));
        set("_apply_unsubscribe", method(&m_apply_unsubscribe));
        // subscribe/unsubscribe are wrapped with run_in_thread(), as the class body does.
        for (PyMethodDef* def : {&m_subscribe, &m_unsubscribe}) {
            Ref run = check(PyObject_GetAttrString(type, "run_in_thread"));
            Ref decorator = check(PyObject_CallNoArgs(run.get()));
            Ref body = method(def);
            Ref wrapped = check(PyObject_CallOneArg(decorator.get(), body.get()));
            Ref ann = annotations({{"instruments", list}, {"return", Py_None}});
            check_rc(PyObject_SetAttr(wrapped.get(), names::__annotations__, ann.get()));
            set(def->ml_name, wrapped);
        }
        set("_sleep_backoff", coroutine_function("_sleep_backoff", sleep_backoff_call, "($self, /)", annotations({})));
        set("start_ticker",
            coroutine_function("start_ticker", start_ticker_call, "($self, /, reconnect=False)", annotations({})));
        set("start_websocket", method(&m_start_websocket));
        set("close_websocket", method(&m_close_websocket));
        set("_schedule_async_shutdown", method(&m_schedule_async_shutdown));
        set("_async_shutdown",
            coroutine_function("_async_shutdown", async_shutdown_call, "($self, /)", annotations({})));
        set("__reduce__", method(&m_reduce));
        set("__setstate__", method(&m_setstate));
    });
}

}  // namespace vorn
