// VornListener: reports one connection's events to its ticker.
//
// The websocket library calls the four hooks by attribute lookup on a heap
// subclass of its WSListener, so a Python subclass's overrides are reached
// too. Text frames, which carry every quote, are tested first.
#include "listener.hpp"

#include "args.hpp"
#include "module.hpp"
#include "names.hpp"
#include "picows_abi.hpp"
#include "ticker.hpp"

namespace vorn {
namespace {

constexpr long kChecksums[] = {0x2413b39, 0x49f9e52, 0xf224ee1};

inline ListenerObject* as_listener(PyObject* o) { return reinterpret_cast<ListenerObject*>(o); }
inline TickerObject* as_ticker(PyObject* o) { return reinterpret_cast<TickerObject*>(o); }

// The parent ticker, which the hooks require.
TickerObject* parent_of(PyObject* self) {
    PyObject* p = as_listener(self)->_parent;
    if (!PyObject_TypeCheck(p, ticker_type)) {
        PyErr_SetString(PyExc_TypeError, "VornListener has no VornTicker parent");
        return nullptr;
    }
    return as_ticker(p);
}

bool check_type(PyObject* value, PyTypeObject* type, const char* name) {
    return PyObject_TypeCheck(value, type) || arg_type_error(value, type, name);
}

// _loop.create_task(callback(text)); the task is not kept.
int schedule(PyObject* loop, PyObject* callback, PyObject* text) {
    Ref cb = Ref::borrow(callback);
    Ref coro = Ref::steal(PyObject_CallOneArg(cb.get(), text));
    if (!coro) return -1;
    Ref l = Ref::borrow(loop);
    PyObject* task = PyObject_CallMethodOneArg(l.get(), names::create_task, coro.get());
    if (!task) return -1;
    Py_DECREF(task);
    return 0;
}

PyObject* call_method(PyObject* obj, PyObject* name) { return PyObject_CallMethodNoArgs(obj, name); }

// Why a connection ended, for the recording: the close frame of the side that
// began the closing handshake, as "CODE REASON" ("1000 Connection closed by
// the user.") or "CODE" when it gave no reason. A protocol error the library
// found is told this way too (it closes with the error's code and text). A
// connection that ended without any close frame carries no error here (the
// library keeps it and raises it from wait_disconnected), so that is what the
// text says. New reference, or NULL with an error set.
PyObject* disconnect_detail(PyObject* transport) {
    PyObject* hs = reinterpret_cast<picows_abi::WSTransport*>(transport)->close_handshake;
    PyObject* info = nullptr;
    if (hs && PyObject_TypeCheck(hs, ws_close_handshake_type)) {
        const auto* h = reinterpret_cast<picows_abi::WSCloseHandshake*>(hs);
        PyObject* first = h->recv_then_sent ? h->recv : h->sent;
        PyObject* second = h->recv_then_sent ? h->sent : h->recv;
        for (PyObject* candidate : {first, second}) {
            if (!info && candidate && PyObject_TypeCheck(candidate, ws_close_info_type)) info = candidate;
        }
    }
    if (!info) return PyUnicode_FromString("connection lost without a close frame");
    const auto* ci = reinterpret_cast<picows_abi::WSCloseInfo*>(info);
    if (ci->reason && PyUnicode_Check(ci->reason) && PyUnicode_GET_LENGTH(ci->reason) > 0)
        return PyUnicode_FromFormat("%d %U", ci->code, ci->reason);
    return PyUnicode_FromFormat("%d", ci->code);
}

// --- construction ---------------------------------------------------------------------

PyObject* listener_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* o = ws_listener_type->tp_new(type, args, kwds);
    if (!o) return nullptr;
    ListenerObject* l = as_listener(o);
    l->_parent = Py_NewRef(Py_None);
    l->_loop = Py_NewRef(Py_None);
    l->ping_msg = Py_NewRef(Py_None);
    return o;
}

int listener_init(PyObject* o, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"parent", "loop", nullptr};
    PyObject* parent = nullptr;
    PyObject* loop = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:VornListener", const_cast<char**>(kwlist), &parent, &loop))
        return -1;
    if (!check_type(parent, ticker_type, "parent")) return -1;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty || ws_listener_type->tp_init(o, empty.get(), nullptr) < 0) return -1;
    ListenerObject* l = as_listener(o);
    set_field(l->_loop, loop);
    set_field(l->_parent, parent);
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty_bytes) return -1;
    set_field(l->ping_msg, empty_bytes.get());
    return 0;
}

int listener_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(as_listener(o)->_parent);
    Py_VISIT(as_listener(o)->_loop);
    return 0;
}

