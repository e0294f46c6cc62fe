// Argument parsing for vectorcall entry points (METH_FASTCALL | METH_KEYWORDS
// methods and coroutine functions), with the interpreter's usual messages.
#pragma once

#include <cstring>

#include "pyref.hpp"

namespace vorn {

// Matches positional and keyword arguments against `params` (C strings, in
// order); the first `nrequired` are required. Fills out[i] with a borrowed
// pointer, or NULL for an optional parameter not given. Returns 0, or -1 with
// TypeError set.
inline int parse_args(const char* fname, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      const char* const* params, int nparams, int nrequired, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > nparams) {
        if (nparams == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, nargs);
        } else if (nrequired == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly %d positional argument%s (%zd given)", fname, nparams,
                         nparams == 1 ? "" : "s", nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)", fname, nparams,
                         nparams == 1 ? "" : "s", nargs);
        }
        return -1;
    }
    for (int i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int i = 0; i < nparams; ++i) {
            if (PyUnicode_EqualToUTF8(key, params[i])) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname, key);
            return -1;
        }
        if (out[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, params[found]);
            return -1;
        }
        out[found] = args[nargs + k];
    }
    for (int i = 0; i < nrequired; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", fname, params[i], i + 1);
            return -1;
        }
    }
    return 0;
}

// The TypeError for an argument of the wrong type, worded as for a typed
// parameter; returns false so callers can `return arg_type_error(...)`.
inline bool arg_type_error(PyObject* value, PyTypeObject* type, const char* name) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

// For entry points that take nothing.
inline int no_args(const char* fname, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw == 0) return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, nargs + nkw);
    return -1;
}

}  // namespace vorn
