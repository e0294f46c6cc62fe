// vornticker._testsupport: a route from tests to what Python cannot reach
// directly: the ticker's internal method table and its C fields, and the
// listener's fields. Not part of the public API.
#include <cstddef>
#include <cstring>

#include "listener.hpp"
#include "pyref.hpp"
#include "ticker.hpp"

namespace {

using vorn::ListenerObject;
using vorn::Ref;
using vorn::TickerObject;

PyTypeObject* ticker_type = nullptr;
PyTypeObject* listener_type = nullptr;

TickerObject* ticker_arg(PyObject* o) {
    if (!PyObject_TypeCheck(o, ticker_type)) {
        PyErr_Format(PyExc_TypeError, "expected a VornTicker, got %.200s", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<TickerObject*>(o);
}

PyObject* result(int rc) {
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

struct IntField {
    const char* name;
    int TickerObject::*field;
};
constexpr IntField kIntFields[] = {
    {"_disconnect_socket", &TickerObject::_disconnect_socket},
    {"_shutdown_initiated", &TickerObject::_shutdown_initiated},
    {"_shutdown_scheduled", &TickerObject::_shutdown_scheduled},
    {"_pending_signal", &TickerObject::_pending_signal},
    {"_fail_count", &TickerObject::_fail_count},
};

struct ObjField {
    const char* name;
    PyObject* TickerObject::*field;
};
constexpr ObjField kObjFields[] = {
    {"_loop", &TickerObject::_loop},
    {"_transport", &TickerObject::_transport},
    {"_tokens", &TickerObject::_tokens},
    {"_ws_url", &TickerObject::_ws_url},
    {"_disconnect_msg", &TickerObject::_disconnect_msg},
    {"_stop_event", &TickerObject::_stop_event},
    {"_abort_event", &TickerObject::_abort_event},
    {"_ssl_context", &TickerObject::_ssl_context},
    {"_ticker_task", &TickerObject::_ticker_task},
    {"_signal_task", &TickerObject::_signal_task},
    {"_prev_handlers", &TickerObject::_prev_handlers},
    {"_message_callback", &TickerObject::_message_callback},
    {"_open_callback", &TickerObject::_open_callback},
    {"_close_callback", &TickerObject::_close_callback},
    {"_error_callback", &TickerObject::_error_callback},
};

// get_field(ticker, name): a C field's value (ints, objects, _scratch_cap).
PyObject* get_field(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "get_field(ticker, name)");
        return nullptr;
    }
    TickerObject* t = ticker_arg(args[0]);
    if (!t) return nullptr;
    const char* name = PyUnicode_AsUTF8(args[1]);
    if (!name) return nullptr;
    if (std::strcmp(name, "_scratch_cap") == 0) return PyLong_FromSize_t(t->_scratch_cap);
    if (std::strcmp(name, "_scratch") == 0) return PyBool_FromLong(t->_scratch != nullptr);
    for (const auto& f : kIntFields)
        if (std::strcmp(name, f.name) == 0) return PyLong_FromLong(t->*f.field);
    for (const auto& f : kObjFields)
        if (std::strcmp(name, f.name) == 0) return Py_NewRef(t->*f.field);
    PyErr_Format(PyExc_KeyError, "%s", name);
    return nullptr;
}

// set_field(ticker, name, value): writes an int or object field, as the
// ticker's own code paths would.
PyObject* set_field(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "set_field(ticker, name, value)");
        return nullptr;
    }
    TickerObject* t = ticker_arg(args[0]);
    if (!t) return nullptr;
    const char* name = PyUnicode_AsUTF8(args[1]);
    if (!name) return nullptr;
    for (const auto& f : kIntFields) {
        if (std::strcmp(name, f.name) == 0) {
            const int v = PyLong_AsInt(args[2]);
            if (v == -1 && PyErr_Occurred()) return nullptr;
            t->*f.field = v;
            Py_RETURN_NONE;
        }
    }
    for (const auto& f : kObjFields) {
        if (std::strcmp(name, f.name) == 0) {
            vorn::set_field(t->*f.field, args[2]);
            Py_RETURN_NONE;
        }
    }
    PyErr_Format(PyExc_KeyError, "%s", name);
    return nullptr;
}

