// The extension module vornticker.vornticker: import-time construction,
// module globals, interned names and the websocket library's classes.
#include "module.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "columns.hpp"
#include "coro.hpp"
#include "decode_api.hpp"
#include "names.hpp"
#include "open_block.hpp"
#include "picows_abi.hpp"
#include "stream_buffer.hpp"
#include "ticker.hpp"
#include "vornproto.hpp"

namespace vorn {

int names::init() {
#define VORN_INTERN(n) \
    if (!(n = PyUnicode_InternFromString(#n))) return -1;
    VORN_NAME_LIST(VORN_INTERN)
#undef VORN_INTERN
#define VORN_INTERN_KW(n, s) \
    if (!(n = PyUnicode_InternFromString(s))) return -1;
    VORN_KEYWORD_NAME_LIST(VORN_INTERN_KW)
#undef VORN_INTERN_KW
#define VORN_TEXT(n, s) \
    if (!(texts::n = PyUnicode_InternFromString(s))) return -1;
    VORN_TEXT_LIST(VORN_TEXT)
#undef VORN_TEXT
    return 0;
}

void names::fini() noexcept {
#define VORN_CLEAR(n) Py_CLEAR(n);
    VORN_NAME_LIST(VORN_CLEAR)
#undef VORN_CLEAR
#define VORN_CLEAR_KW(n, s) Py_CLEAR(n);
    VORN_KEYWORD_NAME_LIST(VORN_CLEAR_KW)
#undef VORN_CLEAR_KW
#define VORN_CLEAR_TEXT(n, s) Py_CLEAR(texts::n);
    VORN_TEXT_LIST(VORN_CLEAR_TEXT)
#undef VORN_CLEAR_TEXT
}

PyObject* global_or_null(PyObject* name) noexcept {
    PyObject* r = nullptr;
    int found = PyDict_GetItemRef(g_globals, name, &r);
    if (found == 0) found = PyDict_GetItemRef(g_builtins, name, &r);
    if (found < 0) return nullptr;
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    return r;
}

Ref global_attr(PyObject* module_name, PyObject* attr) {
    Ref m = global(module_name);
    return check(PyObject_GetAttr(m.get(), attr));
}

void log(PyObject* level, PyObject* text) {
    Ref logger = global(names::logger);
    check(PyObject_CallMethodOneArg(logger.get(), level, text));
}

void log_fmt(PyObject* level, PyObject* fmt, PyObject* arg) {
    Ref logger = global(names::logger);
    PyObject* args[] = {logger.get(), fmt, arg};
    check(PyObject_VectorcallMethod(level, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

constexpr const char kAuthor[] = "The vornticker developers";

// The first interpreter to create the module; atomic because interpreters
// with their own GIL may get here at the same time.
std::atomic<int64_t> g_interpreter_id{-1};
bool g_executed = false;

// Binds one of the library's C-level classes, refusing a layout other than the
// one this module was compiled against.
PyTypeObject* bind_class(PyObject* picows, const char* name, Py_ssize_t expected_size) {
    Ref cls = check(PyObject_GetAttrString(picows, name));
    if (!PyType_Check(cls.get())) {
        PyErr_Format(PyExc_ImportError, "picows.picows.%s is not a class", name);
        throw_current();
    }
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls.get());
    if (t->tp_basicsize != expected_size) {
        PyErr_Format(PyExc_ImportError,
                     "picows.picows.%s has size %zd, not the %zd bytes this module was built against; "
                     "install the picows version pinned by vornticker",
                     name, t->tp_basicsize, expected_size);
        throw_current();
    }
    return reinterpret_cast<PyTypeObject*>(cls.release());
}

// The frame's message type is read from its C struct on every frame: check
// the field positions on a frame made by the library itself.
void check_frame_layout(PyObject* picows) {
    Ref make = check(PyObject_GetAttrString(picows, "_make_test_ws_frame"));
    Ref binary_name = check(PyUnicode_FromString("BINARY"));
    Ref binary = global_attr(names::WSMsgType, binary_name.get());
    Ref payload = check(PyBytes_FromString("vorn"));
    PyObject* args[] = {binary.get(), payload.get(), Py_True, Py_False};
    Ref frame = check(PyObject_Vectorcall(make.get(), args, 4, nullptr));
    if (!PyObject_TypeCheck(frame.get(), ws_frame_type)) {
        PyErr_SetString(PyExc_ImportError, "picows.picows._make_test_ws_frame did not return a WSFrame");
        throw_current();
    }
    const auto* f = reinterpret_cast<const picows_abi::WSFrame*>(frame.get());
    if (f->msg_type != 2 || f->payload_size != 4 || f->fin != 1 || !f->payload_ptr ||
        std::memcmp(f->payload_ptr, "vorn", 4) != 0) {
        PyErr_SetString(PyExc_ImportError,
                        "picows.picows.WSFrame does not have the C layout this module was built against; "
                        "install the picows version pinned by vornticker");
        throw_current();
    }
}

void import_as_global(PyObject* module, const char* import_name, PyObject* global_name) {
    Ref m = check(PyImport_ImportModule(import_name));
    check_rc(PyModule_AddObjectRef(module, PyUnicode_AsUTF8(global_name), m.get()));
}

void from_import(PyObject* module, const char* from, std::initializer_list<PyObject*> items) {
    Ref m = check(PyImport_ImportModule(from));
    for (PyObject* name : items) {
        Ref value = check(PyObject_GetAttr(m.get(), name));
        check_rc(PyObject_SetAttr(module, name, value.get()));
    }
}

PyMethodDef module_functions[] = {
    {"_unpickle_VornListener", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpickle_listener)),
     METH_FASTCALL, "_unpickle_VornListener(type, checksum, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec_impl(PyObject* module) {
    g_globals = Py_NewRef(PyModule_GetDict(module));
    {
        Ref builtins = check(PyImport_ImportModule("builtins"));
        g_builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    }
    if (names::init() < 0 || coro::init(module) < 0 || vorn_proto_init() < 0) throw_current();

    // 1. The ticker class.
    check_rc(ticker_create_type(module));

    // 2. The listener class on the library's WSListener, and the library's
    //    other C-level classes.
    Ref picows = check(PyImport_ImportModule("picows.picows"));
    {
        Ref base = check(PyObject_GetAttrString(picows.get(), "WSListener"));
        check_rc(listener_create_type(module, base.get()));
    }
    using namespace picows_abi;
    ws_close_info_type = bind_class(picows.get(), "WSCloseInfo", sizeof(WSCloseInfo));
    ws_close_handshake_type = bind_class(picows.get(), "WSCloseHandshake", sizeof(WSCloseHandshake));
    memory_buffer_type = bind_class(picows.get(), "MemoryBuffer", sizeof(MemoryBuffer));
    ws_frame_type = bind_class(picows.get(), "WSFrame", sizeof(WSFrame));
    ws_transport_type = bind_class(picows.get(), "WSTransport", sizeof(WSTransport));

    // 3. __author__
    check_rc(PyModule_AddStringConstant(module, "__author__", kAuthor));
    // Read-only knowledge of the build, for tools that say where a ticker goes.
    check_rc(PyModule_AddStringConstant(module, "ENDPOINT_URL", kEndpointUrl));

    // 4.-6. The module globals, looked up by name at every use.
    const struct {
        const char* import;
        PyObject* name;
    } imports[] = {{"ssl", names::ssl},         {"time", names::time},       {"random", names::random},
                   {"signal", names::signal},   {"orjson", names::orjson},   {"logging", names::logging},
                   {"asyncio", names::asyncio}};
    for (const auto& i : imports) import_as_global(module, i.import, i.name);
    from_import(module, "functools", {names::wraps});
    from_import(module, "picows", {names::ws_connect, names::WSMsgType, names::WSCloseCode, names::WSError,
                                   names::WSAutoPingStrategy});
    check_frame_layout(picows.get());

    // 7. The one logger, named after the module.
    {
        Ref module_name = check(PyModule_GetNameObject(module));
        Ref logging = global(names::logging);
        Ref logger = check(PyObject_CallMethodOneArg(logging.get(), names::getLogger, module_name.get()));
        check_rc(PyObject_SetAttr(module, names::logger, logger.get()));
    }

    // 8. The classes' methods, in the order the classes define them.
    check_rc(ticker_attach_methods());
    check_rc(listener_attach_methods());

    check_rc(PyModule_AddFunctions(module, module_functions));
    check_rc(PyModule_AddFunctions(module, vorn_decode_api_methods));
    check_rc(quote_columns_create_type(module));
    check_rc(quote_buffer_create_type(module));
    check_rc(open_block_create_type(module));
    return 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t first = -1;
    if (!g_interpreter_id.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// What a failed execution kept, released so that a later import (once the
// missing dependency is back, say) starts from nothing.
void release_state() noexcept {
    Py_CLEAR(g_globals);
    Py_CLEAR(g_builtins);
    for (PyTypeObject** t : {&ticker_type, &listener_type, &ws_listener_type, &ws_transport_type, &ws_frame_type,
                             &ws_close_info_type, &ws_close_handshake_type, &memory_buffer_type}) {
        Py_CLEAR(*t);
    }
    coro::fini();
    quote_columns_fini();
    quote_buffer_fini();
    open_block_fini();
    vorn_proto_fini();
    names::fini();
}

int module_exec(PyObject* module) {
    if (g_executed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vornticker' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        module_exec_impl(module);
        // Only a module that imported counts as executed.
        g_executed = true;
        return 0;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    PyObject* error = PyErr_GetRaisedException();
    release_state();
    PyErr_SetRaisedException(error);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Declared so that CPython lets an isolated interpreter reach
    // module_create, which then refuses it with the module's own message.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vornticker.vornticker",
    "Streaming market-quote client: websocket, protobuf decoding and asyncio callbacks.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit_vornticker(void) { return PyModuleDef_Init(&vorn::module_def); }
