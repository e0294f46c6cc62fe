// VornTicker: allocation, __init__, destruction, properties, the default
// callbacks, pickling refusal and the class's method table. The methods'
// behaviour lives in data_path.cpp, subscriptions.cpp, run_in_thread.cpp,
// connection.cpp and shutdown.cpp.
#include "ticker.hpp"

#include <cstdlib>
#include <cstring>

#include "args.hpp"
#include "coro.hpp"
#include "module.hpp"
#include "names.hpp"
#include "open_block.hpp"
#include "ticker_impl.hpp"

namespace vorn {
namespace {

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

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
                           &t->_message_callback, &t->_open_callback, &t->_close_callback, &t->_error_callback,
                           &t->_frame_tap,      &t->_tap_block,     &t->_frame_sink};
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
    X(_close_callback) X(_error_callback) X(_frame_tap) X(_tap_block) X(_frame_sink)

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

// --- recording tap ----------------------------------------------------------------------

// _set_frame_tap(tap): tap is None or an object with write(payload, recv_ns)
// and note_subscription(kind, symbols, recv_ns), and maybe
// note_connection(kind, detail).
PyObject* py_set_frame_tap(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {"tap"};
    PyObject* tap = nullptr;
    if (parse_args("_set_frame_tap", args, static_cast<size_t>(nargs), kwnames, params, 1, 1, &tap) < 0)
        return nullptr;
    int connections = 0;
    PyObject* block = nullptr;
    if (tap != Py_None) {
        for (PyObject* name : {names::write, names::note_subscription}) {
            const int has = PyObject_HasAttrWithError(tap, name);
            if (has < 0) return nullptr;
            if (!has) {
                PyErr_Format(PyExc_TypeError, "tap must have a %U() method, not be a %.200s", name,
                             Py_TYPE(tap)->tp_name);
                return nullptr;
            }
        }
        // Optional: a tap without it just hears of no connection events.
        connections = PyObject_HasAttrWithError(tap, names::note_connection);
        if (connections < 0) return nullptr;
        // Optional too: a recorder's open block, which frames go into
        // without a call of write() while it has room.
        if (PyObject_GetOptionalAttr(tap, names::_open_block, &block) < 0) return nullptr;
        if (block != nullptr && !is_open_block(block)) Py_CLEAR(block);
    }
    TickerObject* t = as_ticker(o);
    set_field(t->_frame_tap, tap);
    set_field(t->_tap_block, block != nullptr ? block : Py_None);
    Py_XDECREF(block);
    t->_tap_connections = connections;
    Py_RETURN_NONE;
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
    on_data_payload,
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
PyMethodDef m_set_frame_tap =
    VORN_METHOD("_set_frame_tap", py_set_frame_tap, "_set_frame_tap($self, /, tap)\n--\n\n");
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
        // Functions with annotations show them through inspect.signature().
        auto annotated = [](Ref fn) {
            check_rc(coro::annotate_signature(fn.get()));
            return fn;
        };

        {
            Ref fn = check(PyCFunction_NewEx(&m_run_in_thread, nullptr, nullptr));
            set("run_in_thread", check(PyStaticMethod_New(fn.get())));
        }
        set("_dummy_callback",
            check(PyStaticMethod_New(annotated(coroutine_function("_dummy_callback", dummy_callback_call, "(msg)",
                                                                  annotations({{"msg", object}})))
                                         .get())));
        set("_dummy_error_callback",
            check(PyStaticMethod_New(annotated(coroutine_function("_dummy_error_callback", dummy_error_callback_call,
                                                                  "(err)", annotations({{"err", object}})))
                                         .get())));
        set("_on_signal", method(&m_on_signal));
        set("stop_signal_handler", annotated(coroutine_function("stop_signal_handler", stop_signal_handler_call,
                                                                "($self, /, signum=0)",
                                                                annotations({{"return", Py_None}}))));
        set("check_round_trip_time",
            annotated(coroutine_function("check_round_trip_time", check_round_trip_time_call, "($self, /, count=5)",
                                         annotations({{"count", intt}, {"return", list}}))));
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
            set(def->ml_name, annotated(std::move(wrapped)));
        }
        set("_sleep_backoff", coroutine_function("_sleep_backoff", sleep_backoff_call, "($self, /)", annotations({})));
        set("start_ticker",
            coroutine_function("start_ticker", start_ticker_call, "($self, /, reconnect=False)", annotations({})));
        set("start_websocket", method(&m_start_websocket));
        set("close_websocket", method(&m_close_websocket));
        set("_schedule_async_shutdown", method(&m_schedule_async_shutdown));
        set("_async_shutdown",
            coroutine_function("_async_shutdown", async_shutdown_call, "($self, /)", annotations({})));
        set("_set_frame_tap", method(&m_set_frame_tap));
        set("__reduce__", method(&m_reduce));
        set("__setstate__", method(&m_setstate));
    });
}

}  // namespace vorn