// call(ticker, name, *args): one internal method through the method table.
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "call(ticker, name, *args)");
        return nullptr;
    }
    TickerObject* t = ticker_arg(args[0]);
    if (!t) return nullptr;
    const char* name = PyUnicode_AsUTF8(args[1]);
    if (!name) return nullptr;
    const Py_ssize_t n = nargs - 2;
    PyObject* const* a = args + 2;
    const auto* v = t->vtab;
    auto need = [&](Py_ssize_t k) {
        if (n == k) return true;
        PyErr_Format(PyExc_TypeError, "%s takes %zd arguments", name, k);
        return false;
    };
    if (std::strcmp(name, "_encode") == 0) return need(1) ? v->_encode(a[0]) : nullptr;
    if (std::strcmp(name, "add_signal_handler") == 0) return need(0) ? result(v->add_signal_handler(t)) : nullptr;
    if (std::strcmp(name, "_send_payload") == 0) return need(1) ? result(v->_send_payload(t, a[0])) : nullptr;
    if (std::strcmp(name, "on_data_callback") == 0) {
        if (!need(1)) return nullptr;
        if (!PyBytes_Check(a[0])) {
            PyErr_SetString(PyExc_TypeError, "on_data_callback takes bytes");
            return nullptr;
        }
        return result(v->on_data_callback(t, a[0]));
    }
    if (std::strcmp(name, "_subscribe_blocking") == 0)
        return need(1) ? result(v->_subscribe_blocking(t, a[0])) : nullptr;
    if (std::strcmp(name, "_unsubscribe_blocking") == 0)
        return need(1) ? result(v->_unsubscribe_blocking(t, a[0])) : nullptr;
    if (std::strcmp(name, "_resubscribe") == 0) return need(0) ? result(v->_resubscribe(t)) : nullptr;
    if (std::strcmp(name, "start_websocket") == 0) {
        if (!need(4)) return nullptr;
        PyObject* const cbs[4] = {a[0], a[1], a[2], a[3]};
        return result(v->start_websocket(t, cbs));
    }
    if (std::strcmp(name, "close_websocket") == 0) return need(0) ? result(v->close_websocket(t)) : nullptr;
    if (std::strcmp(name, "_initiate_shutdown") == 0) return need(0) ? result(v->_initiate_shutdown(t)) : nullptr;
    PyErr_Format(PyExc_KeyError, "%s", name);
    return nullptr;
}

// listener_fields(listener) -> (_VornListener__ping_msg, _loop, _parent)
PyObject* listener_fields(PyObject*, PyObject* o) {
    if (!PyObject_TypeCheck(o, listener_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a VornListener");
        return nullptr;
    }
    const auto* l = reinterpret_cast<ListenerObject*>(o);
    return PyTuple_Pack(3, l->ping_msg, l->_loop, l->_parent);
}

PyMethodDef functions[] = {
    {"get_field", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_field)), METH_FASTCALL, nullptr},
    {"set_field", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_field)), METH_FASTCALL, nullptr},
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL, nullptr},
    {"listener_fields", listener_fields, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* module) {
    Ref main = Ref::steal(PyImport_ImportModule("vornticker.vornticker"));
    if (!main) return -1;
    Ref t = Ref::steal(PyObject_GetAttrString(main.get(), "VornTicker"));
    Ref l = Ref::steal(PyObject_GetAttrString(main.get(), "VornListener"));
    if (!t || !l) return -1;
    ticker_type = reinterpret_cast<PyTypeObject*>(t.release());
    listener_type = reinterpret_cast<PyTypeObject*>(l.release());
    return PyModule_AddFunctions(module, functions);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "vornticker._testsupport", "Test access to vornticker internals.", 0,
                   nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__testsupport(void) { return PyModuleDef_Init(&def); }
