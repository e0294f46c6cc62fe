// State shared by the module's translation units: the module's globals, the
// classes it defines and the websocket library's classes it binds.
//
// The module keeps this state per process, which is why it refuses a second
// interpreter.
#pragma once

#include "pyref.hpp"

namespace vorn {

inline PyObject* g_globals = nullptr;   // the module's __dict__ (owned)
inline PyObject* g_builtins = nullptr;  // the builtins' __dict__ (owned)

inline PyTypeObject* ticker_type = nullptr;
inline PyTypeObject* listener_type = nullptr;

// The websocket library's C-level classes (owned).
inline PyTypeObject* ws_listener_type = nullptr;
inline PyTypeObject* ws_transport_type = nullptr;
inline PyTypeObject* ws_frame_type = nullptr;
inline PyTypeObject* ws_close_info_type = nullptr;
inline PyTypeObject* ws_close_handshake_type = nullptr;
inline PyTypeObject* memory_buffer_type = nullptr;

// A module global looked up by name now: the module's dict, then builtins.
// Returns a new reference, or NULL with NameError set.
PyObject* global_or_null(PyObject* name) noexcept;
inline Ref global(PyObject* name) { return check(global_or_null(name)); }

// getattr(global(module_name), attr)
Ref global_attr(PyObject* module_name, PyObject* attr);

// Logging through the module global `logger`; `level` is an interned method
// name (names::info, ...). The text is passed as the only argument.
void log(PyObject* level, PyObject* text);
// logger.<level>(fmt, arg): the logging module formats it only when enabled.
void log_fmt(PyObject* level, PyObject* fmt, PyObject* arg);

// Builds the types of the ticker and listener (called from the module's exec).
int ticker_create_type(PyObject* module);
int ticker_attach_methods();
int listener_create_type(PyObject* module, PyObject* base);
int listener_attach_methods();

// Module-level functions defined next to the listener.
PyObject* unpickle_listener(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vorn