int listener_clear(PyObject* o) {
    set_field(as_listener(o)->_parent, Py_None);
    set_field(as_listener(o)->_loop, Py_None);
    return 0;
}

void listener_dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    ListenerObject* l = as_listener(o);
    Py_CLEAR(l->_parent);
    Py_CLEAR(l->_loop);
    Py_CLEAR(l->ping_msg);
    // The library's deallocator clears weak references and frees the memory
    // through our type's tp_free; it does not release heap types.
    ws_listener_type->tp_dealloc(o);
    Py_DECREF(tp);
}

// --- hooks ---------------------------------------------------------------------------------

PyObject* on_ws_connected(PyObject* self, PyObject* transport) {
    if (!check_type(transport, ws_transport_type, "transport")) return nullptr;
    TickerObject* p = parent_of(self);
    if (!p) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(p));
    if (p->_disconnect_socket) {
        // A close was requested while this connection was being opened.
        Ref codes = Ref::steal(global_or_null(names::WSCloseCode));
        if (!codes) return nullptr;
        Ref ok = Ref::steal(PyObject_GetAttr(codes.get(), names::OK));
        if (!ok) return nullptr;
        Ref msg = Ref::borrow(p->_disconnect_msg);
        PyObject* args[] = {transport, ok.get(), msg.get()};
        PyObject* r = PyObject_VectorcallMethod(names::send_close, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!r) return nullptr;
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    set_field(p->_transport, transport);
    // Before the subscriptions go out and any quote arrives. The URL is the
    // one the ticker asks for; where a replaced ws_connect took it instead is
    // the capture header's to say.
    if (tap_connection(p, names::connected, p->_ws_url) < 0) return nullptr;
    {
        Ref ev = Ref::borrow(p->IS_CONNECTED);
        PyObject* r = call_method(ev.get(), names::set);
        if (!r) return nullptr;
        Py_DECREF(r);
    }
    if (p->vtab->_resubscribe(p) < 0) return nullptr;
    if (schedule(as_listener(self)->_loop, p->_open_callback, texts::socket_opened) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The server's CLOSE frame: log it, then drop the connection.
PyObject* on_close_frame(PyObject* transport, PyObject* frame) {
    Ref message = Ref::steal(call_method(frame, names::get_close_message));
    if (!message) return nullptr;
    Ref code = Ref::steal(call_method(frame, names::get_close_code));
    if (!code) return nullptr;
    if (message.get() != Py_None) {
        const Py_ssize_t n = PyObject_Size(message.get());
        if (n < 0) return nullptr;
        if (n > 0) {
            // The reason is arbitrary bytes from the peer: decode all of them,
            // embedded NULs included.
            char* data = nullptr;
            Py_ssize_t len = 0;
            if (PyBytes_AsStringAndSize(message.get(), &data, &len) < 0) return nullptr;
            message = Ref::steal(PyUnicode_DecodeUTF8(data, len, "strict"));
            if (!message) return nullptr;
        }
    }
    Ref code_int = Ref::steal(PyNumber_Index(code.get()));
    if (!code_int) return nullptr;
    const long code_value = PyLong_AsLong(code_int.get());
    if (code_value == -1 && PyErr_Occurred()) return nullptr;
    if (code_value == 1000) {
        const int empty = message.get() == Py_None ? 1 : PyObject_Not(message.get());
        if (empty < 0) return nullptr;
        if (empty) message = Ref::borrow(texts::closed_by_user);
    }
    Ref text = Ref::steal(
        PyUnicode_FromFormat("VornTicker disconnected with code :: %S, message :: %S ", code_int.get(), message.get()));
    if (!text) return nullptr;
    try {
        log(names::info, text.get());
    } catch (PyError& e) {
        e.restore();
        return nullptr;
    }
    PyObject* r = call_method(transport, names::disconnect);
    if (!r) return nullptr;
    Py_DECREF(r);
    Py_RETURN_NONE;
}

PyObject* on_ws_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (nargs == 2 && !kwnames) {
        a[0] = args[0];
        a[1] = args[1];
    } else {
        const char* params[] = {"transport", "frame"};
        if (parse_args("on_ws_frame", args, static_cast<size_t>(nargs), kwnames, params, 2, 2, a) < 0) return nullptr;
    }
    PyObject* transport = a[0];
    PyObject* frame = a[1];
    if (!check_type(transport, ws_transport_type, "transport") || !check_type(frame, ws_frame_type, "frame"))
        return nullptr;
    const int msg_type = reinterpret_cast<picows_abi::WSFrame*>(frame)->msg_type;
    if (msg_type == picows_abi::kText) {
        TickerObject* p = parent_of(self);
        if (!p) return nullptr;
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(p));
        // The payload is decoded where the library holds it (what
        // get_payload_as_bytes() would copy), valid for this call.
        const auto* f = reinterpret_cast<const picows_abi::WSFrame*>(frame);
        if (p->vtab->on_data_payload(p, reinterpret_cast<const uint8_t*>(f->payload_ptr),
                                     static_cast<size_t>(f->payload_size)) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (msg_type == picows_abi::kPong) {
        PyObject* r = call_method(transport, names::notify_user_specific_pong_received);
        if (!r) return nullptr;
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    if (msg_type == picows_abi::kClose) return on_close_frame(transport, frame);
    Py_RETURN_NONE;
}

PyObject* on_ws_disconnected(PyObject* self, PyObject* transport) {
    if (!check_type(transport, ws_transport_type, "transport")) return nullptr;
    TickerObject* p = parent_of(self);
    if (!p) return nullptr;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(p));
    if (transport == p->_transport) {
        set_field(p->_transport, Py_None);
        Ref ev = Ref::borrow(p->IS_CONNECTED);
        PyObject* r = call_method(ev.get(), names::clear);
        if (!r) return nullptr;
        Py_DECREF(r);
        if (p->_tap_connections) {
            Ref detail = Ref::steal(disconnect_detail(transport));
            if (!detail || tap_connection(p, names::disconnected, detail.get()) < 0) return nullptr;
        }
    }
    if (schedule(as_listener(self)->_loop, p->_close_callback, texts::socket_closed) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_user_specific_ping(PyObject* self, PyObject* transport) {
    if (!check_type(transport, ws_transport_type, "transport")) return nullptr;
    try {
        log(names::debug, texts::sending_ping);
    } catch (PyError& e) {
        e.restore();
        return nullptr;
    }
    Ref msg = Ref::borrow(as_listener(self)->ping_msg);
    PyObject* r = PyObject_CallMethodOneArg(transport, names::send_ping, msg.get());
    if (!r) return nullptr;
    Py_DECREF(r);
    Py_RETURN_NONE;
}

// --- pickling ------------------------------------------------------------------------------

int apply_state(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(state);
    if (n < 3) {
        PyErr_Format(PyExc_TypeError, "listener state needs 3 items, got %zd", n);
        return -1;
    }
    PyObject* ping = PyTuple_GET_ITEM(state, 0);
    PyObject* loop = PyTuple_GET_ITEM(state, 1);
    PyObject* parent = PyTuple_GET_ITEM(state, 2);
    if (ping != Py_None && !PyBytes_CheckExact(ping)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes", Py_TYPE(ping)->tp_name);
        return -1;
    }
    if (parent != Py_None && !PyObject_TypeCheck(parent, ticker_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(parent)->tp_name,
                     ticker_type->tp_name);
        return -1;
    }
    ListenerObject* l = as_listener(self);
    set_field(l->ping_msg, ping);
    set_field(l->_loop, loop);
    set_field(l->_parent, parent);
    if (n > 3) {
        PyObject* extra = PyTuple_GET_ITEM(state, 3);
        const int truthy = PyObject_IsTrue(extra);
        if (truthy < 0) return -1;
        if (truthy) {
            Ref dict = Ref::steal(PyObject_GetAttr(self, names::__dict__));
            if (!dict) return -1;
            PyObject* r = PyObject_CallMethodOneArg(dict.get(), names::update, extra);
            if (!r) return -1;
            Py_DECREF(r);
        }
    }
    return 0;
}

PyObject* listener_reduce(PyObject* self, PyObject*) {
    ListenerObject* l = as_listener(self);
    Ref dict;
    if (Py_TYPE(self)->tp_dictoffset != 0 || (Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        PyObject* d = nullptr;
        if (PyObject_GetOptionalAttr(self, names::__dict__, &d) < 0) return nullptr;
        dict = Ref::steal(d);
    }
    const bool with_dict = dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0;
    Ref state = Ref::steal(with_dict ? PyTuple_Pack(4, l->ping_msg, l->_loop, l->_parent, dict.get())
                                     : PyTuple_Pack(3, l->ping_msg, l->_loop, l->_parent));
    if (!state) return nullptr;
    Ref unpickle = Ref::steal(global_or_null(names::_unpickle_VornListener));
    if (!unpickle) return nullptr;
    Ref checksum = Ref::steal(PyLong_FromLong(kChecksums[0]));
    if (!checksum) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    const bool deferred = with_dict || l->ping_msg != Py_None || l->_loop != Py_None || l->_parent != Py_None;
    if (deferred) return Py_BuildValue("(O(OOO)O)", unpickle.get(), type, checksum.get(), Py_None, state.get());
    return Py_BuildValue("(O(OOO))", unpickle.get(), type, checksum.get(), state.get());
}

PyObject* listener_setstate(PyObject* self, PyObject* state) {
    if (apply_state(self, state) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef listener_methods[] = {
    {"on_ws_connected", on_ws_connected, METH_O, "on_ws_connected($self, transport, /)\n--\n\n"},
    {"on_ws_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_ws_frame)),
     METH_FASTCALL | METH_KEYWORDS, "on_ws_frame($self, /, transport, frame)\n--\n\n"},
    {"on_ws_disconnected", on_ws_disconnected, METH_O, "on_ws_disconnected($self, transport, /)\n--\n\n"},
    {"send_user_specific_ping", send_user_specific_ping, METH_O,
     "send_user_specific_ping($self, transport, /)\n--\n\n"},
    {"__reduce__", listener_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", listener_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot listener_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(listener_new)},
    {Py_tp_init, reinterpret_cast<void*>(listener_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(listener_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(listener_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(listener_clear)},
    {0, nullptr},
};

PyType_Spec listener_spec = {
    "vornticker.vornticker.VornListener",
    sizeof(ListenerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    listener_slots,
};

}  // namespace

int listener_create_type(PyObject* module, PyObject* base) {
    if (!PyType_Check(base)) {
        PyErr_SetString(PyExc_ImportError, "picows.picows.WSListener is not a class");
        return -1;
    }
    ws_listener_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(base));
    // The listener's deallocation hands the object to the base's tp_dealloc
    // after untracking it, and its traverse visits only its own fields: both
    // hold only for a static base that is not collected and has no finaliser.
    const unsigned long flags = PyType_GetFlags(ws_listener_type);
    const char* broken = (flags & Py_TPFLAGS_HEAPTYPE)       ? "is a heap type"
                         : (flags & Py_TPFLAGS_HAVE_GC)      ? "takes part in garbage collection"
                         : (ws_listener_type->tp_finalize || ws_listener_type->tp_del) ? "has a finaliser"
                                                                                       : nullptr;
    if (broken) {
        PyErr_Format(PyExc_ImportError,
                     "picows.picows.WSListener %s, which this module does not support; "
                     "install the picows version pinned by vornticker",
                     broken);
        return -1;
    }
    if (ws_listener_type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(picows_abi::WSListener))) {
        PyErr_Format(PyExc_ImportError,
                     "picows.picows.WSListener has size %zd, not the %zd bytes this module was built against",
                     ws_listener_type->tp_basicsize, static_cast<Py_ssize_t>(sizeof(picows_abi::WSListener)));
        return -1;
    }
    PyObject* type = PyType_FromMetaclass(nullptr, module, &listener_spec, base);
    if (!type) return -1;
    listener_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "VornListener", type);
}

int listener_attach_methods() {
    for (PyMethodDef* def = listener_methods; def->ml_name; ++def) {
        Ref descr = Ref::steal(PyDescr_NewMethod(listener_type, def));
        if (!descr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(listener_type), def->ml_name, descr.get()) < 0)
            return -1;
    }
    return 0;
}

PyObject* unpickle_listener(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "_unpickle_VornListener() takes exactly 3 positional arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    const long checksum = PyLong_AsLong(args[1]);
    if (checksum == -1 && PyErr_Occurred()) return nullptr;
    PyObject* state = args[2];
    if (checksum != kChecksums[0] && checksum != kChecksums[1] && checksum != kChecksums[2]) {
        Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
        if (!pickle) return nullptr;
        Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
        if (!error) return nullptr;
        // The given value as Python's "%x" shows it (a negative one keeps its sign).
        Ref value = Ref::steal(PyLong_FromLong(checksum));
        Ref spec = Ref::steal(PyUnicode_FromString("x"));
        if (!value || !spec) return nullptr;
        Ref given = Ref::steal(PyObject_Format(value.get(), spec.get()));
        if (!given) return nullptr;
        PyErr_Format(error.get(), "Incompatible checksums (0x%U vs (0x%lx, 0x%lx, 0x%lx) = (%U))", given.get(),
                     kChecksums[0], kChecksums[1], kChecksums[2], texts::listener_fields);
        return nullptr;
    }
    if (state != Py_None && !PyTuple_Check(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    Ref new_fn = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(listener_type), names::__new__));
    if (!new_fn) return nullptr;
    Ref obj = Ref::steal(PyObject_CallOneArg(new_fn.get(), type));
    if (!obj) return nullptr;
    if (state != Py_None && apply_state(obj.get(), state) < 0) return nullptr;
    return obj.release();
}

}  // namespace vorn
