// Public decoder functions of the extension module: the same frame pipeline
// the ticker runs, callable on stored or captured payloads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn {

// decode_frame(payload) -> dict: payload is a text frame (any bytes-like
// object); raises the exception object the error callback would receive.
PyObject* vorn_py_decode_frame(PyObject* module, PyObject* payload);

// decode_pricing_data(data) -> dict: data is one raw protobuf PricingData
// message (any bytes-like object).
PyObject* vorn_py_decode_pricing_data(PyObject* module, PyObject* data);

// decode_columns(payloads, recv_ns=None, *, batch_rows=65536) -> QuoteColumns:
// many frames into Arrow record batches (columns.hpp), errors collected.
PyObject* vorn_py_decode_columns(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The three functions, terminated by a null entry, for the
// module's method table.
extern PyMethodDef vorn_decode_api_methods[];

}  // namespace vorn
